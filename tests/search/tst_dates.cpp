#include "search/dates.h"

#include <QLocale>
#include <QTest>

using search::formatFieldDate;
using search::formatImapDate;
using search::headerDateToLocal;
using search::parseDate;
using search::validateDateField;

namespace {

// The wall-clock reading of a date-time in its own zone.
QString wallClock(const QDateTime &dt)
{
    return dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// An IANA zone id, or a fixed offset written as seconds ("3600").
QTimeZone zoneFor(const QByteArray &id)
{
    bool isOffset = false;
    const int seconds = id.toInt(&isOffset);
    return isOffset ? QTimeZone(seconds) : QTimeZone(id);
}

} // namespace

class TestDates : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void parseDate_data();
    void parseDate();
    void formatFieldDate_data();
    void formatFieldDate();
    void formatImapDate_data();
    void formatImapDate();
    void dayAfterInImapForm_data();
    void dayAfterInImapForm();
    void validateDateField_data();
    void validateDateField();
    void headerDateInstant_data();
    void headerDateInstant();
    void headerDateWallClock_data();
    void headerDateWallClock();
    void headerDateLongInput_data();
    void headerDateLongInput();
};

void TestDates::initTestCase()
{
    // Month names and date forms must not follow the user's locale.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestDates::cleanupTestCase()
{
    QLocale::setDefault(QLocale::c());
}

void TestDates::parseDate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // wall clock, or empty when no date

    // Numeric, month first
    QTest::newRow("m/d/yyyy") << "1/5/2006"
                              << "2006-01-05 00:00:00";
    QTest::newRow("leading zeros") << "01/05/2006"
                                   << "2006-01-05 00:00:00";
    QTest::newRow("december") << "12/31/2005"
                              << "2005-12-31 00:00:00";
    QTest::newRow("dashes") << "1-5-2006"
                            << "2006-01-05 00:00:00";
    QTest::newRow("surrounding blanks") << "  1/5/2006 "
                                        << "2006-01-05 00:00:00";
    QTest::newRow("yy 06") << "1/5/06"
                           << "2006-01-05 00:00:00";
    QTest::newRow("yy 00") << "1/5/00"
                           << "2000-01-05 00:00:00";
    QTest::newRow("yy 49") << "1/5/49"
                           << "2049-01-05 00:00:00";
    QTest::newRow("yy 50") << "1/5/50"
                           << "1950-01-05 00:00:00";
    QTest::newRow("yy 99") << "1/5/99"
                           << "1999-01-05 00:00:00";
    QTest::newRow("leap day 2004") << "2/29/2004"
                                   << "2004-02-29 00:00:00";
    QTest::newRow("leap day 2000") << "2/29/2000"
                                   << "2000-02-29 00:00:00";
    QTest::newRow("numeric with time") << "1/5/2006 10:15"
                                       << "2006-01-05 10:15:00";
    QTest::newRow("numeric with seconds") << "1/5/2006 10:15:30"
                                          << "2006-01-05 10:15:30";
    QTest::newRow("one-digit hour") << "1/5/2006 9:05"
                                    << "2006-01-05 09:05:00";
    QTest::newRow("PM") << "1/5/2006 10:15 PM"
                        << "2006-01-05 22:15:00";
    QTest::newRow("pm glued") << "1/5/2006 10:15pm"
                              << "2006-01-05 22:15:00";
    QTest::newRow("12 AM is midnight") << "1/5/2006 12:00 AM"
                                       << "2006-01-05 00:00:00";
    QTest::newRow("12 PM is noon") << "1/5/2006 12:30:15 pm"
                                   << "2006-01-05 12:30:15";
    // ISO
    QTest::newRow("iso") << "2006-01-05"
                         << "2006-01-05 00:00:00";
    QTest::newRow("iso short") << "2006-1-5"
                               << "2006-01-05 00:00:00";
    QTest::newRow("iso with time") << "2006-01-05 08:00"
                                   << "2006-01-05 08:00:00";
    // Day, month name, year
    QTest::newRow("header rest") << "3 Jan 2006 10:15:00"
                                 << "2006-01-03 10:15:00";
    QTest::newRow("header rest no seconds") << "3 Jan 2006 10:15"
                                            << "2006-01-03 10:15:00";
    QTest::newRow("two-digit day") << "03 Jan 2006"
                                   << "2006-01-03 00:00:00";
    QTest::newRow("lower case month") << "3 jan 2006"
                                      << "2006-01-03 00:00:00";
    QTest::newRow("upper case month") << "3 JAN 2006"
                                      << "2006-01-03 00:00:00";
    QTest::newRow("full month") << "3 January 2006"
                                << "2006-01-03 00:00:00";
    QTest::newRow("Sept") << "3 Sept 2006"
                          << "2006-09-03 00:00:00";
    QTest::newRow("every month: Dec") << "25 December 2006"
                                      << "2006-12-25 00:00:00";
    QTest::newRow("imap form") << "3-Jan-2006"
                               << "2006-01-03 00:00:00";
    QTest::newRow("two-digit year") << "3 Jan 06"
                                    << "2006-01-03 00:00:00";
    QTest::newRow("day name comma") << "Tue, 3 Jan 2006"
                                    << "2006-01-03 00:00:00";
    QTest::newRow("full day name") << "Tuesday 3 January 2006"
                                   << "2006-01-03 00:00:00";
    QTest::newRow("day name lower") << "tue 3 jan 2006 7:00"
                                    << "2006-01-03 07:00:00";
    QTest::newRow("day name numeric") << "Thursday, 1/5/2006"
                                      << "2006-01-05 00:00:00";
    // Month, day, year
    QTest::newRow("US long") << "Jan 3, 2006"
                             << "2006-01-03 00:00:00";
    QTest::newRow("US long no comma") << "January 3 2006"
                                      << "2006-01-03 00:00:00";
    QTest::newRow("US long with time") << "Jan 3, 2006 10:15"
                                       << "2006-01-03 10:15:00";

    // No date
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blanks") << "   "
                            << "";
    QTest::newRow("lone number") << "2006"
                                 << "";
    QTest::newRow("lone small number") << "5"
                                       << "";
    QTest::newRow("no year") << "1/5"
                             << "";
    QTest::newRow("30 Feb") << "2/30/2006"
                            << "";
    QTest::newRow("29 Feb 2006") << "2/29/2006"
                                 << "";
    QTest::newRow("29 Feb 1900") << "2/29/1900"
                                 << "";
    QTest::newRow("month 13 (not day first)") << "13/1/2006"
                                              << "";
    QTest::newRow("month 0") << "0/5/2006"
                             << "";
    QTest::newRow("day 0") << "1/0/2006"
                           << "";
    QTest::newRow("day 32") << "1/32/2006"
                            << "";
    QTest::newRow("year 0000") << "1/5/0000"
                               << "";
    QTest::newRow("three-digit year") << "1/5/206"
                                      << "";
    QTest::newRow("five-digit year") << "1/5/20066"
                                     << "";
    QTest::newRow("mixed separators") << "1/5-2006"
                                      << "";
    QTest::newRow("spaced separators") << "1 / 5 / 2006"
                                       << "";
    QTest::newRow("day first dots") << "5.1.2006"
                                    << "";
    QTest::newRow("extra field") << "1/5/2006/7"
                                 << "";
    QTest::newRow("garbage") << "hello"
                             << "";
    QTest::newRow("trailing word") << "1/5/2006 garbage"
                                   << "";
    QTest::newRow("hour 24") << "1/5/2006 24:00"
                             << "";
    QTest::newRow("minute 60") << "1/5/2006 10:60"
                               << "";
    QTest::newRow("second 60") << "1/5/2006 10:15:60"
                               << "";
    QTest::newRow("13 PM") << "1/5/2006 13:00 PM"
                           << "";
    QTest::newRow("0 AM") << "1/5/2006 0:30 AM"
                          << "";
    QTest::newRow("hour alone") << "1/5/2006 10"
                                << "";
    QTest::newRow("zone") << "1/5/2006 10:15:00 -0500"
                          << "";
    QTest::newRow("unknown month") << "3 Foo 2006"
                                   << "";
    QTest::newRow("month and year only") << "Jan 2006"
                                         << "";
    QTest::newRow("day name alone") << "Monday"
                                    << "";
    QTest::newRow("glued day month") << "3Jan2006"
                                     << "";
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("\xef\xbc\x91/5/2006") << "";
    QTest::newRow("non-ASCII month") << QString::fromUtf8("3 J\xc3\xa4n 2006") << "";
}

