// Header dates (headerDateToLocal) and typed dates (parseDate and the date field rules).
//
// Input: the text, read as UTF-8. Checked:
// - a header date gives the same instant whatever the local zone (UTC, a fixed +05:30, New
//   York, Lord Howe with its half-hour daylight saving), shown in that zone; written back in
//   RFC 5322 form in UTC it reads as the same instant;
// - a typed date is a valid date and time; written as a date field keeps it (m/d/yyyy) it reads
//   as the same day at midnight; its IMAP form is not empty;
// - leaving a date field with the text: a cancel keeps the text; otherwise the text is empty or
//   a date.

#include "fuzzcommon.h"

#include "search/dates.h"

#include <QLocale>

using namespace search;

namespace {

const QList<QTimeZone> &zones()
{
    static const QList<QTimeZone> list = [] {
        QList<QTimeZone> z{QTimeZone::utc(), QTimeZone(5 * 3600 + 30 * 60)};
        for (const char *id : {"America/New_York", "Australia/Lord_Howe"}) {
            const QTimeZone zone(id);
            if (zone.isValid())
                z.append(zone);
        }
        return z;
    }();
    return list;
}

QString rfc5322Utc(const QDateTime &utc)
{
    const QLocale c = QLocale::c();
    return c.toString(utc, u"ddd, d MMM yyyy HH:mm:ss") + QStringLiteral(" +0000");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(fuzz::bytesOf(data, size));

    QDateTime instant;
    for (const QTimeZone &zone : zones()) {
        const QDateTime local = headerDateToLocal(text, zone);
        if (zone == zones().first()) {
            instant = local;
        } else {
            FQ_CHECK(local.isValid() == instant.isValid());
            if (local.isValid())
                FQ_CHECK(local.toMSecsSinceEpoch() == instant.toMSecsSinceEpoch());
        }
        if (local.isValid())
            FQ_CHECK(local.timeZone() == zone);
    }
    if (instant.isValid()) {
        FQ_CHECK(instant.time().msec() == 0);
        const QDateTime utc = instant.toUTC();
        if (utc.date().year() >= 1000 && utc.date().year() <= 9999) {
            const QDateTime back = headerDateToLocal(rfc5322Utc(utc), QTimeZone::utc());
            FQ_CHECK(back.isValid() && back.toMSecsSinceEpoch() == utc.toMSecsSinceEpoch());
        }
    }

    const std::optional<QDateTime> typed = parseDate(text);
    if (typed) {
        FQ_CHECK(typed->isValid() && typed->date().isValid() && typed->time().isValid());
        const QString field = formatFieldDate(*typed);
        const std::optional<QDateTime> again = parseDate(field);
        FQ_CHECK(again && again->date() == typed->date() && again->time() == QTime(0, 0));
        FQ_CHECK(!formatImapDate(*typed).isEmpty());
    }

    // The text left in one field, the other field holding a fixed date.
    for (bool isBefore : {false, true}) {
        for (const QString &other : {QString(), QStringLiteral("1/5/2006")}) {
            const DateFieldValidation v = validateDateField(text, other, isBefore);
            if (v.cancel) {
                FQ_CHECK(v.thisText == text && !typed);
            } else {
                FQ_CHECK(v.thisText.isEmpty() == text.isEmpty());
                FQ_CHECK(v.thisText.isEmpty() || parseDate(v.thisText).has_value());
            }
        }
    }
    return 0;
}
