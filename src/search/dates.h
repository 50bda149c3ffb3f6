#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>

namespace search {

// Reads a date as a user types it into a date field. Numeric dates are month first (United
// States convention) and month and day names are English, in any letter case. Accepted:
//   1/5/2006, 01/05/2006, 1/5/06      m/d/yyyy or m/d/yy (yy 00-49 is 20yy, 50-99 is 19yy)
//   1-5-2006                          the same with "-"
//   2006-01-05                        ISO yyyy-mm-dd
//   3 Jan 2006, 3-Jan-2006, 3 January 2006, 3 Jan 06
//   Jan 3, 2006, January 3 2006
// each optionally preceded by a day name ("Tue, ", "Tuesday ") and optionally followed by a
// time of day: 24-hour h:mm or h:mm:ss, or 12-hour with AM/PM ("10:15", "10:15:00", "10:15 PM").
// A date without a time stands for midnight. The year must be given. Anything else (empty
// text, a lone number, an impossible date such as 2/30/2006, extra words) gives no value.
//
// The value is a calendar date and a time of day without a time zone. It is returned as a
// QDateTime in Qt::UTC only so that no local-time rule (such as a daylight-saving gap)
// can shift or reject it; read its date() and time(), never convert it to another zone.
std::optional<QDateTime> parseDate(QStringView text);

// The date as a date field keeps it: "m/d/yyyy" without leading zeros (1/5/2006). The time of
// day is dropped. An invalid value gives the empty text.
QString formatFieldDate(const QDateTime &value);

// The date in IMAP's date form "d-mmm-yyyy" with English month abbreviations whatever the
// user's locale (5-Jan-2006). An invalid date gives the empty text.
QString formatImapDate(const QDate &date);
inline QString formatImapDate(const QDateTime &value)
{
    return formatImapDate(value.date());
}

// Outcome of leaving a date field ("On/After" or "On/Before").
struct DateFieldValidation
{
    bool cancel;      // true: the text is not a date; keep the focus in the field
    QString thisText; // the text the field left should hold from now on
};

// Decides what happens when a date field loses the focus. thisText is the field being left,
// otherText the other date field, thisIsBefore tells whether the field left is On/Before.
// - Non-empty text that is not a date: cancel, text unchanged.
// - Empty text: accepted as it is.
// - Otherwise the text is rewritten to "m/d/yyyy"; then, when the other field holds a date and
//   the On/Before date would be earlier than the On/After date, the field left takes the other
//   field's text unchanged, so the range becomes the other field's single day.
DateFieldValidation validateDateField(const QString &thisText, const QString &otherText,
                                      bool thisIsBefore);

} // namespace search
