// The search engine (and the Browse's folder list job) against the scripted server: the
// pipelined conversation, what the summary counts, Stop at each point of a run, the limit on
// hits, extra connections turned away or lost, and the table of faults at each step of a run.

#include "folders/folderlistjob.h"
#include "platform/servertrust.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/fakeimapserver.h"
#include "support/searchrun.h"
#include "support/testhelpers.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using search::SearchEngine;

namespace {

// Message n of a search for subject "report" carries the headers "Date: Tue, 3 Jan 2006
// 10:15:0<n % 10> +0000", "From: Sender n <sn@example.org>", "Subject: report n".
QByteArray headers(int n)
{
    const QByteArray k = QByteArray::number(n);
    return "Date: Tue, 3 Jan 2006 10:15:0" + QByteArray::number(n % 10) +
           " +0000\r\nFrom: Sender " + k + " <s" + k + "@example.org>\r\nSubject: report " + k +
           "\r\n\r\n";
}

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int n = first; n <= last; ++n)
        out.append(n);
    return out;
}

QString fetchCommand(const QList<int> &hits)
{
    QStringList numbers;
    for (int n : hits)
        numbers.append(QString::number(n));
    return "C: 1 FETCH " + numbers.join(QLatin1Char(',')) +
           " BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n";
}

// The FETCH answers and their OK, with `notices` after the middle one.
QString fetchAnswers(const QList<int> &hits, const QString &notices = {})
{
    QString out;
    for (int n : hits)
        out +=
            testsupport::fetchAnswer(n, headers(n)) + (n == hits[hits.size() / 2] ? notices : "");
    return out + "S: 1 OK fetched\n";
}

const QString kLogin = "S: * OK [CAPABILITY IMAP4rev1] ready\nC: 1 LOGIN demo demo\nS: 1 OK "
                       "[CAPABILITY IMAP4rev1] in\n";
const QString kList = "C: 1 LIST \"\" \"*\"\nS: * LIST () \".\" Sent\nS: * LIST () \".\" INBOX\n"
                      "S: 1 OK done\n";
const QString kLogout = "C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n";
const QString kSearch = "C: 1 SEARCH UNDELETED (SUBJECT \"report\")\n";
const QString kExamineInbox = "C: 1 EXAMINE \"INBOX\"\n" + kSearch;

QString searchAnswer(const QList<int> &hits, const QString &notices = {})
{
    QString out = "S: * SEARCH";
    for (int h : hits)
        out += ' ' + QString::number(h);
    return out + '\n' + notices + "S: 1 OK done\n";
}

// EXAMINE and SEARCH of a folder with the given hits, then their FETCH.
QString folder(const QString &name, const QList<int> &hits)
{
    return "C: 1 EXAMINE \"" + name + "\"\nS: 1 OK [READ-ONLY] done\n" + kSearch +
           searchAnswer(hits) + (hits.isEmpty() ? "" : fetchCommand(hits) + fetchAnswers(hits));
}

// Sent (hit 1) and INBOX (hits 2, 5, 9): Sent's FETCH goes out with INBOX's EXAMINE and SEARCH,
// and the server answers the FETCH only once it has them all, so a client that waited stalls.
const QString kBoth = "C: 1 EXAMINE \"Sent\"\nS: 1 OK\n" + kSearch + searchAnswer({1}) +
                      fetchCommand({1}) + kExamineInbox + fetchAnswers({1}) + "S: 1 OK\n" +
                      searchAnswer({2, 5, 9}) + fetchCommand({2, 5, 9}) + fetchAnswers({2, 5, 9});

struct Run
{
    FakeImapServer server;
    platform::ServerTrust trust; // in memory
    SearchEngine engine;
    QList<search::Hit> hits;
    QList<int> batches;
    SearchEngine::Summary summary;

    explicit Run(const QString &script, const QStringList &extras = {})
    {
        server.listen();
        server.setScript(script);
        server.setExtraScripts(extras);
        engine.setTimeouts(testsupport::shortTimeouts());
        engine.setServerTrust(&trust);
        QObject::connect(&engine, &SearchEngine::hitsFound, &engine,
                         [this](const QList<search::Hit> &batch) {
                             hits += batch;
                             batches.append(int(batch.size()));
                         });
    }
    // Runs a search to its end; false when it did not end.
    bool run(int connections = 1, qsizetype maxHits = 1'000'000)
    {
        QSignalSpy finished(&engine, &SearchEngine::finished);
        hits.clear();
        batches.clear();
        if (!engine.start({imap::Account::fromFields(server.address(), "demo", "demo"),
                           search::FolderScope::fromChoice(QString(), false),
                           search::buildSearchKey(testsupport::criteria({"subject=report"})),
                           connections, maxHits}) ||
            !finished.wait(20000))
            return false;
        summary = finished[0][0].value<SearchEngine::Summary>();
        return true;
    }
};

