// imap::Connection and imap::Session against scripted servers: the exact bytes on the wire,
// pipelined answers reaching the right handlers, literals, failures with their reasons, login.

#include "imap/connection.h"
#include "imap/session.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using imap::Connection;

namespace {
const QString kGreeting = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\n");

// A command from its wire bytes: a piece ends after each literal announcement.
imap::Command command(const QByteArray &wire)
{
    imap::Command c;
    qsizetype from = 0;
    for (qsizetype at; (at = wire.indexOf("}\r\n", from)) >= 0; from = at + 3)
        c.pieces.append(wire.mid(from, at + 3 - from));
    c.pieces.append(wire.mid(from));
    return c;
}

// What a client must send to play the script: its C: lines, in order.
QByteArray clientBytes(const QString &script)
{
    QByteArray out;
    for (const QString &line : script.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("C: ")))
            out += FakeImapServer::unescape(QStringView(line).sliced(3)) + "\r\n";
    return out;
}

// A connection to a scripted server, with its signals recorded.
struct Link
{
    FakeImapServer server;
    Connection connection;
    QSignalSpy ready{&connection, &Connection::ready};
    QSignalSpy failed{&connection, &Connection::failed};
    QSignalSpy answered{&connection, &Connection::responseReceived};

    explicit Link(const QString &script, int idleMs = 400, int searchIdleMs = 800)
    {
        server.setScript(script);
        connection.setTimeouts(testsupport::shortTimeouts(idleMs, searchIdleMs));
    }
    // Opens the connection; true once ready() or failed() came.
    bool open(const QString &address = {})
    {
        if (!server.listen())
            return false;
        connection.open(imap::parseServerAddress(address.isEmpty() ? server.address() : address));
        return QTest::qWaitFor([&] { return ready.size() + failed.size() > 0; }, 10000);
    }
    QString reason() const { return failed.isEmpty() ? QString() : failed[0][0].toString(); }
};
} // namespace

class TestConnection : public QObject
{
    Q_OBJECT
private slots:
    // Commands and what each handler gets. Each answer is the response's lines joined by " | ".
    void exchange_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<bool>("oneByOne"); // the next command only once the last is answered
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<int>("roundTrips");

        const QByteArrayList conversation{"1 LOGIN demo demo\r\n", "1 LIST \"\" \"*\"\r\n",
                                          "1 LOGOUT\r\n"};
        const QString conversationScript =
            kGreeting + QStringLiteral("C: 1 LOGIN demo demo\nS: 1 OK Logged in\n"
                                       "C: 1 LIST \"\" \"*\"\nS: * LIST () \".\" INBOX\n"
                                       "S: 1 OK List completed\n"
                                       "C: 1 LOGOUT\nS: * BYE Logging out\nS: 1 OK done\n");
        const QByteArrayList conversationAnswers{"1 OK Logged in",
                                                 "* LIST () \".\" INBOX | 1 OK List completed",
                                                 "* BYE Logging out | 1 OK done"};
        // The connection itself costs one round trip; each wait for the server one more.
        QTest::newRow("one by one")
            << conversationScript << conversation << true << conversationAnswers << 4;
        QTest::newRow("pipelined: sent together, one round trip")
            << conversationScript << conversation << false << conversationAnswers << 2;

        const QByteArray fetch = "1 FETCH 1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\r\n";
        for (int chunk : {1, 2, 7})
            QTest::addRow("answer in pieces of %d bytes", chunk)
                << QStringLiteral("CHUNK %1\n").arg(chunk) + kGreeting + QStringLiteral("C: ") +
                       QString::fromLatin1(fetch.trimmed()) + QStringLiteral("\n") +
                       testsupport::fetchAnswer(1, "Subject: a\r\n1 OK x\r\n") +
                       QStringLiteral("S: 1 OK done\n")
                << QByteArrayList{fetch} << false
                << QByteArrayList{"* 1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {20}\r\n"
                                  "Subject: a\r\n1 OK x\r\n) | 1 OK done"}
                << 2;

