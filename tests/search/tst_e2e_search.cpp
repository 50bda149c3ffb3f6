// Searches against the private Dovecot servers, in both hierarchy layouts: the hits must be,
// folder by folder, exactly what the server's own SEARCH finds, with the headers the mailbox was
// written with, in folder-list order; four connections must give what one gives, also where the
// server allows fewer; Stop finishes the folders under way on every connection.

#include "folders/folderlistjob.h"
#include "imap/listparser.h"
#include "imap/serveraddress.h"
#include "results/resultsmodel.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/dovecotfixture.h"
#include "support/rawimap.h"
#include "support/tcpproxy.h"

#include <QDir>
#include <QSet>
#include <QTest>
#include <QTimeZone>

#include <optional>

using search::SearchEngine;
using testsupport::DovecotFixture;

namespace {

// One search, its hits put into a results model as the window does.
struct Search
{
    SearchEngine engine;
    results::ResultsModel model;
    std::optional<SearchEngine::Summary> summary;

    Search()
    {
        QObject::connect(&engine, &SearchEngine::hitsFound, &model,
                         &results::ResultsModel::addHits);
        QObject::connect(&engine, &SearchEngine::finished, &engine,
                         [this](const SearchEngine::Summary &s) { summary = s; });
    }

    bool start(quint16 port, const search::SearchCriteria &criteria, int connections,
               const QString &scope = QString(), bool subfolders = true,
               const QString &password = QStringLiteral("demo"))
    {
        search::SearchRequest request;
        request.address = imap::parseServerAddress(QStringLiteral("127.0.0.1:%1").arg(port));
        request.login = QStringLiteral("demo");
        request.password = password;
        request.scope = search::FolderScope::fromChoice(scope, subfolders);
        request.key = search::buildSearchKey(criteria);
        request.connections = connections;
        return engine.start(request);
    }

    // Folder and message number of every row, in grid order.
    QList<QPair<QString, quint32>> rows() const
    {
        QList<QPair<QString, quint32>> out;
        for (qsizetype i = 0; i < model.hitCount(); ++i)
            out.append({model.record(i).folder, model.record(i).number});
        return out;
    }
};

search::SearchCriteria subjectCriteria(const QString &text)
{
    search::SearchCriteria c;
    c.subject = text;
    return c;
}

// The folders a scope covers, worked out from the manifest, in the server's list order.
QList<QJsonObject> foldersInScope(const DovecotFixture &fx, const QString &scope, bool sub)
{
    QList<QJsonObject> out;
    for (const QJsonValue &v : fx.folders()) {
        const QJsonObject f = v.toObject();
        if (!f.value(QStringLiteral("selectable")).toBool())
            continue;
        const QString path = f.value(QStringLiteral("display_path")).toString();
        if (scope.isEmpty() || path == scope || (sub && path.startsWith(scope + QLatin1Char('/'))))
            out.append(f);
    }
    return out;
}

QJsonObject manifestMessage(const DovecotFixture &fx, const QString &folder, quint32 seq)
{
    for (const QJsonValue &v : fx.messages()) {
        const QJsonObject m = v.toObject();
        if (m.value(QStringLiteral("folder")).toString() == folder &&
            m.value(QStringLiteral("seq")).toInteger() == seq)
            return m;
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(search::SearchCriteria)

class TestE2ESearch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char *layout : {"maildir", "fs"})
            QVERIFY2(DovecotFixture::load(QLatin1String(layout)).isValid(),
                     "the Dovecot fixture is not running (run through ctest)");
    }

    void search_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("scope");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<search::SearchCriteria>("criteria");
        // The same search as the server should see it, written out by hand.
        QTest::addColumn<QByteArrayList>("rawKey");

