// imap::Connection and imap::Session against scripted servers: the bytes on the wire, pipelined
// answers reaching the right handlers, literals, what must hold before a password may go
// (LOGINDISABLED, STARTTLS, certificates and pins, a peer elsewhere), failures with their
// reasons, login.

#include "imap/capabilities.h"
#include "imap/connection.h"
#include "imap/sasl.h"
#include "imap/session.h"
#include "platform/connectionlog.h"
#include "platform/servertrust.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using imap::Connection;

namespace {
const QString kGreeting = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n");

// The C: lines of a script, "# C: " lines too when `refused` (pieces the server refuses).
QByteArrayList clientLines(const QString &script, bool refused = false)
{
    QByteArrayList out;
    for (const QString &line : script.split(QLatin1Char('\n')))
        if (line.startsWith("C: ") || (refused && line.startsWith("# C: ")))
            out.append(FakeImapServer::unescape(QStringView(line).sliced(line.indexOf("C: ") + 3)) +
                       "\r\n");
    return out;
}

// A connection to a scripted server, with its signals recorded.
struct Link
{
    FakeImapServer server;
    platform::ServerTrust trust; // in memory
    Connection connection;
    QSignalSpy ready{&connection, &Connection::ready};
    QSignalSpy failed{&connection, &Connection::failed};
    QSignalSpy answered{&connection, &Connection::responseReceived};

    explicit Link(const QString &script, int idleMs = 400, int searchIdleMs = 800)
    {
        server.setScript(script);
        connection.setTimeouts(testsupport::shortTimeouts(idleMs, searchIdleMs, 1000));
        connection.setServerTrust(&trust);
    }
    // Opens the connection to `address`, PORT standing for the scripted server's port.
    bool open(QString address = QStringLiteral("127.0.0.1:PORT"))
    {
        if (server.port() == 0 && !server.listen())
            return false;
        connection.open(
            imap::parseServerAddress(address.replace("PORT", QString::number(server.port()))));
        return QTest::qWaitFor([&] { return ready.size() + failed.size() > 0; }, 10000);
    }
};
} // namespace

class TestConnection : public QObject
{
    Q_OBJECT
    QTemporaryDir m_certs;

private slots:
    void initTestCase()
    {
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(testsupport::makeCertificates(m_certs.path()));
    }

    // The commands of the script (a C: line after a literal announcement continues one) and
    // what each handler gets: the response's lines joined by " | ", one answer a line.
    void exchange_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("oneByOne"); // the next command only once the last is answered
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<int>("roundTrips"); // the connection costs one; each wait one more

