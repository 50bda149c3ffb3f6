// Searches over imaps:// and imap:// (STARTTLS) against the private Dovecot servers: the same
// hits as over the plain port, the password only ever on an encrypted connection, and an
// untrusted certificate refused before anything is sent.

#include "imap/session.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/dovecotfixture.h"

#include <QFile>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTest>

using search::SearchEngine;
using testsupport::DovecotFixture;

namespace {

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

struct Outcome
{
    SearchEngine::Summary summary;
    QStringList hits;                // sorted: the connections interleave
    QHash<int, QByteArrayList> wire; // what each connection wrote, "(clear) " before clear text
};

// One search for subject "report" in all folders over four connections.
Outcome runSearch(const QString &server, const QList<QSslCertificate> &trust)
{
    Outcome out;
    SearchEngine engine;
    if (!trust.isEmpty())
        engine.addTrustedCaCertificates(trust);
    QObject::connect(&engine, &SearchEngine::hitsFound, [&](const QList<results::Hit> &hits) {
        for (const results::Hit &h : hits)
            out.hits.append(
                QStringList{h.folder, QString::number(h.number), h.subject, h.from, h.dateHeader}
                    .join(QLatin1Char('|')));
    });
    // The engine's sessions are its children, in the order of its connections.
    QObject::connect(&engine, &SearchEngine::wrote, [&](int n, const QByteArray &bytes) {
        const auto sessions = engine.findChildren<imap::Session *>(Qt::FindDirectChildrenOnly);
        const bool encrypted = sessions.value(n) && sessions[n]->connection().isEncrypted();
        out.wire[n].append((encrypted ? "" : "(clear) ") + bytes);
    });
    QSignalSpy finished(&engine, &SearchEngine::finished);
    search::SearchCriteria criteria;
    criteria.subject = QStringLiteral("report");
    engine.start({imap::parseServerAddress(server), QStringLiteral("demo"), QStringLiteral("demo"),
                  search::FolderScope::fromChoice(QString(), false),
                  search::buildSearchKey(criteria), 4});
    if (finished.wait(60000))
        out.summary = finished[0][0].value<SearchEngine::Summary>();
    else
        out.summary.reason = QStringLiteral("(no end)");
    out.hits.sort();
    return out;
}

} // namespace

class TestE2ETls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
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
        for (const QString &layout : {QStringLiteral("maildir"), QStringLiteral("fs")})
            for (bool startTls : {false, true})
                for (const QString &host :
                     {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")})
                    QTest::addRow("%s, %s, %s", qPrintable(layout),
                                  startTls ? "imap://" : "imaps://", qPrintable(host))
                        << layout << startTls << host;
    }

    // The same hits as over the plain port; on every connection LOGIN and everything after it
    // only encrypted.
    void searchOverTls()
    {
        QFETCH(QString, layout);
        QFETCH(bool, startTls);
        QFETCH(QString, host);
        const TlsFixture t = loadTls(layout);
        const Outcome plain = runSearch(t.fx.address(), {});
        QCOMPARE(plain.summary.reason, QString());
        QVERIFY(!plain.hits.isEmpty());
        // The plain server announces its capabilities in the greeting: nothing is added.
        QCOMPARE(plain.wire.value(0).value(0), QByteArray("(clear) 1 LOGIN demo demo\r\n"));

        const QString address = startTls
                                    ? QStringLiteral("imap://%1:%2").arg(host).arg(t.fx.port)
                                    : QStringLiteral("imaps://%1:%2").arg(host).arg(t.imapsPort);
        const Outcome tls = runSearch(address, t.ca);
        QCOMPARE(tls.summary.reason, QString());
        QCOMPARE(int(tls.summary.outcome), int(SearchEngine::Outcome::Complete));
        QCOMPARE(tls.summary.folders, plain.summary.folders);
        QCOMPARE(tls.hits, plain.hits);
        QCOMPARE(tls.wire.value(0).last(), QByteArray("1 LOGOUT\r\n"));
        for (QByteArrayList wire : tls.wire) {
            if (startTls)
                QCOMPARE(wire.takeFirst(), QByteArray("(clear) 1 STARTTLS\r\n"));
            // An extra connection still on its way in when the others are done is closed before
            // its LOGIN; one that sent it ends with a LOGOUT.
            if (!wire.isEmpty()) {
                QCOMPARE(wire.first(), QByteArray("1 LOGIN demo demo\r\n"));
                QCOMPARE(wire.last(), QByteArray("1 LOGOUT\r\n"));
            }
            QVERIFY(!wire.join().contains("(clear)"));
        }
    }

    // Refused before LOGIN: the reason, nothing but STARTTLS on the wire.
    void refused_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("trust");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("imaps, CA not trusted")
            << QStringLiteral("imaps") << false << QStringLiteral("certificate is not trusted")
            << QByteArray();
        QTest::newRow("STARTTLS, CA not trusted")
            << QStringLiteral("starttls") << false << QStringLiteral("certificate is not trusted")
            << QByteArray("(clear) 1 STARTTLS\r\n");
        QTest::newRow("imaps to the plain port")
            << QStringLiteral("imaps-on-plain") << true
            << QStringLiteral("server does not speak TLS on this port") << QByteArray();
    }

    void refused()
    {
        QFETCH(QString, what);
        QFETCH(bool, trust);
        QFETCH(QString, reason);
        QFETCH(QByteArray, sent);
        const TlsFixture t = loadTls(QStringLiteral("maildir"));
        const QString address =
            what == QLatin1String("starttls")
                ? QStringLiteral("imap://127.0.0.1:%1").arg(t.fx.port)
                : QStringLiteral("imaps://127.0.0.1:%1")
                      .arg(what == QLatin1String("imaps") ? t.imapsPort : t.fx.port);
        const Outcome out = runSearch(address, trust ? t.ca : QList<QSslCertificate>{});
        QCOMPARE(int(out.summary.outcome), int(SearchEngine::Outcome::Failed));
        QCOMPARE(out.summary.reason, reason);
        QCOMPARE(out.hits, QStringList());
        QCOMPARE(out.wire.value(0).join(), sent);
        QVERIFY(out.wire.size() <= 1);
    }
};

QTEST_GUILESS_MAIN(TestE2ETls)
#include "tst_e2e_tls.moc"