        for (const QString &layout : {QStringLiteral("maildir"), QStringLiteral("fs")}) {
            auto row = [&](const char *name) -> QTestData & {
                return QTest::newRow(qPrintable(layout + QLatin1Char(' ') + QLatin1String(name)))
                       << layout;
            };
            const search::SearchCriteria subject = subjectCriteria(QStringLiteral("report"));
            const QByteArrayList subjectKey{"SEARCH UNDELETED SUBJECT \"report\""};
            row("all folders") << QString() << true << subject << subjectKey;
            row("one folder") << QStringLiteral("Work/2005") << false << subject << subjectKey;
            row("folder with sub-folders")
                << QStringLiteral("Work") << true << subject << subjectKey;
            row("implicit parent with sub-folders")
                << QStringLiteral("Archive") << true << subject << subjectKey;
            row("scope that no longer exists")
                << QStringLiteral("Gone/Away") << true << subject << subjectKey;

            search::SearchCriteria c;
            c.body = QStringLiteral("zanzibar");
            row("non-ASCII folder") << QStringLiteral("Entw\u00fcrfe") << false << c
                                    << QByteArrayList{"SEARCH UNDELETED BODY \"zanzibar\""};
            c = {};
            c.toOrCc = QStringLiteral("bob");
            row("to or cc") << QString() << false << c
                            << QByteArrayList{"SEARCH UNDELETED OR TO \"bob\" CC \"bob\""};
            c = {};
            c.hasAttachment = true;
            row("has attachment") << QString() << false << c
                                  << QByteArrayList{
                                         "SEARCH UNDELETED HEADER Content-Type multipart/mixed"};
            c = {};
            c.after = QStringLiteral("1/1/2006");
            c.before = QStringLiteral("6/30/2006");
            row("date range") << QString() << false << c
                              << QByteArrayList{
                                     "SEARCH UNDELETED SENTSINCE 1-Jan-2006 SENTBEFORE 1-Jul-2006"};
            c = {};
            c.subject = QStringLiteral("Gr\u00fc\u00dfe");
            row("non-ASCII subject")
                << QString() << false << c
                << QByteArrayList{"SEARCH CHARSET UTF-8 UNDELETED SUBJECT {7}\r\n",
                                  "Gr\xc3\xbc\xc3\x9f"
                                  "e"};
            c = {};
            c.subject = QStringLiteral("\"hello\"");
            row("double quotes") << QString() << false << c
                                 << QByteArrayList{"SEARCH UNDELETED SUBJECT \"\\\"hello\\\"\""};
            c = {};
            c.subject = QStringLiteral("C:\\temp");
            row("backslash") << QString() << false << c
                             << QByteArrayList{"SEARCH UNDELETED SUBJECT \"C:\\\\temp\""};
            c = {};
            c.subject = QStringLiteral("report");
            c.body = QStringLiteral("zanzibar");
            c.bodyOrSubject = QStringLiteral("report");
            c.from = QStringLiteral("example");
            c.toOrFrom = QStringLiteral("example");
            c.after = QStringLiteral("1/1/2000");
            c.before = QStringLiteral("12/31/2030");
            row("every criterion")
                << QString() << false << c
                << QByteArrayList{"SEARCH UNDELETED SENTSINCE 1-Jan-2000 SENTBEFORE 1-Jan-2031 "
                                  "BODY zanzibar SUBJECT report FROM example "
                                  "OR SUBJECT report BODY report "
                                  "OR TO example FROM example"};
        }
    }

    void search()
    {
        QFETCH(QString, layout);
        QFETCH(QString, scope);
        QFETCH(bool, subfolders);
        QFETCH(search::SearchCriteria, criteria);
        QFETCH(QByteArrayList, rawKey);
        const DovecotFixture fx = DovecotFixture::load(layout);

        // What the server itself finds, folder by folder.
        QMap<QString, QList<quint32>> expected;
        qsizetype expectedTotal = 0;
        const QList<QJsonObject> folders = foldersInScope(fx, scope, subfolders);
        imap::FolderTable list;
        {
            testsupport::RawImap raw(QStringLiteral("127.0.0.1"), fx.port);
            QVERIFY(raw.login("demo", "demo"));
            list = imap::parseListResponse(raw.command({"1 LIST \"\" \"*\""}));
            for (const QJsonObject &f : folders) {
                const QList<quint32> hits =
                    raw.search(f.value(QStringLiteral("server_name")).toString().toUtf8(), rawKey);
                if (!hits.isEmpty())
                    expected[f.value(QStringLiteral("display_path")).toString()] = hits;
                expectedTotal += hits.size();
            }
        }
        // Guard against a vacuous comparison: only this search is chosen to find nothing.
        QCOMPARE(expectedTotal == 0, scope == QLatin1String("Gone/Away"));

        // One connection and four give the same rows in the same order.
        QList<QPair<QString, quint32>> oneConnection;
        for (int connections : {1, 4}) {
            Search s;
            QVERIFY(s.start(fx.port, criteria, connections, scope, subfolders));
            QTRY_VERIFY_WITH_TIMEOUT(s.summary, 30000);
            QCOMPARE(s.summary->outcome, SearchEngine::Outcome::Complete);
            QCOMPARE(s.summary->hits, expectedTotal);
            QCOMPARE(s.summary->folders, folders.size());
            QCOMPARE(s.summary->refusedFolders, 0);
            QCOMPARE(s.summary->unreadMessages, 0);
            QVERIFY(s.engine.roundTrips().size() <= qMax<qsizetype>(1, connections));
            if (connections > 1) {
                QCOMPARE(s.rows(), oneConnection);
                continue;
            }
            oneConnection = s.rows();
            // Folder by folder what the server finds, the folders in the order of its list.
            QMap<QString, QList<quint32>> shown;
            QStringList order;
            for (const auto &[folder, number] : std::as_const(oneConnection)) {
                shown[folder].append(number);
                if (order.isEmpty() || order.last() != folder)
                    order.append(folder);
            }
            QCOMPARE(shown, expected);
            QStringList listOrder;
            for (const imap::FolderRow &row : std::as_const(list))
                if (shown.contains(row.displayPath))
                    listOrder.append(row.displayPath);
            QCOMPARE(order, listOrder);
            // The headers as the mailbox was written.
            const QTimeZone local = QTimeZone::systemTimeZone();
            for (qsizetype i = 0; i < s.model.hitCount(); ++i) {
                const results::Hit &h = s.model.record(i);
                const QJsonObject m = manifestMessage(fx, h.folder, h.number);
                QVERIFY2(!m.isEmpty(), qPrintable(h.folder));
                QVERIFY(!m.value(QStringLiteral("deleted")).toBool());
                QCOMPARE(h.subject, m.value(QStringLiteral("subject")).toString());
                QCOMPARE(h.from, m.value(QStringLiteral("from")).toString());
                const QJsonValue utc = m.value(QStringLiteral("date_utc"));
                if (utc.isNull()) {
                    QVERIFY2(!h.date.isValid(), qPrintable(h.dateHeader));
                } else {
                    QCOMPARE(h.date.toUTC(),
                             QDateTime::fromString(utc.toString(), Qt::ISODate).toUTC());
                    QCOMPARE(h.date.timeZone(), local);
                }
            }
        }
    }

    // The folder list as the server gives it to Browse: every selectable folder with the name
    // the server uses and the path the user sees; implicit parents are not folders.
    void folderTable_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("maildir") << QStringLiteral("maildir");
        QTest::newRow("fs") << QStringLiteral("fs");
    }

    void folderTable()
    {
        QFETCH(QString, layout);
        const DovecotFixture fx = DovecotFixture::load(layout);
        folders::FolderListJob job;
        imap::FolderTable table;
        QString reason = QStringLiteral("not finished");
        connect(&job, &folders::FolderListJob::listed, this, [&](const imap::FolderTable &t) {
            table = t;
            job.finish();
        });
        connect(&job, &folders::FolderListJob::finished, this,
                [&](const QString &r) { reason = r; });
        QVERIFY(job.start(imap::parseServerAddress(fx.address()), QStringLiteral("demo"),
                          QStringLiteral("demo")));
        QTRY_COMPARE_WITH_TIMEOUT(reason, QString(), 30000);
        QSet<QPair<QByteArray, QString>> got, expected;
        for (const imap::FolderRow &row : std::as_const(table)) {
            got.insert({row.serverName, row.displayPath});
            QCOMPARE(row.delimiter,
                     fx.manifest.value(QStringLiteral("delimiter")).toString().at(0).toLatin1());
        }
        for (const QJsonValue &v : fx.folders()) {
            const QJsonObject f = v.toObject();
            if (f.value(QStringLiteral("selectable")).toBool())
                expected.insert({f.value(QStringLiteral("server_name")).toString().toUtf8(),
                                 f.value(QStringLiteral("display_path")).toString()});
        }
        QCOMPARE(table.size(), expected.size());
        QCOMPARE(got, expected);
    }

    // The exact lines a real server receives: a one-folder search needs one connection, and a
    // refused login opens no other.
    void wire_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("lines");
        QTest::newRow("one folder")
            << QStringLiteral("demo")
            << QByteArray("1 LOGIN demo demo\r\n"
                          "1 LIST \"\" \"*\"\r\n"
                          "1 EXAMINE \"Work.2005\"\r\n"
                          "1 SEARCH UNDELETED (SUBJECT \"report\")\r\n"
                          "1 FETCH 6 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\r\n"
                          "1 LOGOUT\r\n");
        QTest::newRow("wrong password")
            << QStringLiteral("not the password")
            << QByteArray("1 LOGIN demo \"not the password\"\r\n1 LOGOUT\r\n");
    }

    void wire()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, lines);
        const DovecotFixture fx = DovecotFixture::load(QStringLiteral("maildir"));
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());
        Search s;
        QVERIFY(s.start(proxy.port(), subjectCriteria(QStringLiteral("report")), 4,
                        QStringLiteral("Work/2005"), false, password));
        QTRY_VERIFY_WITH_TIMEOUT(s.summary, 30000);
        QTRY_COMPARE(proxy.clientBytes(), lines);
        if (password != QLatin1String("demo"))
            QCOMPARE(s.summary->reason, QStringLiteral("login failed: Authentication failed."));
    }

    // A server that allows two connections per user: the other two are refused at LOGIN, and
    // every folder is still searched exactly once.
    void connectionLimit()
    {
        const QString dir = QFileInfo(qEnvironmentVariable("FQ_DOVECOT_MAILDIR"))
                                .dir()
                                .filePath(QStringLiteral("limited"));
        const DovecotFixture fx =
            DovecotFixture::start(dir, QStringLiteral("maildir"),
                                  {QStringLiteral("--max-connections"), QStringLiteral("2")});
        QVERIFY2(fx.isValid(), "could not start a Dovecot with a connection limit");
        auto stopServer = qScopeGuard([&] { fx.stop(); });
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());

        Search one;
        QVERIFY(one.start(fx.port, subjectCriteria(QStringLiteral("report")), 1));
        QTRY_VERIFY_WITH_TIMEOUT(one.summary, 30000);
        Search four;
        QVERIFY(four.start(proxy.port(), subjectCriteria(QStringLiteral("report")), 4));
        QTRY_VERIFY_WITH_TIMEOUT(four.summary, 30000);
        QCOMPARE(four.summary->outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(four.summary->folders, one.summary->folders);
        QCOMPARE(four.rows(), one.rows());
        QVERIFY(!one.rows().isEmpty());
        QTRY_COMPARE(proxy.clientBytes().count("1 EXAMINE "), one.summary->folders);
        QCOMPARE(proxy.clientBytes().count("1 LOGIN "), 4);
    }

    // Stop with four connections: each finishes what it has under way (every folder examined is
    // searched and fetched in full) and logs out.
    void stopWithFourConnections()
    {
        const DovecotFixture fx = DovecotFixture::load(QStringLiteral("maildir"));
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());
        Search all;
        QVERIFY(all.start(fx.port, subjectCriteria(QStringLiteral("report")), 1));
        QTRY_VERIFY_WITH_TIMEOUT(all.summary, 30000);

        Search s;
        connect(&s.engine, &SearchEngine::scanning, this, [&s] { s.engine.stop(); });
        QVERIFY(s.start(proxy.port(), subjectCriteria(QStringLiteral("report")), 4));
        QTRY_VERIFY_WITH_TIMEOUT(s.summary, 30000);
        QCOMPARE(s.summary->outcome, SearchEngine::Outcome::Stopped);
        QVERIFY(s.summary->folders >= 1);
        QVERIFY(s.summary->folders < all.summary->folders);
        // The folders searched, each with all its hits, in folder-list order.
        QList<QPair<QString, quint32>> expected;
        const QByteArray wire = proxy.clientBytes();
        for (const auto &row : all.rows()) {
            const QByteArray name =
                "1 EXAMINE \"" + row.first.toUtf8().replace('/', '.') + "\"\r\n";
            if (wire.contains(name))
                expected.append(row);
        }
        QCOMPARE(s.rows(), expected);
        QTRY_COMPARE(proxy.clientBytes().count("1 LOGOUT"), proxy.clientBytes().count("1 LOGIN "));
    }
};

QTEST_MAIN(TestE2ESearch)
#include "tst_e2e_search.moc"
