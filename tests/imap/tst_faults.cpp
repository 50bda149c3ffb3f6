// Faults at every step of a search and of a Browse, driven through search::SearchEngine and
// folders::FolderListJob against a scripted server: it closes, stalls, sends garbage, answers
// with a status word no server uses or says BYE. Each case must end with a clear summary, keep
// the hits already reported, close the socket and leave the engine ready for a good search.
// Then unsolicited notices in a run, a refused FETCH, and answers far beyond what the reader
// accepts.
//
// With FQ_FAULT_REPORT set to a file name every case of the table appends one line to it:
// flow TAB step TAB fault TAB outcome TAB milliseconds from the start to the end
// (scripts/fault-report.sh prints them as a table). FQ_FAULT_HEAVY=1 adds the oversized cases
// that run with the reader's default limits and stream hundreds of megabytes.

#include "folders/folderlistjob.h"
#include "imap/connection.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/fakeimapserver.h"
#include "support/processstats.h"
#include "support/testhelpers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using search::SearchEngine;
using Outcome = search::SearchEngine::Outcome;
using testsupport::fetchAnswer;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

enum class Fault { Close, Stall, Garbage, Nonsense, Bye, Refused };
const char *const kFaultNames[] = {"closes",          "stalls",          "garbage",
                                   "tagged nonsense", "unsolicited BYE", "refuses"};

// Lines of random bytes that can only be ignored (none starts like a response or a
// continuation, none announces a literal), then binary junk without a line end.
QByteArray garbage()
{
    QRandomGenerator random(20240607);
    QByteArray out;
    for (int line = 0; line < 40; ++line) {
        QByteArray text(1 + int(random.bounded(80)), Qt::Uninitialized);
        for (char &c : text) {
            c = char(random.bounded(256));
            if (c == '\n' || c == '\r' || c == '{')
                c = '?';
        }
        if (text[0] == '1' || text[0] == '*' || text[0] == '+')
            text[0] = '#';
        out += text + "\r\n";
    }
    for (int i = 0; i < 4096; ++i) {
        const char c = char(random.bounded(256));
        out += c == '\n' ? '\0' : c;
    }
    return out;
}

QByteArray headers(int n)
{
    return "Date: Tue, 3 Jan 2006 10:15:0" + QByteArray::number(n % 10) +
           " +0000\r\nFrom: Sender " + QByteArray::number(n) + " <s" + QByteArray::number(n) +
           "@example.org>\r\nSubject: report " + QByteArray::number(n) + "\r\n\r\n";
}

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int n = first; n <= last; ++n)
        out.append(n);
    return out;
}

// One FETCH batch: the command and its answers, with `notices` among them.
QString fetchExchange(const QList<int> &hits, const QString &notices = {})
{
    QStringList numbers;
    QString answers;
    for (int n : hits) {
        numbers.append(QString::number(n));
        answers += fetchAnswer(n, headers(n)) + (n == hits[hits.size() / 2] ? notices : QString());
    }
    return QStringLiteral("C: 1 FETCH %1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n")
               .arg(numbers.join(QLatin1Char(','))) +
           answers + QStringLiteral("S: 1 OK FETCH done\n");
}

imap::Command searchKey()
{
    search::SearchCriteria criteria;
    criteria.subject = QStringLiteral("report");
    return search::buildSearchKey(criteria);
}
const QString kKeyLine = searchKey().text();

// The run every fault interrupts: Sent with hits 3 and 7, INBOX with 600 hits fetched in two
// batches (500 and 100). After a folder's SEARCH answer its FETCH batches go out together with
// the next folder's EXAMINE and SEARCH; a step is its commands and their answers.
struct Step
{
    const char *name;
    QString exchange; // C: lines first, then the answers
    bool browse;      // also a step of the Browse conversation
    int hitsBefore;   // hits reported before the step's answers
};

