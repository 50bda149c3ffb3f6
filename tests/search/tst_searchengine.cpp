// The search engine against the scripted server: the pipelined conversation on the wire, Stop at
// each point of a run, refused folders and unread headers, batched fetches, and extra connections
// that the server turns away.

#include "imap/serveraddress.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QSignalSpy>
#include <QTest>

#include <optional>

using search::SearchEngine;
using testsupport::fetchAnswer;

namespace {

const QString kGreeting = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] ready\n");
const QString kLogin = kGreeting + QStringLiteral("C: 1 LOGIN demo demo\nS: 1 OK in\n");
const QString kList = QStringLiteral("C: 1 LIST \"\" \"*\"\n"
                                     "S: * LIST (\\\\HasNoChildren) \".\" Sent\n"
                                     "S: * LIST (\\\\HasNoChildren) \".\" INBOX\n"
                                     "S: 1 OK done\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n");
const QString kSearchLine = QStringLiteral("C: 1 SEARCH UNDELETED (SUBJECT \"report\")\n");
const QString kFetch =
    QStringLiteral("C: 1 FETCH %1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n");

QByteArray headers(int n)
{
    return "Date: Tue, 3 Jan 2006 10:15:0" + QByteArray::number(n % 10) +
           " +0000\r\nFrom: Sender " + QByteArray::number(n) + " <s" + QByteArray::number(n) +
           "@example.org>\r\nSubject: report " + QByteArray::number(n) + "\r\n\r\n";
}

QString numbers(const QList<int> &hits, QLatin1Char separator)
{
    QStringList out;
    for (int h : hits)
        out.append(QString::number(h));
    return out.join(separator);
}

// EXAMINE and SEARCH of a folder with the given hits.
QString examineAndSearch(const char *name, const QList<int> &hits)
{
    return QStringLiteral("C: 1 EXAMINE \"%1\"\nS: 1 OK [READ-ONLY] done\n")
               .arg(QLatin1String(name)) +
           kSearchLine +
           (QStringLiteral("S: * SEARCH ") + numbers(hits, QLatin1Char(' '))).trimmed() +
           QStringLiteral("\nS: 1 OK done\n");
}

// The FETCH of the hits and its answer.
QString fetchExchange(const QList<int> &hits)
{
    QString s = kFetch.arg(numbers(hits, QLatin1Char(',')));
    for (int h : hits)
        s += fetchAnswer(h, headers(h));
    return s + QStringLiteral("S: 1 OK fetched\n");
}

struct Run
{
    FakeImapServer server;
    SearchEngine engine;
    QList<results::Hit> hits;
    QList<int> batchSizes;
    std::optional<SearchEngine::Summary> summary;

    explicit Run(const QString &script, const QStringList &extras = {})
    {
        server.listen();
        server.setScript(script);
        server.setExtraScripts(extras);
        engine.setTimeouts(testsupport::shortTimeouts());
        QObject::connect(&engine, &SearchEngine::hitsFound, &engine,
                         [this](const QList<results::Hit> &batch) {
                             hits += batch;
                             batchSizes.append(int(batch.size()));
                         });
        QObject::connect(&engine, &SearchEngine::finished, &engine,
                         [this](const SearchEngine::Summary &s) { summary = s; });
    }

    bool start(int connections = 1)
    {
        search::SearchRequest request;
        request.address = imap::parseServerAddress(server.address());
        request.login = QStringLiteral("demo");
        request.password = QStringLiteral("demo");
        request.scope = search::FolderScope::fromChoice(QString(), true);
        search::SearchCriteria criteria;
        criteria.subject = QStringLiteral("report");
        request.key = search::buildSearchKey(criteria);
        request.connections = connections;
        return engine.start(request);
    }

    // Stops the run once, when the client writes a line beginning with `prefix`.
    void stopWhenSent(const QByteArray &prefix)
    {
        QObject::connect(&engine, &SearchEngine::wrote, &engine,
                         [this, prefix, done = false](int, const QByteArray &bytes) mutable {
                             if (!done && bytes.startsWith(prefix)) {
                                 done = true;
                                 engine.stop();
                             }
                         });
    }
};

} // namespace