// Runs a Browse to its end (finished once the list is in): the reason and the folders.
QString browse(folders::FolderListJob &job, const QString &address, int &folderCount)
{
    QSignalSpy finished(&job, &folders::FolderListJob::finished);
    const auto c = QObject::connect(&job, &folders::FolderListJob::listed,
                                    [&](const imap::FolderTable &folders) {
                                        folderCount = int(folders.size());
                                        job.finish();
                                    });
    const bool ended =
        job.start(imap::Account::fromFields(address, "demo", "demo")) && finished.wait(20000);
    QObject::disconnect(c);
    return ended ? finished[0][0].toString() : "(no end)";
}

enum class Fault { Close, Stall, Garbage, Bye, Refuse };
const char *const kFaultNames[] = {"closes", "stalls", "garbage", "BYE", "refuses"};

// The run every fault interrupts: Sent with hits 3 and 7, INBOX with 600 hits fetched in two
// batches, `n` (notices) at every step. A step is its commands and their answers.
struct Step
{
    const char *name;
    QString exchange;
    bool browse;      // also a step of the Browse conversation
    int afterRefusal; // the step the conversation goes on with when this one is refused
};

QList<Step> steps(const QString &n = {})
{
    const QString examine =
        "C: 1 EXAMINE \"%1\"\n" + kSearch + n + "S: * 600 EXISTS\nS: 1 OK [READ-ONLY] done\n";
    return {
        {"greeting", "S: * OK [CAPABILITY IMAP4rev1] ready\n", true, -1},
        {"LOGIN", "C: 1 LOGIN demo demo\n" + n + "S: 1 OK [CAPABILITY IMAP4rev1] in\n", true, 8},
        {"LIST", kList.chopped(13) + n + "S: 1 OK done\n", true, 8},
        {"EXAMINE+SEARCH Sent", examine.arg("Sent") + searchAnswer({3, 7}, n), false, 5},
        {"FETCH Sent", fetchCommand({3, 7}) + fetchAnswers({3, 7}, n), false, 5},
        {"EXAMINE+SEARCH INBOX", examine.arg("INBOX") + searchAnswer(range(1, 600), n), false, 8},
        {"FETCH INBOX 1-500", fetchCommand(range(1, 500)) + fetchAnswers(range(1, 500), n), false,
         7},
        {"FETCH INBOX 501-600", fetchCommand(range(501, 600)) + fetchAnswers(range(501, 600), n),
         false, 8},
        {"LOGOUT", "C: 1 LOGOUT\n" + n + "S: * BYE bye\nS: 1 OK\n", true, 9}};
}

