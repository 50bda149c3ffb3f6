#include "search/dates.h"

#include "imap/datetext.h"

#include <QLatin1String>
#include <QTime>

namespace search {

namespace {

using imap::DateCursor;
using imap::DateToken;
using Kind = imap::DateToken::Kind;

// A year of four digits, or of two digits (00-49 is 20yy, 50-99 is 19yy); -1 otherwise.
int typedYear(DateCursor &c)
{
    if (const DateToken *t = c.peek(); t && t->digits() == 2)
        return imap::twoDigitYear(c.number(2, 2));
    return c.number(4, 4);
}

// The date part of a typed date; an invalid QDate when there is none.
QDate typedDate(DateCursor &c)
{
    const DateToken *first = c.peek();
    const DateToken *second = c.peek(1);
    if (!first || !second)
        return {};

    if (first->kind == Kind::Word) { // Jan 3, 2006 / January 3 2006
        const int m = c.month();
        const int d = c.glued() ? -1 : c.number(1, 2);
        c.punct(',');
        const int y = typedYear(c);
        return m && d >= 0 && y >= 0 ? QDate(y, m, d) : QDate();
    }

    if (first->digits() == 4 && second->is('-')) { // 2006-01-05
        const int y = c.number(4, 4);
        int m = -1;
        int d = -1;
        if (c.glued() && c.punct('-') && c.glued())
            m = c.number(1, 2);
        if (m >= 0 && c.glued() && c.punct('-') && c.glued())
            d = c.number(1, 2);
        return d >= 0 ? QDate(y, m, d) : QDate();
    }

    const int lead = c.number(1, 2);
    if (lead < 0)
        return {};
    // 1/5/2006, 01/05/06, 1-5-2006: month, day, year
    if (const DateToken *t = c.peek(1); c.glued() && t && t->kind == Kind::Number &&
                                        !t->spaceBefore &&
                                        (c.peek()->is('/') || c.peek()->is('-'))) {
        const char sep = c.peek()->is('/') ? '/' : '-';
        c.punct(sep);
        const int d = c.number(1, 2);
        int y = -1;
        if (d >= 0 && c.glued() && c.punct(sep) && c.glued())
            y = typedYear(c);
        return y >= 0 ? QDate(y, lead, d) : QDate();
    }
    // 3 Jan 2006, 3-Jan-2006, 3 January 06
    const bool dashed = c.glued() && c.peek()->is('-');
    int m = 0;
    if (c.dateSeparator(dashed))
        m = c.month();
    if (!m || !c.dateSeparator(dashed))
        return {};
    const int y = typedYear(c);
    return y >= 0 ? QDate(y, m, lead) : QDate();
}

// A typed time of day: h:mm or h:mm:ss, 24-hour, or 12-hour followed by AM or PM.
QTime typedTime(DateCursor &c)
{
    const int h = c.number(1, 2);
    if (h < 0 || !c.glued() || !c.punct(':') || !c.glued())
        return {};
    const int m = c.number(2, 2);
    int s = 0;
    if (m >= 0 && c.glued() && c.punct(':')) {
        s = c.glued() ? c.number(2, 2) : -1;
        if (s < 0)
            return {};
    }
    if (m < 0 || m > 59 || s > 59)
        return {};
    if (const DateToken *t = c.peek(); t && t->kind == Kind::Word) {
        const QStringView ampm = c.word();
        const bool pm = imap::sameWord(ampm, "PM");
        if ((!pm && !imap::sameWord(ampm, "AM")) || h < 1 || h > 12)
            return {};
        return QTime((h % 12) + (pm ? 12 : 0), m, s);
    }
    return h <= 23 ? QTime(h, m, s) : QTime();
}

} // namespace

std::optional<QDateTime> parseDate(QStringView text)
{
    imap::DateTokens tokens;
    if (!imap::tokenizeDate(text, false, tokens))
        return std::nullopt;
    DateCursor c(tokens);
    c.skipDayName();
    const QDate date = typedDate(c);
    if (!date.isValid())
        return std::nullopt;
    QTime time(0, 0);
    if (!c.atEnd()) {
        if (c.glued())
            return std::nullopt;
        time = typedTime(c);
        if (!time.isValid())
            return std::nullopt;
    }
    if (!c.atEnd())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

QString formatFieldDate(const QDateTime &value)
{
    const QDate d = value.date();
    if (!d.isValid())
        return {};
    return QStringLiteral("%1/%2/%3")
        .arg(d.month())
        .arg(d.day())
        .arg(d.year(), 4, 10, QLatin1Char('0'));
}

QString formatImapDate(const QDate &date)
{
    if (!date.isValid())
        return {};
    const QLatin1String month = imap::monthAbbreviation(date.month());
    return QStringLiteral("%1-%2-%3")
        .arg(date.day())
        .arg(month)
        .arg(date.year(), 4, 10, QLatin1Char('0'));
}

DateFieldValidation validateDateField(const QString &thisText, const QString &otherText,
                                      bool thisIsBefore)
{
    if (thisText.isEmpty())
        return {false, thisText};
    const std::optional<QDateTime> mine = parseDate(thisText);
    if (!mine)
        return {true, thisText};
    if (!otherText.isEmpty()) {
        if (const std::optional<QDateTime> other = parseDate(otherText)) {
            const QDate before = (thisIsBefore ? mine : other)->date();
            const QDate after = (thisIsBefore ? other : mine)->date();
            if (before < after)
                return {false, otherText};
        }
    }
    return {false, formatFieldDate(*mine)};
}

} // namespace search
