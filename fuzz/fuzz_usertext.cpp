// What a user types, into commands: two values of any bytes, or the search criteria (texts in
// UTF-8 or UTF-16 with lone surrogates, dates, attachment box), as the last byte's bit 0 says.
#include "imap/command.h"
#include "imap/lexer.h"
#include "imap/responsereader.h"
#include "search/dates.h"
#include "search/searchkey.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cassert>
#include <cctype>

using namespace imap;

namespace {

// One logical line as a server frames it, each piece but the last ending in a literal's "{n}".
QByteArray oneCommand(const Command &cmd)
{
    ResponseReader server;
    for (qsizetype i = 0; i < cmd.pieces.size(); ++i) {
        assert(!server.hasResponse() && (i == 0 || cmd.pieces[i - 1].endsWith("}\r\n")));
        server.feed(cmd.pieces[i]);
    }
    assert(server.hasResponse() && server.error() == ResponseReader::Error::None);
    const QByteArrayList lines = server.takeResponse().lines;
    assert(lines.size() == 1 && server.bufferedBytes() == 0 && server.pendingLines().isEmpty());
    return lines[0];
}

// Values read back; literals exactly for CR, LF, NUL, 8-bit bytes; safe atoms go as atoms.
void checkArguments(const QByteArray &a, const QByteArray &b)
{
    CommandBuilder builder("1 LOGIN");
    builder.raw(" ").astring(a).raw(" ").string(b).raw(" ").string(a).raw(" ").astring(b);
    const Command cmd = builder.finish();
    const QByteArray line = oneCommand(cmd);
    qsizetype pos = 8;
    assert(line.startsWith("1 LOGIN ") && readAString(line, pos) == a && consume(line, pos, ' ') &&
           readString(line, pos) == b && consume(line, pos, ' ') && readString(line, pos) == a &&
           consume(line, pos, ' ') && readAString(line, pos) == b && pos == line.size());
    const auto notQuotable = [](char c) { return c == '\r' || c == '\n' || !c || c & 0x80; };
    const QByteArray ab = a + b;
    assert(needsLiteral(ab) == std::any_of(ab.begin(), ab.end(), notQuotable));
    assert(!isAtomSafe(a) || line.startsWith("1 LOGIN " + a + ' '));
    assert(cmd.pieces.size() == 1 + 2 * (int(needsLiteral(a)) + int(needsLiteral(b))));
}

// The command is empty exactly without criteria, names CHARSET UTF-8 exactly for non-ASCII text
// and carries the texts in clause order (the OR forms twice), then the attachment test's.
void checkSearchKey(FuzzedDataProvider &fdp)
{
    search::SearchCriteria c;
    QString *texts[] = {&c.body,   &c.subject,  &c.from,  &c.bodyOrSubject,
                        &c.toOrCc, &c.toOrFrom, &c.after, &c.before};
    for (QString *t : texts) {
        const bool wide = fdp.ConsumeIntegralInRange(0, 7) == 0;
        const std::string s = fdp.ConsumeRandomLengthString(48);
        *t = wide ? QString::fromUtf16(reinterpret_cast<const char16_t *>(s.data()), s.size() / 2)
                  : QString::fromStdString(s);
    }
    c.hasAttachment = fdp.ConsumeBool();
    const Command cmd = search::buildSearchKey(c);

    const bool anyDate = search::parseDate(c.after) || search::parseDate(c.before);
    QByteArray head = "UNDELETED";
    QByteArrayList expected;
    for (int i = 0; i < 6; ++i) {
        for (int n = texts[i]->isEmpty() ? 0 : 1 + (i >= 3); n > 0; --n)
            expected += texts[i]->toUtf8();
        if (std::any_of(texts[i]->begin(), texts[i]->end(), [](QChar ch) { return ch > u'\x7f'; }))
            head.prepend(head.startsWith("CHARSET") ? "" : "CHARSET UTF-8 ");
    }
    if (c.hasAttachment)
        expected += {"CONTENT-TYPE", "multipart/mixed"};
    assert(cmd.isEmpty() == (expected.isEmpty() && !anyDate));
    const QByteArray line = cmd.isEmpty() ? "1 SEARCH " + head : oneCommand(cmd);
    assert(line.startsWith("1 SEARCH " + head));
    // Outside the strings only keywords and parentheses: every quote or brace opens a string.
    QByteArrayList strings;
    for (qsizetype pos = head.size() + 9; pos < line.size();) {
        const char ch = line[pos];
        const auto s = ch == '"' || ch == '{' ? readString(line, pos) : std::nullopt;
        assert(s || QByteArrayView(" ()-").contains(ch) || std::isalnum(uchar(ch)));
        s ? strings.append(*s) : void(++pos);
    }
    assert(cmd.isEmpty() || strings == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    if (fdp.ConsumeBool()) {
        const QByteArray a = QByteArray::fromStdString(fdp.ConsumeRandomLengthString(256));
        checkArguments(a, QByteArray::fromStdString(fdp.ConsumeRandomLengthString(256)));
    } else {
        checkSearchKey(fdp);
    }
    return 0;
}
