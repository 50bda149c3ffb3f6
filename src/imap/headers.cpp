#include "imap/headers.h"

#include <QStringDecoder>

namespace imap {

namespace {

bool isWsp(char c)
{
    return c == ' ' || c == '\t';
}

bool isFieldNameChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != ':';
}

bool isAscii(QByteArrayView bytes)
{
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool isValidUtf8(QByteArrayView bytes)
{
    if (isAscii(bytes))
        return true;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    const QString ignored = decoder(bytes);
    return !decoder.hasError();
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The "Q" encoding of RFC 2047: "_" is a space, "=XX" a byte in hex, anything else itself.
std::optional<QByteArray> decodeQ(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hexValue(text.at(i + 1));
            const int lo = hexValue(text.at(i + 2));
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += char(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct EncodedWord
{
    qsizetype end = 0;  // index just past the closing "?="
    QByteArray charset; // without any RFC 2231 language suffix
    QByteArray bytes;   // the decoded bytes, still in `charset`
};

// An encoded word =?charset?encoding?text?= starting at `start` (which holds "=?").
std::optional<EncodedWord> parseEncodedWord(QByteArrayView raw, qsizetype start)
{
    // Printable ASCII other than "?" and space: the bytes charset and text may hold.
    const auto isTokenChar = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f && c != '?';
    };
    qsizetype i = start + 2;
    const qsizetype charsetStart = i;
    while (i < raw.size() && isTokenChar(raw.at(i)))
        ++i;
    if (i == charsetStart || i + 2 >= raw.size() || raw.at(i) != '?' || raw.at(i + 2) != '?')
        return std::nullopt;
    QByteArray charset = raw.sliced(charsetStart, i - charsetStart).toByteArray();
    const char encoding = raw.at(i + 1);
    i += 3;
    const qsizetype textStart = i;
    while (i < raw.size() && isTokenChar(raw.at(i)))
        ++i;
    if (i + 1 >= raw.size() || raw.at(i) != '?' || raw.at(i + 1) != '=')
        return std::nullopt;
    const QByteArrayView text = raw.sliced(textStart, i - textStart);

    std::optional<QByteArray> bytes;
    if (encoding == 'Q' || encoding == 'q') {
        bytes = decodeQ(text);
    } else if (encoding == 'B' || encoding == 'b') {
        auto result = QByteArray::fromBase64Encoding(text.toByteArray(),
                                                     QByteArray::AbortOnBase64DecodingErrors);
        if (result)
            bytes = std::move(*result);
    }
    if (!bytes)
        return std::nullopt;

    const qsizetype star = charset.indexOf('*'); // RFC 2231: charset*language
    if (star >= 0)
        charset.truncate(star);
    if (charset.isEmpty() || !QStringDecoder(charset.constData()).isValid())
        return std::nullopt;
    return EncodedWord{i + 2, std::move(charset), std::move(*bytes)};
}

bool isAllWhitespace(QByteArrayView bytes)
{
    for (char c : bytes) {
        if (!isWsp(c) && c != '\r' && c != '\n')
            return false;
    }
    return true;
}

} // namespace

QList<HeaderField> parseHeaderBlock(QByteArrayView block)
{
    QList<HeaderField> fields;
    bool inField = false; // whether a continuation line belongs to fields.last()
    qsizetype i = 0;
    while (i < block.size()) {
        const qsizetype newline = block.indexOf('\n', i);
        const qsizetype lineEnd = newline < 0 ? block.size() : newline;
        QByteArrayView line = block.sliced(i, lineEnd - i);
        i = newline < 0 ? block.size() : newline + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            break;
        if (isWsp(line.front())) {
            if (inField)
                fields.last().value += line;
            continue;
        }
        inField = false;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        QByteArrayView name = line.first(colon);
        while (!name.isEmpty() && isWsp(name.back()))
            name.chop(1);
        bool nameOk = !name.isEmpty();
        for (char c : name)
            nameOk = nameOk && isFieldNameChar(c);
        if (!nameOk)
            continue;
        fields.append(HeaderField{name.toByteArray(), line.sliced(colon + 1).toByteArray()});
        inField = true;
    }
    for (HeaderField &field : fields)
        field.value = field.value.trimmed();
    return fields;
}

std::optional<QByteArray> lastHeaderValue(const QList<HeaderField> &fields, QByteArrayView name)
{
    for (auto it = fields.crbegin(); it != fields.crend(); ++it) {
        if (it->name.compare(name, Qt::CaseInsensitive) == 0)
            return it->value;
    }
    return std::nullopt;
}

QString decodeUtf8OrLatin1(QByteArrayView bytes)
{
    if (isValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    return QString::fromLatin1(bytes);
}

QString decodeHeaderText(QByteArrayView raw)
{
    const bool utf8 = isValidUtf8(raw);
    QString out;
    const auto appendPlain = [&](QByteArrayView bytes) {
        out += utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
    };

    // Adjacent encoded words in the same charset are decoded together, so that a character
    // whose bytes were split across two words comes out whole.
    bool havePending = false;
    QByteArray pendingCharset;
    QByteArray pendingBytes;
    const auto flush = [&] {
        if (!havePending)
            return;
        QStringDecoder decoder(pendingCharset.constData());
        out += decoder(pendingBytes);
        havePending = false;
    };

    qsizetype emitted = 0; // raw[0, emitted) is in `out` or pending
    qsizetype from = 0;
    qsizetype start;
    while ((start = raw.indexOf("=?", from)) >= 0) {
        auto word = parseEncodedWord(raw, start);
        if (!word) {
            from = start + 1;
            continue;
        }
        const QByteArrayView gap = raw.sliced(emitted, start - emitted);
        if (!havePending || !isAllWhitespace(gap)) {
            flush();
            appendPlain(gap);
        }
        if (havePending && pendingCharset.compare(word->charset, Qt::CaseInsensitive) == 0) {
            pendingBytes += word->bytes;
        } else {
            flush();
            havePending = true;
            pendingCharset = std::move(word->charset);
            pendingBytes = std::move(word->bytes);
        }
        emitted = from = word->end;
    }
    flush();
    appendPlain(raw.sliced(emitted));
    return out;
}

} // namespace imap