QList<Step> steps(const QString &notices = {})
{
    QStringList inbox;
    for (int hit : range(1, 600))
        inbox.append(QString::number(hit));
    const QString n = notices;
    return {
        {"greeting", QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] ready\n"), true, 0},
        {"LOGIN", QStringLiteral("C: 1 LOGIN demo demo\n") + n + QStringLiteral("S: 1 OK in\n"),
         true, 0},
        {"LIST",
         QStringLiteral("C: 1 LIST \"\" \"*\"\nS: * LIST () \".\" Sent\n") + n +
             QStringLiteral("S: * LIST () \".\" INBOX\nS: 1 OK LIST done\n"),
         true, 0},
        {"EXAMINE+SEARCH Sent",
         QStringLiteral("C: 1 EXAMINE \"Sent\"\nC: %1\nS: * 9 EXISTS\n%2S: 1 OK [READ-ONLY] "
                        "done\nS: * SEARCH 3 7\n%2S: 1 OK done\n")
             .arg(kKeyLine, n),
         false, 0},
        {"FETCH Sent", fetchExchange({3, 7}, n), false, 0},
        {"EXAMINE+SEARCH INBOX",
         QStringLiteral("C: 1 EXAMINE \"INBOX\"\nC: %1\n%2S: * 600 EXISTS\nS: 1 OK [READ-ONLY] "
                        "done\nS: * SEARCH %3\n%2S: 1 OK done\n")
             .arg(kKeyLine, n, inbox.join(QLatin1Char(' '))),
         false, 2},
        {"FETCH INBOX 1-500", fetchExchange(range(1, 500), n), false, 2},
        {"FETCH INBOX 501-600", fetchExchange(range(501, 600), n), false, 502},
        {"LOGOUT", QStringLiteral("C: 1 LOGOUT\n") + n + QStringLiteral("S: * BYE bye\nS: 1 OK\n"),
         true, 602},
    };
}

struct Expect
{
    Outcome outcome = Outcome::Complete;
    QString reason;
    qsizetype hits = 0;
    qsizetype refused = 0;
    qsizetype unread = 0;
};

// The script with the fault in place of the answers of step `at`.
QString faultScript(bool browse, int at, Fault fault)
{
    const QList<Step> all = steps();
    QString script;
    for (int i = 0; i < at; ++i)
        if (!browse || all[i].browse)
            script += all[i].exchange;
    QStringList lines = all[at].exchange.split(QLatin1Char('\n'));
    int commands = 0;
    while (lines.value(commands).startsWith(QLatin1String("C: ")))
        script += lines[commands++] + QLatin1Char('\n');
    switch (fault) {
    case Fault::Close:
        return script + QStringLiteral("CLOSE\n");
    case Fault::Stall:
        return script + QStringLiteral("STALL\n");
    case Fault::Garbage:
        return script + QStringLiteral("S+ ") + testsupport::scriptEscape(garbage()) +
               QStringLiteral("\nSTALL\n");
    case Fault::Nonsense:
        return script + QStringLiteral("S: 1 ZORK nonsense\n").repeated(qMax(1, commands)) +
               QStringLiteral("STALL\n");
    case Fault::Bye:
        return script + QStringLiteral("S: * BYE Server shutting down\nCLOSE\n");
    case Fault::Refused: // and the run goes on
        script += QStringLiteral("S: 1 NO [SERVERBUG] cannot fetch\n");
        for (qsizetype i = at + 1; i < all.size(); ++i)
            script += all[i].exchange;
        return script;
    }
    return script;
}

// A search that a good server answers: one folder, one hit.
QString goodScript(const QString &searchAnswer = QStringLiteral("* SEARCH 4"))
{
    const QList<Step> all = steps();
    return all[0].exchange + all[1].exchange +
           QStringLiteral("C: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" Drafts\nS: 1 OK LIST done\n"
                          "C: 1 EXAMINE \"Drafts\"\nC: %1\nS: 1 OK [READ-ONLY] done\nS: %2\n"
                          "S: 1 OK done\n")
               .arg(kKeyLine, searchAnswer) +
           fetchExchange({4}) + all[8].exchange;
}

search::SearchRequest request(const QString &address)
{
    return {imap::parseServerAddress(address),
            QStringLiteral("demo"),
            QStringLiteral("demo"),
            search::FolderScope::fromChoice(QString(), false),
            searchKey(),
            1};
}

// Runs a search on the engine to its end: the summary and every hit reported.
struct Run
{
    SearchEngine::Summary summary;
    QList<results::Hit> hits;
    bool ended = false;
};

