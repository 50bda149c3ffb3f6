#include "imap/responsereader.h"
#include "support/processstats.h"

#include <QTest>

using imap::Response;
using imap::ResponseReader;
using Error = ResponseReader::Error;

namespace {

// Feeds the bytes cut at the given offsets. Returns every complete response, lines joined by
// "|" and each closed by "#", then "!" and the error when the reader gave up.
QByteArray frame(const QByteArray &bytes, QList<qsizetype> cuts, bool greeting,
                 ResponseReader::Limits limits)
{
    ResponseReader reader(limits);
    reader.setGreetingMode(greeting);
    QByteArray out;
    qsizetype from = 0;
    cuts.append(bytes.size());
    for (qsizetype end : cuts) {
        reader.feed(QByteArrayView(bytes).sliced(from, end - from));
        from = end;
        while (reader.hasResponse())
            out += reader.takeResponse().lines.join('|') + '#';
    }
    if (reader.error() == Error::None)
        return out;
    // A reader that gave up explains why and takes nothing more.
    const qsizetype held = reader.bufferedBytes();
    reader.feed("more\r\n");
    const bool stopped = !reader.errorText().isEmpty() && reader.bufferedBytes() == held;
    return out + '!' + QByteArray::number(int(reader.error())) + (stopped ? "" : " and went on");
}

// The responses of frame(), the same however the bytes are cut: whole, byte by byte, and
// split at every single position.
QByteArray framed(const QByteArray &bytes, bool greeting = false, qsizetype maxLine = 1024,
                  qsizetype maxLiteral = 1024, qsizetype maxResponse = 4096)
{
    const ResponseReader::Limits limits{maxLine, maxLiteral, maxResponse};
    const QByteArray whole = frame(bytes, {}, greeting, limits);
    QList<qsizetype> everyByte;
    for (qsizetype i = 1; i < bytes.size(); ++i) {
        everyByte.append(i);
        if (frame(bytes, {i}, greeting, limits) != whole)
            return "differs when split at " + QByteArray::number(i);
    }
    return frame(bytes, everyByte, greeting, limits) == whole ? whole : "differs byte by byte";
}

} // namespace

class TestResponseReader : public QObject
{
    Q_OBJECT
private slots:
    void framing()
    {
        QCOMPARE(framed("* OK ready\r\n* OK [ALERT] hi\r\n1 OK done\r\n", true),
                 "* OK ready#* OK [ALERT] hi|1 OK done#");
        QCOMPARE(framed("* preauth hi\r\n", true), "* preauth hi#");
        QCOMPARE(framed("* BYE busy\r\n", true), "* BYE busy#");
        QCOMPARE(framed("*OK x\r\n*xOK\r\nx OK\r\n* O\r\n* OKAY\r\n* OK\r\n", true),
                 "*OK x|*xOK|x OK|* O|* OKAY|* OK#");
        QCOMPARE(framed("* 1 FETCH (BODY[] {21}\r\nab\r\n1 OK not really\r\n)\r\n1 OK done\r\n"),
                 "* 1 FETCH (BODY[] {21}\r\nab\r\n1 OK not really\r\n)|1 OK done#");
        QCOMPARE(framed("* X {2}\r\na\r\r\n1 OK x\r\n"), "* X {2}\r\na\r|1 OK x#");
        QCOMPARE(framed("* X {1}\r\n\r\n1 OK\r\n"), "* X {1}\r\n\r|1 OK#");
        QCOMPARE(framed("* 2 F (A {1}\r\nx B {3}\r\n}\r\n )\r\n1 OK\r\n"),
                 "* 2 F (A {1}\r\nx B {3}\r\n}\r\n )|1 OK#");
        QCOMPARE(framed("* X {1}\r\n{5}\r\n1 OK\r\n"), "* X {1}\r\n{5}|1 OK#");
        QCOMPARE(framed("* X {3+}\r\nabc\r\n1 OK\r\n"), "* X {3+}\r\nabc|1 OK#");
        QCOMPARE(framed("* X {}\r\n* Y {a}\r\n* Z +}\r\n1 OK\r\n"), "* X {}|* Y {a}|* Z +}|1 OK#");
        QCOMPARE(framed("* X {0}\r\n)\r\n1 OK\r\n"), "* X {0}\r\n)|1 OK#");
        QCOMPARE(framed("1 OK a\r\n+ go ahead\r\n* SEARCH 1\n1 OK b\r\n"),
                 "1 OK a#* SEARCH 1|1 OK b#");
        QCOMPARE(framed("12 OK x\r\n1\r\n1 \r\n* Y\r\n1 OK\r\n"), "12 OK x|1|1 #* Y|1 OK#");
        QCOMPARE(framed("* SEARCH 2\r\n1 OK Sea"), "");
    }

    // Answers expected to come line by line: each untagged line a response of its own, however
    // long the answer; other answers, and lines no command expects, still come whole.
    void linesOneByOne()
    {
        ResponseReader reader({64, 64, 160});
        reader.expectResponse(false);
        reader.expectResponse(true);
        QByteArrayList out;
        QByteArray bytes = "* 1 EXISTS\r\n1 OK a\r\n";
        for (int i = 0; i < 8; ++i) // far more than one response may hold
            bytes += "* " + QByteArray::number(i) + " FETCH (X {3}\r\nabc)\r\n";
        bytes += "1 OK b\r\n* 9 FETCH (Y)\r\n1 OK c\r\n";
        for (char c : bytes) { // byte by byte
            reader.feed(QByteArrayView(&c, 1));
            while (reader.hasResponse())
                out.append(reader.takeResponse().lines.join('|'));
        }
        QCOMPARE(reader.error(), Error::None);
        QCOMPARE(out.size(), 11);
        QCOMPARE(out.first(), "* 1 EXISTS|1 OK a");
        QCOMPARE(out.at(8), "* 7 FETCH (X {3}\r\nabc)");
        QCOMPARE(out.mid(9), (QByteArrayList{"1 OK b", "* 9 FETCH (Y)|1 OK c"}));
    }

