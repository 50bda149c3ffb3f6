// Modified UTF-7 mailbox names.
//
// Input: the first byte picks what the rest is.
// - even: a name as a server sends it: decoding takes any bytes; encoding the decoded text and
//   decoding again gives the same text (decoded text never holds lone surrogates).
// - odd: UTF-16 text (two bytes per unit, so lone surrogates occur): its encoding is printable
//   US-ASCII with every "&" opening a run or standing as "&-", and decoding it gives the text
//   back, with lone surrogates turned into U+FFFD.

#include "fuzzcommon.h"

#include "imap/mutf7.h"

using namespace imap;

namespace {

void checkEncoding(const QByteArray &encoded)
{
    for (char c : encoded)
        FQ_CHECK(c >= 0x20 && c <= 0x7e);
}

QString withoutLoneSurrogates(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
        } else if (c.isSurrogate()) {
            out += QChar(QChar::ReplacementCharacter);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        const QString decoded = decodeMailboxName(rest);
        FQ_CHECK(decoded.isEmpty() == rest.isEmpty());
        FQ_CHECK(withoutLoneSurrogates(decoded) == decoded);
        const QByteArray encoded = encodeMailboxName(decoded);
        checkEncoding(encoded);
        FQ_CHECK(decodeMailboxName(encoded) == decoded);
        return 0;
    }
    QString text(rest.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(quint8(rest.at(2 * i)) << 8 | quint8(rest.at(2 * i + 1))));
    const QByteArray encoded = encodeMailboxName(text);
    checkEncoding(encoded);
    FQ_CHECK(decodeMailboxName(encoded) == withoutLoneSurrogates(text));
    return 0;
}