void TestDates::parseDate()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);

    const std::optional<QDateTime> result = search::parseDate(text);
    if (expected.isEmpty()) {
        QVERIFY2(!result, qPrintable(wallClock(result.value_or(QDateTime()))));
        return;
    }
    QVERIFY(result);
    QCOMPARE(result->timeSpec(), Qt::UTC);
    QCOMPARE(wallClock(*result), expected);
}

void TestDates::formatFieldDate_data()
{
    QTest::addColumn<QDateTime>("value");
    QTest::addColumn<QString>("expected");

    const QTime late(23, 59, 59);
    QTest::newRow("no leading zeros") << QDateTime(QDate(2006, 1, 5), late, Qt::UTC) << "1/5/2006";
    QTest::newRow("two-digit month and day")
        << QDateTime(QDate(2005, 12, 31), late, Qt::UTC) << "12/31/2005";
    QTest::newRow("october 9") << QDateTime(QDate(2006, 10, 9), late, Qt::UTC) << "10/9/2006";
    QTest::newRow("midnight") << QDateTime(QDate(2004, 2, 29), QTime(0, 0), Qt::UTC) << "2/29/2004";
    QTest::newRow("invalid") << QDateTime() << "";
}

void TestDates::formatFieldDate()
{
    QFETCH(QDateTime, value);
    QFETCH(QString, expected);

    QCOMPARE(search::formatFieldDate(value), expected);
    if (!expected.isEmpty()) {
        const std::optional<QDateTime> back = search::parseDate(expected);
        QVERIFY(back);
        QCOMPARE(back->date(), value.date());
    }
}

