#pragma once

#include <QDateTime>
#include <QStringView>
#include <QTimeZone>

namespace imap {

// Reads the text of a message's Date header field and returns that instant in the time zone
// `local` (wall-clock time and daylight saving as in force at that instant there).
//
// Reads RFC 5322 date-times including the obsolete forms: optional day name (abbreviated or
// full, with or without comma), one- or two-digit day, English month names in any case
// (abbreviated or full), years of 4 digits, 2 digits (00-49 is 20yy, 50-99 is 19yy) or 3 digits
// (+1900), one- or two-digit hours, optional seconds (a leap second 60 reads as 59), zones
// "+hhmm", "-hhmm", "+hh:mm", UT, GMT, Z, UTC and the North American names EST/EDT, CST/CDT,
// MST/MDT, PST/PDT. Military one-letter zones, other alphabetic zone names and a missing zone
// count as UTC, as RFC 5322 advises. Comments (nested too) and folding white space are skipped,
// and "3-Jan-2006 10:15:00 +0000" (the IMAP form) is read as well.
//
// Text that cannot be read, impossible dates or times and zones beyond +-23:59 give an invalid
// QDateTime (no date). Runs in time linear in the length of the text.
QDateTime headerDateToLocal(QStringView header,
                            const QTimeZone &local = QTimeZone::systemTimeZone());

} // namespace imap
