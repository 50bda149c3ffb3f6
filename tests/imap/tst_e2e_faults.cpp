// The private Dovecot misbehaving in a search: the server process that serves one of our
// connections is frozen (SIGSTOP) or killed (SIGKILL) the moment a step's command goes out. Only
// that one process is touched, so tests running beside this one against the same server are not
// disturbed, and a frozen process is always let go again.

#include "imap/session.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/dovecotfixture.h"
#include "support/testhelpers.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <sys/types.h>
#include <unistd.h>

using search::SearchEngine;
using testsupport::DovecotFixture;

namespace {

// ---- Finding the server process of a connection -----------------------------------------------

// The socket inodes a process holds.
QSet<quint64> socketInodes(const QString &pid)
{
    QSet<quint64> out;
    const QString dir = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &fd : QDir(dir).entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(dir + QLatin1Char('/') + fd);
        if (target.contains(QLatin1String("socket:[")))
            out.insert(target.section(QLatin1Char('['), 1).chopped(1).toULongLong());
    }
    return out;
}

struct ServerProcess
{
    pid_t pid = 0;
    QString name; // "imap-login" before LOGIN has succeeded, "imap" after
};

// The process at the server's end of the IPv4 loopback connection from `clientPort`.
ServerProcess serverProcessOf(quint16 serverPort, quint16 clientPort)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    quint64 inode = 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() >= 10 && cols[1].split(':').value(1).toUInt(nullptr, 16) == serverPort &&
            cols[2].split(':').value(1).toUInt(nullptr, 16) == clientPort)
            inode = cols[9].toULongLong();
    }
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const pid_t n = pid_t(pid.toInt(&numeric));
        if (inode == 0 || !numeric || n == getpid() || !socketInodes(pid).contains(inode))
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly))
            return {n, QString::fromLatin1(comm.readAll().trimmed())};
    }
    return {};
}

// The local port of the engine's connection `n` (its sessions are its children, in order).
quint16 clientPort(const SearchEngine &engine, int n)
{
    const auto sessions = engine.findChildren<imap::Session *>(Qt::FindDirectChildrenOnly);
    const auto *socket =
        n < sessions.size() ? sessions[n]->connection().findChild<QSslSocket *>() : nullptr;
    return socket ? socket->localPort() : 0;
}

// ---- Freezing, always undone ------------------------------------------------------------------

std::atomic<pid_t> g_frozen{0};

void thaw()
{
    const pid_t pid = g_frozen.exchange(0);
    if (pid > 0)
        ::kill(pid, SIGCONT);
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTERM, SIGINT};
struct sigaction g_previous[std::size(kFatalSignals)];

// Lets the frozen process go even when this test dies of a signal, then hands the signal to
// whoever handled it before (the test library reports the crash).
void thawOnCrash(int sig)
{
    thaw();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i)
        if (kFatalSignals[i] == sig)
            sigaction(sig, &g_previous[i], nullptr);
    std::raise(sig);
}

void thawOnCrashes()
{
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        struct sigaction action = {};
        action.sa_handler = thawOnCrash;
        sigemptyset(&action.sa_mask);
        sigaction(kFatalSignals[i], &action, &g_previous[i]);
    }
    std::atexit(thaw);
}

enum class Action { Freeze, Kill };

QString describe(const results::Hit &hit)
{
    return QStringLiteral("%1 #%2 %3").arg(hit.folder).arg(hit.number).arg(hit.subject);
}

} // namespace

Q_DECLARE_METATYPE(Action)

class TestE2EFaults : public QObject
{
    Q_OBJECT
    DovecotFixture m_fx;
    QStringList m_fullRun; // the hits of an undisturbed search, in order

    search::SearchRequest request(int connections) const
    {
        search::SearchCriteria criteria;
        criteria.subject = QStringLiteral("in");
        return {imap::parseServerAddress(m_fx.address()),
                QStringLiteral("demo"),
                QStringLiteral("demo"),
                search::FolderScope::fromChoice(QString(), false),
                search::buildSearchKey(criteria),
                connections};
    }