Run runSearch(SearchEngine &engine, const QString &address)
{
    Run run;
    QSignalSpy finished(&engine, &SearchEngine::finished);
    const auto connection =
        QObject::connect(&engine, &SearchEngine::hitsFound,
                         [&](const QList<results::Hit> &hits) { run.hits += hits; });
    if (engine.start(request(address)) && finished.wait(30000)) {
        run.ended = true;
        run.summary = finished[0][0].value<SearchEngine::Summary>();
    }
    QObject::disconnect(connection);
    return run;
}

// Runs a Browse to its end (finishing as soon as the list is in): the reason and the folders.
QString runBrowse(folders::FolderListJob &job, const QString &address, int &folderCount)
{
    QSignalSpy finished(&job, &folders::FolderListJob::finished);
    const auto connection = QObject::connect(&job, &folders::FolderListJob::listed,
                                             [&](const imap::FolderTable &folders) {
                                                 folderCount = int(folders.size());
                                                 job.finish();
                                             });
    const bool ended = job.start(imap::parseServerAddress(address), QStringLiteral("demo"),
                                 QStringLiteral("demo")) &&
                       finished.wait(30000);
    QObject::disconnect(connection);
    return ended ? finished[0][0].toString() : QStringLiteral("(no end)");
}

void report(const QString &flow, const QString &step, const QString &fault, const QString &outcome,
            qint64 ms)
{
    QFile f(qEnvironmentVariable("FQ_FAULT_REPORT"));
    if (!f.fileName().isEmpty() && f.open(QIODevice::Append | QIODevice::Text))
        f.write(QStringList{flow, step, fault, outcome, QString::number(ms)}
                    .join(QLatin1Char('\t'))
                    .toUtf8() +
                '\n');
}

// A server that greets and answers the first command with a stream made on the fly, so that the
// test never holds it: head, unit repeated up to `total` bytes, tail. At most two pieces of
// about a megabyte wait in the socket, so it stays small however long the stream is.
struct Flood
{
    QByteArray head;
    QByteArray unit;
    qint64 total = 0;
    QByteArray tail;
};

class FloodServer : public QObject
{
public:
    explicit FloodServer(Flood flood) : m_flood(std::move(flood))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_client = m_server.nextPendingConnection();
            m_client->write("* OK [CAPABILITY IMAP4rev1] ready\r\n");
            connect(m_client, &QTcpSocket::readyRead, this, [this] {
                m_client->readAll();
                if (m_piece.isEmpty()) {
                    m_client->write(m_flood.head);
                    m_sent = m_flood.head.size();
                    m_piece = m_flood.unit.repeated(qMax<qsizetype>(1, kMiB / m_flood.unit.size()));
                    pump();
                }
            });
            connect(m_client, &QTcpSocket::bytesWritten, this, &FloodServer::pump);
        });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort()); }
    qint64 sent() const { return m_sent; }

