#include "imap/imapchannel.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using imap::CommandBuilder;
using imap::ImapChannel;

namespace {
ImapChannel::Timeouts shortTimeouts()
{
    return testsupport::shortTimeouts(400, 800);
}

imap::Command line(const char *text)
{
    return CommandBuilder(text).finish();
}
} // namespace

class TestImapChannel : public QObject
{
    Q_OBJECT
private slots:
    void conversation()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral(R"(S: * OK [CAPABILITY IMAP4rev1] ready
C: 1 LOGIN demo demo
S: 1 OK Logged in
C: 1 LIST "" "*"
S: * LIST (\\HasNoChildren) "." INBOX
S: 1 OK List completed
C: 1 LOGOUT
S: * BYE Logging out
S: 1 OK Logout completed
)"));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QList<QByteArrayList> parsed;
        channel.setParser(QStringLiteral("GETFOLDERLIST"),
                          [&](const imap::Response &r) { parsed.append(r.lines); });
        QSignalSpy completed(&channel, &ImapChannel::responseCompleted);

        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        QCOMPARE(int(channel.greeting().status()), int(imap::Response::Status::Ok));
        QVERIFY(channel.isConnected());
        QVERIFY(channel.SendAndWait(QStringLiteral("LOGIN"), line("1 LOGIN demo demo")));
        QCOMPARE(channel.strCommand(), QString());
        QVERIFY(channel.SendAndWait(QStringLiteral("GETFOLDERLIST"), line("1 LIST \"\" \"*\"")));
        QVERIFY(channel.SendAndWait(QStringLiteral("LOGOUT"), line("1 LOGOUT")));
        channel.Close();

