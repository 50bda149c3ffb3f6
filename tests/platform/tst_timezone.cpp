#include "platform/timezone.h"

#include <QTest>
#include <QTimeZone>

#include <ctime>

// The local offset comes from the system time zone, to the second, daylight saving included.
class TestTimeZone : public QObject
{
    Q_OBJECT
private slots:
    void localOffset_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("UTC") << QByteArray("UTC");
        QTest::newRow("half hour") << QByteArray("Asia/Kolkata");
        QTest::newRow("quarter hour") << QByteArray("Asia/Kathmandu");
        QTest::newRow("west, daylight saving") << QByteArray("America/St_Johns");
        QTest::newRow("east, daylight saving") << QByteArray("Europe/Berlin");
        QTest::newRow("half hour shift") << QByteArray("Australia/Lord_Howe");
    }

    void localOffset()
    {
        QFETCH(QByteArray, zone);
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        const int expected = QTimeZone(zone).offsetFromUtc(QDateTime::currentDateTimeUtc());
        const int got = platform::localUtcOffset();
        qputenv("TZ", saved);
        tzset();
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(TestTimeZone)
#include "tst_timezone.moc"
