#include "imap/responsereader.h"

#include <QTest>

using imap::Response;
using imap::ResponseReader;

namespace {
// Feeds the bytes split at the given points and collects every complete response.
QList<Response> frameSplit(const QByteArray &bytes, const QList<qsizetype> &cuts, bool greeting)
{
    ResponseReader reader;
    reader.setGreetingMode(greeting);
    QList<Response> out;
    qsizetype from = 0;
    auto drain = [&] {
        while (reader.hasResponse()) {
            out.append(reader.takeResponse());
            reader.setGreetingMode(false);
        }
    };
    for (qsizetype cut : cuts) {
        reader.feed(QByteArrayView(bytes).sliced(from, cut - from));
        drain();
        from = cut;
    }
    reader.feed(QByteArrayView(bytes).sliced(from));
    drain();
    return out;
}
} // namespace

class TestResponseReader : public QObject
{
    Q_OBJECT
private slots:
    void framing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("greeting");
        QTest::addColumn<QList<QByteArrayList>>("expected");

        QTest::newRow("greeting") << QByteArray("* OK Dovecot ready.\r\n") << true
                                  << QList<QByteArrayList>{{"* OK Dovecot ready."}};
        QTest::newRow("lower-case greeting")
            << QByteArray("* ok hi\r\n") << true << QList<QByteArrayList>{{"* ok hi"}};
        QTest::newRow("preauth greeting") << QByteArray("* PREAUTH welcome\r\n") << true
                                          << QList<QByteArrayList>{{"* PREAUTH welcome"}};
        QTest::newRow("untagged OK is no completion outside the greeting")
            << QByteArray("* OK [ALERT] hi\r\n1 OK done\r\n") << false
            << QList<QByteArrayList>{{"* OK [ALERT] hi", "1 OK done"}};
        QTest::newRow("tagged NO completes like OK")
            << QByteArray("1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n") << false
            << QList<QByteArrayList>{{"1 NO [AUTHENTICATIONFAILED] Authentication failed."}};
        QTest::newRow("list then tagged")
            << QByteArray("* LIST (\\HasNoChildren) \".\" INBOX\r\n* LIST () \".\" Sent\r\n1 OK "
                          "List completed.\r\n")
            << false
            << QList<QByteArrayList>{{"* LIST (\\HasNoChildren) \".\" INBOX",
                                      "* LIST () \".\" Sent", "1 OK List completed."}};
        QTest::newRow("literal with CRLF and a fake tagged line inside")
            << QByteArray("* 1 FETCH (BODY[] {21}\r\nab\r\n1 OK not really\r\n)\r\n1 OK done\r\n")
            << false
            << QList<QByteArrayList>{
                   {"* 1 FETCH (BODY[] {21}\r\nab\r\n1 OK not really\r\n)", "1 OK done"}};
        QTest::newRow("literal ending in CR before the line's own CRLF")
            << QByteArray("* LIST () NIL {2}\r\na\r\r\n1 OK x\r\n") << false
            << QList<QByteArrayList>{{"* LIST () NIL {2}\r\na\r", "1 OK x"}};
        QTest::newRow("two literals on one line")
            << QByteArray("* 2 FETCH (A {1}\r\nx B {3}\r\n}\r\n )\r\n1 OK\r\n") << false
            << QList<QByteArrayList>{{"* 2 FETCH (A {1}\r\nx B {3}\r\n}\r\n )", "1 OK"}};
        QTest::newRow("non-synchronizing literal form")
            << QByteArray("* X {3+}\r\nabc\r\n1 OK\r\n") << false
            << QList<QByteArrayList>{{"* X {3+}\r\nabc", "1 OK"}};
        QTest::newRow("brace without digits is plain text")
            << QByteArray("* X {}\r\n* Y {a}\r\n1 OK\r\n") << false
            << QList<QByteArrayList>{{"* X {}", "* Y {a}", "1 OK"}};
        QTest::newRow("zero-length literal") << QByteArray("* X {0}\r\n)\r\n1 OK\r\n") << false
                                             << QList<QByteArrayList>{{"* X {0}\r\n)", "1 OK"}};
        QTest::newRow("two responses back to back")
            << QByteArray("1 OK a\r\n* SEARCH 1\r\n1 OK b\r\n") << false
            << QList<QByteArrayList>{{"1 OK a"}, {"* SEARCH 1", "1 OK b"}};
        QTest::newRow("continuation request is not part of a response")
            << QByteArray("+ go ahead\r\n1 OK done\r\n") << false
            << QList<QByteArrayList>{{"1 OK done"}};
        QTest::newRow("bare LF line ends") << QByteArray("* SEARCH 3\n1 OK done\n") << false
                                           << QList<QByteArrayList>{{"* SEARCH 3", "1 OK done"}};
        QTest::newRow("tag must be followed by a space")
            << QByteArray("12 OK other tag\r\n1 OK mine\r\n") << false
            << QList<QByteArrayList>{{"12 OK other tag", "1 OK mine"}};
    }

    // Every response frames the same whatever the chunks: whole, byte by byte, and split at
    // every single position.
    void framing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, greeting);
        QFETCH(QList<QByteArrayList>, expected);

        auto check = [&](const QList<Response> &got, const QString &how) {
            QCOMPARE(got.size(), expected.size());
            for (qsizetype i = 0; i < got.size(); ++i)
                QVERIFY2(got[i].lines == expected[i], qPrintable(how));
        };
        check(frameSplit(bytes, {}, greeting), QStringLiteral("whole"));
        QList<qsizetype> everyByte;
        for (qsizetype i = 1; i < bytes.size(); ++i)
            everyByte.append(i);
        check(frameSplit(bytes, everyByte, greeting), QStringLiteral("byte by byte"));
        for (qsizetype i = 1; i < bytes.size(); ++i)
            check(frameSplit(bytes, {i}, greeting), QStringLiteral("split at %1").arg(i));
    }

    void partialTaggedLineDoesNotComplete()
    {
        ResponseReader reader;
        reader.feed("* SEARCH 2 5 9\r\n1 OK Sea");
        QVERIFY(!reader.hasResponse());
        QCOMPARE(reader.pendingLines(), QByteArrayList{"* SEARCH 2 5 9"});
        reader.feed("rch completed\r\n");
        QVERIFY(reader.hasResponse());
        QCOMPARE(reader.takeResponse().lines,
                 (QByteArrayList{"* SEARCH 2 5 9", "1 OK Search completed"}));
    }

    // Bytes after the tagged line are not lost: they start the next response.
    void bytesAfterCompletionAreKept()
    {
        ResponseReader reader;
        reader.feed("1 OK done\r\n* 4 EXIS");
        QVERIFY(reader.hasResponse());
        QCOMPARE(reader.takeResponse().lines, QByteArrayList{"1 OK done"});
        reader.feed("TS\r\n1 OK next\r\n");
        QCOMPARE(reader.takeResponse().lines, (QByteArrayList{"* 4 EXISTS", "1 OK next"}));
    }

    void unsolicitedByeIsNoted()
    {
        ResponseReader reader;
        reader.feed("* BYE Server shutting down.\r\n");
        QVERIFY(!reader.hasResponse());
        QVERIFY(reader.sawBye());
        QCOMPARE(reader.byeText(), QByteArray("Server shutting down."));
    }

    void continuationIsReportedOnce()
    {
        ResponseReader reader;
        reader.feed("+ OK\r\n");
        QVERIFY(reader.takeContinuation());
        QVERIFY(!reader.takeContinuation());
    }

    void limits_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("error");
        QTest::newRow("long line without end")
            << QByteArray(5000, 'x') << int(ResponseReader::Error::LineTooLong);
        QTest::newRow("long complete line") << QByteArray(5000, 'x') + "\r\n"
                                            << int(ResponseReader::Error::LineTooLong);
        QTest::newRow("literal above the cap") << QByteArray("* 1 FETCH (BODY[] {2147483648}\r\n")
                                               << int(ResponseReader::Error::LiteralTooLarge);
        QTest::newRow("absurd literal size") << QByteArray("* X {99999999999999999999999}\r\n")
                                             << int(ResponseReader::Error::LiteralTooLarge);
        QTest::newRow("literal within the cap")
            << QByteArray("* X {100}\r\n") + QByteArray(100, 'y') + ")\r\n"
            << int(ResponseReader::Error::None);
    }

    void limits()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, error);
        ResponseReader::Limits limits;
        limits.maxLineBytes = 1024;
        limits.maxLiteralBytes = 1024 * 1024;
        ResponseReader reader(limits);
        // Fed in small pieces, as a real server's data arrives.
        for (qsizetype i = 0; i < bytes.size(); i += 100)
            reader.feed(QByteArrayView(bytes).sliced(i, qMin<qsizetype>(100, bytes.size() - i)));
        QCOMPARE(int(reader.error()), error);
        if (error != int(ResponseReader::Error::None)) {
            QVERIFY(!reader.errorText().isEmpty());
            // Nothing more is buffered once the reader has given up.
            const qsizetype held = reader.bufferedBytes();
            reader.feed(QByteArray(4096, 'z'));
            QCOMPARE(reader.bufferedBytes(), held);
        }
    }

    // A large literal arriving in small chunks is held once, not copied per chunk.
    void largeLiteralInChunks()
    {
        ResponseReader reader;
        const qsizetype size = 8 * 1024 * 1024;
        reader.feed("* 1 FETCH (BODY[] {" + QByteArray::number(size) + "}\r\n");
        const QByteArray chunk(4096, 'a');
        for (qsizetype sent = 0; sent < size; sent += chunk.size())
            reader.feed(chunk);
        reader.feed(")\r\n1 OK\r\n");
        QVERIFY(reader.hasResponse());
        const Response r = reader.takeResponse();
        QCOMPARE(r.lines.size(), 2);
        QVERIFY(r.lines[0].endsWith("aaaa)"));
        QCOMPARE(reader.bufferedBytes(), 0);
    }

    void status_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("ok") << QByteArray("1 OK Logged in") << int(Response::Status::Ok)
                            << QByteArray("Logged in");
        QTest::newRow("no with code")
            << QByteArray("1 NO [AUTHENTICATIONFAILED] Authentication failed.")
            << int(Response::Status::No) << QByteArray("Authentication failed.");
        QTest::newRow("bad lower case")
            << QByteArray("1 bad Error in IMAP command") << int(Response::Status::Bad)
            << QByteArray("Error in IMAP command");
        QTest::newRow("bye greeting")
            << QByteArray("* BYE Too many connections") << int(Response::Status::Bye)
            << QByteArray("Too many connections");
        QTest::newRow("preauth") << QByteArray("* PREAUTH [CAPABILITY IMAP4rev1] Hi")
                                 << int(Response::Status::Preauth) << QByteArray("Hi");
        QTest::newRow("no status word")
            << QByteArray("1") << int(Response::Status::None) << QByteArray();
        QTest::newRow("unterminated code")
            << QByteArray("1 NO [ALERT oops") << int(Response::Status::No) << QByteArray();
    }

    void status()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, status);
        QFETCH(QByteArray, text);
        Response r;
        r.lines = {"* 3 EXISTS", line};
        QCOMPARE(int(r.status()), status);
        QCOMPARE(r.statusText(), text);
    }
};

QTEST_GUILESS_MAIN(TestResponseReader)
#include "tst_responsereader.moc"