class TestSearchEngine : public QObject
{
    Q_OBJECT

private slots:
    // A folder's FETCH goes out together with the next folder's EXAMINE and SEARCH: the server
    // answers the FETCH only after it has them, so a client that waited would stall.
    void pipelinedConversation()
    {
        Run run(kLogin + kList + examineAndSearch("Sent", {3}) + kFetch.arg(3) +
                QStringLiteral("C: 1 EXAMINE \"INBOX\"\n") + kSearchLine +
                fetchAnswer(3, headers(3)) +
                QStringLiteral("S: 1 OK fetched\nS: 1 OK examined\nS: * SEARCH 2 5 9\nS: 1 OK\n") +
                fetchExchange({2, 5, 9}) + kLogout);
        QVERIFY(run.start());
        QTRY_VERIFY(run.summary);
        QCOMPARE(run.server.failure(), QString());
        QCOMPARE(run.summary->outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(run.summary->hits, 4);
        QCOMPARE(run.summary->folders, 2);
        QCOMPARE(run.summary->refusedFolders, 0);
        QCOMPARE(run.summary->unreadMessages, 0);
        QCOMPARE(run.hits.size(), 4);
        const QList<int> expected = {3, 2, 5, 9};
        for (int i = 0; i < 4; ++i) {
            const results::Hit &h = run.hits.at(i);
            QCOMPARE(h.folder, QLatin1String(i == 0 ? "Sent" : "INBOX"));
            QCOMPARE(h.mailbox, QByteArray(i == 0 ? "Sent" : "INBOX"));
            QCOMPARE(h.folderOrder, i == 0 ? 0 : 1);
            QCOMPARE(int(h.number), expected[i]);
            QCOMPARE(h.subject, QStringLiteral("report %1").arg(expected[i]));
            QCOMPARE(h.from, QStringLiteral("Sender %1 <s%1@example.org>").arg(expected[i]));
            QCOMPARE(h.date.toUTC(),
                     QDateTime(QDate(2006, 1, 3), QTime(10, 15, expected[i] % 10), Qt::UTC));
        }
        // Greeting, LOGIN, LIST, Sent, Sent's FETCH with INBOX, INBOX's FETCH, LOGOUT.
        QCOMPARE(run.engine.roundTrips(), QList<int>{7});
    }

    // What the final line counts when the server refuses a folder or leaves headers unread.
    void outcomes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("hits");
        QTest::addColumn<int>("folders");
        QTest::addColumn<int>("refused");
        QTest::addColumn<int>("unread");

        QTest::newRow("no hits") << kLogin + kList + examineAndSearch("Sent", {}) +
                                        examineAndSearch("INBOX", {}) + kLogout
                                 << 0 << 2 << 0 << 0;
        QTest::newRow("refused EXAMINE: what its SEARCH listed is dropped")
            << kLogin + kList + QStringLiteral("C: 1 EXAMINE \"Sent\"\n") + kSearchLine +
                   QStringLiteral("S: 1 NO no such mailbox\nS: * SEARCH 1 2\nS: 1 BAD no mailbox "
                                  "selected\n") +
                   examineAndSearch("INBOX", {4}) + fetchExchange({4}) + kLogout
            << 1 << 2 << 1 << 0;
        QTest::newRow("refused SEARCH")
            << kLogin + kList + QStringLiteral("C: 1 EXAMINE \"Sent\"\nS: 1 OK\n") + kSearchLine +
                   QStringLiteral("S: 1 BAD bad search\n") + examineAndSearch("INBOX", {}) + kLogout
            << 0 << 2 << 1 << 0;
        QTest::newRow("FETCH refused: rows kept, unread counted")
            << kLogin + kList + examineAndSearch("Sent", {1, 2}) +
                   kFetch.arg(QStringLiteral("1,2")) + QStringLiteral("C: 1 EXAMINE \"INBOX\"\n") +
                   kSearchLine +
                   QStringLiteral("S: 1 NO [SERVERBUG] cannot read\nS: 1 OK\nS: * SEARCH\nS: 1 "
                                  "OK\n") +
                   kLogout
            << 2 << 2 << 0 << 2;
        QTest::newRow("FETCH that leaves a hit without headers")
            << kLogin + kList + examineAndSearch("Sent", {1, 2}) +
                   kFetch.arg(QStringLiteral("1,2")) + QStringLiteral("C: 1 EXAMINE \"INBOX\"\n") +
                   kSearchLine + fetchAnswer(2, headers(2)) +
                   QStringLiteral("S: * 1 FETCH (FLAGS (\\\\Seen))\nS: 1 OK\nS: 1 OK\nS: * "
                                  "SEARCH\nS: 1 OK\n") +
                   kLogout
            << 2 << 2 << 0 << 1;
    }

    void outcomes()
    {
        QFETCH(QString, script);
        QFETCH(int, hits);
        QFETCH(int, folders);
        QFETCH(int, refused);
        QFETCH(int, unread);
        Run run(script);
        QVERIFY(run.start());
        QTRY_VERIFY(run.summary);
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(run.server.finished());
        QCOMPARE(run.summary->outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(run.summary->hits, hits);
        QCOMPARE(run.hits.size(), hits);
        QCOMPARE(run.summary->folders, folders);
        QCOMPARE(run.summary->refusedFolders, refused);
        QCOMPARE(run.summary->unreadMessages, unread);
        const auto unreadRows = std::count_if(run.hits.cbegin(), run.hits.cend(), [](auto &h) {
            return h.from.isEmpty() && h.subject.isEmpty() && !h.date.isValid();
        });
        QCOMPARE(int(unreadRows), unread);
    }

    // Stop finishes every folder already sent (all its hits fetched), then logs out.
    void stop_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("stopOn");
        QTest::addColumn<int>("hits");
        QTest::addColumn<int>("folders");

        const QString both = examineAndSearch("Sent", {1}) + kFetch.arg(1) +
                             QStringLiteral("C: 1 EXAMINE \"INBOX\"\n") + kSearchLine +
                             fetchAnswer(1, headers(1)) +
                             QStringLiteral("S: 1 OK\nS: 1 OK\nS: * SEARCH 2 5 9\nS: 1 OK\n") +
                             fetchExchange({2, 5, 9});
        QTest::newRow("during the folder list")
            << kLogin + kList + kLogout << QByteArray("1 LIST") << 0 << 0;
        QTest::newRow("during the first folder's search")
            << kLogin + kList + examineAndSearch("Sent", {1}) + fetchExchange({1}) + kLogout
            << QByteArray("1 SEARCH") << 1 << 1;
        QTest::newRow("with the next folder sent beside the fetch: both finish")
            << kLogin + kList + both + kLogout << QByteArray("1 EXAMINE \"INBOX\"") << 4 << 2;
        QTest::newRow("during logout")
            << kLogin + kList + both + kLogout << QByteArray("1 LOGOUT") << 4 << 2;
    }

