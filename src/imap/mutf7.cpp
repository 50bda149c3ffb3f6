#include "imap/mutf7.h"

#include "imap/headers.h"

#include <optional>

namespace imap {

namespace {

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == ',')
        return 63;
    return -1;
}

bool isDirect(char16_t c)
{
    return c >= 0x20 && c <= 0x7e;
}

// The UTF-16 text of a base64 run (the bytes between "&" and "-"), or nullopt when the run is
// not a whole number of well-formed UTF-16 units with zero padding bits.
std::optional<QString> decodeRun(QByteArrayView run)
{
    QString out;
    out.reserve(run.size() * 6 / 16);
    quint32 bits = 0;
    int bitCount = 0;
    bool haveByte = false;
    quint8 highByte = 0;
    for (char c : run) {
        bits = (bits << 6) | quint32(base64Value(c));
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            const auto byte = quint8(bits >> bitCount);
            bits &= (1u << bitCount) - 1;
            if (haveByte)
                out += QChar(char16_t(highByte << 8 | byte));
            else
                highByte = byte;
            haveByte = !haveByte;
        }
    }
    // Leftover bits are padding: fewer than six, all zero, and no half unit.
    if (out.isEmpty() || haveByte || bitCount >= 6 || bits != 0)
        return std::nullopt;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const QChar c = out.at(i);
        if (c.isHighSurrogate() && i + 1 < out.size() && out.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return std::nullopt;
    }
    return out;
}

void appendRun(QByteArray &out, const QString &run)
{
    QByteArray utf16;
    utf16.reserve(run.size() * 2);
    for (QChar c : run) {
        utf16 += char(c.unicode() >> 8);
        utf16 += char(c.unicode() & 0xff);
    }
    QByteArray encoded =
        utf16.toBase64(QByteArray::Base64Encoding | QByteArray::OmitTrailingEquals);
    encoded.replace('/', ',');
    out += '&';
    out += encoded;
    out += '-';
}

} // namespace

QString decodeMailboxName(QByteArrayView name)
{
    QString out;
    qsizetype i = 0;
    while (i < name.size()) {
        if (name.at(i) != '&') {
            // UTF-8 sequences hold no "&", so cutting there keeps them whole.
            qsizetype end = name.indexOf('&', i);
            if (end < 0)
                end = name.size();
            out += decodeUtf8OrLatin1(name.sliced(i, end - i));
            i = end;
            continue;
        }
        qsizetype end = i + 1;
        while (end < name.size() && base64Value(name.at(end)) >= 0)
            ++end;
        const bool terminated = end < name.size() && name.at(end) == '-';
        if (terminated && end == i + 1) {
            out += u'&';
            i = end + 1;
            continue;
        }
        const auto text = terminated ? decodeRun(name.sliced(i + 1, end - i - 1)) : std::nullopt;
        if (text) {
            out += *text;
            i = end + 1;
        } else {
            // Not a valid run: show its bytes as they are ("-" included when present).
            const qsizetype rawEnd = terminated ? end + 1 : end;
            out += QString::fromLatin1(name.sliced(i, rawEnd - i));
            i = rawEnd;
        }
    }
    return out;
}

QByteArray encodeMailboxName(QStringView name)
{
    QByteArray out;
    out.reserve(name.size());
    QString run;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (isDirect(c.unicode())) {
            if (!run.isEmpty()) {
                appendRun(out, run);
                run.clear();
            }
            if (c == u'&')
                out += "&-";
            else
                out += char(c.unicode());
        } else if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            run += c;
            run += name.at(++i);
        } else if (c.isSurrogate()) {
            run += QChar(QChar::ReplacementCharacter);
        } else {
            run += c;
        }
    }
    if (!run.isEmpty())
        appendRun(out, run);
    return out;
}

} // namespace imap
