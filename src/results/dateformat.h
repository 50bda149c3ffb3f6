#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace results {

// How a message's date is shown, in the results grid's Date column and in the message window
// alike: the locale's short date and its long time form without the zone name (so with
// seconds); empty for an invalid date-time.
QString formatDate(const QDateTime &dt);
QString formatDate(const QDateTime &dt, const QLocale &locale);

} // namespace results
