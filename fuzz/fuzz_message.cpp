// Message bytes (a header block or a lone date is one too): header fields, encoded words, dates,
// the MIME parse and attachment file names.
#include "imap/headerdate.h"
#include "imap/headers.h"
#include "message/mimemessage.h"
#include "message/safefilename.h"
#include "search/dates.h"

#include <QLocale>

#include <cassert>

using namespace imap;

namespace {

QByteArray word(const char *charset, char encoding, QByteArrayView bytes)
{
    QByteArray text = bytes.toByteArray().toBase64();
    if (encoding == 'Q')
        text = bytes.toByteArray().toPercentEncoding("", "-._~", '=');
    return "=?" + QByteArray(charset) + "?" + encoding + "?" + text + "?=";
}

void checkHeaders(const QByteArray &block, const QList<HeaderField> &fields)
{
    for (const HeaderField &f : fields) {
        assert(!f.name.isEmpty() && !f.value.contains('\n') && f.value == f.value.trimmed());
        const auto last = lastHeaderValue(fields, f.name.toLower());
        const auto it = std::find_if(fields.crbegin(), fields.crend(), [&](const HeaderField &g) {
            return g.name.compare(f.name, Qt::CaseInsensitive) == 0;
        });
        assert(last && *last == it->value);
        if (!f.value.contains("=?"))
            assert(decodeHeaderText(f.value) == decodeUtf8OrLatin1(f.value));
    }
    const QString text = QString::fromUtf8(block);
    assert(decodeUtf8OrLatin1(block) ==
           (text.toUtf8() == block ? text : QString::fromLatin1(block)));
    assert(decodeHeaderText(word("ISO-8859-1", 'B', block)) == QString::fromLatin1(block));
    // A byte order mark at the start of a word's text is taken as a mark, not as text.
    if (text.startsWith(QChar(0xfeff)))
        return;
    const QByteArray bytes = text.toUtf8();
    for (char encoding : {'B', 'Q'}) {
        assert(decodeHeaderText("Re: " + word("UTF-8", encoding, bytes)) == "Re: " + text);
        if (bytes.size() < 2)
            continue;
        const qsizetype cut = 1 + qsizetype(quint8(bytes[0])) % (bytes.size() - 1);
        assert(decodeHeaderText(word("utf-8", encoding, bytes.first(cut)) + " \t " +
                                word("UTF-8", encoding, bytes.sliced(cut))) == text);
    }
}

void checkDates(const QString &text)
{
    static const QList<QTimeZone> zones = {QTimeZone::utc(), QTimeZone(5 * 3600 + 30 * 60),
                                           QTimeZone("America/New_York"),
                                           QTimeZone("Australia/Lord_Howe")};
    const QDateTime instant = imap::headerDateToLocal(text, QTimeZone::utc());
    for (const QTimeZone &zone : zones) {
        const QDateTime local = imap::headerDateToLocal(text, zone);
        assert(local == instant && (!local.isValid() || local.timeZone() == zone));
    }
    assert(!instant.isValid() || instant.time().msec() == 0);
    if (instant.date().year() >= 1000 && instant.date().year() <= 9999) {
        const QString rfc5322 = QLocale::c().toString(instant, u"ddd, d MMM yyyy HH:mm:ss");
        const QDateTime back = imap::headerDateToLocal(rfc5322 + " +0000", QTimeZone::utc());
        assert(back.isValid() && back == instant);
    }
    const std::optional<QDateTime> typed = search::parseDate(text);
    const auto again = search::parseDate(search::formatFieldDate(typed.value_or(QDateTime())));
    assert(!typed || (typed->isValid() && !search::formatImapDate(*typed).isEmpty() && again &&
                      again->date() == typed->date() && again->time() == QTime(0, 0)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<HeaderField> fields = parseHeaderBlock(bytes);
    checkHeaders(bytes, fields);
    const auto date = lastHeaderValue(fields, "Date");
    checkDates(date ? decodeUtf8OrLatin1(*date) : QString::fromUtf8(bytes));

    const message::MessageContent c = message::parseMessage(bytes, QTimeZone::utc());
    const auto field = [&](QByteArrayView name) {
        const auto value = lastHeaderValue(fields, name);
        return value ? decodeHeaderText(*value) : QString();
    };
    assert(c.from == field("From") && c.to == field("To") && c.cc == field("Cc") &&
           c.subject == field("Subject"));
    assert(c.dateHeader == (date ? decodeUtf8OrLatin1(*date) : QString()));
    assert(c.date == imap::headerDateToLocal(c.dateHeader, QTimeZone::utc()));
    assert(c.attachments.size() <= message::kMaxParts);
    for (const message::Attachment &a : c.attachments) {
        const QString name = message::safeFileName(a.name);
        assert(!name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
               !name.contains(u'\\') && !name.startsWith(u'.') &&
               name.toUtf8().size() <= message::kMaxFileNameBytes);
    }
    return 0;
}
