// Encrypted connections: what a connection does with LOGINDISABLED, STARTTLS and certificates,
// against scripted servers and a small TLS server with certificates made for this run.

#include "folders/folderlistjob.h"
#include "imap/capabilities.h"
#include "imap/connection.h"
#include "search/searchengine.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"
#include "support/tlstestserver.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using imap::Connection;
using testsupport::TlsTestServer;

namespace {
const QString kNeedsTls =
    QStringLiteral("server requires an encrypted connection (try imaps://host)");
const QString kNoStartTls = QStringLiteral("server does not offer STARTTLS (try imaps://host)");

Connection::Timeouts shortTimeouts()
{
    return testsupport::shortTimeouts(1000, 1000, 1000);
}

QString withScheme(const QString &scheme, quint16 port,
                   const QString &host = QStringLiteral("127.0.0.1"))
{
    return scheme + host + QLatin1Char(':') + QString::number(port);
}

// Opens the connection and waits for ready() or failed(): the reason, empty when ready.
QString open(Connection &connection, const QString &address)
{
    QSignalSpy ready(&connection, &Connection::ready);
    QSignalSpy failed(&connection, &Connection::failed);
    connection.open(imap::parseServerAddress(address));
    if (!QTest::qWaitFor([&] { return ready.size() + failed.size() > 0; }, 10000))
        return QStringLiteral("(no outcome)");
    return failed.isEmpty() ? QString() : failed[0][0].toString();
}

// The same address through a whole search and through a Browse: why each ended.
QString searchFails(const QString &address)
{
    search::SearchEngine engine;
    engine.setTimeouts(shortTimeouts());
    QSignalSpy finished(&engine, &search::SearchEngine::finished);
    search::SearchRequest request{imap::parseServerAddress(address),
                                  QStringLiteral("demo"),
                                  QStringLiteral("secret"),
                                  search::FolderScope::fromChoice(QString(), false),
                                  imap::CommandBuilder("1 SEARCH ALL").finish(),
                                  4};
    engine.start(request);
    if (!finished.wait(10000))
        return QStringLiteral("(no outcome)");
    const auto summary = finished[0][0].value<search::SearchEngine::Summary>();
    return summary.outcome == search::SearchEngine::Outcome::Failed ? summary.reason
                                                                    : QStringLiteral("(done)");
}

QString browseFails(const QString &address)
{
    folders::FolderListJob job;
    job.setTimeouts(shortTimeouts());
    QSignalSpy finished(&job, &folders::FolderListJob::finished);
    QObject::connect(&job, &folders::FolderListJob::listed, &job, [&] { job.finish(); });
    job.start(imap::parseServerAddress(address), QStringLiteral("demo"), QStringLiteral("secret"));
    if (!finished.wait(10000))
        return QStringLiteral("(no outcome)");
    return finished[0][0].toString();
}
} // namespace