        const QByteArray login = "1 LOGIN {5}\r\nj\xc3\xbcrg x\r\n";
        QTest::newRow("literal waits for the continuation")
            << kGreeting + QStringLiteral("C: 1 LOGIN {5}\nS: + go\nC: j\\xc3\\xbcrg x\nS: 1 OK\n")
            << QByteArrayList{login} << false << QByteArrayList{"1 OK"} << 3;

        const QByteArrayList pair{"1 EXAMINE \"INBOX\"\r\n", "1 SEARCH ALL\r\n"};
        QTest::newRow("pipelined, answered in one chunk")
            << kGreeting + QStringLiteral("C: 1 EXAMINE \"INBOX\"\nC: 1 SEARCH ALL\n"
                                          "S+ * 2 EXISTS\\r\\n1 OK ro\\r\\n* SEARCH 1 2\\r\\n"
                                          "1 OK done\\r\\n\n")
            << pair << false << QByteArrayList{"* 2 EXISTS | 1 OK ro", "* SEARCH 1 2 | 1 OK done"}
            << 2;

        const QByteArrayList withLiteral{"1 EXAMINE \"INBOX\"\r\n",
                                         "1 SEARCH CHARSET UTF-8 SUBJECT {2}\r\n\xc3\xa4\r\n",
                                         "1 NOOP\r\n"};
        // The continuation for the second command comes right behind the first one's answer.
        QTest::newRow("continuation behind an answer")
            << kGreeting + QStringLiteral("C: 1 EXAMINE \"INBOX\"\n"
                                          "C: 1 SEARCH CHARSET UTF-8 SUBJECT {2}\n"
                                          "S+ 1 OK ro\\r\\n+ go\\r\\n\nC: \\xc3\\xa4\n"
                                          "C: 1 NOOP\nS: * SEARCH 3\nS: 1 OK done\nS: 1 OK\n")
            << withLiteral << false << QByteArrayList{"1 OK ro", "* SEARCH 3 | 1 OK done", "1 OK"}
            << 3;
        // A refused literal is never sent (its bytes could be a command); the next still goes.
        QTest::newRow("refused literal in a batch")
            << kGreeting + QStringLiteral("C: 1 EXAMINE \"INBOX\"\n"
                                          "C: 1 SEARCH CHARSET UTF-8 SUBJECT {2}\n"
                                          "S: 1 OK ro\nS: 1 NO no literals\nC: 1 NOOP\nS: 1 OK\n")
            << withLiteral << false << QByteArrayList{"1 OK ro", "1 NO no literals", "1 OK"} << 3;
        // A tagged line while nothing is unanswered is not the next command's answer.
        QTest::newRow("tagged line answering nothing")
            << QStringLiteral("S+ * OK [CAPABILITY IMAP4rev1] hi\\r\\n1 OK stray\\r\\n\n"
                              "C: 1 NOOP\nS: 1 OK real\n")
            << QByteArrayList{"1 NOOP\r\n"} << false << QByteArrayList{"1 OK real"} << 2;
    }

    void exchange()
    {
        QFETCH(QString, script);
        QFETCH(QByteArrayList, commands);
        QFETCH(bool, oneByOne);
        QFETCH(QByteArrayList, answers);
        QFETCH(int, roundTrips);
        Link link(script);
        QVERIFY(link.open());
        QVERIFY(link.connection.isReady());
        QByteArray wire;
        connect(&link.connection, &Connection::wrote, this,
                [&](const QByteArray &bytes) { wire += bytes; });
        QByteArrayList got;
        std::function<void(qsizetype)> sendFrom = [&](qsizetype i) {
            link.connection.send(command(commands[i]), [&, i](const imap::Response &r) {
                got.append(QByteArray::number(i) + ": " + r.lines.join(" | "));
                if (oneByOne && i + 1 < commands.size())
                    sendFrom(i + 1);
            });
        };
        for (qsizetype i = 0; i < (oneByOne ? 1 : commands.size()); ++i)
            sendFrom(i);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), answers.size(), 10000);

        for (qsizetype i = 0; i < answers.size(); ++i)
            answers[i] = QByteArray::number(i) + ": " + answers[i];
        QCOMPARE(got, answers);
        QCOMPARE(link.server.failure(), QString());
        QVERIFY(link.server.finished());
        QCOMPARE(link.server.received(), clientBytes(script));
        QCOMPARE(wire, link.server.received());
        QCOMPARE(link.answered.size(), answers.size());
        QCOMPARE(link.connection.roundTrips(), roundTrips);
        QCOMPARE(link.failed.size(), 0);
    }

    // Every failure closes the connection, drops the unanswered commands without calling their
    // handlers and gives one reason. The time-out that does not apply is a minute long: a wait
    // that ends shows that the right one applied.
    void failures_data()
    {
        QTest::addColumn<QString>("address"); // empty: the scripted server
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("search"); // "1 NOOP" waits as a SEARCH does
        QTest::addColumn<QString>("reason");

        const QString silent = QStringLiteral("server did not answer");
        const QString closed = QStringLiteral("server closed the connection");
        const QString noop = kGreeting + QStringLiteral("C: 1 NOOP\n");
        auto row = [](const char *name, const QString &script, const QString &reason,
                      bool search = false) -> QTestData & {
            return QTest::newRow(name) << QString() << script << search << reason;
        };
        row("never greets", QStringLiteral("STALL\n"), silent);
        row("closes before the greeting", QStringLiteral("CLOSE\n"), closed);
        row("silent after a command", noop + QStringLiteral("STALL\n"), silent);
        row("silent after a SEARCH", noop + QStringLiteral("STALL\n"), silent, true);
        row("closes in a response", noop + QStringLiteral("S: * 1 EXISTS\nS+ 1 OK No\nCLOSE\n"),
            closed);
        row("closes in a literal",
            noop + QStringLiteral("S: * 1 FETCH (BODY[] {100}\nS+ abc\nCLOSE\n"), closed);
        row("says BYE and leaves", noop + QStringLiteral("S: * BYE Server shutting down\nCLOSE\n"),
            closed + QStringLiteral(": Server shutting down"));
        row("says BYE while nothing is asked",
            kGreeting + QStringLiteral("S: * BYE idle too long\nCLOSE\n"),
            closed + QStringLiteral(": idle too long"));
        row("announces a 2 GB literal",
            noop + QStringLiteral("S: * 1 FETCH (BODY[] {2147483648}\nSTALL\n"),
            QStringLiteral("server announced a literal that is too large"));
        const char *const addresses[][3] = {
            {"connection refused", "closed", "Connection refused"},
            {"bad address", "host:99999", "bad port in the server address"}};
        for (const auto &a : addresses)
            QTest::newRow(a[0]) << QString::fromLatin1(a[1]) << QString() << false
                                << QString::fromLatin1(a[2]);
    }

    void failures()
    {
        QFETCH(QString, address);
        QFETCH(QString, script);
        QFETCH(bool, search);
        QFETCH(QString, reason);
        Link link(script, search ? 60000 : 400, search ? 400 : 60000);
        if (address == QLatin1String("closed")) {
            QTcpServer probe; // a port that was free a moment ago and has no listener now
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            address = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        }
        QVERIFY(link.open(address));
        QCOMPARE(link.ready.size(), int(script.startsWith(kGreeting)));
        int handled = 0;
        if (script.contains(QLatin1String("C: 1 NOOP")))
            link.connection.send(
                imap::CommandBuilder("1 NOOP").finish(), [&](const imap::Response &) { ++handled; },
                search ? Connection::Wait::Search : Connection::Wait::Normal);
        QTRY_COMPARE_WITH_TIMEOUT(link.failed.size(), 1, 10000);
        QCOMPARE(link.reason(), reason);
        QCOMPARE(handled, 0);
        QVERIFY(!link.connection.isOpen());
        QCOMPARE(link.server.failure(), QString());
    }

    // Logging in: what goes on the wire and how each end is reported.
    void session_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("reason"); // empty: logged in, then logged out

        const QString logout = QStringLiteral("C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n");
        QTest::newRow("logs in and out")
            << kGreeting + QStringLiteral("C: 1 LOGIN demo secret\nS: 1 OK in\n") + logout
            << QString();
        QTest::newRow("PREAUTH: no LOGIN")
            << QStringLiteral("S: * PREAUTH welcome\n") + logout << QString();
        QTest::newRow("BYE greeting")
            << QStringLiteral("S: * BYE [UNAVAILABLE] Too many connections\nCLOSE\n")
            << QStringLiteral("server refused the connection: Too many connections");
        QTest::newRow("LOGIN refused, after a LOGOUT")
            << kGreeting +
                   QStringLiteral("C: 1 LOGIN demo secret\n"
                                  "S: 1 NO [AUTHENTICATIONFAILED] Authentication failed.\n") +
                   logout
            << QStringLiteral("login failed: Authentication failed.");
        QTest::newRow("LOGIN refused, then the server closes")
            << kGreeting + QStringLiteral("C: 1 LOGIN demo secret\nS: 1 BAD no\nC: 1 LOGOUT\n"
                                          "CLOSE\n")
            << QStringLiteral("login failed: no");
        QTest::newRow("LOGINDISABLED: no password in clear")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hi\nSTALL\n")
            << QStringLiteral("server requires an encrypted connection (try imaps://host)");
    }

    void session()
    {
        QFETCH(QString, script);
        QFETCH(QString, reason);
        const QByteArray sent = clientBytes(script);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        imap::Session session;
        session.connection().setTimeouts(testsupport::shortTimeouts(400, 800));
        QSignalSpy loggingIn(&session, &imap::Session::loggingIn);
        QSignalSpy loggedIn(&session, &imap::Session::loggedIn);
        QSignalSpy loggedOut(&session, &imap::Session::loggedOut);
        QSignalSpy failed(&session, &imap::Session::failed);
        session.open(imap::parseServerAddress(server.address()), QStringLiteral("demo"),
                     QStringLiteral("secret"));
        QTRY_COMPARE_WITH_TIMEOUT(loggedIn.size() + failed.size(), 1, 10000);
        QCOMPARE(loggingIn.size(), int(sent.startsWith("1 LOGIN")));
        if (reason.isEmpty()) {
            QCOMPARE(failed.size(), 0);
            QVERIFY(session.isLoggedIn());
            session.logout();
            QVERIFY(loggedOut.wait(10000));
        } else {
            QCOMPARE(failed[0][0].toString(), reason);
            QCOMPARE(loggedIn.size(), 0);
        }
        QCOMPARE(failed.size(), int(!reason.isEmpty()));
        QVERIFY(!session.isLoggedIn());
        QVERIFY(!session.connection().isOpen());
        QCOMPARE(server.failure(), QString());
        QTRY_COMPARE(server.received(), sent);
        QVERIFY(server.finished());
    }

    // Going away mid-command: one LOGOUT, no signal, no handler.
    void shutdownMidCommand()
    {
        Link link(kGreeting + QStringLiteral("C: 1 NOOP\nSTALL\n"));
        QVERIFY(link.open());
        bool handled = false;
        link.connection.send(imap::CommandBuilder("1 NOOP").finish(),
                             [&](const imap::Response &) { handled = true; });
        link.connection.shutdown();
        QVERIFY(!link.connection.isOpen());
        QTRY_COMPARE(link.server.received(), QByteArray("1 NOOP\r\n1 LOGOUT\r\n"));
        QTRY_VERIFY(!link.server.clientConnected());
        QVERIFY(!handled);
        QCOMPARE(link.failed.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