void TestDates::formatImapDate_data()
{
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("expected");

    const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 1; m <= 12; ++m) {
        QTest::addRow("month %d", m)
            << QDate(2006, m, 5) << QStringLiteral("5-%1-2006").arg(QLatin1String(months[m - 1]));
    }
    QTest::newRow("two-digit day") << QDate(2006, 10, 31) << "31-Oct-2006";
    QTest::newRow("day 9") << QDate(2006, 10, 9) << "9-Oct-2006";
    QTest::newRow("invalid") << QDate() << "";
}

void TestDates::formatImapDate()
{
    QFETCH(QDate, date);
    QFETCH(QString, expected);

    QCOMPARE(search::formatImapDate(date), expected);
    QCOMPARE(search::formatImapDate(QDateTime(date, QTime(12, 0), Qt::UTC)), expected);
}

void TestDates::dayAfterInImapForm_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    QTest::newRow("month end") << "1/31/2006"
                               << "1-Feb-2006";
    QTest::newRow("year end") << "12/31/2005"
                              << "1-Jan-2006";
    QTest::newRow("28 Feb leap year") << "2/28/2004"
                                      << "29-Feb-2004";
    QTest::newRow("29 Feb leap year") << "2/29/2004"
                                      << "1-Mar-2004";
    QTest::newRow("28 Feb common year") << "2/28/2006"
                                        << "1-Mar-2006";
    QTest::newRow("28 Feb 1900 (not leap)") << "2/28/1900"
                                            << "1-Mar-1900";
    QTest::newRow("28 Feb 2000 (leap)") << "2/28/2000"
                                        << "29-Feb-2000";
    QTest::newRow("30 Apr") << "4/30/2006"
                            << "1-May-2006";
}

void TestDates::dayAfterInImapForm()
{
    QFETCH(QString, field);
    QFETCH(QString, expected);

    const std::optional<QDateTime> date = search::parseDate(field);
    QVERIFY(date);
    QCOMPARE(search::formatImapDate(date->date().addDays(1)), expected);
}

