#include "imap/lexer.h"

#include <limits>

namespace imap {

namespace {

bool isAtomChar(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f)
        return false;
    switch (ch) {
    case '(':
    case ')':
    case '{':
    case '"':
        return false;
    default:
        return true;
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads one value that is not a list: quoted string, literal, or (section) atom.
bool skipScalar(const QByteArray &line, qsizetype &pos)
{
    if (atEnd(line, pos))
        return false;
    switch (line.at(pos)) {
    case '"':
        return readQuoted(line, pos).has_value();
    case '{':
        return readLiteral(line, pos).has_value();
    default:
        return readSectionAtom(line, pos).has_value();
    }
}

} // namespace

void skipSpaces(const QByteArray &line, qsizetype &pos)
{
    while (pos < line.size() && line.at(pos) == ' ')
        ++pos;
}

bool consume(const QByteArray &line, qsizetype &pos, char c)
{
    if (pos < 0 || atEnd(line, pos) || line.at(pos) != c)
        return false;
    ++pos;
    return true;
}

std::optional<QByteArray> readAtom(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0)
        return std::nullopt;
    qsizetype end = pos;
    while (end < line.size() && isAtomChar(line.at(end)))
        ++end;
    if (end == pos)
        return std::nullopt;
    QByteArray atom = line.mid(pos, end - pos);
    pos = end;
    return atom;
}

std::optional<QByteArray> readSectionAtom(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0)
        return std::nullopt;
    qsizetype end = pos;
    while (end < line.size()) {
        const char c = line.at(end);
        if (c == '[') {
            const qsizetype close = line.indexOf(']', end + 1);
            if (close < 0)
                return std::nullopt;
            end = close + 1;
        } else if (isAtomChar(c)) {
            ++end;
        } else {
            break;
        }
    }
    if (end == pos)
        return std::nullopt;
    QByteArray atom = line.mid(pos, end - pos);
    pos = end;
    return atom;
}

std::optional<quint32> readNumber(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0)
        return std::nullopt;
    quint64 value = 0;
    qsizetype end = pos;
    while (end < line.size() && isDigit(line.at(end))) {
        value = value * 10 + quint64(line.at(end) - '0');
        if (value > std::numeric_limits<quint32>::max())
            return std::nullopt;
        ++end;
    }
    if (end == pos)
        return std::nullopt;
    pos = end;
    return quint32(value);
}

std::optional<QByteArray> readQuoted(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0 || atEnd(line, pos) || line.at(pos) != '"')
        return std::nullopt;
    QByteArray out;
    for (qsizetype i = pos + 1; i < line.size(); ++i) {
        char c = line.at(i);
        if (c == '"') {
            pos = i + 1;
            return out;
        }
        if (c == '\r' || c == '\n')
            return std::nullopt;
        if (c == '\\') {
            if (++i >= line.size())
                return std::nullopt;
            c = line.at(i);
            if (c == '\r' || c == '\n')
                return std::nullopt;
        }
        out += c;
    }
    return std::nullopt;
}

std::optional<QByteArray> readLiteral(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0 || atEnd(line, pos) || line.at(pos) != '{')
        return std::nullopt;
    qsizetype i = pos + 1;
    const qsizetype digitsStart = i;
    qint64 size = 0;
    while (i < line.size() && isDigit(line.at(i))) {
        size = size * 10 + (line.at(i) - '0');
        if (size > line.size()) // can never fit; also keeps the sum from overflowing
            return std::nullopt;
        ++i;
    }
    if (i == digitsStart)
        return std::nullopt;
    if (i < line.size() && line.at(i) == '+')
        ++i;
    if (i + 3 > line.size() || line.at(i) != '}' || line.at(i + 1) != '\r' ||
        line.at(i + 2) != '\n')
        return std::nullopt;
    const qsizetype start = i + 3;
    if (size > line.size() - start)
        return std::nullopt;
    QByteArray bytes = line.mid(start, size);
    pos = start + size;
    return bytes;
}

std::optional<QByteArray> readString(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0 || atEnd(line, pos))
        return std::nullopt;
    if (line.at(pos) == '"')
        return readQuoted(line, pos);
    if (line.at(pos) == '{')
        return readLiteral(line, pos);
    return std::nullopt;
}

std::optional<QByteArray> readAString(const QByteArray &line, qsizetype &pos)
{
    if (auto s = readString(line, pos))
        return s;
    return readAtom(line, pos);
}

std::optional<NString> readNString(const QByteArray &line, qsizetype &pos)
{
    if (auto s = readString(line, pos))
        return NString{false, *s};
    qsizetype p = pos;
    const auto atom = readAtom(line, p);
    if (!atom || atom->compare("NIL", Qt::CaseInsensitive) != 0)
        return std::nullopt;
    pos = p;
    return NString{};
}

std::optional<QList<QByteArray>> readParenthesizedList(const QByteArray &line, qsizetype &pos)
{
    qsizetype p = pos;
    if (!consume(line, p, '('))
        return std::nullopt;
    QList<QByteArray> items;
    skipSpaces(line, p);
    if (consume(line, p, ')')) {
        pos = p;
        return items;
    }
    for (;;) {
        auto item = readAString(line, p);
        if (!item)
            return std::nullopt;
        items.append(std::move(*item));
        const qsizetype afterItem = p;
        skipSpaces(line, p);
        if (consume(line, p, ')'))
            break;
        if (p == afterItem) // items must be separated by a space
            return std::nullopt;
    }
    pos = p;
    return items;
}

bool skipValue(const QByteArray &line, qsizetype &pos)
{
    if (pos < 0)
        return false;
    qsizetype p = pos;
    qsizetype depth = 0;
    do {
        if (depth > 0)
            skipSpaces(line, p);
        if (atEnd(line, p))
            return false;
        const char c = line.at(p);
        if (c == '(') {
            ++depth;
            ++p;
        } else if (c == ')') {
            if (depth == 0)
                return false;
            --depth;
            ++p;
        } else if (!skipScalar(line, p)) {
            return false;
        }
    } while (depth > 0);
    pos = p;
    return true;
}

} // namespace imap
