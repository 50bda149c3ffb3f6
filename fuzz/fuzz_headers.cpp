// Header block parsing, unfolding and RFC 2047 decoding.
//
// Input: a header block. Checked:
// - fields have names without white space, control bytes or colon, and values without line
//   breaks or outer white space; lastHeaderValue finds the last field of a name in any case;
// - the decoders take any bytes; decodeUtf8OrLatin1 gives the UTF-8 text when the bytes are
//   valid UTF-8 and one character per byte otherwise;
// - encoded words give back the text put into them: the input, read as text, is encoded in B
//   and in Q, whole and cut into two adjacent words at any byte (even inside a character), in
//   UTF-8, and the decoded value equals the text.

#include "fuzzcommon.h"

#include "imap/headers.h"

#include <QStringDecoder>

using namespace imap;

namespace {

bool isValidUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder(bytes);
    return !decoder.hasError();
}

QByteArray qEncode(QByteArrayView bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        out += '=';
        out += kHex[u >> 4];
        out += kHex[u & 15];
    }
    return out;
}

QByteArray word(const char *charset, char encoding, QByteArrayView bytes)
{
    const QByteArray text = encoding == 'B' ? bytes.toByteArray().toBase64() : qEncode(bytes);
    return "=?" + QByteArray(charset) + "?" + encoding + "?" + text + "?=";
}

void checkEncodedWords(QByteArrayView input)
{
    const QString text = QString::fromUtf8(input);
    // A byte order mark at the start of a word's text is taken as a mark, not as text.
    if (text.startsWith(QChar(0xfeff)))
        return;
    const QByteArray utf8 = text.toUtf8();
    for (char encoding : {'B', 'Q'}) {
        const QByteArray whole = word("UTF-8", encoding, utf8);
        FQ_CHECK(decodeHeaderText(whole) == text);
        FQ_CHECK(decodeHeaderText("Re: " + whole) == "Re: " + text);
        if (utf8.size() < 2)
            continue;
        const qsizetype cut = 1 + qsizetype(quint8(utf8.at(0))) % (utf8.size() - 1);
        const QByteArray split = word("utf-8", encoding, QByteArrayView(utf8).first(cut)) + " \t " +
                                 word("UTF-8", encoding, QByteArrayView(utf8).sliced(cut));
        FQ_CHECK(decodeHeaderText(split) == text);
    }
    // Latin-1: every byte is a character.
    const QString latin1 = QString::fromLatin1(input);
    FQ_CHECK(decodeHeaderText(word("ISO-8859-1", 'B', input)) == latin1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray block = fuzz::bytesOf(data, size);
    const QList<HeaderField> fields = parseHeaderBlock(block);
    for (const HeaderField &f : fields) {
        FQ_CHECK(!f.name.isEmpty());
        for (char c : f.name) {
            const auto u = static_cast<unsigned char>(c);
            FQ_CHECK(u > 0x20 && u < 0x7f && c != ':');
        }
        FQ_CHECK(!f.value.contains('\n'));
        FQ_CHECK(f.value == f.value.trimmed());
        const auto last = lastHeaderValue(fields, f.name.toLower());
        FQ_CHECK(last.has_value());
        for (auto it = fields.crbegin(); it != fields.crend(); ++it) {
            if (it->name.compare(f.name, Qt::CaseInsensitive) == 0) {
                FQ_CHECK(*last == it->value);
                break;
            }
        }
        const QString decoded = decodeHeaderText(f.value);
        if (!f.value.contains("=?"))
            FQ_CHECK(decoded == decodeUtf8OrLatin1(f.value));
    }
    FQ_CHECK(!lastHeaderValue(fields, "X-Not-There: ").has_value());

    const QString text = decodeUtf8OrLatin1(block);
    if (isValidUtf8(block))
        FQ_CHECK(text == QString::fromUtf8(block));
    else
        FQ_CHECK(text == QString::fromLatin1(block));
    (void)decodeHeaderText(block);

    checkEncodedWords(block);
    return 0;
}
