#include "imap/command.h"

namespace imap {

namespace {
bool isAtomSpecial(char c)
{
    switch (c) {
    case '(':
    case ')':
    case '{':
    case ' ':
    case '%':
    case '*':
    case '"':
    case '\\':
    case ']':
        return true;
    default:
        return false;
    }
}
} // namespace

QByteArray Command::wireBytes() const
{
    QByteArray out;
    qsizetype total = 0;
    for (const QByteArray &p : pieces)
        total += p.size();
    out.reserve(total);
    for (const QByteArray &p : pieces)
        out += p;
    return out;
}

QString Command::text() const
{
    QByteArray bytes = shown.isEmpty() ? wireBytes() : shown.join();
    if (bytes.endsWith("\r\n"))
        bytes.chop(2);
    return QString::fromUtf8(bytes);
}

bool isAtomSafe(QByteArrayView value)
{
    if (value.isEmpty())
        return false;
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7f || isAtomSpecial(ch))
            return false;
    }
    return true;
}

bool needsLiteral(QByteArrayView value)
{
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r' || c == '\n' || c == 0 || c >= 0x80)
            return true;
    }
    return false;
}

QByteArray quoted(QByteArrayView value)
{
    QByteArray out;
    out.reserve(value.size() + 2);
    out += '"';
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

CommandBuilder::CommandBuilder(QByteArrayView head)
{
    m_pieces.append(head.toByteArray());
}

CommandBuilder &CommandBuilder::raw(QByteArrayView text)
{
    m_pieces.last() += text;
    return *this;
}

CommandBuilder &CommandBuilder::astring(QByteArrayView value)
{
    if (isAtomSafe(value))
        m_pieces.last() += value;
    else
        string(value);
    return *this;
}

CommandBuilder &CommandBuilder::string(QByteArrayView value)
{
    if (needsLiteral(value))
        literal(value);
    else
        m_pieces.last() += quoted(value);
    return *this;
}

void CommandBuilder::literal(QByteArrayView value)
{
    m_pieces.last() += '{' + QByteArray::number(value.size()) + "}\r\n";
    m_pieces.append(value.toByteArray());
}

CommandBuilder &CommandBuilder::secret(QByteArrayView value)
{
    const qsizetype piece = m_pieces.size() - 1;
    const qsizetype start = m_pieces.last().size();
    astring(value);
    if (m_pieces.size() == piece + 1) {
        m_secrets.append({piece, start, m_pieces.last().size() - start});
    } else {
        // A literal: its announcement (without the CR LF) tells the length, so it goes too.
        m_secrets.append({piece, start, m_pieces[piece].size() - 2 - start});
        m_secrets.append({piece + 1, 0, value.size()});
    }
    return *this;
}

CommandBuilder &CommandBuilder::privateAnswer()
{
    m_privateAnswer = true;
    return *this;
}

Command CommandBuilder::finish() const
{
    Command cmd{m_pieces, {}, m_privateAnswer};
    cmd.pieces.last() += "\r\n";
    if (!m_secrets.isEmpty()) {
        cmd.shown = cmd.pieces;
        // From the last, so that the places of those before stay as they were.
        for (auto s = m_secrets.crbegin(); s != m_secrets.crend(); ++s)
            cmd.shown[s->piece].replace(s->offset, s->length, "***");
    }
    return cmd;
}

} // namespace imap