    void stop()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, stopOn);
        QFETCH(int, hits);
        QFETCH(int, folders);
        Run run(script);
        run.stopWhenSent(stopOn);
        QVERIFY(run.start());
        QTRY_VERIFY(run.summary);
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(run.server.finished());
        QCOMPARE(run.summary->outcome, SearchEngine::Outcome::Stopped);
        QCOMPARE(run.summary->hits, hits);
        QCOMPARE(run.hits.size(), hits);
        QCOMPARE(run.summary->folders, folders);
        // The next run starts afresh: the stop request does not linger.
        run.summary.reset();
        run.server.setScript(kLogin + kList + examineAndSearch("Sent", {}) +
                             examineAndSearch("INBOX", {}) + kLogout);
        QVERIFY(run.start());
        QTRY_VERIFY(run.summary);
        QCOMPARE(run.summary->outcome, SearchEngine::Outcome::Complete);
    }

    // More than 500 hits in a folder: one FETCH per 500, all sent at once, and the hits
    // reported batch by batch in the order of the SEARCH answer.
    void batches()
    {
        QList<int> all;
        for (int i = 1; i <= 1203; ++i)
            all.append(i);
        QString script =
            kLogin + QStringLiteral("C: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" INBOX\nS: 1 OK\n") +
            examineAndSearch("INBOX", all);
        QString answers;
        for (int first = 1; first <= 1203; first += 500) {
            const QList<int> batch = all.mid(first - 1, 500);
            script += kFetch.arg(numbers(batch, QLatin1Char(',')));
            // Answers out of order, as a server may send them.
            for (qsizetype i = batch.size() - 1; i >= 0; --i)
                answers += fetchAnswer(batch[i], headers(batch[i]));
            answers += QStringLiteral("S: 1 OK\n");
        }
        Run run(script + answers + kLogout);
        QVERIFY(run.start());
        QTRY_VERIFY(run.summary);
        QCOMPARE(run.server.failure(), QString());
        QCOMPARE(run.summary->hits, 1203);
        QCOMPARE(run.batchSizes, (QList<int>{500, 500, 203}));
        for (int i = 0; i < 1203; ++i) {
            QCOMPARE(int(run.hits.at(i).number), i + 1);
            QCOMPARE(run.hits.at(i).subject, QStringLiteral("report %1").arg(i + 1));
        }
    }

    // However a server enforces its limit on connections, an extra connection that never got
    // to work is no error and loses no folder: the first connection searches everything.
    void refusedExtraConnection_data()
    {
        QTest::addColumn<QStringList>("extras");
        QTest::newRow("turned away") << QStringList();
        QTest::newRow("BYE greeting")
            << QStringList{QStringLiteral("S: * BYE [UNAVAILABLE] too many connections\nCLOSE\n")};
        QTest::newRow("LOGIN refused")
            << QStringList{kGreeting +
                           QStringLiteral("C: 1 LOGIN demo demo\nS: 1 NO [LIMIT] "
                                          "too many\n") +
                           kLogout};
        QTest::newRow("closed right after login")
            << QStringList{kGreeting + QStringLiteral("C: 1 LOGIN demo demo\nS: 1 OK\nCLOSE\n")};
    }

    void refusedExtraConnection()
    {
        QFETCH(QStringList, extras);
        Run run(kLogin + kList + examineAndSearch("Sent", {1}) + fetchExchange({1}) +
                    examineAndSearch("INBOX", {2}) + fetchExchange({2}) + kLogout,
                extras);
        QVERIFY(run.start(2));
        QTRY_VERIFY(run.summary);
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(run.server.finished());
        QCOMPARE(run.summary->outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(run.summary->folders, 2);
        QCOMPARE(run.hits.size(), 2);
        QCOMPARE(run.hits.at(0).folder, QStringLiteral("Sent"));
        QCOMPARE(run.hits.at(1).folder, QStringLiteral("INBOX"));
        QCOMPARE(run.engine.roundTrips().size(), 2);
    }
};

QTEST_MAIN(TestSearchEngine)
#include "tst_searchengine.moc"