        QCOMPARE(server.failure(), QString());
        QVERIFY(server.finished());
        QCOMPARE(completed.count(), 4);
        // Only the response of the state the parser was registered for reached it.
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed[0],
                 (QByteArrayList{"* LIST (\\HasNoChildren) \".\" INBOX", "1 OK List completed"}));
        QCOMPARE(server.received(),
                 QByteArray("1 LOGIN demo demo\r\n1 LIST \"\" \"*\"\r\n1 LOGOUT\r\n"));
    }

    // The same conversation with the server's answers cut into tiny pieces.
    void chunkedAnswers_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("2 bytes") << 2;
        QTest::newRow("7 bytes") << 7;
    }

    void chunkedAnswers()
    {
        QFETCH(int, chunk);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral(R"(CHUNK %1
S: * OK [CAPABILITY IMAP4rev1] ready
C: 1 FETCH 1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]
S: * 1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {20}
S+ Subject: a\r\n1 OK x\r\n
S: )
S: 1 OK Fetch completed
)")
                             .arg(chunk));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        QVERIFY(
            channel.SendAndWait(QStringLiteral("FETCHED"),
                                line("1 FETCH 1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]")));
        QCOMPARE(channel.lastResponse().lines,
                 (QByteArrayList{"* 1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {20}\r\n"
                                 "Subject: a\r\n1 OK x\r\n)",
                                 "1 OK Fetch completed"}));
    }

    void literalArgument_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("status");

        QTest::newRow("continuation, then the literal")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN {5}\nS: + OK\nC: "
                              "j\\xc3\\xbcrg x\nS: 1 OK in\n")
            << QByteArray("1 LOGIN {5}\r\nj\xc3\xbcrg x\r\n") << int(imap::Response::Status::Ok);
        // A server that refuses the literal never sees its bytes: they could be a command.
        QTest::newRow("refused literal is never sent")
            << QStringLiteral(
                   "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN {5}\nS: 1 NO too long\n")
            << QByteArray("1 LOGIN {5}\r\n") << int(imap::Response::Status::No);
    }

    void literalArgument()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, received);
        QFETCH(int, status);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        const imap::Command cmd =
            CommandBuilder("1 LOGIN ").astring("j\xc3\xbcrg").raw(" ").astring("x").finish();
        QCOMPARE(cmd.pieces.size(), 2);
        QVERIFY(channel.SendAndWait(QStringLiteral("LOGIN"), cmd));
        QCOMPARE(int(channel.lastResponse().status()), status);
        // Let any stray bytes arrive before looking.
        QTest::qWait(50);
        QCOMPARE(server.received(), received);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("error");

        QTest::newRow("accepts and never greets")
            << QStringLiteral("STALL\n") << false << QStringLiteral("server did not answer");
        QTest::newRow("closes before greeting")
            << QStringLiteral("CLOSE\n") << false << QStringLiteral("server closed the connection");
        QTest::newRow("greets, then silence")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nSTALL\n") << true
            << QStringLiteral("server did not answer");
        QTest::newRow("drops in the middle of a response")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nS: * 1 EXISTS\nS+ 1 "
                              "OK No\nCLOSE\n")
            << true << QStringLiteral("server closed the connection");
        QTest::newRow("drops inside a literal")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nS: * 1 FETCH (BODY[] "
                              "{100}\nS+ abc\nCLOSE\n")
            << true << QStringLiteral("server closed the connection");
        QTest::newRow("says BYE and leaves")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nS: * BYE Server "
                              "shutting down\nCLOSE\n")
            << true << QStringLiteral("server closed the connection: Server shutting down");
        QTest::newRow("closes instead of answering CAPABILITY")
            << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nCLOSE\n") << false
            << QStringLiteral("server closed the connection");
        QTest::newRow("says BYE instead of answering CAPABILITY")
            << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nS: * BYE going away\nCLOSE\n") << false
            << QStringLiteral("server closed the connection: going away");
        QTest::newRow("silent after CAPABILITY")
            << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nSTALL\n") << false
            << QStringLiteral("server did not answer");
        QTest::newRow("announces a huge literal")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nS: * 1 FETCH (BODY[] "
                              "{2147483648}\nSTALL\n")
            << true << QStringLiteral("server announced a literal that is too large");
    }

    void failures()
    {
        QFETCH(QString, script);
        QFETCH(bool, connects);
        QFETCH(QString, error);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        imap::ResponseReader::Limits limits;
        limits.maxLiteralBytes = 64 * 1024 * 1024;
        channel.setReaderLimits(limits);

        const bool connected = channel.Connect(imap::ParseServerAddress(server.address()));
        QCOMPARE(connected, connects);
        if (connected)
            QVERIFY(!channel.SendAndWait(QStringLiteral("NOOP"), line("1 NOOP")));
        QCOMPARE(channel.errorText(), error);
        QVERIFY(!channel.isOpen());
        QVERIFY(!channel.wasAborted());
        QCOMPARE(channel.strCommand(), QString());
    }

    void refusedPort()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(
            !channel.Connect(imap::ParseServerAddress(QStringLiteral("127.0.0.1:%1").arg(port))));
        QCOMPARE(channel.errorText(), QStringLiteral("Connection refused"));
        QVERIFY(!channel.isOpen());
    }

    void unresolvableHost()
    {
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(!channel.Connect(imap::ParseServerAddress(QStringLiteral("no-such-host.invalid"))));
        // Depending on the resolver this is a refusal to resolve or no answer in time; either
        // way the wait ends with a reason.
        QVERIFY(!channel.errorText().isEmpty());
        QVERIFY(!channel.isOpen());
    }

    void invalidAddress()
    {
        ImapChannel channel;
        QVERIFY(!channel.Connect(imap::ParseServerAddress(QStringLiteral("host:99999"))));
        QCOMPARE(channel.errorText(), QStringLiteral("bad port in the server address"));
    }

    void sendOnDroppedConnection()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(
            QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nS: * BYE idle too long\nCLOSE\n"));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        QTRY_VERIFY(!channel.isConnected());
        QVERIFY(!channel.SendAndWait(QStringLiteral("LOGOUT"), line("1 LOGOUT")));
        QCOMPARE(channel.errorText(),
                 QStringLiteral("server closed the connection: idle too long"));
    }

    // Shutting down in the middle of a wait: one LOGOUT, the wait ends as aborted.
    void shutdownDuringWait()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nSTALL\n"));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        QTimer::singleShot(20, &channel, [&] { channel.shutdown(); });
        QVERIFY(!channel.SendAndWait(QStringLiteral("NOOP"), line("1 NOOP")));
        QVERIFY(channel.wasAborted());
        QVERIFY(!channel.isOpen());
        QTRY_COMPARE(server.received(), QByteArray("1 NOOP\r\n1 LOGOUT\r\n"));
    }

    // A tagged line that arrives while nothing is pending is not taken as the next answer.
    void strayTaggedLineIsIgnored()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral(
            "S: * OK [CAPABILITY IMAP4rev1] hi\nS: 1 OK stray\nC: 1 NOOP\nS: 1 OK real\n"));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        QTest::qWait(50);
        QVERIFY(channel.SendAndWait(QStringLiteral("NOOP"), line("1 NOOP")));
        QCOMPARE(channel.lastResponse().lastLine(), QByteArray("1 OK real"));
    }

    void pipelined_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QList<int>>("statuses");
        const int ok = int(imap::Response::Status::Ok);
        const int no = int(imap::Response::Status::No);
        const int bad = int(imap::Response::Status::Bad);

        QTest::newRow("both answered in one chunk")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 EXAMINE \"INBOX\"\n"
                              "C: 1 SEARCH ALL\nS+ * 2 EXISTS\\r\\n1 OK ro\\r\\n* SEARCH 1 "
                              "2\\r\\n1 OK done\\r\\n\n")
            << QByteArray("1 EXAMINE \"INBOX\"\r\n1 SEARCH ALL\r\n") << QList<int>{ok, ok};
        // The continuation for the second command's literal arrives right behind the first
        // command's answer.
        QTest::newRow("literal behind an answer")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 EXAMINE \"INBOX\"\n"
                              "C: 1 SEARCH CHARSET UTF-8 SUBJECT {2}\nS+ 1 OK ro\\r\\n+ go\\r\\n\n"
                              "C: \\xc3\\xa4\nS: * SEARCH 3\nS: 1 OK done\n")
            << QByteArray(
                   "1 EXAMINE \"INBOX\"\r\n1 SEARCH CHARSET UTF-8 SUBJECT {2}\r\n\xc3\xa4\r\n")
            << QList<int>{ok, ok};
        QTest::newRow("refused first, second fails too")
            << QStringLiteral(
                   "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 EXAMINE \"Gone\"\nC: 1 SEARCH ALL\n"
                   "S: 1 NO no such mailbox\nS: 1 BAD no mailbox selected\n")
            << QByteArray("1 EXAMINE \"Gone\"\r\n1 SEARCH ALL\r\n") << QList<int>{no, bad};
        // The literal is refused: its bytes are never sent, the batch still completes.
        QTest::newRow("refused literal in a batch")
            << QStringLiteral(
                   "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 EXAMINE \"INBOX\"\n"
                   "C: 1 SEARCH CHARSET UTF-8 SUBJECT {2}\nS: 1 OK ro\nS: 1 NO no literals\n")
            << QByteArray("1 EXAMINE \"INBOX\"\r\n1 SEARCH CHARSET UTF-8 SUBJECT {2}\r\n")
            << QList<int>{ok, no};
    }

    void pipelined()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, received);
        QFETCH(QList<int>, statuses);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        QList<QByteArrayList> searched;
        channel.setParser(QStringLiteral("SEARCHED"),
                          [&](const imap::Response &r) { searched.append(r.lines); });
        QVERIFY(channel.Connect(imap::ParseServerAddress(server.address())));
        const bool literal = received.contains('{');
        const imap::Command search =
            literal ? CommandBuilder("1 SEARCH CHARSET UTF-8 SUBJECT ").string("\xc3\xa4").finish()
                    : line("1 SEARCH ALL");
        const QByteArray box = received.mid(11, received.indexOf('"', 11) - 11);
        const int before = channel.roundTrips();
        QVERIFY(channel.SendAndWaitAll(
            {{QStringLiteral("SELECTED"), CommandBuilder("1 EXAMINE ").string(box).finish()},
             {QStringLiteral("SEARCHED"), search}}));
        QCOMPARE(server.failure(), QString());
        QList<int> got;
        for (const imap::Response &r : channel.lastResponses())
            got.append(int(r.status()));
        QCOMPARE(got, statuses);
        // The SEARCH answer, and only it, went to the SEARCH parser.
        QCOMPARE(searched.size(), 1);
        QCOMPARE(searched[0].constLast(), channel.lastResponses().constLast().lastLine());
        QVERIFY(channel.roundTrips() - before <= (literal ? 2 : 1));
        QTest::qWait(20);
        QCOMPARE(server.received(), received);
        QCOMPARE(channel.strCommand(), QString());
    }
};

QTEST_GUILESS_MAIN(TestImapChannel)
#include "tst_imapchannel.moc"