    // Runs a search to its end: the summary and the hits reported, in order.
    SearchEngine::Summary run(SearchEngine &engine, int connections, QStringList &hits) const
    {
        QSignalSpy finished(&engine, &SearchEngine::finished);
        const auto c =
            connect(&engine, &SearchEngine::hitsFound, [&](const QList<results::Hit> &found) {
                for (const results::Hit &hit : found)
                    hits.append(describe(hit));
            });
        const bool ended = engine.start(request(connections)) && finished.wait(60000);
        disconnect(c);
        if (!ended)
            return {SearchEngine::Outcome::Failed, 0, 0, 0, 0, QStringLiteral("(no end)")};
        return finished[0][0].value<SearchEngine::Summary>();
    }

private slots:
    void initTestCase()
    {
        m_fx = DovecotFixture::load(QStringLiteral("maildir"));
        QVERIFY2(m_fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
        thawOnCrashes();
        SearchEngine engine;
        const SearchEngine::Summary s = run(engine, 1, m_fullRun);
        QCOMPARE(int(s.outcome), int(SearchEngine::Outcome::Complete));
        QCOMPARE(s.hits, m_fullRun.size());
        QVERIFY(m_fullRun.size() >= 20);
    }

    void cleanup() { thaw(); }

    void serverGoesAway_data()
    {
        QTest::addColumn<QByteArray>("command"); // the step: what the command starts with
        QTest::addColumn<int>("occurrence");     // and which one of those it is
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("reason"); // empty: the search completes

        const QString silent = QStringLiteral("server did not answer");
        const QString closed = QStringLiteral("server closed the connection");
        const struct
        {
            const char *name;
            const char *command;
            int occurrence;
        } steps[] = {
            {"LOGIN", "1 LOGIN", 1},
            {"LIST", "1 LIST", 1},
            {"EXAMINE+SEARCH of the 10th folder", "1 EXAMINE", 10},
            {"3rd FETCH", "1 FETCH", 3},
            {"LOGOUT", "1 LOGOUT", 1},
        };
        for (const auto &s : steps) {
            // Once every folder is done, only the goodbye is lost.
            const bool harmless = QByteArray(s.command) == "1 LOGOUT";
            QTest::addRow("%s: frozen", s.name)
                << QByteArray(s.command) << s.occurrence << Action::Freeze
                << (harmless ? QString() : silent);
            QTest::addRow("%s: killed", s.name) << QByteArray(s.command) << s.occurrence
                                                << Action::Kill << (harmless ? QString() : closed);
        }
    }

    // One connection: the search ends with the reason, keeps the hits reported before the
    // fault, and the same engine then searches normally again.
    void serverGoesAway()
    {
        QFETCH(QByteArray, command);
        QFETCH(int, occurrence);
        QFETCH(Action, action);
        QFETCH(QString, reason);
        SearchEngine engine;
        engine.setTimeouts(testsupport::shortTimeouts(1000, 1500, 15000));
        ServerProcess target;
        qsizetype hitsAtFault = -1;
        QStringList hits;
        int seen = 0;
        connect(&engine, &SearchEngine::wrote, this, [&](int, const QByteArray &bytes) {
            if (!bytes.startsWith(command) || ++seen != occurrence)
                return;
            // Our command is still in our own socket: the server cannot have answered it.
            target = serverProcessOf(m_fx.port, clientPort(engine, 0));
            if (target.pid <= 0)
                return;
            hitsAtFault = hits.size();
            if (action == Action::Freeze)
                g_frozen = target.pid;
            ::kill(target.pid, action == Action::Freeze ? SIGSTOP : SIGKILL);
        });
        const SearchEngine::Summary s = run(engine, 1, hits);
        thaw();
        QVERIFY2(target.pid > 0, "the server process of the connection was not found");
        QCOMPARE(target.name, QLatin1String(command == "1 LOGIN" ? "imap-login" : "imap"));
        QCOMPARE(s.reason, reason);
        QCOMPARE(int(s.outcome), int(reason.isEmpty() ? SearchEngine::Outcome::Complete
                                                      : SearchEngine::Outcome::Failed));
        // The hits reported are the undisturbed run's first ones, all counted.
        QCOMPARE(s.hits, hits.size());
        QVERIFY(hits.size() >= hitsAtFault);
        QCOMPARE(hits, m_fullRun.first(hits.size()));
        QCOMPARE(hitsAtFault > 0,
                 command == "1 FETCH" || command.startsWith("1 EXAMINE") || command == "1 LOGOUT");
        if (reason.isEmpty())
            QCOMPARE(hits, m_fullRun);

        hits.clear();
        QCOMPARE(int(run(engine, 1, hits).outcome), int(SearchEngine::Outcome::Complete));
        QCOMPARE(hits, m_fullRun);
    }

    // Four connections: the server process of the first is held (frozen) once it has started
    // on a folder, until another connection is at work on one too, then killed. The run fails
    // with the reason, the hits reported are the undisturbed run's, and every other connection
    // that logged in logs out (one still on its way in may be closed before its LOGIN).
    void oneOfFourKilled()
    {
        SearchEngine engine;
        engine.setTimeouts(testsupport::shortTimeouts(10000, 10000, 15000));
        QHash<int, QByteArray> lastWrite;
        ServerProcess first;
        bool killed = false;
        connect(&engine, &SearchEngine::wrote, this, [&](int n, const QByteArray &bytes) {
            lastWrite[n] = bytes;
            if (n == 0 && first.pid == 0 && bytes.startsWith("1 EXAMINE")) {
                first = serverProcessOf(m_fx.port, clientPort(engine, 0));
                if (first.pid > 0 && ::kill(first.pid, SIGSTOP) == 0)
                    g_frozen = first.pid;
            }
            if (n == 0 || !bytes.startsWith("1 EXAMINE"))
                return;
            if (first.pid > 0 && g_frozen.exchange(0) == first.pid)
                killed = ::kill(first.pid, SIGKILL) == 0;
        });
        QStringList hits;
        const SearchEngine::Summary s = run(engine, 4, hits);
        thaw();
        QVERIFY2(killed, "the server process was not found, or the others never logged in");
        QCOMPARE(int(s.outcome), int(SearchEngine::Outcome::Failed));
        QCOMPARE(s.reason, QStringLiteral("server closed the connection"));
        QCOMPARE(s.hits, hits.size());
        QVERIFY(!hits.isEmpty());
        for (const QString &hit : std::as_const(hits))
            QVERIFY2(m_fullRun.contains(hit), qPrintable(hit));
        QVERIFY(lastWrite.size() >= 2);
        for (auto it = lastWrite.cbegin(); it != lastWrite.cend(); ++it)
            if (it.key() != 0)
                QCOMPARE(it.value(), QByteArray("1 LOGOUT\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestE2EFaults)
#include "tst_e2e_faults.moc"
