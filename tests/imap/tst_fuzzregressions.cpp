// Inputs found by the fuzz targets in fuzz/ that once broke an invariant, kept as tests.

#include "imap/responsereader.h"

#include <QTest>

using imap::Response;
using imap::ResponseReader;

namespace {

struct Framed
{
    QList<QByteArrayList> responses;
    int error = 0;
    qsizetype maxBuffered = 0;
};

// Feeds the bytes cut at the given offsets and collects every complete response.
Framed frame(const QByteArray &bytes, const QList<qsizetype> &cuts, ResponseReader::Limits limits)
{
    ResponseReader reader(limits);
    Framed out;
    qsizetype from = 0;
    QList<qsizetype> ends = cuts;
    ends.append(bytes.size());
    for (qsizetype end : ends) {
        reader.feed(QByteArrayView(bytes).sliced(from, end - from));
        from = end;
        while (reader.hasResponse())
            out.responses.append(reader.takeResponse().lines);
        out.maxBuffered = qMax(out.maxBuffered, reader.bufferedBytes());
    }
    out.error = int(reader.error());
    return out;
}

} // namespace

class TestFuzzRegressions : public QObject
{
    Q_OBJECT
private slots:
    // The response reader must give the same result however the bytes are cut, and hold no
    // more than one line's text plus its literals within their limits.
    void responseReader_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<qsizetype>>("cuts");
        QTest::addColumn<qsizetype>("maxLine");
        QTest::addColumn<qsizetype>("maxLiteral");
        QTest::addColumn<int>("error");
        QTest::addColumn<QList<QByteArrayList>>("responses");

        const int none = int(ResponseReader::Error::None);
        // A line exactly as long as the limit whose CR LF arrives split: the CR alone at the
        // end of one read was counted as text and the line refused.
        QTest::newRow("line at the limit, CR and LF in different reads")
            << QByteArray("1 OK abc\r\n") << QList<qsizetype>{9} << qsizetype(8) << qsizetype(512)
            << none << QList<QByteArrayList>{{"1 OK abc"}};
        QTest::newRow("found input: NUL bytes and CR CR LF fed byte by byte")
            << QByteArray("\0\0\0\0\0\0\0\r\r\n1 OK\r\n", 16)
            << QList<qsizetype>{1, 2, 3, 4, 5, 6, 7, 8, 9} << qsizetype(8) << qsizetype(512) << none
            << QList<QByteArrayList>{{QByteArray("\0\0\0\0\0\0\0\r", 8), "1 OK"}};
        QTest::newRow("line one byte over the limit, CR and LF in different reads")
            << QByteArray("1 OK abcd\r\n") << QList<qsizetype>{10} << qsizetype(8) << qsizetype(512)
            << int(ResponseReader::Error::LineTooLong) << QList<QByteArrayList>{};

        // Every literal was checked on its own, so a line could go on announcing literals
        // within the limit and be buffered far beyond it.
        QByteArray manyLiterals("* 1 FETCH (A {16}\r\n" + QByteArray(16, 'x'));
        for (int i = 0; i < 4; ++i)
            manyLiterals += " B {16}\r\n" + QByteArray(16, 'y');
        QTest::newRow("literals of one line add up past the literal limit")
            << manyLiterals << QList<qsizetype>{20, 40, 60} << qsizetype(64) << qsizetype(16)
            << int(ResponseReader::Error::LiteralTooLarge) << QList<QByteArrayList>{};
        const QByteArray twoLiterals("* 1 FETCH (A {8}\r\n12345678 B {8}\r\nabcdefgh)\r\n1 OK\r\n");
        QTest::newRow("literals of one line within the limit together")
            << twoLiterals << QList<qsizetype>{5, 19, 30} << qsizetype(64) << qsizetype(16) << none
            << QList<QByteArrayList>{{"* 1 FETCH (A {8}\r\n12345678 B {8}\r\nabcdefgh)", "1 OK"}};
        QTest::newRow("literal limit counts again on the next line")
            << QByteArray("* 1 X {16}\r\n" + QByteArray(16, 'a') + "\r\n* 2 X {16}\r\n" +
                          QByteArray(16, 'b') + "\r\n1 OK\r\n")
            << QList<qsizetype>{3} << qsizetype(64) << qsizetype(16) << none
            << QList<QByteArrayList>{{"* 1 X {16}\r\n" + QByteArray(16, 'a'),
                                      "* 2 X {16}\r\n" + QByteArray(16, 'b'), "1 OK"}};
    }

    void responseReader()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<qsizetype>, cuts);
        QFETCH(qsizetype, maxLine);
        QFETCH(qsizetype, maxLiteral);
        QFETCH(int, error);
        QFETCH(QList<QByteArrayList>, responses);

        ResponseReader::Limits limits;
        limits.maxLineBytes = maxLine;
        limits.maxLiteralBytes = maxLiteral;
        const Framed cut = frame(bytes, cuts, limits);
        const Framed whole = frame(bytes, {}, limits);
        QCOMPARE(cut.error, error);
        QCOMPARE(cut.responses, responses);
        QCOMPARE(whole.error, error);
        QCOMPARE(whole.responses, responses);
        QVERIFY2(cut.maxBuffered <= maxLine + maxLiteral + 2,
                 qPrintable(QString::number(cut.maxBuffered)));
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
