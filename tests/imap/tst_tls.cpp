// Encrypted connections: what the channel does with LOGINDISABLED, STARTTLS and certificates,
// against scripted servers and a small TLS server with certificates made for this run.

#include "app/form1.h"
#include "imap/capabilities.h"
#include "imap/imapchannel.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"
#include "support/tlstestserver.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using imap::ImapChannel;
using testsupport::TlsTestServer;

namespace {
const QString kNeedsTls =
    QStringLiteral("server requires an encrypted connection (try imaps://host)");
const QString kNoStartTls = QStringLiteral("server does not offer STARTTLS (try imaps://host)");
const QString kHandshakeStalled = QStringLiteral("server did not complete the TLS handshake");

ImapChannel::Timeouts shortTimeouts()
{
    return testsupport::shortTimeouts(1500, 1500, 1500);
}

QString withScheme(const QString &scheme, quint16 port,
                   const QString &host = QStringLiteral("127.0.0.1"))
{
    return scheme + host + QLatin1Char(':') + QString::number(port);
}
} // namespace

class TestTls : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_certs;
    QTemporaryDir m_config;

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

    // Connects with the address, waits until the server has seen the client go, and hands back
    // what the server received.
    static QByteArray connectAndClose(FakeImapServer &server, ImapChannel &channel,
                                      const QString &address, bool &connected)
    {
        connected = channel.Connect(imap::ParseServerAddress(address));
        channel.Close();
        if (!QTest::qWaitFor([&] { return !server.clientConnected(); }, 5000))
            qWarning("the client did not go away");
        return server.received();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(m_certs.isValid());
        QVERIFY(m_config.isValid());
        testsupport::usePrivateConfig(m_config.path());
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
        const imap::Capabilities caps = imap::ParseCapabilities(lines);
        QCOMPARE(caps.known, known);
        QCOMPARE(caps.names, names);
        for (const QByteArray &n : names) {
            QVERIFY(caps.has(n.toLower()));
            QVERIFY(!caps.has(n.left(n.size() - 1)));
        }
    }

    // A plain connection: a server that forbids LOGIN in clear ends it before any password;
    // capabilities are asked for only when the greeting names none.
    void plainConnection_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("greeting says LOGINDISABLED")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi\nSTALL\n")
            << false << kNeedsTls << QByteArray();
        QTest::newRow("CAPABILITY says LOGINDISABLED")
            << QStringLiteral(
                   "S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 LOGINDISABLED\n"
                   "S: 1 OK done\nSTALL\n")
            << false << kNeedsTls << QByteArray("1 CAPABILITY\r\n");
        QTest::newRow("CAPABILITY says it in lower case, in pieces")
            << QStringLiteral("CHUNK 3\nS: * OK hi\nC: 1 CAPABILITY\n"
                              "S: * CAPABILITY imap4rev1 logindisabled\nS: 1 OK done\nSTALL\n")
            << false << kNeedsTls << QByteArray("1 CAPABILITY\r\n");
        QTest::newRow("greeting with capabilities: nothing asked")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS AUTH=PLAIN] hi\nSTALL\n")
            << true << QString() << QByteArray();
        QTest::newRow("greeting without: asked once")
            << QStringLiteral(
                   "S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: 1 OK\nSTALL\n")
            << true << QString() << QByteArray("1 CAPABILITY\r\n");
        QTest::newRow("CAPABILITY refused: LOGIN may go on")
            << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nS: 1 BAD unknown command\nSTALL\n")
            << true << QString() << QByteArray("1 CAPABILITY\r\n");
        QTest::newRow("PREAUTH: no password is sent, nothing asked")
            << QStringLiteral("S: * PREAUTH welcome\nSTALL\n") << true << QString() << QByteArray();
    }

    void plainConnection()
    {
        QFETCH(QString, script);
        QFETCH(bool, connects);
        QFETCH(QString, error);
        QFETCH(QByteArray, sent);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        bool connected = false;
        const QByteArray received = connectAndClose(server, channel, server.address(), connected);
        QCOMPARE(connected, connects);
        QCOMPARE(channel.errorText(), error);
        QCOMPARE(received, sent);
        QCOMPARE(server.failure(), QString());
        QVERIFY(!channel.isOpen());
    }

    // imap:// never goes on in clear: no STARTTLS offered, a refusal, a PREAUTH greeting or
    // data slipped in after the go-ahead all end the connection.
    void startTlsRefused_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("greeting without STARTTLS")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\nSTALL\n")
            << kNoStartTls << QByteArray();
        QTest::newRow("CAPABILITY without STARTTLS")
            << QStringLiteral(
                   "S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: 1 OK\nSTALL\n")
            << kNoStartTls << QByteArray("1 CAPABILITY\r\n");
        QTest::newRow("CAPABILITY refused")
            << QStringLiteral("S: * OK hi\nC: 1 CAPABILITY\nS: 1 BAD what\nSTALL\n") << kNoStartTls
            << QByteArray("1 CAPABILITY\r\n");
        QTest::newRow("STARTTLS refused")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
                              "S: 1 NO [UNAVAILABLE] not now\nSTALL\n")
            << QStringLiteral("server refused STARTTLS: not now") << QByteArray("1 STARTTLS\r\n");
        QTest::newRow("PREAUTH before encryption")
            << QStringLiteral("S: * PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] hi\nSTALL\n")
            << QStringLiteral("server started the session before encryption (PREAUTH); not going "
                              "on in clear")
            << QByteArray();
        QTest::newRow("clear text after the go-ahead")
            << QStringLiteral(
                   "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
                   "S+ 1 OK Begin TLS negotiation now.\\r\\n* OK [CAPABILITY AUTH=PLAIN] x\\r\\n\n"
                   "STALL\n")
            << QStringLiteral("server sent unencrypted data after STARTTLS")
            << QByteArray("1 STARTTLS\r\n");
    }

    void startTlsRefused()
    {
        QFETCH(QString, script);
        QFETCH(QString, error);
        QFETCH(QByteArray, sent);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        bool connected = true;
        const QByteArray received = connectAndClose(
            server, channel, withScheme(QStringLiteral("imap://"), server.port()), connected);
        QVERIFY(!connected);
        QCOMPARE(channel.errorText(), error);
        QCOMPARE(received, sent);
        QCOMPARE(server.failure(), QString());
        QVERIFY(!channel.isOpen());
    }

    // A server that never finishes the handshake, or does not speak TLS at all, ends the
    // connection with a reason; only a TLS ClientHello went out after the clear part.
    void handshakeFails_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("clear");

        QTest::newRow("imaps, silent") << QStringLiteral("imaps://") << QStringLiteral("STALL\n")
                                       << kHandshakeStalled << QByteArray();
        QTest::newRow("STARTTLS, silent after the go-ahead")
            << QStringLiteral("imap://")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
                              "S: 1 OK Begin TLS negotiation now.\nSTALL\n")
            << kHandshakeStalled << QByteArray("1 STARTTLS\r\n");
        QTest::newRow("imaps to a server in clear")
            << QStringLiteral("imaps://")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nSTALL\n")
            << QStringLiteral("server does not speak TLS on this port") << QByteArray();
    }

    void handshakeFails()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, script);
        QFETCH(QString, error);
        QFETCH(QByteArray, clear);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        bool connected = true;
        const QByteArray received =
            connectAndClose(server, channel, withScheme(scheme, server.port()), connected);
        QVERIFY(!connected);
        QCOMPARE(channel.errorText(), error);
        QVERIFY(!channel.isOpen());
        QVERIFY(!channel.isEncrypted());
        // After the clear part: one TLS handshake record (content type 22), never a command.
        QVERIFY(received.startsWith(clear));
        QVERIFY(received.size() > clear.size());
        QCOMPARE(int(received.at(clear.size())), 0x16);
        QVERIFY(!received.contains("LOGIN"));
    }

    // Certificates are checked against the trusted CAs and the host name, for implicit TLS and
    // after STARTTLS alike.
    void certificates_data()
    {
        QTest::addColumn<bool>("startTls");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("trustTestCa");
        QTest::addColumn<QString>("error");

        const QString ip = QStringLiteral("127.0.0.1");
        const QString name = QStringLiteral("localhost");
        for (bool startTls : {false, true}) {
            const char *mode = startTls ? "STARTTLS" : "imaps";
            auto row = [&](const char *what) {
                return &QTest::newRow(qPrintable(
                    QStringLiteral("%1, %2").arg(QLatin1String(mode), QLatin1String(what))));
            };
            *row("valid for the address") << startTls << "server" << ip << true << QString();
            *row("valid for the name") << startTls << "server" << name << true << QString();
            *row("CA not trusted") << startTls << "server" << ip << false
                                   << QStringLiteral("certificate is not trusted");
            *row("self-signed") << startTls << "selfsigned" << name << true
                                << QStringLiteral("certificate is not trusted");
            *row("for another host") << startTls << "otherhost" << ip << true
                                     << QStringLiteral("certificate is for another host name");
            *row("expired") << startTls << "expired" << name << true
                            << QStringLiteral("certificate has expired");
        }
    }

    void certificates()
    {
        QFETCH(bool, startTls);
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        QFETCH(bool, trustTestCa);
        QFETCH(QString, error);
        TlsTestServer server;
        QVERIFY(
            server.start(startTls ? TlsTestServer::Mode::StartTls : TlsTestServer::Mode::Implicit,
                         cert(certificate), key(certificate)));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        if (trustTestCa)
            channel.addTrustedCaCertificates(testCa());
        const QString address = withScheme(
            startTls ? QStringLiteral("imap://") : QStringLiteral("imaps://"), server.port(), host);
        const QByteArray clear = startTls ? QByteArray("1 STARTTLS\r\n") : QByteArray();

        const bool connected = channel.Connect(imap::ParseServerAddress(address));
        QCOMPARE(channel.errorText(), error);
        QCOMPARE(connected, error.isEmpty());
        if (!connected) {
            QVERIFY(!channel.isOpen());
            QVERIFY(!server.handshakeDone());
            QCOMPARE(server.clearReceived(), clear);
            QCOMPARE(server.encryptedReceived(), QByteArray());
            return;
        }
        QVERIFY(channel.isEncrypted());
        QCOMPARE(int(channel.greeting().status()), int(imap::Response::Status::Ok));
        // What was announced in clear (here LOGINDISABLED) is forgotten after STARTTLS.
        QCOMPARE(channel.capabilities().known, !startTls);
        QVERIFY(channel.SendAndWait(QStringLiteral("LOGIN"),
                                    imap::CommandBuilder("1 LOGIN demo demo").finish()));
        QCOMPARE(int(channel.lastResponse().status()), int(imap::Response::Status::Ok));
        QCOMPARE(server.clearReceived(), clear);
        QCOMPARE(server.encryptedReceived(), QByteArray("1 LOGIN demo demo\r\n"));
        channel.Close();
    }

    // One channel, one connection after another: encryption and the trusted CA carry over
    // exactly as far as they should.
    void channelReuse()
    {
        TlsTestServer tls;
        QVERIFY(tls.start(TlsTestServer::Mode::Implicit, cert(QStringLiteral("server")),
                          key(QStringLiteral("server"))));
        const auto tlsAddress =
            imap::ParseServerAddress(withScheme(QStringLiteral("imaps://"), tls.port()));
        ImapChannel channel;
        channel.setTimeouts(shortTimeouts());
        channel.addTrustedCaCertificates(testCa());
        for (int round = 0; round < 2; ++round) {
            QVERIFY(channel.Connect(tlsAddress));
            QVERIFY(channel.isEncrypted());
            channel.Close();
            QVERIFY(!channel.isEncrypted());
            QTRY_VERIFY(!tls.clientConnected());

            FakeImapServer plain;
            QVERIFY(plain.listen());
            plain.setScript(
                QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 NOOP\nS: 1 OK\n"));
            QVERIFY(channel.Connect(imap::ParseServerAddress(plain.address())));
            QVERIFY(!channel.isEncrypted());
            QVERIFY(channel.SendAndWait(QStringLiteral("NOOP"),
                                        imap::CommandBuilder("1 NOOP").finish()));
            QCOMPARE(plain.failure(), QString());
            channel.Close();
        }
    }

    // What the window shows, and that no password went out.
    void windowShowsReason_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("status");

        QTest::newRow("LOGINDISABLED in the greeting")
            << QString()
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hi\nSTALL\n")
            << QStringLiteral("Error: ") + kNeedsTls;
        QTest::newRow("LOGINDISABLED on asking")
            << QString()
            << QStringLiteral(
                   "S: * OK hi\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 LOGINDISABLED\n"
                   "S: 1 OK\nSTALL\n")
            << QStringLiteral("Error: ") + kNeedsTls;
        QTest::newRow("imap:// without STARTTLS")
            << QStringLiteral("imap://")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nSTALL\n")
            << QStringLiteral("Error: ") + kNoStartTls;
        QTest::newRow("imaps:// to a silent server")
            << QStringLiteral("imaps://") << QStringLiteral("STALL\n")
            << QStringLiteral("Error: ") + kHandshakeStalled;
    }

    void windowShowsReason()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, script);
        QFETCH(QString, status);
        for (bool browse : {false, true}) {
            FakeImapServer server;
            QVERIFY(server.listen());
            server.setScript(script);
            Form1 form;
            testsupport::useShortTimeouts(form);
            const QString address =
                scheme.isEmpty() ? server.address() : withScheme(scheme, server.port());
            form.txtServer->setText(address);
            form.txtLogin->setText(QStringLiteral("demo"));
            form.txtPassword->setText(QStringLiteral("secret"));
            form.txtSubjectSearch->setText(QStringLiteral("report"));
            if (browse)
                form.cmdBrowse_Click();
            else
                form.cmdSearch_Click();
            QCOMPARE(form.lblStatus->text(), status);
            QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
            QVERIFY(!form.channel().isOpen());
            QTRY_VERIFY(!server.clientConnected());
            QVERIFY(!server.received().contains("secret"));
            QVERIFY(!server.received().contains("LOGIN"));
            QCOMPARE(server.failure(), QString());
        }
    }
};

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