// The script with the fault in place of the answers of step `at`.
QString faultScript(bool inBrowse, int at, Fault fault)
{
    const QList<Step> all = steps();
    QString script;
    auto play = [&](qsizetype from, qsizetype to) {
        for (qsizetype i = from; i < to; ++i)
            script += !inBrowse || all[i].browse ? all[i].exchange : QString();
    };
    play(0, at);
    const QStringList lines = all[at].exchange.split('\n');
    int commands = 0;
    while (lines.value(commands).startsWith("C: "))
        script += lines[commands++] + '\n';
    // Garbage: lines that can only be ignored (none a response, continuation or literal), then
    // junk without a line end.
    QRandomGenerator random(20240607);
    QByteArray garbage = "#";
    for (int i = 0; i < 8000; ++i) {
        const char c = char(random.bounded(256));
        garbage += QByteArray(i % 97 == 0 && i < 4000 ? "\r\n#" : "") +
                   (c == '\r' || c == '\n' || c == '{' ? '?' : c);
    }
    if (fault == Fault::Refuse) {
        script += QString("S: 1 ZORK nonsense\n").repeated(commands);
        play(all[at].afterRefusal, all.size());
    }
    const QString ends[] = {"CLOSE\n", "STALL\n",
                            "S+ " + testsupport::scriptEscape(garbage) + "\nSTALL\n",
                            "S: * BYE Server shutting down\nCLOSE\n", ""};
    return script + ends[int(fault)];
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestSearchEngine : public QObject
{
    Q_OBJECT

private slots:
    // The conversation of one connection and what its summary counts; the hits reported a FETCH
    // batch at a time (at most 500 each), within a folder in the order of the SEARCH answers.
    // The extended conversation of a server with SEARCHRES: a window of folders in flight on
    // each connection, each folder's EXAMINE, SEARCH RETURN (SAVE ALL) and FETCH $ together,
    // the FETCH answer handed on in batches as it arrives. Stop finishes every folder already
    // sent (all its hits fetched), then logs out; the next run starts afresh. Events: "R" a
    // tagged answer, "H" a batch of hits.
    void conversation_data()
    {
        QTest::addColumn<QString>("script");
        // "scanning": Stop once the first folder is under way; a command: Stop as it is written
        QTest::addColumn<QByteArray>("stopOn");
        QTest::addColumn<QList<int>>("batches");
        QTest::addColumn<int>("folders");
        QTest::addColumn<int>("refused");
        QTest::addColumn<int>("unread");
        QTest::addColumn<int>("beyond"); // SEARCH numbers above the message count
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("roundTrips");
        QTest::addColumn<QString>("events"); // empty: not compared

        const auto row = [](const char *name, const QString &script, const QList<int> &batches,
                            int folders, int roundTrips, const char *stopOn = "", int refused = 0,
                            const char *reason = "", const char *events = "") {
            QTest::newRow(name) << script << QByteArray(stopOn) << batches << folders << refused
                                << 0 << 0 << reason << roundTrips << events;
        };
        // The classic conversation of Sent and INBOX, from the greeting to the goodbye.
        const auto classic = [](const char *name, const QString &folders, const QList<int> &batches,
                                int roundTrips, int refused = 0, int unread = 0, int beyond = 0) {
            QTest::newRow(name) << kLogin + kList + folders + kLogout << QByteArray() << batches
                                << 2 << refused << unread << beyond << QString() << roundTrips
                                << QString();
        };
        // Greeting, LOGIN, LIST, Sent, Sent's FETCH with INBOX, INBOX's FETCH, LOGOUT.
        classic("pipelined, no EXISTS: no number dropped", kBoth, {1, 3}, 7);
        classic("no hits", folder("Sent", {}) + folder("INBOX", {}), {}, 6);
        classic("refused EXAMINE: what its SEARCH listed is dropped",
                "C: 1 EXAMINE \"Sent\"\n" + kSearch + "S: 1 NO no such mailbox\n" +
                    searchAnswer({1, 2}) + folder("INBOX", {4}),
                {1}, 7, 1);
        classic("refused SEARCH",
                "C: 1 EXAMINE \"Sent\"\nS: 1 OK\n" + kSearch + "S: * SEARCH 3\nS: 1 BAD bad\n" +
                    folder("INBOX", {}),
                {}, 6, 1);
        classic("FETCH that leaves a hit without headers",
                "C: 1 EXAMINE \"Sent\"\nS: 1 OK\n" + kSearch + searchAnswer({1, 2}) +
                    fetchCommand({1, 2}) + kExamineInbox + testsupport::fetchAnswer(2, headers(2)) +
                    "S: * 1 FETCH (FLAGS (\\\\Seen))\nS: 1 OK\nS: 1 OK\n" + searchAnswer({}),
                {2}, 6, 0, 1);
        QString reversed; // the answers to two FETCHes sent at once, each in reverse order
        for (int first : {1, 501}) {
            for (int h = first + 499; h >= first; --h)
                reversed += testsupport::fetchAnswer(h, headers(h));
            reversed += "S: 1 OK\n";
        }
        classic("1000 hits",
                folder("Sent", {}) + "C: 1 EXAMINE \"INBOX\"\nS: 1 OK\n" + kSearch +
                    searchAnswer(range(1, 1000)) + fetchCommand(range(1, 500)) +
                    fetchCommand(range(501, 1000)) + reversed,
                {500, 500}, 7);
        // Zero and numbers above the message count are no messages: not fetched, counted as
        // unread. Repeats are passed over.
        classic("above EXAMINE's EXISTS, zero, repeat",
                "C: 1 EXAMINE \"Sent\"\nS: * 3 EXISTS\nS: 1 OK\n" + kSearch +
                    searchAnswer({0, 1, 4, 1, 0, 3}) + fetchCommand({1, 3}) + kExamineInbox +
                    fetchAnswers({1, 3}) + "S: 1 OK\n" + searchAnswer({}),
                {2}, 6, 0, 2, 2);
        classic("EXISTS with the SEARCH answer raises the count, never lowers it",
                "C: 1 EXAMINE \"Sent\"\nS: * 2 EXISTS\nS: 1 OK\n" + kSearch + "S: * 4 EXISTS\n" +
                    searchAnswer({1, 4, 5}, "S: * 3 EXISTS\n") + fetchCommand({1, 4}) +
                    kExamineInbox + fetchAnswers({1, 4}) + "S: 1 OK\n" + searchAnswer({}),
                {2}, 6, 0, 1, 1);

        const QString login = "S: * OK [CAPABILITY IMAP4rev1] ready\nC: 1 LOGIN demo demo\n";
        const QString saved = login + "S: 1 OK [CAPABILITY IMAP4rev1 ESEARCH SEARCHRES] in\n";
        const auto sent = [](const QString &name) {
            return "C: 1 EXAMINE \"" + name +
                   "\"\nC: 1 SEARCH RETURN (SAVE ALL) UNDELETED (SUBJECT \"report\")\n"
                   "C: 1 FETCH $ BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n";
        };
        const auto answered = [](const QString &all, const QList<int> &hits) {
            return "S: * 1000 EXISTS\nS: 1 OK [READ-ONLY] done\nS: * ESEARCH (TAG \"1\")" +
                   (all.isEmpty() ? "" : " ALL " + all) + "\nS: 1 OK\n" + fetchAnswers(hits);
        };
        const QString both = kList + sent("Sent") + sent("INBOX") + answered("1", {1});
        const QString inbox = answered("2,5,9", {2, 5, 9});
        row("a window: both folders before any answer", saved + both + inbox + kLogout, {1, 3}, 2,
            5);
        row("the login names no capabilities: asked once",
            login + "S: 1 OK in\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 SEARCHRES\nS: 1 OK\n" +
                both + inbox + kLogout,
            {1, 3}, 2, 6);
        row("refused EXAMINE: its SEARCH and FETCH answers dropped",
            saved + kList + sent("Sent") + sent("INBOX") +
                "S: 1 NO no such folder\nS: * ESEARCH (TAG \"1\") ALL 1\nS: 1 OK\n" +
                fetchAnswers({1}) + inbox + kLogout,
            {3}, 2, 5, "", 1);
        row("NO [NOTSAVED]: the hits go by their numbers",
            saved + kList + sent("Sent") + sent("INBOX") +
                "S: * 3 EXISTS\nS: 1 OK\nS: * ESEARCH (TAG \"1\") ALL 1,3\nS: 1 OK\n"
                "S: 1 NO [NOTSAVED] nothing kept\nC: 1 EXAMINE \"Sent\"\n" +
                fetchCommand({1, 3}) + inbox + "S: 1 OK\n" + fetchAnswers({1, 3}) + kLogout,
            {3, 2}, 2, 6);
        row("1000 hits: handed on while the answer arrives",
            saved + kList + sent("Sent") + sent("INBOX") + answered("", {}) +
                answered("1:1000", range(1, 1000)) + kLogout,
            {500, 500}, 2, 5, "", 0, "", "RRRRRRRHHRR");
        row("connection lost in the window",
            saved + both + "S: 1 OK\nS: * ESEARCH (TAG \"1\") ALL 2\nCLOSE\n", {1}, 2, 4, "", 0,
            "server closed the connection");

        // Seventeen folders: a window of sixteen, the last sent as the first is done.
        QString list = "C: 1 LIST \"\" \"*\"\n";
        QString window, rest;
        for (int i = 1; i <= 17; ++i) {
            const QString name = QStringLiteral("F%1").arg(i, 2, 10, QLatin1Char('0'));
            list += "S: * LIST () \".\" " + name + "\n";
            (i <= 16 ? window : rest) += sent(name);
        }
        list += "S: 1 OK\n";
        QString answers;
        for (int i = 2; i <= 16; ++i)
            answers += answered("", {});
        row("17 folders: two round trips",
            saved + list + window + answered("", {}) + rest + answers + answered("", {}) + kLogout,
            {}, 17, 6);
        row("Stop: the window finishes, nothing more is sent",
            saved + list + window + answered("", {}) + answers + kLogout, {}, 16, 5, "scanning");

        const QString listed = kLogin + kList;
        row("Stop during the folder list", listed + kLogout, {}, 0, 4, "1 LIST");
        row("Stop during the first folder's search", listed + folder("Sent", {1}) + kLogout, {1}, 1,
            6, "1 SEARCH");
        row("Stop with the next folder sent beside the fetch: both finish",
            listed + kBoth + kLogout, {1, 3}, 2, 7, "1 EXAMINE \"INBOX\"");
        row("Stop during logout", listed + kBoth + kLogout, {1, 3}, 2, 7, "1 LOGOUT");
    }

    void conversation()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, stopOn);
        QFETCH(int, unread);
        QFETCH(int, beyond);
        QFETCH(QString, reason);
        QFETCH(int, roundTrips);
        QFETCH(QString, events);
        Run run(script);
        QString seen;
        connect(&run.engine, &SearchEngine::responseReceived, this, [&] { seen += 'R'; });
        connect(&run.engine, &SearchEngine::hitsFound, this, [&] { seen += 'H'; });
        QMetaObject::Connection stopping;
        if (stopOn == "scanning")
            stopping = connect(&run.engine, &SearchEngine::scanning, &run.engine,
                               &SearchEngine::stop, Qt::QueuedConnection);
        else if (!stopOn.isEmpty())
            connect(&run.engine, &SearchEngine::wrote, this,
                    [&, done = false](int, const QByteArray &bytes) mutable {
                        if (!done && bytes.startsWith(stopOn)) {
                            done = true;
                            run.engine.stop();
                        }
                    });
        QVERIFY(run.run());
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(run.server.finished());
        QCOMPARE(run.summary.reason, reason);
        QCOMPARE(run.summary.outcome, !reason.isEmpty()   ? SearchEngine::Outcome::Failed
                                      : !stopOn.isEmpty() ? SearchEngine::Outcome::Stopped
                                                          : SearchEngine::Outcome::Complete);
        QTEST(run.batches, "batches");
        QTEST(int(run.summary.folders), "folders");
        QTEST(int(run.summary.refusedFolders), "refused");
        QCOMPARE(run.summary.unreadMessages, unread);
        QCOMPARE(run.engine.roundTrips(), QList<int>{roundTrips});
        if (!events.isEmpty())
            QCOMPARE(seen, events);
        qsizetype unreadRows = 0;
        for (qsizetype i = 0; i < run.hits.size(); ++i) {
            const search::Hit &h = run.hits[i];
            if (i > 0 && run.hits[i - 1].folderOrder == h.folderOrder)
                QVERIFY(run.hits[i - 1].number < h.number);
            QCOMPARE(h.folder, QLatin1String(h.folderOrder == 0 ? "Sent" : "INBOX"));
            QCOMPARE(h.mailbox, h.folder.toUtf8());
            if (h.subject.isEmpty() && h.from.isEmpty() && !h.date.isValid()) {
                ++unreadRows;
                continue;
            }
            const int n = int(h.number);
            QCOMPARE(h.subject, QStringLiteral("report %1").arg(n));
            QCOMPARE(h.from, QStringLiteral("Sender %1 <s%1@example.org>").arg(n));
            QCOMPARE(h.date.toUTC(), QDateTime(QDate(2006, 1, 3), QTime(10, 15, n % 10), Qt::UTC));
        }
        QCOMPARE(unreadRows, unread - beyond);
        if (reason.isEmpty())
            QCOMPARE(run.summary.hits, run.hits.size() + beyond);
        if (stopOn.isEmpty())
            return;
        disconnect(stopping);
        run.server.setScript(kLogin + kList + folder("Sent", {}) + folder("INBOX", {}) + kLogout);
        QVERIFY(run.run());
        QCOMPARE(run.summary.outcome, SearchEngine::Outcome::Complete);
    }

    // What a run keeps. The first `maxHits` hits in folder-list order, whichever connection
    // answers first; what it drops is never fetched (the scripts hold every FETCH there is). The
    // first sentence's count is every hit found; once the hits before the next folder exceed
    // the limit, no folder is taken any more. A second connection that never got to work
    // (however a server enforces its limit on connections) is no error and loses no folder: the
    // first searches everything. One lost once answered on its folder ends the run with its
    // reason; the other finishes its folder (the hits are kept) and logs out. A certificate
    // pinned (self-signed, after STARTTLS) is accepted on both.
    void keptHits_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("extra"); // the second connection's; "-": turned away; "": none
        QTest::addColumn<int>("maxHits");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("hits");
        QTest::addColumn<int>("folders");
        QTest::addColumn<QString>("outcome"); // "", "stopped" or the reason of a failure
        QTest::addColumn<int>("cappedAt");

        const QString sent = "C: 1 EXAMINE \"Sent\"\n" + kSearch;
        QTest::newRow("passed in the first folder: the next is not taken")
            << kLogin + kList + sent + "S: 1 OK\n" + searchAnswer({1, 2, 3}) +
                   fetchCommand({1, 2}) + fetchAnswers({1, 2}) + kLogout
            << QString() << 2 << QStringList{"Sent 1", "Sent 2"} << 3 << 1 << "stopped" << 2;
        QTest::newRow("reached, not passed: every folder searched")
            << kLogin + kList + folder("Sent", {1, 2}) + folder("INBOX", {}) + kLogout << QString()
            << 2 << QStringList{"Sent 1", "Sent 2"} << 2 << 2 << "" << 0;
        QTest::newRow("passed in the last folder")
            << kLogin + kList + sent + "S: 1 OK\n" + searchAnswer({1}) + fetchCommand({1}) +
                   kExamineInbox + fetchAnswers({1}) + "S: 1 OK\n" + searchAnswer({2, 5, 9}) +
                   fetchCommand({2}) + fetchAnswers({2}) + kLogout
            << QString() << 2 << QStringList{"Sent 1", "INBOX 2"} << 4 << 2 << "" << 2;
        // INBOX, on the second connection, answers before Sent: it fetches what Sent's answer
        // might leave room for, and Sent's answer decides.
        const QString second = kLogin + kExamineInbox + "S: 1 OK\n" + searchAnswer({3, 4, 5}) +
                               fetchCommand({3, 4, 5}) + fetchAnswers({3, 4, 5}) + kLogout;
        const QString closed = "server closed the connection";
        QTest::newRow("two connections, the later folder answered first")
            << kLogin + kList + sent + "WAIT\nS: 1 OK\n" + searchAnswer({1, 2}) +
                   fetchCommand({1, 2}) + fetchAnswers({1, 2}) + kLogout
            << second << 3 << QStringList{"Sent 1", "Sent 2", "INBOX 3"} << 5 << 2 << "" << 3;
        QTest::newRow("two connections, the earlier folder lost: the later one's hits kept")
            << kLogin + kList + sent + "WAIT\nCLOSE\n"
            << second << 1000 << QStringList{"INBOX 3", "INBOX 4", "INBOX 5"} << 3 << 2 << closed
            << 0;

        // Sent (hit 1) and INBOX (hit 2), no limit: the second connection may be cut short.
        const auto row = [](const char *name, const QString &script, const QString &extra,
                            const QString &reason = {}) {
            const QStringList rows =
                reason.isEmpty() ? QStringList{"Sent 1", "INBOX 2"} : QStringList{"Sent 1"};
            QTest::newRow(name) << script << extra << 1'000'000 << rows << int(rows.size()) << 2
                                << reason << 0;
        };
        const QString all = kLogin + kList + folder("Sent", {1}) + folder("INBOX", {2}) + kLogout;
        const QString login = "S: * OK hi\nC: 1 LOGIN demo demo\n";
        row("second connection turned away", all, "-");
        row("second connection: BYE greeting", all, "S: * BYE [UNAVAILABLE] too many\nCLOSE\n");
        row("second connection: LOGIN refused", all,
            login + "S: 1 NO [LIMIT] too many\n" + kLogout);
        row("second connection closed right after login", all, login + "S: 1 OK\nCLOSE\n");
        row("second connection lost after its EXAMINE was answered",
            kLogin + kList + sent + "WAIT\nS: 1 OK\n" + searchAnswer({1}) + fetchCommand({1}) +
                fetchAnswers({1}) + kLogout,
            kLogin + kExamineInbox + "S: 1 OK [READ-ONLY] done\nCLOSE\n", closed);
        const QString upgrade =
            "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi\nC: 1 STARTTLS\n"
            "S: 1 OK go\nTLS\nC: 1 CAPABILITY\nS: * CAPABILITY IMAP4rev1\n"
            "S: 1 OK\nC: 1 LOGIN demo demo\nS: 1 OK [CAPABILITY IMAP4rev1] in\n";
        row("pinned certificate, on both",
            upgrade + kList + sent + "WAIT\nS: 1 OK\n" + searchAnswer({1}) + fetchCommand({1}) +
                fetchAnswers({1}) + kLogout,
            upgrade + folder("INBOX", {2}) + kLogout);
    }

    void keptHits()
    {
        QFETCH(QString, script);
        QFETCH(QString, extra);
        QFETCH(int, maxHits);
        QFETCH(QStringList, rows);
        QFETCH(int, hits);
        QFETCH(int, folders);
        QFETCH(QString, outcome);
        QFETCH(int, cappedAt);
        Run run(script, extra.isEmpty() || extra == "-" ? QStringList() : QStringList{extra});
        QTemporaryDir certificates;
        if (script.contains("TLS\n")) {
            QVERIFY(testsupport::makeCertificates(certificates.path()));
            const QString pem = certificates.filePath("selfsigned.pem");
            QVERIFY(run.server.setCertificate(pem, certificates.filePath("selfsigned.key")));
            run.trust.pinCertificate(
                imap::parseServerAddress(run.server.address()).hostAndPort(),
                QSslCertificate::fromPath(pem).value(0).digest(QCryptographicHash::Sha256));
        }
        QVERIFY(run.run(extra.isEmpty() ? 1 : 2, maxHits));
        QCOMPARE(run.server.failure(), QString());
        // Under a limit both connections fetch exactly what their scripts hold.
        QVERIFY(run.server.finished() && (maxHits == 1'000'000 || run.server.extrasFinished()));
        QCOMPARE(run.summary.outcome, outcome == "stopped" ? SearchEngine::Outcome::Stopped
                                      : outcome.isEmpty()  ? SearchEngine::Outcome::Complete
                                                           : SearchEngine::Outcome::Failed);
        QCOMPARE(run.summary.reason, outcome == "stopped" ? QString() : outcome);
        // Placed as the grid places them: by folder, in the order they came within one.
        std::stable_sort(run.hits.begin(), run.hits.end(), [](const auto &a, const auto &b) {
            return a.folderOrder < b.folderOrder;
        });
        QStringList seen;
        for (const search::Hit &h : std::as_const(run.hits)) {
            seen.append(h.folder + ' ' + QString::number(h.number));
            QCOMPARE(h.subject, QStringLiteral("report %1").arg(h.number));
        }
        QCOMPARE(seen, rows);
        QCOMPARE(run.summary.hits, hits);
        QCOMPARE(run.summary.folders, folders);
        QCOMPARE(run.summary.cappedAt, cappedAt);
        QCOMPARE(run.summary.unreadMessages, 0);
        QCOMPARE(run.engine.roundTrips().size(), extra.isEmpty() ? 1 : 2);
    }

    // The server closes, stalls, sends garbage, says BYE or refuses (with a status word no
    // server uses; the run goes on) at a step of a search or a Browse. Only steps with a
    // time-out of their own stall. Each ends with the right final line, keeps the hits already
    // reported, and the same engine or job then runs normally.
    void faults_data()
    {
        QTest::addColumn<bool>("inBrowse");
        QTest::addColumn<int>("step");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("reason"); // empty: the run completes
        QTest::addColumn<int>("hits");
        QTest::addColumn<int>("refused");
        QTest::addColumn<int>("unread");

        const QString closed = "server closed the connection";
        const QString silent = "server did not answer";
        const QString bye = ": Server shutting down";
        const QString noList = "server refused the folder list: nonsense";
        const QList<Step> all = steps();
        auto row = [&](bool inBrowse, int at, Fault f, const QString &reason, int hits = 0,
                       int refused = 0, int unread = 0) {
            QTest::addRow("%s, %s: %s", inBrowse ? "browse" : "search", all[at].name,
                          kFaultNames[int(f)])
                << inBrowse << at << f << reason << hits << refused << unread;
        };
        row(false, 0, Fault::Close, closed);
        row(false, 0, Fault::Stall, silent);
        row(false, 0, Fault::Bye, "server refused the connection" + bye);
        row(false, 1, Fault::Close, closed);
        row(false, 1, Fault::Garbage, silent);
        row(false, 1, Fault::Refuse, "login failed: nonsense");
        row(false, 2, Fault::Refuse, noList);
        row(false, 3, Fault::Stall, silent);
        row(false, 3, Fault::Refuse, {}, 600, 1);
        row(false, 4, Fault::Refuse, {}, 602, 0, 2);
        row(false, 5, Fault::Close, closed, 2);
        row(false, 5, Fault::Refuse, {}, 2, 1);
        row(false, 6, Fault::Refuse, {}, 602, 0, 500);
        row(false, 7, Fault::Bye, closed + bye, 502);
        // Once the last folder is done, a server that goes away only costs the goodbye.
        row(false, 8, Fault::Close, {}, 602);
        row(false, 8, Fault::Stall, {}, 602);
        row(false, 8, Fault::Refuse, {}, 602);
        row(true, 2, Fault::Close, closed);
        row(true, 2, Fault::Refuse, noList);
        row(true, 8, Fault::Close, {});
    }

    void faults()
    {
        QFETCH(bool, inBrowse);
        QFETCH(int, step);
        QFETCH(Fault, fault);
        QFETCH(QString, reason);
        QFETCH(int, hits);
        QFETCH(int, refused);
        QFETCH(int, unread);
        const QString script = faultScript(inBrowse, step, fault);
        if (inBrowse) {
            FakeImapServer server;
            FakeImapServer good;
            QVERIFY(server.listen() && good.listen());
            server.setScript(script);
            folders::FolderListJob job;
            job.setTimeouts(testsupport::shortTimeouts());
            int listed = -1;
            QCOMPARE(browse(job, server.address(), listed), reason);
            QCOMPARE(listed, reason.isEmpty() ? 2 : -1);
            QVERIFY(!job.isRunning());
            QTRY_VERIFY(!server.clientConnected());
            good.setScript(kLogin + kList + kLogout);
            QCOMPARE(browse(job, good.address(), listed), QString());
            QCOMPARE(listed, 2);
            QCOMPARE(good.failure(), QString());
            return;
        }
        Run run(script);
        QVERIFY(run.run());
        QCOMPARE(run.summary.reason, reason);
        QCOMPARE(run.summary.outcome, reason.isEmpty() ? SearchEngine::Outcome::Complete
                                                       : SearchEngine::Outcome::Failed);
        QCOMPARE(run.summary.hits, hits);
        QCOMPARE(run.summary.refusedFolders, refused);
        QCOMPARE(run.summary.unreadMessages, unread);
        // The hits reported, in order, each with its own headers or none.
        QCOMPARE(run.hits.size(), hits);
        const qsizetype skip = step == 3 && fault == Fault::Refuse ? 2 : 0; // no hit in Sent
        qsizetype unreadRows = 0;
        for (qsizetype i = 0; i < run.hits.size(); ++i) {
            const search::Hit &hit = run.hits[i];
            const qsizetype k = i + skip;
            QCOMPARE(hit.folder, QLatin1String(k < 2 ? "Sent" : "INBOX"));
            QCOMPARE(hit.number, quint32(k < 2 ? 3 + 4 * k : k - 1));
            if (hit.subject.isEmpty() && hit.from.isEmpty() && !hit.date.isValid())
                ++unreadRows;
            else
                QCOMPARE(hit.subject, QStringLiteral("report %1").arg(hit.number));
        }
        QCOMPARE(unreadRows, unread);
        QVERIFY(!run.engine.isRunning());
        QTRY_VERIFY(!run.server.clientConnected());
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(run.server.finished());

        // The next search, with notices at every step that change nothing in what it finds.
        QString next;
        for (const Step &s : steps("S: * 5 FETCH (FLAGS (\\\\Seen))\nS: * 12 EXISTS\nS: * 3 "
                                   "FETCH (UID 70 FLAGS ())\nS: * 2 RECENT\nS: * 1 EXPUNGE\n"
                                   "S: * 300 FETCH (FLAGS ())\n"))
            next += s.exchange;
        run.server.setScript(next);
        QVERIFY(run.run());
        QCOMPARE(run.server.failure(), QString());
        QCOMPARE(run.summary.outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(run.summary.unreadMessages, 0);
        QCOMPARE(run.hits.size(), 602);
        for (const search::Hit &hit : std::as_const(run.hits))
            QCOMPARE(hit.from, QStringLiteral("Sender %1 <s%1@example.org>").arg(hit.number));
    }
};

QTEST_MAIN(TestSearchEngine)
#include "tst_searchengine.moc"