    void limits()
    {
        const QByteArray lineTooLong = '!' + QByteArray::number(int(Error::LineTooLong));
        const QByteArray literalTooLarge = '!' + QByteArray::number(int(Error::LiteralTooLarge));
        QCOMPARE(framed("* " + QByteArray(8, 'x'), false, 8), lineTooLong);
        QCOMPARE(framed("1 OK abc\r\n", false, 8), "1 OK abc#");
        QCOMPARE(framed("1 OK abcd\r\n", false, 8), lineTooLong);
        QCOMPARE(framed(QByteArray("\0\0\0\0\0\0\0\r\r\n1 OK\r\n", 16), false, 8),
                 QByteArray("\0\0\0\0\0\0\0\r|1 OK#", 14));
        QCOMPARE(framed("* X {3}\r\n", false, 64, 2), literalTooLarge);
        QCOMPARE(framed("* X {9999999999999999999}\r\n"), literalTooLarge);
        // The literals of one line count together, and afresh on the next line.
        QCOMPARE(framed("* F (A {1}\r\n1 B {1}\r\n2)\r\n1 OK\r\n", false, 64, 2),
                 "* F (A {1}\r\n1 B {1}\r\n2)|1 OK#");
        QCOMPARE(framed("* F (A {1}\r\n1 B {2}\r\n", false, 64, 2), literalTooLarge);
        QCOMPARE(framed("* X {2}\r\naa\r\n* Y {2}\r\nbb\r\n1 OK\r\n", false, 64, 2),
                 "* X {2}\r\naa|* Y {2}\r\nbb|1 OK#");
        // Each line costs its length plus kLineCost (64): "* X" and "1 OK" are 135 together.
        QCOMPARE(framed("* X\r\n1 OK\r\n* X\r\n1 OK\r\n", false, 64, 2, 135), "* X|1 OK#* X|1 OK#");
        QCOMPARE(framed("* X\r\n1 OK\r\n", false, 64, 2, 134),
                 '!' + QByteArray::number(int(Error::ResponseTooLarge)));
    }

    void pendingByeAndContinuation()
    {
        ResponseReader reader;
        reader.feed("* SEARCH 2\r\n+ OK\r\n1 OK Sea");
        QCOMPARE(reader.pendingLines(), QByteArrayList{"* SEARCH 2"});
        QVERIFY(reader.takeContinuation());
        QVERIFY(!reader.takeContinuation());
        QVERIFY(!reader.sawBye());
        reader.feed("rch\r\n* BYE [UNAVAILABLE] Shutting down\r\n");
        QCOMPARE(reader.takeResponse().lines, (QByteArrayList{"* SEARCH 2", "1 OK Search"}));
        QVERIFY(reader.sawBye());
        QCOMPARE(reader.byeText(), QByteArray("Shutting down"));

        ResponseReader greeted;
        greeted.setGreetingMode(true);
        greeted.feed("* BYE Too many connections\r\n");
        QVERIFY(greeted.hasResponse());
        QVERIFY(!greeted.sawBye());
        QVERIFY(!greeted.greetingMode());
    }

    // Bytes already handed out are let go: a long run of large responses holds no more than
    // the one being read.
    void handedOutBytesAreReleased()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("AddressSanitizer holds freed memory back, so resident memory says nothing here");
#endif
        ResponseReader reader;
        const QByteArray chunk(64 * 1024, 'a');
        const qint64 before = testsupport::residentKb();
        for (int i = 0; i < 96; ++i) {
            reader.feed("* 1 FETCH (BODY[] {1048576}\r\n");
            for (int c = 0; c < 16; ++c)
                reader.feed(chunk);
            reader.feed(")\r\n1 OK\r\n");
            QVERIFY(reader.hasResponse());
            QVERIFY(reader.takeResponse().lines.at(0).endsWith("aa)"));
        }
        QCOMPARE(reader.bufferedBytes(), 0);
        const qint64 grown = testsupport::residentKb() - before;
        QVERIFY2(before > 0 && grown < 48 * 1024, qPrintable(QString::number(grown)));
    }

    void status()
    {
        const auto status = [](const char *line) {
            Response r;
            r.lines = {"* 3 EXISTS", line};
            return QByteArray::number(int(r.status())) + '|' + r.statusText();
        };
        using S = Response::Status;
        const auto is = [](S s, const char *text) {
            return QByteArray::number(int(s)) + '|' + text;
        };
        QCOMPARE(status("1 OK Logged in"), is(S::Ok, "Logged in"));
        QCOMPARE(status("1 NO [AUTHENTICATIONFAILED] Failed."), is(S::No, "Failed."));
        QCOMPARE(status("1 bad"), is(S::Bad, ""));
        QCOMPARE(status("* BYE Too many"), is(S::Bye, "Too many"));
        QCOMPARE(status("* PREAUTH [CAPABILITY IMAP4rev1] Hi"), is(S::Preauth, "Hi"));
        QCOMPARE(status("1 FOO x"), is(S::None, "x"));
        QCOMPARE(status("1"), is(S::None, ""));
        QCOMPARE(status("1 NO [ALERT oops"), is(S::No, ""));
    }
};

QTEST_GUILESS_MAIN(TestResponseReader)
#include "tst_responsereader.moc"