        const QString conversation =
            kGreeting + "C: 1 LOGIN demo demo\nS: 1 OK Logged in\nC: 1 LIST \"\" \"*\"\n"
                        "S: * LIST () \".\" INBOX\nS: 1 OK List completed\nC: 1 LOGOUT\n"
                        "S: * BYE Logging out\nS: 1 OK done\n";
        const QByteArray answers = "1 OK Logged in\n* LIST () \".\" INBOX | 1 OK List completed\n"
                                   "* BYE Logging out | 1 OK done";
        QTest::newRow("one by one") << conversation << true << answers << 4;
        QTest::newRow("pipelined: one round trip") << conversation << false << answers << 2;
        QTest::newRow("answer in pieces of 5 bytes")
            << "CHUNK 5\n" + kGreeting + "C: 1 FETCH 1 BODY[]\n" +
                   testsupport::fetchAnswer(1, "Subject: a\r\n1 OK x\r\n") + "S: 1 OK done\n"
            << false
            << QByteArray("* 1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {20}\r\n"
                          "Subject: a\r\n1 OK x\r\n) | 1 OK done")
            << 2;
        QTest::newRow("literal waits for the continuation")
            << kGreeting + "C: 1 LOGIN {5}\nS: + go\nC: j\\xc3\\xbcrg x\nS: 1 OK\n"
            << false << QByteArray("1 OK") << 3;
        // A server that takes non-synchronizing literals gets them at once: no wait for "+".
        const QString plus = "S: * OK [CAPABILITY IMAP4rev1 LITERAL+] hi\n";
        QTest::newRow("LITERAL+: no wait")
            << plus + "C: 1 LOGIN {5+}\nC: j\\xc3\\xbcrg x\nC: 1 NOOP\nS: 1 OK\nS: 1 OK\n"
            << false << QByteArray("1 OK\n1 OK") << 2;
        const QString minus = "S: * OK [CAPABILITY IMAP4rev1 LITERAL-] hi\n";
        const QString big(4097, 'a');
        QTest::newRow("LITERAL-: up to 4096 bytes")
            << minus + "C: 1 SEARCH TEXT {4096+}\nC: " + big.left(4096) + "\nS: 1 OK\n"
            << false << QByteArray("1 OK") << 2;
        QTest::newRow("LITERAL-: more waits")
            << minus + "C: 1 SEARCH TEXT {4097}\nS: + go\nC: " + big + "\nS: 1 OK\n"
            << false << QByteArray("1 OK") << 3;
        QTest::newRow("pipelined, answered in one chunk")
            << kGreeting + "C: 1 EXAMINE \"INBOX\"\nC: 1 SEARCH ALL\nS+ * 2 EXISTS\\r\\n1 OK "
                           "ro\\r\\n* SEARCH 1 2\\r\\n1 OK done\\r\\n\n"
            << false << QByteArray("* 2 EXISTS | 1 OK ro\n* SEARCH 1 2 | 1 OK done") << 2;
        const QString literal = kGreeting + "C: 1 EXAMINE \"INBOX\"\nC: 1 SEARCH SUBJECT {2}\n";
        // The continuation for the second command comes right behind the first one's answer.
        QTest::newRow("continuation behind an answer")
            << literal + "S+ 1 OK ro\\r\\n+ go\\r\\n\nC: \\xc3\\xa4\nC: 1 NOOP\nS: * SEARCH 3\n"
                         "S: 1 OK done\nS: 1 OK\n"
            << false << QByteArray("1 OK ro\n* SEARCH 3 | 1 OK done\n1 OK") << 3;
        // A refused literal is never sent (its bytes could be a command); the next still goes.
        QTest::newRow("refused literal in a batch")
            << literal + "S: 1 OK ro\nS: 1 NO no\n# C: \\xc3\\xa4\nC: 1 NOOP\nS: 1 OK\n"
            << false << QByteArray("1 OK ro\n1 NO no\n1 OK") << 3;
        QTest::newRow("tagged line answering nothing")
            << "S+ * OK [CAPABILITY IMAP4rev1] hi\\r\\n1 OK stray\\r\\n\nC: 1 NOOP\nS: 1 OK real\n"
            << false << QByteArray("1 OK real") << 2;
    }

    void exchange()
    {
        QFETCH(QString, script);
        QFETCH(bool, oneByOne);
        QFETCH(QByteArray, answers);
        QFETCH(int, roundTrips);
        QList<imap::Command> sent;
        for (const QByteArray &line : clientLines(script, true)) {
            if (sent.isEmpty() || !sent.last().pieces.last().endsWith("}\r\n"))
                sent.append(imap::Command());
            // Commands announce literals as synchronizing; the connection makes them "{n+}".
            sent.last().pieces.append(QByteArray(line).replace("+}\r\n", "}\r\n"));
        }
        Link link(script);
        QVERIFY(link.open());
        QByteArray wire;
        connect(&link.connection, &Connection::wrote, this,
                [&](const QByteArray &bytes) { wire += bytes; });
        QByteArrayList got;
        std::function<void(qsizetype)> sendFrom = [&](qsizetype i) {
            link.connection.send(sent[i], [&, i](const imap::Response &r) {
                got.append(r.lines.join(" | "));
                if (oneByOne && i + 1 < sent.size())
                    sendFrom(i + 1);
            });
        };
        for (qsizetype i = 0; i < (oneByOne ? 1 : sent.size()); ++i)
            sendFrom(i);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 10000);
        QCOMPARE(got.join('\n'), answers);
        QCOMPARE(link.server.failure(), QString());
        QVERIFY(link.server.finished());
        QCOMPARE(link.server.received(), clientLines(script).join());
        QCOMPARE(wire, link.server.received());
        QCOMPARE(link.answered.size(), sent.size());
        QCOMPARE(link.connection.roundTrips(), roundTrips);
        QCOMPARE(link.failed.size(), 0);
    }

    // How open() ends (ready for LOGIN: no reason) and how a connection fails later: closed, the
    // unanswered commands dropped without calling their handlers. Capabilities are asked for
    // only when the greeting names none, and again after STARTTLS. A "1 NOOP" of the script is
    // sent once ready. The time-out that does not apply is a minute: an end shows that the right
    // one applied. What the trust holds before and after: "ca" the test CA trusted, "pin=NAME"
    // that certificate pinned, "encrypted" the server must encrypt, "allowed" it may have the
    // password unencrypted. OTHER is an address of this machine that is not loopback.
    void open_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("reason");      // {NAME}: the fingerprint of that certificate
        QTest::addColumn<bool>("search");         // "1 NOOP" waits as a SEARCH does
        QTest::addColumn<QString>("certificate"); // for the TLS step
        QTest::addColumn<QString>("trust");
        QTest::addColumn<QString>("learned");  // what the trust holds afterwards, but "ca"
        QTest::addColumn<QString>("question"); // certificate, unencrypted or none

        const QString silent = "server did not answer";
        const QString closed = "server closed the connection";
        const QString needsTls = "server requires an encrypted connection (try imaps://host)";
        const QString noStartTls = "server does not offer STARTTLS (try imaps://host)";
        const QString noHandshake = "server did not complete the TLS handshake";
        const QString noLonger = "the server no longer offers encryption";
        const QString unencrypted = "the server offers no encryption";
        const QString noop = kGreeting + "C: 1 NOOP\n";
        const QString startTls = "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n";
        const QString afterTls = "C: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=PLAIN\nS: 1 OK\n"
                                 "C: 1 NOOP\nS: 1 OK done\n";
        const QString upgraded = startTls + "S: 1 OK go\nTLS\n" + afterTls;
        const QString asked = "S: * OK hi\nC: 1 CAPABILITY\n";
        const char *const plain = "127.0.0.1:PORT";
        const char *const imap = "imap://127.0.0.1:PORT";
        const char *const imaps = "imaps://127.0.0.1:PORT";
        auto row = [](const char *name, const char *address, const QString &script,
                      const QString &reason, const char *learned = "", bool search = false,
                      const char *certificate = "", const char *trust = "",
                      const char *question = "") {
            QTest::newRow(name) << address << script << reason << search << certificate << trust
                                << learned << question;
        };
        row("never greets", plain, "STALL\n", silent);
        row("closes before the greeting", plain, "CLOSE\n", closed);
        row("silent after a command", plain, noop + "STALL\n", silent);
        row("silent after a SEARCH", plain, noop + "STALL\n", silent, "", true);
        row("closes in a response", plain, noop + "S: * 1 EXISTS\nS+ 1 OK No\nCLOSE\n", closed);
        row("says BYE and leaves", plain, noop + "S: * BYE Shutting down\nCLOSE\n",
            closed + ": Shutting down");
        row("says BYE without text", plain, noop + "S: * BYE\nCLOSE\n", closed);
        row("announces a 2 GB literal", plain, noop + "S: * 1 FETCH (BODY[] {2147483648}\nSTALL\n",
            "server announced a literal that is too large");
        row("connection refused", "closed", {}, "Connection refused");
        row("bad address", "host:99999", {}, "bad port in the server address");

        row("greeting says LOGINDISABLED", plain,
            "S: * OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hi\nSTALL\n", needsTls);
        row("CAPABILITY says LOGINDISABLED, lower case, in pieces", plain,
            "CHUNK 3\n" + asked + "S: * CAPABILITY imap4rev1 logindisabled\nS: 1 OK\nSTALL\n",
            needsTls);
        row("greeting with capabilities: nothing asked", plain,
            "S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\n", {});
        row("greeting without: asked once", plain, asked + "S: * CAPABILITY IMAP4rev1\nS: 1 OK\n",
            {});
        row("CAPABILITY refused: LOGIN may go on", plain, asked + "S: 1 BAD unknown command\n", {});
        row("PREAUTH: nothing asked", plain, "S: * PREAUTH hi\n", {});

        row("STARTTLS: greeting without it", imap,
            "S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\nSTALL\n", noStartTls);
        row("STARTTLS: CAPABILITY without it", imap,
            asked + "S: * CAPABILITY IMAP4rev1\nS: 1 OK\nSTALL\n", noStartTls);
        for (const char *address : {imap, plain})
            row(address == imap ? "STARTTLS refused" : "bare host: STARTTLS refused, not in clear",
                address, startTls + "S: 1 NO [UNAVAILABLE] not now\nSTALL\n",
                "server refused STARTTLS: not now", "encrypted");
        row("STARTTLS: PREAUTH before encryption", imap,
            "S: * PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] hi\nSTALL\n",
            "server started the session before encryption (PREAUTH); not going on in clear");
        row("STARTTLS: clear text after the go-ahead", imap,
            startTls + "S+ 1 OK go\\r\\n* OK [CAPABILITY AUTH=PLAIN] x\\r\\n\nSTALL\n",
            "server sent unencrypted data after STARTTLS", "encrypted");
        row("STARTTLS: silent after the go-ahead", imap, startTls + "S: 1 OK go\nSTALL\n",
            noHandshake, "encrypted");
        row("imaps: silent", imaps, "STALL\n", noHandshake);
        row("imaps: server in clear", imaps, kGreeting + "STALL\n",
            "server does not speak TLS on this port");

        // A bare host upgrades whenever STARTTLS is offered and is remembered for it; a pin
        // stands in for the authorities for its certificate only, and is dropped once the
        // server's certificate verifies.
        auto tls = [&](const char *name, const char *address, const QString &script,
                       const char *certificate, const char *trust, const QString &reason,
                       const char *learned, const char *question = "") {
            row(name, address, script, reason, learned, false, certificate, trust, question);
        };
        tls("bare host: STARTTLS offered, CAPABILITY asked again", "localhost:PORT", upgraded,
            "server", "ca", {}, "encrypted");
        tls("bare host: certificate not trusted", "localhost:PORT", startTls + "S: 1 OK go\nTLS\n",
            "selfsigned", "", "certificate is not trusted", "encrypted", "certificate");
        tls("bare host: the certificate pinned", "localhost:PORT", upgraded, "selfsigned",
            "pin=selfsigned", {}, "encrypted pin=selfsigned");
        tls("imaps: the certificate pinned", "imaps://127.0.0.1:PORT",
            "TLS\n" + kGreeting + "C: 1 NOOP\nS: 1 OK done\n", "otherhost", "ca pin=otherhost", {},
            "encrypted pin=otherhost");
        tls("another certificate than the one pinned", "localhost:PORT",
            startTls + "S: 1 OK go\nTLS\n", "selfsigned", "pin=server",
            "certificate has changed since it was trusted (SHA-256 was {server}, is now "
            "{selfsigned})",
            "encrypted pin=server", "certificate");
        tls("pinned, but the certificate verifies: pin dropped", "localhost:PORT", upgraded,
            "server", "ca pin=selfsigned", {}, "encrypted");
        tls("remembered: STARTTLS struck out", plain,
            "S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\nSTALL\n", "", "encrypted", noLonger,
            "encrypted");
        tls("remembered: PREAUTH in clear", plain, "S: * PREAUTH hi\nSTALL\n", "", "encrypted",
            noLonger, "encrypted");
        tls("imap+plain: STARTTLS offered, not used, nothing remembered",
            "imap+plain://127.0.0.1:PORT",
            "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 NOOP\nS: 1 OK\n", "", "encrypted", {},
            "encrypted");
        // In clear to a peer that is not this machine only with the user's leave.
        tls("elsewhere: asks", "OTHER:PORT", kGreeting + "STALL\n", "", "", unencrypted, "",
            "unencrypted");
        tls("elsewhere, allowed", "OTHER:PORT", noop + "S: 1 OK\n", "", "allowed", {}, "allowed");
        tls("imap+plain, elsewhere: asks", "imap+plain://OTHER:PORT",
            "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nSTALL\n", "", "", unencrypted, "",
            "unencrypted");

        // Certificates are checked against the trusted CAs and the host name, for implicit TLS
        // and after STARTTLS alike. After STARTTLS what came in clear (LOGINDISABLED) is gone.
        for (bool implicit : {true, false}) {
            const QString start = implicit
                                      ? "TLS\n" + kGreeting
                                      : "S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] "
                                        "hi\nC: 1 STARTTLS\nS: 1 OK go\nTLS\n";
            const QString ready = implicit ? "C: 1 NOOP\nS: 1 OK done\n" : afterTls;
            auto cert = [&](const char *what, const char *host, const char *certificate,
                            const char *trust, const QString &reason) {
                QTest::addRow("%s, %s", implicit ? "imaps" : "STARTTLS", what)
                    << QStringLiteral("imap%1://%2:PORT").arg(implicit ? "s" : "", host)
                    << start + (reason.isEmpty() ? ready : "") << reason << false << certificate
                    << trust << (implicit ? "" : "encrypted")
                    << (reason.isEmpty() ? "" : "certificate");
            };
            cert("valid", "localhost", "server", "ca", {});
            cert("CA not trusted", "127.0.0.1", "server", "", "certificate is not trusted");
            cert("for another host", "127.0.0.1", "otherhost", "ca",
                 "certificate is for another host name");
            cert("expired", "localhost", "expired", "ca", "certificate has expired");
        }
    }

    void open()
    {
        QFETCH(QString, address);
        QFETCH(QString, script);
        QFETCH(QString, reason);
        QFETCH(bool, search);
        QFETCH(QString, certificate);
        QFETCH(QString, trust);
        QFETCH(QString, learned);
        QFETCH(QString, question);
        Link link(script, search ? 60000 : 400, search ? 400 : 60000);
        if (!certificate.isEmpty())
            QVERIFY(link.server.setCertificate(m_certs.filePath(certificate + ".pem"),
                                               m_certs.filePath(certificate + ".key")));
        const auto fingerprint = [&](const QString &name) {
            return QSslCertificate::fromPath(m_certs.filePath(name + ".pem"))
                .value(0)
                .digest(QCryptographicHash::Sha256);
        };
        for (const char *name : {"server", "selfsigned"})
            reason.replace(QStringLiteral("{%1}").arg(name),
                           platform::ServerTrust::fingerprintText(fingerprint(name)));
        QTcpServer probe; // a port that was free a moment ago and has no listener now
        if (address == "closed" && probe.listen(QHostAddress::LocalHost, 0))
            address = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        if (address.contains("OTHER")) {
            const QHostAddress other = testsupport::otherAddress();
            if (other.isNull())
                QSKIP("this machine has no address but loopback ones");
            QVERIFY(link.server.listen(other));
            address.replace("OTHER:PORT", link.server.address());
        }
        QVERIFY(link.server.port() != 0 || link.server.listen());
        address.replace("PORT", QString::number(link.server.port()));
        const QString server = imap::parseServerAddress(address).hostAndPort();
        for (const QString &word : trust.split(' ', Qt::SkipEmptyParts)) {
            if (word == "ca")
                link.connection.addTrustedCaCertificates(
                    QSslCertificate::fromPath(m_certs.filePath("ca.pem")));
            else if (word.startsWith("pin="))
                link.trust.pinCertificate(server, fingerprint(word.mid(4)));
            else if (word == "encrypted")
                link.trust.rememberEncryption(server);
            else if (word == "allowed")
                link.trust.allowUnencrypted(server, false);
        }
        QVERIFY(link.open(address));
        const bool noop = script.contains("C: 1 NOOP");
        QCOMPARE(link.ready.size(), int(noop || reason.isEmpty()));
        int handled = 0;
        if (noop)
            link.connection.send(
                imap::CommandBuilder("1 NOOP").finish(), [&](const imap::Response &) { ++handled; },
                search ? Connection::Wait::Search : Connection::Wait::Normal);
        QTRY_COMPARE_WITH_TIMEOUT(link.failed.size() + handled, int(noop || !reason.isEmpty()),
                                  10000);
        QCOMPARE(link.failed.value(0).value(0).toString(), reason);
        QCOMPARE(handled, int(noop && reason.isEmpty()));
        QCOMPARE(link.connection.isReady(), reason.isEmpty());
        QCOMPARE(link.connection.isEncrypted(), reason.isEmpty() && !certificate.isEmpty());
        if (link.connection.isEncrypted() && !address.startsWith("imaps"))
            QVERIFY(link.connection.capabilities().has("AUTH=PLAIN") &&
                    !link.connection.capabilities().has("LOGINDISABLED"));
        const imap::SecurityProblem &problem = link.connection.securityProblem();
        QCOMPARE(QStringList({"", "certificate", "unencrypted"}).value(int(problem.kind)),
                 question);
        if (problem.kind != imap::SecurityProblem::Kind::None)
            QCOMPARE(problem.server, server);
        if (problem.kind == imap::SecurityProblem::Kind::UntrustedCertificate)
            QCOMPARE(problem.fingerprint(), fingerprint(certificate));
        QStringList held;
        if (link.trust.requiresEncryption(server))
            held.append("encrypted");
        for (const auto &[pinned, text] : link.trust.pinnedCertificates())
            for (const char *name : {"server", "selfsigned", "otherhost"})
                if (pinned == server &&
                    text == platform::ServerTrust::fingerprintText(fingerprint(name)))
                    held.append(QStringLiteral("pin=") + name);
        if (link.trust.allowsUnencrypted(server))
            held.append("allowed");
        QCOMPARE(held.join(' '), learned);
        QTRY_VERIFY(reason.isEmpty() || !link.server.clientConnected());
        QCOMPARE(link.server.failure(), QString());
        // What the script asked for, at most followed by a TLS handshake record (type 22).
        const QByteArray sent = clientLines(script).join();
        const QByteArray received = link.server.received();
        QVERIFY(received.startsWith(sent));
        if (received.size() > sent.size())
            QCOMPARE(int(received.at(sent.size())), 0x16);
    }

    // A password goes unencrypted unasked only to this machine, whatever the address looks like.
    void loopbackPeer_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("loopback");
        for (const char *peer : {"127.0.0.1", "127.200.0.9", "::1", "::ffff:127.0.0.1"})
            QTest::newRow(peer) << peer << true;
        for (const char *peer : {"192.0.2.2", "::ffff:192.0.2.2", "fd00::2", "0.0.0.0", "::", ""})
            QTest::newRow(peer) << peer << false;
    }

    void loopbackPeer()
    {
        QFETCH(QString, peer);
        QFETCH(bool, loopback);
        QCOMPARE(imap::isLoopbackPeer(QHostAddress(peer)), loopback);
    }

    // Logging in: what goes on the wire and how each end is reported. With a token source the
    // account signs in with OAuth 2.0 where the server offers it; in a script BEARER(t) and
    // XOAUTH2(t) stand for the base64 client response with token t (its bytes are checked in
    // tst_parsers).
    void session_data()
    {
        QTest::addColumn<QString>("address"); // PORT: the server's; EXTERNAL: not loopback
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("tokens"); // "": none; "ok"; otherwise the source's failure
        QTest::addColumn<QString>("reason"); // empty: logged in, then logged out

        const QString login = kGreeting + "C: 1 LOGIN demo secret\n";
        auto row = [](const char *name, const QString &script, const QString &reason,
                      const QString &tokens = {}, const QString &password = "secret",
                      const QString &address = "127.0.0.1:PORT") {
            QTest::newRow(name) << address << script << password << tokens << reason;
        };
        row("logs in and out", login + "S: 1 OK in\n" + kLogout, {});
        row("PREAUTH: no LOGIN", "S: * PREAUTH welcome\n" + kLogout, {});
        row("BYE greeting", "S: * BYE [UNAVAILABLE] Too many connections\nCLOSE\n",
            "server refused the connection: Too many connections");
        row("LOGIN refused, then a LOGOUT",
            login + "S: 1 NO [AUTHENTICATIONFAILED] Authentication failed.\n" + kLogout,
            "login failed: Authentication failed.");
        row("LOGIN refused, then the server closes", login + "S: 1 BAD no\nC: 1 LOGOUT\nCLOSE\n",
            "login failed: no");

        const QString both = "S: * OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 "
                             "AUTH=OAUTHBEARER] hi\n";
        const QString xoauth2 = "S: * OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] hi\n"
                                "C: 1 AUTHENTICATE XOAUTH2\nS: + \n";
        const QString refused = "S: 1 NO [AUTHENTICATIONFAILED] Authentication failed.\n";
        row("OAuth: OAUTHBEARER preferred, with SASL-IR",
            both + "C: 1 AUTHENTICATE OAUTHBEARER BEARER(token-1)\nS: 1 OK in\n" + kLogout, {},
            "ok", "");
        row("OAuth: XOAUTH2 after the continuation, capabilities asked",
            "S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=XOAUTH2\nS: 1 OK\n"
            "C: 1 AUTHENTICATE XOAUTH2\nS: + \nC: XOAUTH2(token-1)\nS: 1 OK in\n" +
                kLogout,
            {}, "ok", "");
        row("OAuth: imaps greeting without capabilities",
            "TLS\nS: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=OAUTHBEARER\n"
            "S: 1 OK\nC: 1 AUTHENTICATE OAUTHBEARER\nS: + \nC: BEARER(token-1)\nS: 1 OK in\n" +
                kLogout,
            {}, "ok", "", "imaps://localhost:PORT");
        row("OAuth: refused once, a fresh token on a new connection",
            both +
                "C: 1 AUTHENTICATE OAUTHBEARER BEARER(token-1)\n"
                "S: + eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=\nC: AQ==\n" +
                refused + "C: 1 LOGOUT\nS: 1 OK\nRECONNECT\n" + both +
                "C: 1 AUTHENTICATE OAUTHBEARER BEARER(token-2)\nS: 1 OK in\n" + kLogout,
            {}, "ok", "");
        row("OAuth: refused twice",
            xoauth2 + "C: XOAUTH2(token-1)\nS: + eyJzdGF0dXMiOiI0MDEifQ==\nC: \n" + refused +
                "C: 1 LOGOUT\nCLOSE\nRECONNECT\n" + xoauth2 +
                "C: XOAUTH2(token-2)\nS: + e30=\nC: \n" + refused + kLogout,
            "login failed: Authentication failed.", "ok", "");
        row("OAuth: server offers neither mechanism", login + "S: 1 OK in\n" + kLogout, {}, "ok");
        row("OAuth: neither offered, no password", kGreeting,
            "server does not offer sign-in with OAuth 2.0", "ok", "");
        row("OAuth: no token in clear to another machine", both,
            "not signing in over an unencrypted connection (try imaps://host)", "ok", "",
            "EXTERNAL:PORT");
        row("OAuth: no token to be had", "", "sign-in failed", "sign-in failed", "");
    }

    void session()
    {
        QFETCH(QString, address);
        QFETCH(QString, script);
        QFETCH(QString, password);
        QFETCH(QString, tokens);
        QFETCH(QString, reason);
        FakeImapServer server;
        imap::Session session;
        session.connection().setTimeouts(testsupport::shortTimeouts(400, 800));
        const QHostAddress listenOn = address.startsWith("EXTERNAL")
                                          ? testsupport::otherAddress()
                                          : QHostAddress(QHostAddress::LocalHost);
        if (listenOn.isNull())
            QSKIP("this machine has no address but loopback ones");
        if (address.startsWith("imaps")) {
            QVERIFY(server.setCertificate(m_certs.filePath("server.pem"),
                                          m_certs.filePath("server.key")));
            session.connection().addTrustedCaCertificates(
                QSslCertificate::fromPath(m_certs.filePath("ca.pem")));
        }
        QVERIFY(server.listen(listenOn));
        address.replace("EXTERNAL:PORT", server.address())
            .replace("PORT", QString::number(server.port()));
        const imap::ServerAddress at = imap::parseServerAddress(address);
        static const QRegularExpression response("(BEARER|XOAUTH2)\\(([^)]*)\\)");
        for (QRegularExpressionMatch m; (m = response.match(script)).hasMatch();) {
            const QByteArray token = m.captured(2).toUtf8();
            script.replace(
                m.capturedStart(), m.capturedLength(),
                (m.captured(1) == "BEARER"
                     ? imap::oauthBearerResponse("demo", at.host.toUtf8(), at.port, token)
                     : imap::xoauth2Response("demo", token))
                    .toBase64());
        }
        server.setScript(script);
        imap::Account account = imap::Account::fromFields(address, "demo", password);
        auto source = std::make_shared<testsupport::CountingTokenSource>();
        source->failure = tokens == "ok" ? QString() : tokens;
        if (!tokens.isEmpty())
            account.tokenSource = source;
        QSignalSpy loggingIn(&session, &imap::Session::loggingIn);
        QSignalSpy loggedIn(&session, &imap::Session::loggedIn);
        QSignalSpy loggedOut(&session, &imap::Session::loggedOut);
        QSignalSpy failed(&session, &imap::Session::failed);
        session.open(account);
        QTRY_COMPARE_WITH_TIMEOUT(loggedIn.size() + failed.size(), 1, 10000);
        QCOMPARE(loggingIn.size(), script.count("C: 1 LOGIN") + script.count("C: 1 AUTHENTICATE"));
        QCOMPARE(session.isLoggedIn(), reason.isEmpty());
        if (reason.isEmpty()) {
            session.logout();
            QVERIFY(loggedOut.wait(10000));
        }
        QCOMPARE(failed.size(), int(!reason.isEmpty()));
        QCOMPARE(failed.value(0).value(0).toString(), reason);
        QVERIFY(!session.isLoggedIn());
        QVERIFY(!session.connection().isOpen());
        QCOMPARE(server.failure(), QString());
        QTRY_COMPARE(server.received(), clientLines(script).join());
        QCOMPARE(server.connectionCount(), script.isEmpty() ? 0 : 1 + script.count("RECONNECT"));
        QCOMPARE(source->refreshes, script.count("RECONNECT"));
        QVERIFY(script.isEmpty() || server.finished());
    }

    // The connection log: every line sent and received, each secret as *** whatever its form
    // on the wire, and an opened message by its size. In a script <<...>> marks what the log
    // leaves out; RESPONSE stands for the base64 of the whole OAUTHBEARER response with token-1.
    void connectionLog_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("password"); // none: signs in with token-1
        const QString ir = "S: * OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=OAUTHBEARER] hi\n";
        const QByteArray body = "Subject: plans\r\n\r\nThe vault code is 0417.\r\n";
        QTest::newRow("LOGIN, quoted password, control bytes from the server")
            << QString("S: * OK [CAPABILITY IMAP4rev1] \\x7f\\x1b[2J hi\n") +
                   "C: 1 LOGIN demo <<\"open sesame\">>\nS: 1 OK in\n" + kLogout
            << "open sesame";
        QTest::newRow("LOGIN, literal password")
            << kGreeting + "C: 1 LOGIN demo <<{7}>>\nS: + go\nC: <<s\\xc3\\xa9same>>\nS: 1 OK\n" +
                   kLogout
            << "s\u00e9same";
        QTest::newRow("LOGIN, non-synchronizing literal")
            << "S: * OK [CAPABILITY IMAP4rev1 LITERAL+] hi\nC: 1 LOGIN demo <<{7+}>>\n"
               "C: <<s\\xc3\\xa9same>>\nS: 1 OK\n" +
                   kLogout
            << "s\u00e9same";
        QTest::newRow("AUTHENTICATE with SASL-IR")
            << ir + "C: 1 AUTHENTICATE OAUTHBEARER <<RESPONSE>>\nS: 1 OK in\n" + kLogout << "";
        QTest::newRow("AUTHENTICATE after the continuation")
            << QString(ir).remove("SASL-IR ") +
                   "C: 1 AUTHENTICATE OAUTHBEARER\nS: + \nC: <<RESPONSE>>\nS: 1 OK in\n" + kLogout
            << "";
        QTest::newRow("message body")
            << kGreeting +
                   "C: 1 LOGIN demo <<secret>>\nS: 1 OK in\nC: 1 UID FETCH 7 BODY.PEEK[]\n" +
                   QString("S: * 1 FETCH (UID 7 BODY[] {%1}\\r\\n<<%2>>)\nS: 1 OK\n")
                       .arg(body.size())
                       .arg(testsupport::scriptEscape(body)) +
                   kLogout
            << "secret";
    }

    // The log holds the script with *** in place of the marked parts, and neither the parts, nor
    // the password or the token, as sent, as the log writes bytes or in base64, nor the whole
    // SASL response in base64; the scripted server plays it back. Its file is the user's only,
    // and one that is full is moved to <file>.1.
    void connectionLog()
    {
        QFETCH(QString, script);
        QFETCH(QString, password);
        const bool body = script.contains("UID FETCH");
        static const QRegularExpression marked("<<(.*?)>>");
        QTemporaryDir dir;
        const QString file = dir.filePath("log");
        QFile full(file);
        QVERIFY(full.open(QIODevice::WriteOnly) &&
                full.resize(platform::ConnectionLog::kMaxFileBytes - 1));
        full.close();
        platform::ConnectionLog log;
        QCOMPARE(log.start(file), QString());
        QByteArray response;
        auto run = [&](const QString &played) {
            FakeImapServer server;
            if (!server.listen())
                return QStringLiteral("no port");
            response = imap::oauthBearerResponse("demo", "127.0.0.1", server.port(), "token-1");
            server.setScript(
                QString(played).replace("RESPONSE", response.toBase64()).replace(marked, "\\1"));
            imap::Session session;
            session.connection().setConnectionLog(&log);
            imap::Account account = imap::Account::fromFields(server.address(), "demo", password);
            if (password.isEmpty())
                account.tokenSource = std::make_shared<testsupport::CountingTokenSource>();
            QSignalSpy loggedIn(&session, &imap::Session::loggedIn);
            QSignalSpy loggedOut(&session, &imap::Session::loggedOut);
            session.open(account);
            bool fetched = !body;
            if (loggedIn.wait(10000) && body)
                session.connection().send(
                    imap::CommandBuilder("1 UID FETCH 7 BODY.PEEK[]").privateAnswer().finish(),
                    [&](const imap::Response &) { fetched = true; });
            if (!QTest::qWaitFor([&] { return fetched; }, 10000))
                return QStringLiteral("no answer");
            session.logout();
            return loggedOut.wait(10000) && server.finished() ? server.failure()
                                                              : QStringLiteral("no end");
        };
        QCOMPARE(run(script), QString());
        const QString recorded = QString::fromUtf8(log.text());
        QCOMPARE(FakeImapServer::scriptFromLog(recorded), QString(script).replace(marked, "***"));
        QByteArrayList secrets{password.toUtf8(), "token-1", response};
        for (auto m = marked.globalMatch(script); m.hasNext();)
            secrets.append(FakeImapServer::unescape(m.next().captured(1)));
        for (const QByteArray &secret : std::as_const(secrets))
            for (const QByteArray &form :
                 {secret, platform::ConnectionLog::escaped(secret), secret.toBase64()})
                QVERIFY2(secret.isEmpty() || !recorded.contains(QString::fromUtf8(form)),
                         form.constData());
        // A message's bytes cannot be played back.
        if (!body)
            QCOMPARE(run(FakeImapServer::scriptFromLog(recorded)), QString());
        QCOMPARE(testsupport::readFile(file), log.text());
        QCOMPARE(QFileInfo(file + ".1").size(), platform::ConnectionLog::kMaxFileBytes - 1);
        for (const QString &name : {file, file + ".1"})
            QCOMPARE(QFile::permissions(name) & 0x0777,
                     QFileDevice::ReadUser | QFileDevice::WriteUser);
    }

    // Going away mid-command: one LOGOUT, no signal, no handler.
    void shutdownMidCommand()
    {
        Link link(kGreeting + "C: 1 NOOP\nSTALL\n");
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

        // Closed by a slot that hears of the answer (Stop while rows arrive): its handler is not
        // run on the closed connection.
        Link closing(kGreeting + "C: 1 NOOP\nS: 1 OK\nSTALL\n");
        QVERIFY(closing.open());
        QObject::connect(&closing.connection, &Connection::responseReceived, &closing.connection,
                         [&] { closing.connection.close(); });
        closing.connection.send(imap::CommandBuilder("1 NOOP").finish(),
                                [&](const imap::Response &) { handled = true; });
        QTRY_COMPARE(closing.answered.size(), 1);
        QVERIFY(!closing.connection.isOpen());
        QVERIFY(!handled);
    }

    // Where capabilities are read from: lines joined by '|', and the names found (null: the
    // capabilities stay unknown).
    void capabilities_data()
    {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QByteArray>("names");
        const char *const rows[][3] = {
            {"greeting code", "* OK [CAPABILITY IMAP4rev1 STARTTLS] hi", "IMAP4REV1 STARTTLS"},
            {"greeting without code", "* OK ready", nullptr},
            {"other code", "* OK [ALERT] CAPABILITY soon", nullptr},
            {"lower case, extra spaces", "* ok [capability imap4rev1  idle] hi", "IMAP4REV1 IDLE"},
            {"PREAUTH greeting", "* PREAUTH [CAPABILITY IMAP4rev1] welcome", "IMAP4REV1"},
            {"tagged PREAUTH", "1 PREAUTH [CAPABILITY IMAP4rev1] x", nullptr},
            {"untagged line, tagged OK", "* CAPABILITY IMAP4rev1 AUTH=PLAIN|1 OK",
             "IMAP4REV1 AUTH=PLAIN"},
            {"tagged OK with code", "1 OK [CAPABILITY IDLE] Logged in", "IDLE"},
            {"empty list", "* CAPABILITY|1 OK", ""},
            {"NO with code", "1 NO [CAPABILITY LOGINDISABLED] no", nullptr},
            {"unclosed code", "* OK [CAPABILITY IMAP4rev1 hi", nullptr},
            {"no tag", " OK [CAPABILITY IMAP4rev1] hi", nullptr},
            {"word that only starts alike", "* CAPABILITYX A|* OK [CAPABILITYX A] x|OK", nullptr},
        };
        for (const auto &r : rows)
            QTest::newRow(r[0]) << QByteArray(r[1]) << (r[2] != nullptr) << QByteArray(r[2]);
    }

    void capabilities()
    {
        QFETCH(QByteArray, lines);
        QFETCH(bool, known);
        QFETCH(QByteArray, names);
        const imap::Capabilities caps = imap::parseCapabilities(lines.split('|'));
        QCOMPARE(caps.known, known);
        QCOMPARE(caps.names.join(' '), names);
        for (const QByteArray &n : caps.names) {
            QVERIFY(caps.has(n.toLower()));
            QVERIFY(!caps.has(n.chopped(1)));
        }
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
