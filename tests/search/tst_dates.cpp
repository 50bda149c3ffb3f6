#include "imap/headerdate.h"
#include "platform/timezone.h"
#include "search/dates.h"

#include <QLocale>
#include <QTest>

#include <ctime>

using namespace Qt::StringLiterals;

namespace {

QString wallClock(const QDateTime &dt)
{
    return dt.toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

void row(const QString &text, const char *expected)
{
    QTest::addRow("%s", qPrintable(text.left(40))) << text << QString::fromLatin1(expected);
}

template <typename... T> void rows(const char *expected, const T &...texts)
{
    (row(QString::fromUtf8(texts), expected), ...);
}

// Header dates of 3 Jan 2006 10:15:00 in the given zones.
template <typename... T> void zones(const char *expected, const T &...zone)
{
    (row(u"3 Jan 2006 10:15:00 "_s + QLatin1String(zone), expected), ...);
}

} // namespace

class TestDates : public QObject
{
    Q_OBJECT

private slots:
    // Month names and date forms must not follow the user's locale.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void parseDate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // wall clock, or empty when no date
        const char *jan5 = "2006-01-05 00:00:00";
        rows(jan5, "1/5/2006", " 01/05/2006 ", "1-5-2006", "1/5/06", "2006-01-05", "2006-1-5",
             "Thursday, 1/5/2006", "Thurs 1/5/2006", "Thur 1/5/2006", "5 Jan 2006", "5-jan-2006",
             "5 JANUARY 06", "Jan 5, 2006", "january 5 2006", "Thu, 5 Jan 2006",
             "Thu 5 Jan 2006 0:00");
        row(u"Tues 1/3/2006"_s, "2006-01-03 00:00:00");
        row(u"1/5/49"_s, "2049-01-05 00:00:00");
        row(u"1/5/50"_s, "1950-01-05 00:00:00");
        row(u"3 Sept 2006"_s, "2006-09-03 00:00:00");
        row(u"1/5/2006 10:15"_s, "2006-01-05 10:15:00");
        row(u"1/5/2006 9:05:30"_s, "2006-01-05 09:05:30");
        row(u"1/5/2006 23:59:59"_s, "2006-01-05 23:59:59");
        rows("2006-01-05 22:15:00", "1/5/2006 10:15 PM", "1/5/2006 10:15pm");
        row(u"1/5/2006 12:00 AM"_s, "2006-01-05 00:00:00");
        row(u"1/5/2006 1:05:09 am"_s, "2006-01-05 01:05:09");
        row(u"1/5/2006 12:30:00 pm"_s, "2006-01-05 12:30:00");
        rows("", "", "   ", "2006", "5", "1/5", "Jan 5", "Jan 5,", "Jan5 2006", "Jan 2006",
             "Monday", "2/30/2006", "13/1/2006", "0/5/2006", "1/5/0000", "1/5/206", "1/5/20066",
             "1/5-2006", "1 / 5 / 2006", "1/ 5/2006", "1/5 /2006", "5.1.2006", "1/5/2006/7",
             "2006-01", "2006 -01-05", "2006-01- 05", "2006/01/05", "3 Foo 2006", "3 Janu 2006",
             "3Jan2006", "3-Jan 2006", "3 Jan-2006", "hello", "1/5/2006 garbage", "1/5/2006 24:00",
             "1/5/2006 10:60", "1/5/2006 10:15:60", "1/5/2006 10:5", "1/5/2006 10:15:5",
             "1/5/2006 10: 15", "1/5/2006 10 :15", "1/5/2006 10:15 :00",
             "1/5/2006 10:15:", "1/5/2006 13:00 PM", "1/5/2006 0:30 AM", "1/5/2006 10:15 XM",
             "1/5/2006 10", "1/5/200610:15", "1/5/2006 10:15:00 -0500", "\xef\xbc\x91/5/2006",
             "3 J\xc3\xa4n 2006");
    }
    void parseDate()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const std::optional<QDateTime> result = search::parseDate(text);
        QCOMPARE(result ? wallClock(*result) : QString(), expected);
        if (result)
            QCOMPARE(result->timeSpec(), Qt::UTC);
    }

    void formatDates()
    {
        const QTime late(23, 59, 59);
        QCOMPARE(search::formatFieldDate(QDateTime(QDate(2006, 1, 5), late, Qt::UTC)),
                 u"1/5/2006"_s);
        QCOMPARE(search::formatFieldDate(QDateTime(QDate(999, 12, 31), late)), u"12/31/0999"_s);
        QCOMPARE(search::formatFieldDate(QDateTime()), QString());
        QCOMPARE(search::formatImapDate(QDate(2006, 1, 5)), u"5-Jan-2006"_s);
        QCOMPARE(search::formatImapDate(QDateTime(QDate(999, 12, 31), late)), u"31-Dec-0999"_s);
        QCOMPARE(search::formatImapDate(QDate()), QString());
    }

    // What a date field holds after it is left; "!" when it keeps the focus, text unchanged.
    void validateDateField()
    {
        const auto left = [](const char *mine, const char *other, bool isBefore) {
            const auto v = search::validateDateField(QString::fromLatin1(mine),
                                                     QString::fromLatin1(other), isBefore);
            return v.cancel && v.thisText == QLatin1String(mine) ? u"!"_s : v.thisText;
        };
        QCOMPARE(left("01/05/2006 10:15", "", false), u"1/5/2006"_s);
        QCOMPARE(left("3 January 2006", "junk", true), u"1/3/2006"_s);
        QCOMPARE(left("next week", "", false), u"!"_s);
        QCOMPARE(left(" ", "", false), u"!"_s);
        QCOMPARE(left("2/30/2006", "1/1/2006", true), u"!"_s);
        QCOMPARE(left("", "3/1/2006", true), QString());
        // An On/Before earlier than On/After takes the other field's text unchanged.
        QCOMPARE(left("2/28/2006", "03/01/2006", true), u"03/01/2006"_s);
        QCOMPARE(left("3/1/2006", "02/01/2006", false), u"02/01/2006"_s);
        QCOMPARE(left("3/1/2006", "03/01/2006", true), u"3/1/2006"_s);
        QCOMPARE(left("3/1/2006", "03/01/2006", false), u"3/1/2006"_s);
        QCOMPARE(left("3/2/2006", "03/01/2006", true), u"3/2/2006"_s);
        QCOMPARE(left("2/1/2006", "03/01/2006", false), u"2/1/2006"_s);
    }

    void headerDate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");    // the instant in UTC, or empty when unreadable
        const char *base = "2006-01-03 15:15:00"; // Tue, 3 Jan 2006 10:15:00 -0500
        rows(base, "Tue, 3 Jan 2006 10:15:00 -0500", "3 Jan 2006 10:15 -0500",
             "Tuesday 03 JANUARY 2006 10:15:00 -05:00", "Mon,3 jan 06 10:15:00 -0500",
             "Tue, 3 Jan 106 10:15:00 EST", "03-Jan-2006 10:15:00 -0500",
             "Tue, 3 Jan 2006 10:15:00-0500", "Tue, 3 Jan 2006 10:15:00 CDT",
             "Tue,(x)3(y)Jan(z)2006 10:15:00 -0500 (Eastern (US) \\) time)",
             "(x) Tue, 3 Jan 2006 (sent) 10:15:00 -0500 (EST",
             "Tue,\t3 Jan 2006\r\n 10 : 15 : 00\r\n\t-0500 ");
        zones("2006-01-03 10:15:00", "+0000", "-0000", "UT", "GMT", "utc", "Z", "A", "y", "CET",
              "AEDST", "", "+0000 CET");
        zones("2006-01-03 04:45:00", "+0530", "+05:30");
        zones("2006-01-03 13:45:00", "-0330");
        zones("2006-01-02 10:16:00", "+2359");
        zones("2006-01-03 14:15:00", "EDT");
        zones("2006-01-03 16:15:00", "CST", "MDT");
        zones("2006-01-03 17:15:00", "MST", "PDT");
        zones("2006-01-03 18:15:00", "PST");
        zones("", "+2400", "+0060", "+05:60", "+05", "+123", "+01000", "-", "J", "XX", "ABCDEF",
              "+0000 XX", "+0000 extra words", "+0000 )");
        row(u"1 Jan 49 0:30:00 +0100"_s, "2048-12-31 23:30:00");
        row(u"31 Dec 50 23:30:00 -0100"_s, "1951-01-01 00:30:00");
        row(u"Sat, 31 Dec 2005 23:59:60 +0000"_s, "2005-12-31 23:59:59");
        row(u"Tue, 3 Jan 2006 10:15:00 -0500"_s + QString(20000, u'(') + QString(20000, u')'),
            base);
        row(u"Tue, 3 Jan 2006 10:15:00 -0500 ("_s + QString(20000, u'\\'), base);
        rows("", "", " \r\n ", "garbage", "Tue,", "Foo, 3 Jan 2006 10:15:00", "Tue, 3 Jan 2006",
             "3 Jan 2006 10 -0500", "3 Jan 2006 10:", "1/3/2006 10:15:00", "31 Feb 2006 10:00:00",
             "003 Jan 2006 10:00:00", "3 Foo 2006 10:00:00", "3 Jan 6 10:00:00",
             "3 Jan 20066 10:00:00", "3Jan2006 10:00:00", "3-Jan 2006 10:00:00",
             "3 Jan 2006,10:00:00", "3 Jan 2006 24:00:00", "3 Jan 2006 10:60:00",
             "3 Jan 2006 10:5:00", "3 Jan 2006 10:15:61", "3 J\xc3\xa4n 2006 10:15:00");
        row(u"Tue, 3 Jan 2006 10:15:00 -0500"_s + QString(20000, u')'), "");
        row(QString(20000, u'9') + u" Jan 2006 10:15:00"_s, "");
    }
    void headerDate()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        for (const QTimeZone &zone : {QTimeZone::utc(), QTimeZone(-34200)}) {
            const QDateTime result = imap::headerDateToLocal(text, zone);
            QCOMPARE(result.isValid() ? wallClock(result.toUTC()) : QString(), expected);
            if (result.isValid())
                QCOMPARE(result.timeZone(), zone);
        }
    }

    // The local offset comes from the system time zone, to the second, daylight saving included.
    void localUtcOffset()
    {
        const QByteArray saved = qgetenv("TZ");
        for (const char *zone : {"Asia/Kathmandu", "America/St_Johns", "UTC"}) {
            qputenv("TZ", zone);
            tzset();
            const int got = platform::localUtcOffset();
            QCOMPARE(got, QTimeZone(zone).offsetFromUtc(QDateTime::currentDateTimeUtc()));
        }
        qputenv("TZ", saved);
        tzset();
    }
};

QTEST_GUILESS_MAIN(TestDates)
#include "tst_dates.moc"
