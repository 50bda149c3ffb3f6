// The argument encoder: any two values put into a command read back exactly, and the command is
// exactly one command.
//
// Input: the two values (FuzzedDataProvider strings). For astring() and string(), the command
// "1 LOGIN a b" is built, read as a server reads it from the wire (lines, and literals inline
// after each "{n}" CR LF), and its arguments are read back with the lexer.

#include "fuzzcommon.h"

#include "imap/command.h"
#include "imap/lexer.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace imap;

namespace {

QByteArray take(FuzzedDataProvider &fdp)
{
    const std::string s = fdp.ConsumeRandomLengthString(256);
    return QByteArray(s.data(), qsizetype(s.size()));
}

void check(const QByteArray &a, const QByteArray &b, bool asAString)
{
    static constexpr QByteArrayView head("1 LOGIN ");
    CommandBuilder builder(head);
    if (asAString)
        builder.astring(a).raw(" ").astring(b);
    else
        builder.string(a).raw(" ").string(b);
    const Command cmd = builder.finish();
    const QByteArray line = fuzz::checkOneCommand(cmd);

    FQ_CHECK(line.startsWith(head));
    qsizetype pos = head.size();
    const auto first = asAString ? readAString(line, pos) : readString(line, pos);
    FQ_CHECK(first && *first == a);
    FQ_CHECK(consume(line, pos, ' '));
    const auto second = asAString ? readAString(line, pos) : readString(line, pos);
    FQ_CHECK(second && *second == b);
    FQ_CHECK(pos == line.size());

    // The form chosen: an atom only for safe atoms, a literal only when a quoted string cannot
    // carry the value.
    for (const QByteArray &v : {a, b}) {
        const bool literal =
            cmd.wireBytes().contains("{" + QByteArray::number(v.size()) + "}\r\n" + v);
        if (needsLiteral(v))
            FQ_CHECK(literal);
    }
    if (asAString && isAtomSafe(a))
        FQ_CHECK(line.startsWith(QByteArray(head.data(), head.size()) + a + ' '));
    FQ_CHECK(cmd.pieces.size() == 1 + int(needsLiteral(a)) + int(needsLiteral(b)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const QByteArray a = take(fdp);
    const QByteArray b = take(fdp);
    check(a, b, true);
    check(a, b, false);
    return 0;
}
