// The readers of imap/lexer.h over one logical line, from every position a parser may reach.
//
// Input: the line. Checked for every reader at every start position:
// - on failure the position is left where it was; on success it moves forward, stays within
//   the line, and the value agrees with the bytes consumed;
// - readAString is readString or else readAtom; readNString is readString or else NIL;
// - quoted strings never hold CR or LF, numbers fit in 32 bits, atoms hold no space or control.

#include "fuzzcommon.h"

#include "imap/lexer.h"

using namespace imap;

namespace {

bool isAtomByte(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    return c > 0x20 && c != 0x7f && ch != '(' && ch != ')' && ch != '{' && ch != '"';
}

template <typename T>
void checkMove(const std::optional<T> &value, qsizetype start, qsizetype pos, qsizetype size)
{
    if (value)
        FQ_CHECK(pos > start && pos <= size);
    else
        FQ_CHECK(pos == start);
}

void checkAt(const QByteArray &line, qsizetype start)
{
    const qsizetype size = line.size();
    {
        qsizetype pos = start;
        const auto atom = readAtom(line, pos);
        checkMove(atom, start, pos, size);
        if (atom) {
            FQ_CHECK(*atom == line.mid(start, pos - start));
            for (char c : *atom)
                FQ_CHECK(isAtomByte(c));
            FQ_CHECK(pos == size || !isAtomByte(line.at(pos)));
        }
    }
    {
        qsizetype pos = start;
        const auto atom = readSectionAtom(line, pos);
        checkMove(atom, start, pos, size);
        if (atom) {
            FQ_CHECK(*atom == line.mid(start, pos - start));
            qsizetype p = start;
            const auto plain = readAtom(line, p);
            // A section atom reads at least what a plain atom reads, when it starts as one.
            if (plain)
                FQ_CHECK(pos >= p);
        }
    }
    {
        qsizetype pos = start;
        const auto number = readNumber(line, pos);
        checkMove(number, start, pos, size);
        if (number) {
            quint64 v = 0;
            for (qsizetype i = start; i < pos; ++i) {
                FQ_CHECK(line.at(i) >= '0' && line.at(i) <= '9');
                v = v * 10 + quint64(line.at(i) - '0');
            }
            FQ_CHECK(v == *number);
        }
    }
    {
        qsizetype pos = start;
        const auto quoted = readQuoted(line, pos);
        checkMove(quoted, start, pos, size);
        if (quoted) {
            FQ_CHECK(!quoted->contains('\r') && !quoted->contains('\n'));
            FQ_CHECK(line.at(start) == '"' && line.at(pos - 1) == '"');
            FQ_CHECK(quoted->size() <= pos - start - 2);
        }
    }
    {
        qsizetype pos = start;
        const auto literal = readLiteral(line, pos);
        checkMove(literal, start, pos, size);
        if (literal) {
            FQ_CHECK(line.at(start) == '{');
            FQ_CHECK(line.mid(pos - literal->size(), literal->size()) == *literal);
            const QByteArray head = line.mid(start, pos - literal->size() - start);
            FQ_CHECK(head.endsWith("}\r\n"));
            QByteArray digits = head.mid(1, head.size() - 4);
            if (digits.endsWith('+'))
                digits.chop(1);
            bool ok = false;
            FQ_CHECK(digits.toLongLong(&ok) == literal->size() && ok);
        }
    }
    {
        qsizetype pos = start;
        const auto string = readString(line, pos);
        checkMove(string, start, pos, size);
        qsizetype p1 = start;
        qsizetype p2 = start;
        const auto quoted = readQuoted(line, p1);
        const auto literal = readLiteral(line, p2);
        if (string)
            FQ_CHECK((quoted && *quoted == *string && p1 == pos) ||
                     (literal && *literal == *string && p2 == pos));
        else
            FQ_CHECK(!quoted && !literal);

        qsizetype pa = start;
        const auto astring = readAString(line, pa);
        checkMove(astring, start, pa, size);
        if (string) {
            FQ_CHECK(astring && *astring == *string && pa == pos);
        } else {
            qsizetype p3 = start;
            const auto atom = readAtom(line, p3);
            FQ_CHECK(astring.has_value() == atom.has_value());
            if (atom)
                FQ_CHECK(*astring == *atom && pa == p3);
        }

        qsizetype pn = start;
        const auto nstring = readNString(line, pn);
        checkMove(nstring, start, pn, size);
        if (nstring && !nstring->isNil)
            FQ_CHECK(string && nstring->value == *string && pn == pos);
        if (nstring && nstring->isNil)
            FQ_CHECK(nstring->value.isEmpty() && pn - start == 3 &&
                     line.mid(start, 3).compare("NIL", Qt::CaseInsensitive) == 0);
    }
    {
        qsizetype pos = start;
        const auto list = readParenthesizedList(line, pos);
        checkMove(list, start, pos, size);
        if (list)
            FQ_CHECK(line.at(start) == '(' && line.at(pos - 1) == ')');
    }
    {
        qsizetype pos = start;
        const bool ok = skipValue(line, pos);
        if (ok)
            FQ_CHECK(pos > start && pos <= size);
        else
            FQ_CHECK(pos == start);
    }
    {
        qsizetype pos = start;
        skipSpaces(line, pos);
        FQ_CHECK(pos >= start && pos <= size);
        for (qsizetype i = start; i < pos; ++i)
            FQ_CHECK(line.at(i) == ' ');
        FQ_CHECK(pos == size || line.at(pos) != ' ');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line = fuzz::bytesOf(data, size);
    // Every position costs a pass over the rest of the line; long inputs check a sample.
    const qsizetype step = line.size() > 512 ? line.size() / 256 : 1;
    for (qsizetype start = 0; start <= line.size(); start += step)
        checkAt(line, start);
    checkAt(line, line.size());
    return 0;
}