private:
    void pump()
    {
        while (m_client && m_client->state() == QAbstractSocket::ConnectedState &&
               m_sent < m_flood.total && m_client->bytesToWrite() < 2 * m_piece.size()) {
            const qint64 n = qMin<qint64>(m_piece.size(), m_flood.total - m_sent);
            m_client->write(m_piece.constData(), n);
            if ((m_sent += n) == m_flood.total)
                m_client->write(m_flood.tail);
        }
    }

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    Flood m_flood;
    QByteArray m_piece;
    qint64 m_sent = 0;
};

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Expect)
Q_DECLARE_METATYPE(Flood)

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void matrix_data()
    {
        QTest::addColumn<bool>("browse");
        QTest::addColumn<int>("step");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<Expect>("expect");

        const QString closed = QStringLiteral("server closed the connection");
        const QString silent = QStringLiteral("server did not answer");
        const QString nonsense = QStringLiteral(": nonsense");
        const Outcome failed = Outcome::Failed;
        // A status word that is neither OK, NO nor BAD refuses the commands it answers; then the
        // server is silent.
        const Expect afterNonsense[] = {
            {failed, silent},
            {failed, QStringLiteral("login failed") + nonsense},
            {failed, QStringLiteral("server refused the folder list") + nonsense},
            {failed, silent, 0, 1},        // INBOX then waits
            {failed, silent, 2, 0, 2},     // the batch's hits without headers; EXAMINE INBOX waits
            {Outcome::Complete, {}, 2, 1}, // only the goodbye waits
            {failed, silent, 502, 0, 500},
            {Outcome::Complete, {}, 602, 0, 100},
            {Outcome::Complete, {}, 602},
        };
        const QList<Step> all = steps();
        for (bool browse : {false, true}) {
            for (int at = 0; at < all.size(); ++at) {
                if (browse && !all[at].browse)
                    continue;
                const qsizetype hits = all[at].hitsBefore;
                const bool logout = at == all.size() - 1;
                auto row = [&](Fault f, Expect e) {
                    // Once the last folder is done a server that goes away only costs the
                    // goodbye.
                    if (logout)
                        e = {Outcome::Complete, {}, 602};
                    QTest::addRow("%s, %s: %s", browse ? "browse" : "search", all[at].name,
                                  kFaultNames[int(f)])
                        << browse << at << f << e;
                };
                row(Fault::Close, {failed, closed, hits});
                row(Fault::Stall, {failed, silent, hits});
                row(Fault::Garbage, {failed, silent, hits});
                row(Fault::Nonsense, afterNonsense[at]);
                row(Fault::Bye, {failed,
                                 at == 0 ? QStringLiteral("server refused the connection: Server "
                                                          "shutting down")
                                         : closed + QStringLiteral(": Server shutting down"),
                                 hits});
                // A refused FETCH: the batch's hits stay, without headers, and the run goes on.
                const qsizetype batch = at == 4 ? 2 : at == 6 ? 500 : at == 7 ? 100 : 0;
                if (batch > 0 && !browse)
                    row(Fault::Refused, {Outcome::Complete, {}, 602, 0, batch});
            }
        }
    }

    void matrix()
    {
        QFETCH(bool, browse);
        QFETCH(int, step);
        QFETCH(Fault, fault);
        QFETCH(Expect, expect);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(faultScript(browse, step, fault));
        QElapsedTimer clock;
        clock.start();
        if (browse) {
            folders::FolderListJob job;
            job.setTimeouts(testsupport::shortTimeouts());
            int listed = -1;
            const QString reason = runBrowse(job, server.address(), listed);
            report(QStringLiteral("browse"), QLatin1String(steps()[step].name),
                   QLatin1String(kFaultNames[int(fault)]), reason, clock.elapsed());
            QCOMPARE(reason, expect.reason);
            QCOMPARE(listed, expect.reason.isEmpty() ? 2 : -1);
            QVERIFY(!job.isRunning());
            QTRY_VERIFY(!server.clientConnected());
            // The same job lists the folders of a good server.
            FakeImapServer good;
            QVERIFY(good.listen());
            good.setScript(steps()[0].exchange + steps()[1].exchange + steps()[2].exchange +
                           steps()[8].exchange);
            QCOMPARE(runBrowse(job, good.address(), listed), QString());
            QCOMPARE(listed, 2);
            QCOMPARE(good.failure(), QString());
            return;
        }

        SearchEngine engine;
        engine.setTimeouts(testsupport::shortTimeouts());
        const Run run = runSearch(engine, server.address());
        QVERIFY(run.ended);
        const SearchEngine::Summary &s = run.summary;
        report(QStringLiteral("search"), QLatin1String(steps()[step].name),
               QLatin1String(kFaultNames[int(fault)]),
               s.reason.isEmpty() ? QStringLiteral("%1 hits").arg(s.hits) : s.reason,
               clock.elapsed());
        QCOMPARE(int(s.outcome), int(expect.outcome));
        QCOMPARE(s.reason, expect.reason);
        QCOMPARE(s.hits, expect.hits);
        QCOMPARE(s.refusedFolders, expect.refused);
        QCOMPARE(s.unreadMessages, expect.unread);
        // The hits reported are all kept, in the server's order, each with its own headers or,
        // when they did not come, none.
        QCOMPARE(run.hits.size(), expect.hits);
        qsizetype unread = 0;
        for (qsizetype i = 0; i < run.hits.size(); ++i) {
            const results::Hit &hit = run.hits[i];
            const bool sent = i < 2;
            QCOMPARE(hit.folder, QLatin1String(sent ? "Sent" : "INBOX"));
            QCOMPARE(hit.number, quint32(sent ? 3 + 4 * i : i - 1));
            if (hit.subject.isEmpty() && hit.from.isEmpty() && !hit.date.isValid())
                ++unread;
            else
                QCOMPARE(hit.subject, QStringLiteral("report %1").arg(hit.number));
        }
        QCOMPARE(unread, expect.unread);
        QVERIFY(!engine.isRunning());
        QTRY_VERIFY(!server.clientConnected());
        if (fault == Fault::Refused)
            QCOMPARE(server.failure(), QString());

        // The same engine completes a search against a good server.
        FakeImapServer good;
        QVERIFY(good.listen());
        good.setScript(goodScript());
        const Run next = runSearch(engine, good.address());
        QCOMPARE(good.failure(), QString());
        QCOMPARE(int(next.summary.outcome), int(Outcome::Complete));
        QCOMPARE(next.hits.size(), 1);
        QCOMPARE(next.hits[0].subject, QStringLiteral("report 4"));
    }

    // Untagged notices a server may send at any time (new mail, flag changes, expunges) change
    // nothing in what a run finds; and a SEARCH answer naming one message over and over is one
    // hit (otherwise eight megabytes would make four million).
    void unusualAnswers_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("hits");

        const QString notices = QStringLiteral("S: * 5 FETCH (FLAGS (\\\\Seen))\nS: * 12 EXISTS\n"
                                               "S: * 3 FETCH (UID 70 FLAGS ())\nS: * 2 RECENT\n"
                                               "S: * 1 EXPUNGE\nS: * 300 FETCH (FLAGS ())\n");
        QString script;
        for (const Step &step : steps(notices))
            script += step.exchange;
        QTest::newRow("notices at every step") << script << 602;
        QTest::newRow("8 MB naming one message")
            << goodScript(QStringLiteral("* SEARCH") + QStringLiteral(" 4").repeated(4000000)) << 1;
    }

    void unusualAnswers()
    {
        QFETCH(QString, script);
        QFETCH(int, hits);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        SearchEngine engine;
        engine.setTimeouts(testsupport::shortTimeouts());
        const Run run = runSearch(engine, server.address());
        QCOMPARE(server.failure(), QString());
        QCOMPARE(int(run.summary.outcome), int(Outcome::Complete));
        QCOMPARE(run.summary.unreadMessages, qsizetype(0));
        QCOMPARE(int(run.hits.size()), hits);
        for (const results::Hit &hit : run.hits) {
            QCOMPARE(hit.subject, QStringLiteral("report %1").arg(hit.number));
            QCOMPARE(hit.from, QStringLiteral("Sender %1 <s%1@example.org>").arg(hit.number));
            QVERIFY(hit.date.isValid());
        }
    }

    // Streams far beyond the reader's limits: memory stays within the limit that applies plus a
    // fixed margin, and the connection ends with the reason before the stream does.
    void oversized_data()
    {
        QTest::addColumn<Flood>("flood");
        QTest::addColumn<qint64>("responseLimit"); // 0: the reader's default limits
        QTest::addColumn<QString>("reason");
        QTest::addColumn<qint64>("boundMiB"); // the limit that applies; growth may exceed it by 64

        const qint64 mb200 = 200 * 1000 * 1000;
        const QString tooBig = QStringLiteral("server sent a response that is too large");
        const Flood lines{"", "* 3 FETCH (FLAGS (\\Seen))\r\n", mb200, {}};
        const Flood literals{
            "", "* 3 FETCH (BODY[HEADER] {4096}\r\n" + QByteArray(4096, 'x') + ")\r\n", mb200, {}};
        const imap::ResponseReader::Limits defaults;
        const qint64 lineMiB = defaults.maxLineBytes / kMiB;
        QTest::newRow("200 MB line")
            << Flood{"* SEARCH", " 1234567", mb200, {}} << qint64(0)
            << QStringLiteral("server sent a line that is too long") << lineMiB;
        QTest::newRow("2 GB literal")
            << Flood{"* 3 FETCH (BODY[HEADER] {2147483648}\r\n", "Subject: x\r\n", 2147483648LL, {}}
            << qint64(0) << QStringLiteral("server announced a literal that is too large")
            << qint64(0);
        // Lines that each keep within the limits but never end the response: with small limits
        // here, with the default ones when FQ_FAULT_HEAVY is set.
        QTest::newRow("200 MB of short lines, small limits") << lines << 2 * kMiB << tooBig << 2LL;
        QTest::newRow("200 MB of 4 kB literals, small limits")
            << literals << 2 * kMiB << tooBig << 2LL;
        if (qEnvironmentVariableIntValue("FQ_FAULT_HEAVY")) {
            const qint64 responseMiB = defaults.maxResponseBytes / kMiB;
            QTest::newRow("400 MB of short lines") << Flood{lines.head, lines.unit, 2 * mb200, {}}
                                                   << qint64(0) << tooBig << responseMiB;
            QTest::newRow("400 MB of 4 kB literals")
                << Flood{literals.head, literals.unit, 2 * mb200, {}} << qint64(0) << tooBig
                << responseMiB;
        }
    }

    void oversized()
    {
        QFETCH(Flood, flood);
        QFETCH(qint64, responseLimit);
        QFETCH(QString, reason);
        QFETCH(qint64, boundMiB);
        FloodServer server(flood);
        QVERIFY(server.listen());
        imap::Connection connection;
        connection.setTimeouts(testsupport::shortTimeouts());
        if (responseLimit > 0)
            connection.setReaderLimits({64 * 1024, kMiB, responseLimit});
        QSignalSpy ready(&connection, &imap::Connection::ready);
        QSignalSpy failed(&connection, &imap::Connection::failed);
        connection.open(imap::parseServerAddress(server.address()));
        QVERIFY(ready.wait(10000));

        QVERIFY(testsupport::resetPeakResident());
        const qint64 before = testsupport::residentKb();
        QVERIFY(before > 0);
        connection.send(imap::CommandBuilder("1 NOOP").finish(), nullptr);
        QVERIFY(failed.wait(60000));
        const qint64 growthKb = testsupport::peakResidentKb() - before;
        QCOMPARE(failed[0][0].toString(), reason);
        QVERIFY2(growthKb <= (boundMiB + 64) * 1024,
                 qPrintable(QStringLiteral("resident memory grew by %1 kB").arg(growthKb)));
        QVERIFY2(server.sent() < flood.total, "the client took the whole stream");
    }

    // The reader's cap on a whole response: lines count with their bookkeeping, the count
    // starts again with each response, and notices between responses count towards the next.
    void responseCap_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("responses"); // complete before the reader stops
        QTest::addColumn<bool>("refused");

        // Limit 1000; a line of n bytes counts n + 64.
        const QByteArray notice = "* 1 EXISTS\r\n"; // 10 + 64
        QTest::newRow("12 notices and the tagged line fit") << notice.repeated(12) + "1 OK\r\n"
                                                            << 1 << false;
        QTest::newRow("14 notices do not") << notice.repeated(14) + "1 OK\r\n" << 0 << true;
        QTest::newRow("each response counts alone")
            << (notice.repeated(12) + "1 OK\r\n").repeated(50) << 50 << false;
        QTest::newRow("a literal counts with its line")
            << "* 1 FETCH (BODY[] {900}\r\n" + QByteArray(900, 'a') + ")\r\n1 OK\r\n"
            << 0 << true;
        QTest::newRow("a literal within the cap")
            << "* 1 FETCH (BODY[] {800}\r\n" + QByteArray(800, 'a') + ")\r\n1 OK\r\n"
            << 1 << false;
        QTest::newRow("continuation requests do not count")
            << QByteArray("+ go ahead\r\n").repeated(100) + "1 OK\r\n"
            << 1 << false;
    }

    void responseCap()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, responses);
        QFETCH(bool, refused);
        imap::ResponseReader reader({200, 1000, 1000});
        int complete = 0;
        for (qsizetype i = 0; i < bytes.size(); i += 7) {
            reader.feed(QByteArrayView(bytes).sliced(i, qMin<qsizetype>(7, bytes.size() - i)));
            while (reader.hasResponse()) {
                reader.takeResponse();
                ++complete;
            }
        }
        QCOMPARE(complete, responses);
        QCOMPARE(reader.error() == imap::ResponseReader::Error::ResponseTooLarge, refused);
        QCOMPARE(reader.errorText().isEmpty(), !refused);
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