void TestDates::validateDateField_data()
{
    QTest::addColumn<QString>("thisText");
    QTest::addColumn<QString>("otherText");
    QTest::addColumn<bool>("thisIsBefore");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("expected");

    QTest::newRow("rewritten to normal form") << "01/05/2006"
                                              << "" << false << false << "1/5/2006";
    QTest::newRow("textual date rewritten") << "3 January 2006"
                                            << "" << true << false << "1/3/2006";
    QTest::newRow("time dropped") << "1/5/2006 10:15"
                                  << "" << false << false << "1/5/2006";
    QTest::newRow("not a date") << "next week"
                                << "" << false << true << "next week";
    QTest::newRow("impossible date") << "2/30/2006"
                                     << "1/1/2006" << true << true << "2/30/2006";
    QTest::newRow("blank is not empty") << " "
                                        << "" << false << true << " ";
    QTest::newRow("emptied") << ""
                             << "3/1/2006" << true << false << "";
    QTest::newRow("before earlier than after") << "2/1/2006"
                                               << "3/1/2006" << true << false << "3/1/2006";
    QTest::newRow("after later than before") << "3/1/2006"
                                             << "2/1/2006" << false << false << "2/1/2006";
    QTest::newRow("other text taken unchanged") << "2/1/2006"
                                                << "03/01/2006" << true << false << "03/01/2006";
    QTest::newRow("earlier by one day") << "2/28/2006"
                                        << "3/1/2006" << true << false << "3/1/2006";
    QTest::newRow("equal, before") << "3/1/2006"
                                   << "3/1/2006" << true << false << "3/1/2006";
    QTest::newRow("equal, after") << "3/1/2006"
                                  << "3/1/2006" << false << false << "3/1/2006";
    QTest::newRow("equal day, this spelled otherwise") << "03/01/2006"
                                                       << "3/1/2006" << true << false << "3/1/2006";
    QTest::newRow("equal day, other spelled otherwise")
        << "3/1/2006"
        << "03/01/2006" << false << false << "3/1/2006";
    QTest::newRow("proper range, before") << "3/2/2006"
                                          << "3/1/2006" << true << false << "3/2/2006";
    QTest::newRow("proper range, after") << "2/1/2006"
                                         << "3/1/2006" << false << false << "2/1/2006";
    QTest::newRow("other not a date") << "2/1/2006"
                                      << "junk" << true << false << "2/1/2006";
}

void TestDates::validateDateField()
{
    QFETCH(QString, thisText);
    QFETCH(QString, otherText);
    QFETCH(bool, thisIsBefore);
    QFETCH(bool, cancel);
    QFETCH(QString, expected);

    const search::DateFieldValidation v =
        search::validateDateField(thisText, otherText, thisIsBefore);
    QCOMPARE(v.cancel, cancel);
    QCOMPARE(v.thisText, expected);
}