class TestTls : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_certs;

    QString cert(const QString &name) const
    {
        return m_certs.filePath(name + QStringLiteral(".pem"));
    }
    QString key(const QString &name) const
    {
        return m_certs.filePath(name + QStringLiteral(".key"));
    }
    QList<QSslCertificate> testCa() const
    {
        return QSslCertificate::fromPath(cert(QStringLiteral("ca")));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(m_certs.isValid());
        const QString source = qEnvironmentVariable("FQ_SOURCE_DIR");
        QVERIFY2(!source.isEmpty(), "FQ_SOURCE_DIR must name the source tree (ctest sets it)");
        QProcess make;
        make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        make.start(QStringLiteral("bash"), {source + QStringLiteral("/scripts/dovecot-fixture.sh"),
                                            QStringLiteral("certs"), m_certs.path()});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
        QCOMPARE(testCa().size(), 1);
    }

    void capabilities_data()
    {
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QByteArrayList>("names");

        QTest::newRow("greeting code")
            << QByteArrayList{"* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready"} << true
            << QByteArrayList{"IMAP4REV1", "STARTTLS", "LOGINDISABLED"};
        QTest::newRow("greeting without code")
            << QByteArrayList{"* OK ready"} << false << QByteArrayList{};
        QTest::newRow("other code")
            << QByteArrayList{"* OK [ALERT] CAPABILITY soon"} << false << QByteArrayList{};
        QTest::newRow("lower case, extra spaces")
            << QByteArrayList{"* ok [capability imap4rev1  logindisabled] hi"} << true
            << QByteArrayList{"IMAP4REV1", "LOGINDISABLED"};
        QTest::newRow("PREAUTH greeting")
            << QByteArrayList{"* PREAUTH [CAPABILITY IMAP4rev1] welcome"} << true
            << QByteArrayList{"IMAP4REV1"};
        QTest::newRow("untagged line and tagged OK")
            << QByteArrayList{"* CAPABILITY IMAP4rev1 AUTH=PLAIN", "1 OK done"} << true
            << QByteArrayList{"IMAP4REV1", "AUTH=PLAIN"};
        QTest::newRow("tagged OK with code")
            << QByteArrayList{"1 OK [CAPABILITY IMAP4rev1 IDLE] Logged in"} << true
            << QByteArrayList{"IMAP4REV1", "IDLE"};
        QTest::newRow("empty list")
            << QByteArrayList{"* CAPABILITY", "1 OK"} << true << QByteArrayList{};
        // A refusal carries no capabilities, whatever its code says.
        QTest::newRow("NO with code")
            << QByteArrayList{"1 NO [CAPABILITY LOGINDISABLED] no"} << false << QByteArrayList{};
        QTest::newRow("unclosed code")
            << QByteArrayList{"* OK [CAPABILITY IMAP4rev1 hi"} << false << QByteArrayList{};
        QTest::newRow("word that only starts alike")
            << QByteArrayList{"* CAPABILITYX IMAP4rev1", "* OK [CAPABILITYX A] x"} << false
            << QByteArrayList{};
    }

    void capabilities()
    {
        QFETCH(QByteArrayList, lines);
        QFETCH(bool, known);
        QFETCH(QByteArrayList, names);
        const imap::Capabilities caps = imap::parseCapabilities(lines);
        QCOMPARE(caps.known, known);
        QCOMPARE(caps.names, names);
        for (const QByteArray &n : names) {
            QVERIFY(caps.has(n.toLower()));
            QVERIFY(!caps.has(n.left(n.size() - 1)));
        }
    }

    // Up to the point where a password could go: a server that forbids LOGIN in clear, a
    // STARTTLS that cannot be had or a TLS handshake that fails ends the connection first, and
    // the search and the Browse end with the same reason. Capabilities are asked for only when
    // the greeting names none.
    void beforeLogin_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("reason"); // empty: ready for LOGIN
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("handshake"); // a TLS handshake record follows what was sent

        const QString plain;
        const QString startTls = QStringLiteral("imap://");
        const QString imaps = QStringLiteral("imaps://");
        const QByteArray capability = "1 CAPABILITY\r\n";
        const QByteArray starttls = "1 STARTTLS\r\n";
        const QString stalled = QStringLiteral("server did not complete the TLS handshake");

        QTest::newRow("greeting says LOGINDISABLED")
            << plain
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi\nSTALL\n")
            << kNeedsTls << QByteArray() << false;
        QTest::newRow("CAPABILITY says LOGINDISABLED, lower case, in pieces")
            << plain
            << QStringLiteral("CHUNK 3\nS: * OK hi\nC: 1 CAPABILITY\n"
                              "S: * CAPABILITY imap4rev1 logindisabled\nS: 1 OK done\nSTALL\n")
            << kNeedsTls << capability << false;
        QTest::newRow("greeting with capabilities: nothing asked")
            << plain << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS AUTH=PLAIN] hi\n")
            << QString() << QByteArray() << false;
        QTest::newRow("greeting without: asked once")
            << plain
            << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: 1 OK\n")
            << QString() << capability << false;
        QTest::newRow("CAPABILITY refused: LOGIN may go on")
            << plain << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nS: 1 BAD unknown command\n")
            << QString() << capability << false;
        QTest::newRow("PREAUTH: nothing asked")
            << plain << QStringLiteral("S: * PREAUTH hi\n") << QString() << QByteArray() << false;

        QTest::newRow("STARTTLS: greeting without it")
            << startTls << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\nSTALL\n")
            << kNoStartTls << QByteArray() << false;
        QTest::newRow("STARTTLS: CAPABILITY without it")
            << startTls
            << QStringLiteral(
                   "S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: 1 OK\nSTALL\n")
            << kNoStartTls << capability << false;
        QTest::newRow("STARTTLS: CAPABILITY refused")
            << startTls << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nS: 1 BAD what\nSTALL\n")
            << kNoStartTls << capability << false;
        QTest::newRow("STARTTLS refused")
            << startTls
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
                              "S: 1 NO [UNAVAILABLE] not now\nSTALL\n")
            << QStringLiteral("server refused STARTTLS: not now") << starttls << false;
        QTest::newRow("STARTTLS: PREAUTH before encryption")
            << startTls
            << QStringLiteral("S: * PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] hi\nSTALL\n")
            << QStringLiteral("server started the session before encryption (PREAUTH); not going "
                              "on in clear")
            << QByteArray() << false;
        QTest::newRow("STARTTLS: clear text after the go-ahead")
            << startTls
            << QStringLiteral(
                   "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
                   "S+ 1 OK Begin TLS negotiation now.\\r\\n* OK [CAPABILITY AUTH=PLAIN] x\\r\\n\n"
                   "STALL\n")
            << QStringLiteral("server sent unencrypted data after STARTTLS") << starttls << false;
        QTest::newRow("STARTTLS: silent after the go-ahead")
            << startTls
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
                              "S: 1 OK Begin TLS negotiation now.\nSTALL\n")
            << stalled << starttls << true;
        QTest::newRow("imaps: silent")
            << imaps << QStringLiteral("STALL\n") << stalled << QByteArray() << true;
        QTest::newRow("imaps: server in clear")
            << imaps << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nSTALL\n")
            << QStringLiteral("server does not speak TLS on this port") << QByteArray() << true;
    }

    void beforeLogin()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, script);
        QFETCH(QString, reason);
        QFETCH(QByteArray, sent);
        QFETCH(bool, handshake);
        for (int how = 0; how < (reason.isEmpty() ? 1 : 3); ++how) {
            FakeImapServer server;
            QVERIFY(server.listen());
            server.setScript(script);
            const QString address =
                scheme.isEmpty() ? server.address() : withScheme(scheme, server.port());
            if (how == 0) {
                Connection connection;
                connection.setTimeouts(shortTimeouts());
                QCOMPARE(open(connection, address), reason);
                QCOMPARE(connection.isReady(), reason.isEmpty());
                QVERIFY(!connection.isEncrypted());
                connection.close();
            } else {
                QCOMPARE(how == 1 ? searchFails(address) : browseFails(address), reason);
            }
            QTRY_VERIFY(!server.clientConnected());
            const QByteArray received = server.received();
            if (handshake) {
                // One TLS handshake record (content type 22) after the clear part.
                QVERIFY(received.startsWith(sent));
                QVERIFY(received.size() > sent.size());
                QCOMPARE(int(received.at(sent.size())), 0x16);
            } else {
                QCOMPARE(received, sent);
            }
            QVERIFY(!received.contains("LOGIN"));
            QCOMPARE(server.failure(), QString());
        }
    }

    // Certificates are checked against the trusted CAs and the host name, for implicit TLS and
    // after STARTTLS alike.
    void certificates_data()
    {
        QTest::addColumn<bool>("startTls");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("trustTestCa");
        QTest::addColumn<QString>("reason");

        const QString ip = QStringLiteral("127.0.0.1");
        const QString name = QStringLiteral("localhost");
        for (bool startTls : {false, true}) {
            const char *mode = startTls ? "STARTTLS" : "imaps";
            auto row = [&](const char *what) -> QTestData & {
                return QTest::addRow("%s, %s", mode, what) << startTls;
            };
            row("valid for the address") << "server" << ip << true << QString();
            row("valid for the name") << "server" << name << true << QString();
            row("CA not trusted") << "server" << ip << false
                                  << QStringLiteral("certificate is not trusted");
            row("self-signed") << "selfsigned" << name << true
                               << QStringLiteral("certificate is not trusted");
            row("for another host") << "otherhost" << ip << true
                                    << QStringLiteral("certificate is for another host name");
            row("expired") << "expired" << name << true
                           << QStringLiteral("certificate has expired");
        }
    }

    void certificates()
    {
        QFETCH(bool, startTls);
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        QFETCH(bool, trustTestCa);
        QFETCH(QString, reason);
        TlsTestServer server;
        QVERIFY(
            server.start(startTls ? TlsTestServer::Mode::StartTls : TlsTestServer::Mode::Implicit,
                         cert(certificate), key(certificate)));
        Connection connection;
        connection.setTimeouts(shortTimeouts());
        if (trustTestCa)
            connection.addTrustedCaCertificates(testCa());
        const QByteArray clear = startTls ? QByteArray("1 STARTTLS\r\n") : QByteArray();

        QCOMPARE(open(connection,
                      withScheme(startTls ? QStringLiteral("imap://") : QStringLiteral("imaps://"),
                                 server.port(), host)),
                 reason);
        if (!reason.isEmpty()) {
            QVERIFY(!connection.isOpen());
            QVERIFY(!server.handshakeDone());
            QCOMPARE(server.clearReceived(), clear);
            QCOMPARE(server.encryptedReceived(), QByteArray());
            return;
        }
        QVERIFY(connection.isEncrypted());
        QCOMPARE(int(connection.greeting().status()), int(imap::Response::Status::Ok));
        // What was announced in clear (here LOGINDISABLED) is forgotten after STARTTLS.
        QCOMPARE(connection.capabilities().known, !startTls);
        QByteArray answer;
        connection.send(imap::CommandBuilder("1 LOGIN demo demo").finish(),
                        [&](const imap::Response &r) { answer = r.lastLine(); });
        QTRY_COMPARE(answer, QByteArray("1 OK done"));
        QCOMPARE(server.clearReceived(), clear);
        QCOMPARE(server.encryptedReceived(), QByteArray("1 LOGIN demo demo\r\n"));
    }

    // One connection object, one connection after another: encryption and the trusted CA carry
    // over exactly as far as they should.
    void connectionReuse()
    {
        TlsTestServer tls;
        QVERIFY(tls.start(TlsTestServer::Mode::Implicit, cert(QStringLiteral("server")),
                          key(QStringLiteral("server"))));
        Connection connection;
        connection.setTimeouts(shortTimeouts());
        connection.addTrustedCaCertificates(testCa());
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(open(connection, withScheme(QStringLiteral("imaps://"), tls.port())),
                     QString());
            QVERIFY(connection.isEncrypted());
            connection.close();
            QVERIFY(!connection.isEncrypted());
            QTRY_VERIFY(!tls.clientConnected());

            FakeImapServer plain;
            QVERIFY(plain.listen());
            plain.setScript(
                QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nS: 1 OK\n"));
            QCOMPARE(open(connection, plain.address()), QString());
            QVERIFY(!connection.isEncrypted());
            bool answered = false;
            connection.send(imap::CommandBuilder("1 NOOP").finish(),
                            [&](const imap::Response &) { answered = true; });
            QTRY_VERIFY(answered);
            QCOMPARE(plain.failure(), QString());
            connection.close();
        }
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
