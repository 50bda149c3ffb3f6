// Searches over imaps:// and imap:// (STARTTLS) against the private Dovecot servers: the same
// hits as over the plain port, the password only ever on an encrypted connection, and an
// untrusted certificate refused before anything is sent.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/dovecotfixture.h"
#include "support/formdriver.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

using testsupport::DovecotFixture;

namespace {

struct Wire
{
    QByteArray bytes;
    bool encrypted = false;
};

struct Outcome
{
    QString status;
    QList<QStringList> rows;
    QList<Wire> wire;
};

struct TlsFixture
{
    DovecotFixture fx;
    quint16 imapsPort = 0;
    QList<QSslCertificate> ca;
};

TlsFixture loadTls(const QString &layout)
{
    TlsFixture t;
    t.fx = DovecotFixture::load(layout);
    QFile port(t.fx.dir + QStringLiteral("/imaps-port"));
    if (port.open(QIODevice::ReadOnly))
        t.imapsPort = quint16(port.readAll().trimmed().toUInt());
    t.ca = QSslCertificate::fromPath(t.fx.dir + QStringLiteral("/ca.pem"));
    return t;
}

// One search for subject "report" in all folders, as a user would start it.
Outcome search(const QString &server, const QList<QSslCertificate> &trust)
{
    Outcome out;
    Form1 form;
    if (!trust.isEmpty())
        form.channel().addTrustedCaCertificates(trust);
    QObject::connect(&form.channel(), &imap::ImapChannel::wrote, &form, [&](const QByteArray &b) {
        out.wire.append({b, form.channel().isEncrypted()});
    });
    form.txtServer->setText(server);
    form.txtLogin->setText(QStringLiteral("demo"));
    form.txtPassword->setText(QStringLiteral("demo"));
    form.txtSubjectSearch->setText(QStringLiteral("report"));
    form.cmdSearch_Click();
    out.status = form.lblStatus->text();
    const results::ResultsModel *model = form.resultsModel();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < model->columnCount(); ++c)
            row << model->index(r, c).data().toString();
        out.rows.append(row);
    }
    return out;
}

} // namespace

class TestE2ETls : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase()
    {
        testsupport::usePrivateConfig(m_config.path());
        for (const char *layout : {"maildir", "fs"}) {
            const TlsFixture t = loadTls(QLatin1String(layout));
            QVERIFY2(t.fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
            QVERIFY2(t.imapsPort != 0 && t.ca.size() == 1,
                     "the Dovecot fixture was started without --tls");
        }
    }

    void searchOverTls_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("startTls");
        QTest::addColumn<QString>("host");
        for (const QString &layout : {QStringLiteral("maildir"), QStringLiteral("fs")}) {
            for (bool startTls : {false, true}) {
                for (const QString &host :
                     {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
                    QTest::addRow("%s, %s, %s", qPrintable(layout),
                                  startTls ? "imap://" : "imaps://", qPrintable(host))
                        << layout << startTls << host;
                }
            }
        }
    }

    // The same hits as over the plain port; LOGIN and everything after it only encrypted.
    void searchOverTls()
    {
        QFETCH(QString, layout);
        QFETCH(bool, startTls);
        QFETCH(QString, host);
        const TlsFixture t = loadTls(layout);
        const Outcome plain = search(t.fx.address(), {});
        QVERIFY2(plain.status.startsWith(QStringLiteral("Search Complete. ")),
                 qPrintable(plain.status));
        QVERIFY(!plain.status.startsWith(QStringLiteral("Search Complete. 0 ")));
        // The plain server announces its capabilities in the greeting: nothing is added.
        QCOMPARE(plain.wire.first().bytes, QByteArray("1 LOGIN demo demo\r\n"));

        const QString address = startTls
                                    ? QStringLiteral("imap://%1:%2").arg(host).arg(t.fx.port)
                                    : QStringLiteral("imaps://%1:%2").arg(host).arg(t.imapsPort);
        const Outcome tls = search(address, t.ca);
        QCOMPARE(tls.status, plain.status);
        QCOMPARE(tls.rows, plain.rows);

        QList<Wire> wire = tls.wire;
        if (startTls) {
            QVERIFY(!wire.isEmpty());
            QCOMPARE(wire.first().bytes, QByteArray("1 STARTTLS\r\n"));
            QVERIFY(!wire.first().encrypted);
            wire.removeFirst();
        }
        QVERIFY(!wire.isEmpty());
        QCOMPARE(wire.first().bytes, QByteArray("1 LOGIN demo demo\r\n"));
        QCOMPARE(wire.last().bytes, QByteArray("1 LOGOUT\r\n"));
        for (const Wire &w : wire)
            QVERIFY2(w.encrypted, w.bytes.constData());
    }

    void refused_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("trust");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("imaps, CA not trusted")
            << QStringLiteral("imaps") << false
            << QStringLiteral("Error: certificate is not trusted") << QByteArray();
        QTest::newRow("STARTTLS, CA not trusted")
            << QStringLiteral("starttls") << false
            << QStringLiteral("Error: certificate is not trusted") << QByteArray("1 STARTTLS\r\n");
        QTest::newRow("imaps to the plain port")
            << QStringLiteral("imaps-on-plain") << true
            << QStringLiteral("Error: server does not speak TLS on this port") << QByteArray();
    }

    // Refused before LOGIN: the reason shown, nothing but STARTTLS on the wire.
    void refused()
    {
        QFETCH(QString, what);
        QFETCH(bool, trust);
        QFETCH(QString, status);
        QFETCH(QByteArray, sent);
        const TlsFixture t = loadTls(QStringLiteral("maildir"));
        QString address;
        if (what == QLatin1String("imaps"))
            address = QStringLiteral("imaps://127.0.0.1:%1").arg(t.imapsPort);
        else if (what == QLatin1String("starttls"))
            address = QStringLiteral("imap://127.0.0.1:%1").arg(t.fx.port);
        else
            address = QStringLiteral("imaps://127.0.0.1:%1").arg(t.fx.port);
        const Outcome out = search(address, trust ? t.ca : QList<QSslCertificate>{});
        QCOMPARE(out.status, status);
        QByteArray wire;
        for (const Wire &w : out.wire)
            wire += w.bytes;
        QCOMPARE(wire, sent);
    }
};

QTEST_MAIN(TestE2ETls)
#include "tst_e2e_tls.moc"