void TestDates::headerDateInstant_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("utc"); // ISO instant, or empty when unreadable

    const char *base = "2006-01-03T15:15:00Z"; // Tue, 3 Jan 2006 10:15:00 -0500
    QTest::newRow("rfc 5322") << "Tue, 3 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("two-digit day") << "Tue, 03 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("no day name") << "3 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("day name without comma") << "Tue 3 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("no space after comma") << "Tue,3 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("full names") << "Tuesday, 3 January 2006 10:15:00 -0500" << base;
    QTest::newRow("lower case") << "tue, 3 jan 2006 10:15:00 -0500" << base;
    QTest::newRow("upper case") << "TUE, 3 JAN 2006 10:15:00 -0500" << base;
    QTest::newRow("wrong day name ignored") << "Mon, 3 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("no seconds") << "Tue, 3 Jan 2006 10:15 -0500" << base;
    QTest::newRow("one-digit hour") << "Tue, 3 Jan 2006 9:05:07 -0500"
                                    << "2006-01-03T14:05:07Z";
    QTest::newRow("year 06") << "Tue, 3 Jan 06 10:15:00 -0500" << base;
    QTest::newRow("year 00") << "Sat, 1 Jan 00 12:00:00 +0000"
                             << "2000-01-01T12:00:00Z";
    QTest::newRow("year 49") << "1 Jan 49 12:00:00 +0000"
                             << "2049-01-01T12:00:00Z";
    QTest::newRow("year 50") << "1 Jan 50 12:00:00 +0000"
                             << "1950-01-01T12:00:00Z";
    QTest::newRow("year 99") << "Fri, 31 Dec 99 23:00:00 +0000"
                             << "1999-12-31T23:00:00Z";
    QTest::newRow("three-digit year") << "Tue, 3 Jan 106 10:15:00 -0500" << base;
    QTest::newRow("imap form") << "3-Jan-2006 10:15:00 +0000"
                               << "2006-01-03T10:15:00Z";
    QTest::newRow("imap form padded") << "03-Jan-2006 10:15:00 -0500" << base;
    // Numeric zones count in minutes
    QTest::newRow("+0000") << "Tue, 3 Jan 2006 10:15:00 +0000"
                           << "2006-01-03T10:15:00Z";
    QTest::newRow("-0000") << "Tue, 3 Jan 2006 10:15:00 -0000"
                           << "2006-01-03T10:15:00Z";
    QTest::newRow("+0530") << "Tue, 3 Jan 2006 10:15:00 +0530"
                           << "2006-01-03T04:45:00Z";
    QTest::newRow("-0330") << "Tue, 3 Jan 2006 10:15:00 -0330"
                           << "2006-01-03T13:45:00Z";
    QTest::newRow("+1345") << "Tue, 3 Jan 2006 10:15:00 +1345"
                           << "2006-01-02T20:30:00Z";
    QTest::newRow("+2359") << "Tue, 3 Jan 2006 10:15:00 +2359"
                           << "2006-01-02T10:16:00Z";
    QTest::newRow("-05:00") << "Tue, 3 Jan 2006 10:15:00 -05:00" << base;
    QTest::newRow("+05:30") << "Tue, 3 Jan 2006 10:15:00 +05:30"
                            << "2006-01-03T04:45:00Z";
    QTest::newRow("zone glued to time") << "Tue, 3 Jan 2006 10:15:00-0500" << base;
    QTest::newRow("zone crosses the year") << "Sun, 1 Jan 2006 00:30:00 +0100"
                                           << "2005-12-31T23:30:00Z";
    QTest::newRow("zone crosses the day back") << "Sat, 31 Dec 2005 23:30:00 -0100"
                                               << "2006-01-01T00:30:00Z";
    // Zone names
    QTest::newRow("UT") << "Tue, 3 Jan 2006 10:15:00 UT"
                        << "2006-01-03T10:15:00Z";
    QTest::newRow("GMT") << "Tue, 3 Jan 2006 10:15:00 GMT"
                         << "2006-01-03T10:15:00Z";
    QTest::newRow("UTC") << "Tue, 3 Jan 2006 10:15:00 UTC"
                         << "2006-01-03T10:15:00Z";
    QTest::newRow("Z") << "Tue, 3 Jan 2006 10:15:00 Z"
                       << "2006-01-03T10:15:00Z";
    QTest::newRow("EST") << "Tue, 3 Jan 2006 10:15:00 EST" << base;
    QTest::newRow("est") << "Tue, 3 Jan 2006 10:15:00 est" << base;
    QTest::newRow("EDT") << "Tue, 3 Jan 2006 10:15:00 EDT"
                         << "2006-01-03T14:15:00Z";
    QTest::newRow("CST") << "Tue, 3 Jan 2006 10:15:00 CST"
                         << "2006-01-03T16:15:00Z";
    QTest::newRow("CDT") << "Tue, 3 Jan 2006 10:15:00 CDT" << base;
    QTest::newRow("MST") << "Tue, 3 Jan 2006 10:15:00 MST"
                         << "2006-01-03T17:15:00Z";
    QTest::newRow("MDT") << "Tue, 3 Jan 2006 10:15:00 MDT"
                         << "2006-01-03T16:15:00Z";
    QTest::newRow("PST") << "Tue, 3 Jan 2006 10:15:00 PST"
                         << "2006-01-03T18:15:00Z";
    QTest::newRow("PDT") << "Tue, 3 Jan 2006 10:15:00 PDT"
                         << "2006-01-03T17:15:00Z";
    QTest::newRow("military A") << "Tue, 3 Jan 2006 10:15:00 A"
                                << "2006-01-03T10:15:00Z";
    QTest::newRow("military N") << "Tue, 3 Jan 2006 10:15:00 N"
                                << "2006-01-03T10:15:00Z";
    QTest::newRow("military y") << "Tue, 3 Jan 2006 10:15:00 y"
                                << "2006-01-03T10:15:00Z";
    QTest::newRow("unknown name") << "Tue, 3 Jan 2006 10:15:00 CET"
                                  << "2006-01-03T10:15:00Z";
    QTest::newRow("no zone") << "Tue, 3 Jan 2006 10:15:00"
                             << "2006-01-03T10:15:00Z";
    QTest::newRow("numeric zone and name") << "Tue, 3 Jan 2006 10:15:00 +0100 CET"
                                           << "2006-01-03T09:15:00Z";
    // Comments and white space
    QTest::newRow("comment") << "Tue, 3 Jan 2006 10:15:00 +0100 (CET)"
                             << "2006-01-03T09:15:00Z";
    QTest::newRow("comment EST") << "Tue, 3 Jan 2006 10:15:00 -0500 (EST)" << base;
    QTest::newRow("nested comment") << "Tue, 3 Jan 2006 10:15:00 -0500 (Eastern (US) time)" << base;
    QTest::newRow("escaped paren in comment") << "Tue, 3 Jan 2006 10:15:00 -0500 (a \\) b)" << base;
    QTest::newRow("comment inside") << "Tue, 3 Jan 2006 (sent) 10:15:00 -0500" << base;
    QTest::newRow("comment first") << "(x) Tue, 3 Jan 2006 10:15:00 -0500" << base;
    QTest::newRow("comment as separator") << "Tue,(x)3(y)Jan(z)2006 10:15:00 -0500" << base;
    QTest::newRow("unclosed trailing comment") << "Tue, 3 Jan 2006 10:15:00 -0500 (EST" << base;
    QTest::newRow("extra white space") << "  Tue,  3   Jan  2006   10:15:00   -0500  " << base;
    QTest::newRow("tabs") << "Tue,\t3\tJan\t2006\t10:15:00\t-0500" << base;
    QTest::newRow("folded") << "Tue, 3 Jan 2006\r\n 10:15:00\r\n\t-0500" << base;
    QTest::newRow("blanks around colons") << "Tue, 3 Jan 2006 10 : 15 : 00 -0500" << base;
    // Calendar edges
    QTest::newRow("leap second") << "Sat, 31 Dec 2005 23:59:60 +0000"
                                 << "2005-12-31T23:59:59Z";
    QTest::newRow("29 Feb 2004") << "Sun, 29 Feb 2004 12:00:00 +0000"
                                 << "2004-02-29T12:00:00Z";
    QTest::newRow("29 Feb 2000") << "Tue, 29 Feb 2000 12:00:00 +0000"
                                 << "2000-02-29T12:00:00Z";

    // Unreadable
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank") << " \r\n "
                           << "";
    QTest::newRow("garbage") << "garbage"
                             << "";
    QTest::newRow("day name only") << "Tue,"
                                   << "";
    QTest::newRow("no time") << "Tue, 3 Jan 2006"
                             << "";
    QTest::newRow("hour only") << "Tue, 3 Jan 2006 10 -0500"
                               << "";
    QTest::newRow("numeric date") << "1/3/2006 10:15:00 -0500"
                                  << "";
    QTest::newRow("31 Feb") << "31 Feb 2006 10:00:00 +0000"
                            << "";
    QTest::newRow("29 Feb 2006") << "29 Feb 2006 10:00:00 +0000"
                                 << "";
    QTest::newRow("29 Feb 1900") << "29 Feb 1900 10:00:00 +0000"
                                 << "";
    QTest::newRow("day 0") << "0 Jan 2006 10:00:00 +0000"
                           << "";
    QTest::newRow("day 32") << "32 Jan 2006 10:00:00 +0000"
                            << "";
    QTest::newRow("three-digit day") << "003 Jan 2006 10:00:00 +0000"
                                     << "";
    QTest::newRow("hour 24") << "3 Jan 2006 24:00:00 +0000"
                             << "";
    QTest::newRow("minute 60") << "3 Jan 2006 10:60:00 +0000"
                               << "";
    QTest::newRow("second 61") << "3 Jan 2006 10:15:61 +0000"
                               << "";
    QTest::newRow("one-digit minute") << "3 Jan 2006 10:5:00 +0000"
                                      << "";
    QTest::newRow("zone +2500") << "3 Jan 2006 10:15:00 +2500"
                                << "";
    QTest::newRow("zone minutes 60") << "3 Jan 2006 10:15:00 +0160"
                                     << "";
    QTest::newRow("zone +05:60") << "3 Jan 2006 10:15:00 +05:60"
                                 << "";
    QTest::newRow("zone hours only") << "3 Jan 2006 10:15:00 +05"
                                     << "";
    QTest::newRow("zone three digits") << "3 Jan 2006 10:15:00 +123"
                                       << "";
    QTest::newRow("zone five digits") << "3 Jan 2006 10:15:00 +01000"
                                      << "";
    QTest::newRow("zone sign only") << "3 Jan 2006 10:15:00 -"
                                    << "";
    QTest::newRow("military J") << "3 Jan 2006 10:15:00 J"
                                << "";
    QTest::newRow("two-letter unknown zone") << "3 Jan 2006 10:15:00 XX"
                                             << "";
    QTest::newRow("long word as zone") << "3 Jan 2006 10:15:00 garbage"
                                       << "";
    QTest::newRow("words after zone") << "3 Jan 2006 10:15:00 +0000 extra words here"
                                      << "";
    QTest::newRow("stray close paren") << "3 Jan 2006 10:15:00 +0000 )"
                                       << "";
    QTest::newRow("unknown month") << "3 Foo 2006 10:15:00 +0000"
                                   << "";
    QTest::newRow("unknown day name") << "Foo, 3 Jan 2006 10:15:00 +0000"
                                      << "";
    QTest::newRow("one-digit year") << "3 Jan 6 10:15:00 +0000"
                                    << "";
    QTest::newRow("five-digit year") << "3 Jan 20066 10:15:00 +0000"
                                     << "";
    QTest::newRow("glued") << "3Jan2006 10:15:00 +0000"
                           << "";
    QTest::newRow("half dashed") << "3-Jan 2006 10:15:00 +0000"
                                 << "";
    QTest::newRow("non-ASCII month") << QString::fromUtf8("3 J\xc3\xa4n 2006 10:15:00 +0000") << "";
}

