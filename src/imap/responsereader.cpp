#include "imap/responsereader.h"

#include <cstring>

namespace imap {

namespace {

// "* OK", "* BYE" ...: the word must be followed by a space or end the line.
bool isUntagged(QByteArrayView line, QByteArrayView word)
{
    const qsizetype n = 2 + word.size();
    if (line.size() < n || line[0] != '*' || line[1] != ' ')
        return false;
    if (line.sliced(2, word.size()).compare(word, Qt::CaseInsensitive) != 0)
        return false;
    return line.size() == n || line[n] == ' ';
}

QByteArray textAfterStatus(QByteArrayView line)
{
    // skip tag and status word
    qsizetype pos = line.indexOf(' ');
    if (pos < 0)
        return {};
    pos = line.indexOf(' ', pos + 1);
    if (pos < 0)
        return {};
    QByteArrayView rest = line.sliced(pos + 1);
    if (rest.startsWith('[')) {
        const qsizetype close = rest.indexOf(']');
        rest = close < 0 ? QByteArrayView() : rest.sliced(close + 1);
    }
    return rest.trimmed().toByteArray();
}

} // namespace

Response::Status Response::status() const
{
    const QByteArray line = lastLine();
    const qsizetype sp = line.indexOf(' ');
    if (sp < 0)
        return Status::None;
    QByteArrayView rest = QByteArrayView(line).sliced(sp + 1);
    const qsizetype end = rest.indexOf(' ');
    const QByteArray word = (end < 0 ? rest : rest.first(end)).toByteArray().toUpper();
    if (word == "OK")
        return Status::Ok;
    if (word == "NO")
        return Status::No;
    if (word == "BAD")
        return Status::Bad;
    if (word == "BYE")
        return Status::Bye;
    if (word == "PREAUTH")
        return Status::Preauth;
    return Status::None;
}

QByteArray Response::statusText() const
{
    return textAfterStatus(lastLine());
}

QString withServerText(const QString &what, const Response &response)
{
    const QByteArray text = response.statusText();
    return text.isEmpty() ? what : what + QStringLiteral(": ") + QString::fromUtf8(text);
}

void ResponseReader::feed(QByteArrayView bytes)
{
    if (m_error != Error::None)
        return;
    m_buf.append(bytes);
    frame();
}

Response ResponseReader::takeResponse()
{
    Response r;
    r.lines = std::move(m_lines);
    m_lines = {};
    m_responseBytes = 0;
    m_complete = false;
    frame();
    return r;
}

void ResponseReader::expectResponse(bool streamUntagged)
{
    m_streaming.append(streamUntagged);
}

bool ResponseReader::takeContinuation()
{
    const bool was = m_continuation;
    m_continuation = false;
    return was;
}

QString ResponseReader::errorText() const
{
    switch (m_error) {
    case Error::None:
        return {};
    case Error::LineTooLong:
        return QStringLiteral("server sent a line that is too long");
    case Error::LiteralTooLarge:
        return QStringLiteral("server announced a literal that is too large");
    case Error::BadLiteral:
        return QStringLiteral("server sent a malformed literal");
    case Error::ResponseTooLarge:
        return QStringLiteral("server sent a response that is too large");
    }
    return {};
}

void ResponseReader::reset()
{
    *this = ResponseReader(m_limits);
}

void ResponseReader::frame()
{
    while (!m_complete && m_error == Error::None) {
        const qsizetype end = m_buf.size();
        if (m_literalLeft > 0) {
            const qsizetype take = qMin(m_literalLeft, end - m_scan);
            m_scan += take;
            m_literalLeft -= take;
            if (m_literalLeft > 0)
                return;
            m_segStart = m_scan;
            continue;
        }
        const char *data = m_buf.constData();
        const void *hit = std::memchr(data + m_scan, '\n', size_t(end - m_scan));
        if (!hit) {
            m_scan = end;
            // A CR at the end may be the first half of the line's CR LF, which is no text.
            qsizetype text = end - m_consumed - m_literalBytesInLine;
            if (end > m_segStart && data[end - 1] == '\r')
                --text;
            if (text > m_limits.maxLineBytes)
                m_error = Error::LineTooLong;
            return;
        }
        const qsizetype nl = static_cast<const char *>(hit) - data;
        qsizetype contentEnd = nl;
        if (contentEnd > m_segStart && data[contentEnd - 1] == '\r')
            --contentEnd;
        if (contentEnd - m_consumed - m_literalBytesInLine > m_limits.maxLineBytes) {
            m_error = Error::LineTooLong;
            return;
        }
        // A literal announcement "{n}" or "{n+}" at the end of the line's text.
        if (contentEnd > m_segStart && data[contentEnd - 1] == '}') {
            qsizetype p = contentEnd - 1;
            if (p > m_segStart && data[p - 1] == '+')
                --p;
            qsizetype digitsEnd = p;
            while (p > m_segStart && data[p - 1] >= '0' && data[p - 1] <= '9')
                --p;
            if (p > m_segStart && data[p - 1] == '{' && p < digitsEnd) {
                if (digitsEnd - p > 18) {
                    m_error = Error::LiteralTooLarge;
                    return;
                }
                qint64 n = 0;
                for (qsizetype i = p; i < digitsEnd; ++i)
                    n = n * 10 + (data[i] - '0');
                // The literals of one line count together: many literals within the cap
                // must not add up to an unbounded line.
                if (n > m_limits.maxLiteralBytes - m_literalBytesInLine) {
                    m_error = Error::LiteralTooLarge;
                    return;
                }
                m_literalLeft = n;
                m_literalBytesInLine += n;
                m_scan = nl + 1;
                m_segStart = m_scan;
                continue;
            }
        }
        completeLine(contentEnd, nl + 1);
    }
}

void ResponseReader::completeLine(qsizetype contentEnd, qsizetype next)
{
    QByteArray line = m_buf.mid(m_consumed, contentEnd - m_consumed);
    m_consumed = next;
    m_scan = next;
    m_segStart = next;
    m_literalBytesInLine = 0;

    if (line.startsWith('+')) {
        m_continuation = true;
        m_continuationLine = std::move(line);
    } else {
        const bool tagged = line.size() >= 2 && line[0] == '1' && line[1] == ' ';
        bool greeting = false;
        if (m_greetingMode) {
            greeting =
                isUntagged(line, "OK") || isUntagged(line, "PREAUTH") || isUntagged(line, "BYE");
            // There is one greeting per connection.
            m_greetingMode = !greeting;
        } else if (isUntagged(line, "BYE")) {
            m_sawBye = true;
            m_byeText = textAfterStatus(line);
        }
        m_responseBytes += line.size() + kLineCost;
        if (m_responseBytes > m_limits.maxResponseBytes) {
            m_error = Error::ResponseTooLarge;
            return;
        }
        m_lines.append(std::move(line));
        const bool streaming = !greeting && m_streamingAnswered < m_streaming.size() &&
                               m_streaming.at(m_streamingAnswered);
        if (tagged && m_streamingAnswered < m_streaming.size()) {
            if (++m_streamingAnswered > 64 && m_streamingAnswered * 2 > m_streaming.size()) {
                m_streaming.remove(0, m_streamingAnswered);
                m_streamingAnswered = 0;
            }
        }
        if (tagged || greeting || streaming)
            m_complete = true;
    }
    compact();
}

void ResponseReader::compact()
{
    if (m_consumed == 0 || m_consumed < m_buf.size() / 2)
        return;
    m_buf.remove(0, m_consumed);
    m_scan -= m_consumed;
    m_segStart -= m_consumed;
    m_consumed = 0;
}

} // namespace imap
