#include "imap/headerdate.h"

#include "imap/datetext.h"

#include <QTime>

#include <algorithm>
#include <array>
#include <optional>

namespace imap {

namespace {

// The offset in seconds of an alphabetic zone. Names not known here (and the military letters,
// whose signs were published wrongly) count as UTC, as RFC 5322 advises for unknown zones.
std::optional<int> zoneNameOffset(QStringView name)
{
    struct Named
    {
        const char *name;
        int hours;
    };
    static constexpr std::array<Named, 12> kZones = {{{"UT", 0},
                                                      {"UTC", 0},
                                                      {"GMT", 0},
                                                      {"Z", 0},
                                                      {"EST", -5},
                                                      {"EDT", -4},
                                                      {"CST", -6},
                                                      {"CDT", -5},
                                                      {"MST", -7},
                                                      {"MDT", -6},
                                                      {"PST", -8},
                                                      {"PDT", -7}}};
    for (const Named &z : kZones) {
        if (sameWord(name, z.name))
            return z.hours * 3600;
    }
    if (name.size() == 1 && !sameWord(name, "J"))
        return 0;
    if (name.size() >= 3 && name.size() <= 5)
        return 0;
    return std::nullopt;
}

// The zone of a header date in seconds east of UTC: "+hhmm", "-hhmm", "+hh:mm" (optionally
// followed by a zone name, which is ignored), a zone name, or nothing (UTC).
std::optional<int> headerZone(DateCursor &c)
{
    if (c.atEnd())
        return 0;
    const bool plus = c.punct('+');
    if (plus || c.punct('-')) {
        int hh = -1;
        int mm = -1;
        if (const DateToken *t = c.peek(); t && t->digits() == 4) {
            const int hhmm = c.number(4, 4);
            hh = hhmm / 100;
            mm = hhmm % 100;
        } else if (t && t->digits() == 2) {
            hh = c.number(2, 2);
            mm = c.punct(':') ? c.number(2, 2) : -1;
        }
        if (hh < 0 || hh > 23 || mm < 0 || mm > 59)
            return std::nullopt;
        if (const DateToken *t = c.peek();
            t && t->kind == DateToken::Kind::Word && !zoneNameOffset(c.word()))
            return std::nullopt;
        return (plus ? 1 : -1) * (hh * 3600 + mm * 60);
    }
    const QStringView name = c.word();
    return name.isEmpty() ? std::nullopt : zoneNameOffset(name);
}

// The header date as an instant in UTC; an invalid QDateTime when it cannot be read.
QDateTime headerInstant(QStringView header)
{
    DateTokens tokens;
    if (!tokenizeDate(header, true, tokens))
        return {};
    DateCursor c(tokens);

    if (const DateToken *t = c.peek(); t && t->kind == DateToken::Kind::Word) {
        if (!isDayName(t->text))
            return {};
        c.skipDayName();
    }

    const int day = c.number(1, 2);
    if (day < 0)
        return {};
    const bool dashed = c.glued() && c.peek()->is('-');
    int month = 0;
    if (c.dateSeparator(dashed))
        month = c.month();
    if (!month || !c.dateSeparator(dashed))
        return {};
    const DateToken *yearToken = c.peek();
    int year = c.number(2, 4);
    if (year < 0)
        return {};
    if (yearToken->digits() == 2)
        year = twoDigitYear(year);
    else if (yearToken->digits() == 3)
        year += 1900;

    // Hours, minutes and seconds; white space may stand around the colons.
    if (c.glued())
        return {};
    const int hour = c.number(1, 2);
    const int minute = c.punct(':') ? c.number(2, 2) : -1;
    const int second = c.punct(':') ? c.number(2, 2) : 0;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return {};

    const std::optional<int> zone = headerZone(c);
    if (!zone || !c.atEnd())
        return {};

    const QDate date(year, month, day);
    if (!date.isValid())
        return {};
    // A leap second has no place in QTime; it is shown as the second before it.
    const QTime time(hour, minute, std::min(second, 59));
    return QDateTime(date, time, Qt::UTC).addSecs(-*zone);
}

} // namespace

QDateTime headerDateToLocal(QStringView header, const QTimeZone &local)
{
    const QDateTime utc = headerInstant(header);
    return utc.isValid() ? utc.toTimeZone(local) : QDateTime();
}

} // namespace imap