void TestDates::headerDateInstant()
{
    QFETCH(QString, header);
    QFETCH(QString, utc);

    const QDateTime expected = QDateTime::fromString(utc, Qt::ISODate);
    QVERIFY(utc.isEmpty() || expected.isValid());
    const QByteArray zones[] = {"UTC",
                                "3600",
                                "-34200",
                                "Asia/Kolkata",
                                "America/New_York",
                                "Europe/Berlin",
                                "Australia/Lord_Howe"};
    for (const QByteArray &id : zones) {
        const QTimeZone zone = zoneFor(id);
        QVERIFY2(zone.isValid(), id.constData());
        const QDateTime result = search::headerDateToLocal(header, zone);
        if (utc.isEmpty()) {
            QVERIFY2(!result.isValid(), qPrintable(id + ": " + wallClock(result).toLatin1()));
            continue;
        }
        QVERIFY2(result.isValid(), id.constData());
        QCOMPARE(result.toUTC(), expected);
        QCOMPARE(result.timeZone(), zone);
    }
}

void TestDates::headerDateWallClock_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("wall");
    QTest::addColumn<int>("offset"); // seconds east of UTC in force at that instant

    const QString jan = QStringLiteral("Tue, 3 Jan 2006 10:15:00 -0500");
    QTest::newRow("jan, fixed +01:00")
        << jan << QByteArray("3600") << "2006-01-03 16:15:00" << 3600;
    QTest::newRow("jan, Berlin") << jan << QByteArray("Europe/Berlin") << "2006-01-03 16:15:00"
                                 << 3600;
    QTest::newRow("jan, Kolkata") << jan << QByteArray("Asia/Kolkata") << "2006-01-03 20:45:00"
                                  << 19800;
    QTest::newRow("jan, New York")
        << jan << QByteArray("America/New_York") << "2006-01-03 10:15:00" << -18000;
    QTest::newRow("jan, UTC") << jan << QByteArray("UTC") << "2006-01-03 15:15:00" << 0;
    QTest::newRow("jan, Lord Howe summer")
        << jan << QByteArray("Australia/Lord_Howe") << "2006-01-04 02:15:00" << 39600;
    QTest::newRow("jan, fixed -09:30")
        << jan << QByteArray("-34200") << "2006-01-03 05:45:00" << -34200;

    const QString jul = QStringLiteral("Sat, 1 Jul 2006 12:00:00 +0000");
    QTest::newRow("jul, Berlin summer")
        << jul << QByteArray("Europe/Berlin") << "2006-07-01 14:00:00" << 7200;
    QTest::newRow("jul, Kolkata") << jul << QByteArray("Asia/Kolkata") << "2006-07-01 17:30:00"
                                  << 19800;
    QTest::newRow("jul, New York summer")
        << jul << QByteArray("America/New_York") << "2006-07-01 08:00:00" << -14400;
    QTest::newRow("jul, Lord Howe winter")
        << jul << QByteArray("Australia/Lord_Howe") << "2006-07-01 22:30:00" << 37800;

    // A sender at +05:30 seen at +05:30 keeps the wall clock.
    QTest::newRow("+0530 seen in Kolkata")
        << "Tue, 3 Jan 2006 10:00:00 +0530" << QByteArray("Asia/Kolkata") << "2006-01-03 10:00:00"
        << 19800;
    QTest::newRow("day rolls over")
        << "3 Jan 2006 23:30:00 +0000" << QByteArray("7200") << "2006-01-04 01:30:00" << 7200;

    // New York, 2006: EST to EDT at 07:00 UTC on 2 Apr, back at 06:00 UTC on 29 Oct.
    const QByteArray ny("America/New_York");
    QTest::newRow("NY last second of EST")
        << "Sun, 2 Apr 2006 06:59:59 +0000" << ny << "2006-04-02 01:59:59" << -18000;
    QTest::newRow("NY first second of EDT")
        << "Sun, 2 Apr 2006 07:00:00 +0000" << ny << "2006-04-02 03:00:00" << -14400;
    QTest::newRow("NY sender in EDT")
        << "Sun, 2 Apr 2006 03:30:00 -0400" << ny << "2006-04-02 03:30:00" << -14400;
    QTest::newRow("NY 01:30 EDT") << "Sun, 29 Oct 2006 05:30:00 +0000" << ny
                                  << "2006-10-29 01:30:00" << -14400;
    QTest::newRow("NY 01:30 EST, an hour later")
        << "Sun, 29 Oct 2006 06:30:00 +0000" << ny << "2006-10-29 01:30:00" << -18000;

    // Berlin, 2006: CET to CEST at 01:00 UTC on 26 Mar, back at 01:00 UTC on 29 Oct.
    const QByteArray berlin("Europe/Berlin");
    QTest::newRow("Berlin last second of CET")
        << "Sun, 26 Mar 2006 00:59:59 +0000" << berlin << "2006-03-26 01:59:59" << 3600;
    QTest::newRow("Berlin first second of CEST")
        << "Sun, 26 Mar 2006 01:00:00 +0000" << berlin << "2006-03-26 03:00:00" << 7200;
    QTest::newRow("Berlin 02:30 CEST")
        << "Sun, 29 Oct 2006 00:30:00 +0000" << berlin << "2006-10-29 02:30:00" << 7200;
    QTest::newRow("Berlin 02:30 CET")
        << "Sun, 29 Oct 2006 01:30:00 +0000" << berlin << "2006-10-29 02:30:00" << 3600;

    // Lord Howe moves its clocks by 30 minutes.
    const QByteArray lordHowe("Australia/Lord_Howe");
    QTest::newRow("Lord Howe end of summer time")
        << "Sat, 1 Apr 2006 14:59:59 +0000" << lordHowe << "2006-04-02 01:59:59" << 39600;
    QTest::newRow("Lord Howe standard time")
        << "Sat, 1 Apr 2006 15:00:00 +0000" << lordHowe << "2006-04-02 01:30:00" << 37800;
    QTest::newRow("Lord Howe last standard second")
        << "Sat, 28 Oct 2006 15:29:59 +0000" << lordHowe << "2006-10-29 01:59:59" << 37800;
    QTest::newRow("Lord Howe summer time again")
        << "Sat, 28 Oct 2006 15:30:00 +0000" << lordHowe << "2006-10-29 02:30:00" << 39600;
}

