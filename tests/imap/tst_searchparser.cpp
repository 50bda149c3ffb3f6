#include "imap/searchparser.h"

#include <QTest>

using namespace imap;

using ByteList = QList<QByteArray>;

class TestSearchParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<ByteList>("lines");
        QTest::addColumn<QStringList>("numbers");
        QTest::newRow("dovecot hits")
            << ByteList{"* SEARCH 1 2", "3 OK Search completed (0.001 + 0.000 secs)."}
            << QStringList{"1", "2"};
        QTest::newRow("dovecot empty result")
            << ByteList{"* SEARCH", "4 OK Search completed (0.001 + 0.000 secs)."} << QStringList{};
        QTest::newRow("empty result with trailing space") << ByteList{"* SEARCH "} << QStringList{};
        QTest::newRow("order kept, not sorted")
            << ByteList{"* SEARCH 9 2 5"} << QStringList{"9", "2", "5"};
        QTest::newRow("a repeated number counts once")
            << ByteList{"* SEARCH 4 7 4 4", "* SEARCH 7 9 4"} << QStringList{"4", "7", "9"};
        QTest::newRow("several lines add up")
            << ByteList{"* SEARCH 2 5", "* 3 EXISTS", "* SEARCH 9", "1 OK done"}
            << QStringList{"2", "5", "9"};
        QTest::newRow("keyword in any case")
            << ByteList{"* search 4", "* Search 7"} << QStringList{"4", "7"};
        QTest::newRow("repeated and trailing spaces")
            << ByteList{"* SEARCH  2   5 "} << QStringList{"2", "5"};
        QTest::newRow("large numbers, no 16-bit limit")
            << ByteList{"* SEARCH 32767 32768 65536 4294967295"}
            << QStringList{"32767", "32768", "65536", "4294967295"};
        // A sequence number is digits only; anything else is dropped so that it can never be
        // copied into a FETCH command.
        QTest::newRow("non-numeric pieces skipped")
            << ByteList{"* SEARCH 3 abc 4\r\n1 DELETE INBOX 5x 6"} << QStringList{"3", "6"};
        QTest::newRow("injection attempt skipped")
            << ByteList{"* SEARCH 1 2:4 1,2 -1 +1 (MODSEQ 917162500) 7"} << QStringList{"1", "7"};
        QTest::newRow("zero, leading zero and overflow skipped")
            << ByteList{"* SEARCH 0 007 4294967296 99999999999 8"} << QStringList{"8"};
        QTest::newRow("tab is no separator") << ByteList{"* SEARCH 1\t2 3"} << QStringList{"3"};
        QTest::newRow("ESEARCH ignored")
            << ByteList{"* ESEARCH (TAG \"1\") ALL 2:5,9", "* ESEARCH (TAG \"1\") MIN 2 COUNT 3"}
            << QStringList{};
        QTest::newRow("other responses ignored")
            << ByteList{"* SEARCHED 1",      "* SEARCH1 2",
                        "*  SEARCH 3",       "1 SEARCH 4",
                        "SEARCH 5",          "* OK SEARCH 6",
                        "* 3 FETCH (UID 7)", "1 NO [BADCHARSET] SEARCH 8"}
            << QStringList{};
        QTest::newRow("tagged NO only") << ByteList{"1 NO SEARCH failed"} << QStringList{};
        QTest::newRow("no lines") << ByteList{} << QStringList{};
    }
    void parse()
    {
        QFETCH(ByteList, lines);
        QFETCH(QStringList, numbers);
        QCOMPARE(parseSearchResponse(lines), numbers);
    }

    void manyHits()
    {
        QByteArray line("* SEARCH");
        QStringList expected;
        for (int i = 1; i <= 50000; ++i) {
            line += ' ' + QByteArray::number(i);
            expected.append(QString::number(i));
        }
        QCOMPARE(parseSearchResponse({line, "1 OK done"}), expected);
    }
};

QTEST_APPLESS_MAIN(TestSearchParser)
#include "tst_searchparser.moc"