void TestDates::headerDateWallClock()
{
    QFETCH(QString, header);
    QFETCH(QByteArray, zone);
    QFETCH(QString, wall);
    QFETCH(int, offset);

    const QTimeZone tz = zoneFor(zone);
    QVERIFY2(tz.isValid(), zone.constData());
    const QDateTime result = search::headerDateToLocal(header, tz);
    QVERIFY(result.isValid());
    QCOMPARE(wallClock(result), wall);
    QCOMPARE(result.offsetFromUtc(), offset);
}

void TestDates::headerDateLongInput_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<bool>("readable");

    const QString date = QStringLiteral("Tue, 3 Jan 2006 10:15:00 -0500");
    const qsizetype n = 200000;
    QTest::newRow("deeply nested comment") << date + QString(n, u'(') + QString(n, u')') << true;
    QTest::newRow("unclosed comments") << date + QString(n, u'(') << true;
    QTest::newRow("many backslashes in comment")
        << date + QStringLiteral(" (") + QString(n, u'\\') << true;
    QTest::newRow("long white space") << QString(n, u' ') + date + QString(n, u'\t') << true;
    QTest::newRow("many close parens") << date + QString(n, u')') << false;
    QTest::newRow("many numbers") << QStringLiteral("1 ").repeated(n) << false;
    QTest::newRow("huge number") << QString(n, u'9') + QStringLiteral(" Jan 2006 10:15:00")
                                 << false;
    QTest::newRow("huge word") << QString(n, u'x') << false;
}

void TestDates::headerDateLongInput()
{
    QFETCH(QString, header);
    QFETCH(bool, readable);

    const QDateTime result = search::headerDateToLocal(header, QTimeZone::utc());
    QCOMPARE(result.isValid(), readable);
    if (readable)
        QCOMPARE(result.toUTC(), QDateTime(QDate(2006, 1, 3), QTime(15, 15), Qt::UTC));
}

QTEST_GUILESS_MAIN(TestDates)
#include "tst_dates.moc"
