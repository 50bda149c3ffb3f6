// The private Dovecot misbehaving at a step of a search or a Browse: the server process that
// serves our connection is frozen (SIGSTOP) or killed (SIGKILL) the moment the step's command
// goes out. Only that one process is touched, so tests running beside this one against the same
// server are not disturbed, and a frozen process is always let go again.

#include "app/form1.h"
#include "folders/dialog.h"
#include "results/resultsmodel.h"
#include "support/dovecotfixture.h"
#include "support/formdriver.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <sys/types.h>
#include <unistd.h>

using testsupport::DovecotFixture;

namespace {

constexpr int kIdleMs = 1000;
constexpr int kSearchIdleMs = 1500;
constexpr int kSlackMs = 5000;

// ---- Finding the server process of our connection ---------------------------------------------

struct TcpEntry
{
    quint16 localPort = 0;
    quint16 remotePort = 0;
    int state = 0;
    quint64 inode = 0;
};

// The IPv4 TCP sockets of this network namespace (/proc/net/tcp).
QList<TcpEntry> tcpTable()
{
    QList<TcpEntry> out;
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> cols = lines[i].simplified().split(' ');
        if (cols.size() < 10)
            continue;
        TcpEntry e;
        e.localPort = quint16(cols[1].split(':').value(1).toUInt(nullptr, 16));
        e.remotePort = quint16(cols[2].split(':').value(1).toUInt(nullptr, 16));
        e.state = cols[3].toInt(nullptr, 16);
        e.inode = cols[9].toULongLong();
        out.append(e);
    }
    return out;
}

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

// The process at the server's end of this process's one connection to `serverPort`.
ServerProcess serverProcessOf(quint16 serverPort)
{
    const QList<TcpEntry> table = tcpTable();
    const QSet<quint64> own = socketInodes(QStringLiteral("self"));
    quint16 clientPort = 0;
    for (const TcpEntry &e : table)
        if (e.remotePort == serverPort && e.state == 1 && own.contains(e.inode))
            clientPort = e.localPort;
    if (clientPort == 0)
        return {};
    quint64 serverInode = 0;
    for (const TcpEntry &e : table)
        if (e.localPort == serverPort && e.remotePort == clientPort)
            serverInode = e.inode;
    if (serverInode == 0)
        return {};
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const pid_t n = pid_t(pid.toInt(&numeric));
        if (!numeric || n == getpid() || !socketInodes(pid).contains(serverInode))
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        return {n, QString::fromLatin1(comm.readAll().trimmed())};
    }
    return {};
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

// Cancels every folder picker as soon as it shows.
class PickerCanceller : public QObject
{
public:
    PickerCanceller() { qApp->installEventFilter(this); }
    ~PickerCanceller() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *dialog = qobject_cast<folders::Dialog *>(watched))
                QTimer::singleShot(0, dialog, [dialog] { dialog->CancelButton->click(); });
        return QObject::eventFilter(watched, event);
    }
};

void report(const QString &step, const QString &fault, const QString &status, qint64 ms)
{
    const QString path = qEnvironmentVariable("FQ_FAULT_REPORT");
    if (path.isEmpty())
        return;
    QFile f(path);
    if (f.open(QIODevice::Append | QIODevice::Text))
        f.write(QStringList{QStringLiteral("dovecot"), step, fault, status, QString::number(ms)}
                    .join(QLatin1Char('\t'))
                    .toUtf8() +
                '\n');
}

} // namespace

Q_DECLARE_METATYPE(Action)

class TestE2EFaults : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;
    DovecotFixture m_fx;
    QString m_fullRun; // the final line of an undisturbed search

    void prepare(Form1 &form)
    {
        form.channel().setTimeouts(testsupport::shortTimeouts(
            kIdleMs, kSearchIdleMs, imap::ImapChannel::Timeouts{}.connectMs));
        form.txtServer->setText(m_fx.address());
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtSubjectSearch->setText(QStringLiteral("in"));
    }

private slots:
    void initTestCase()
    {
        testsupport::usePrivateConfig(m_config.path());
        m_fx = DovecotFixture::load(QStringLiteral("maildir"));
        QVERIFY2(m_fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
        thawOnCrashes();

        // The undisturbed run, for comparison.
        Form1 form;
        prepare(form);
        form.cmdSearch_Click();
        m_fullRun = form.lblStatus->text();
        QVERIFY2(m_fullRun.startsWith(QStringLiteral("Search Complete. ")), qPrintable(m_fullRun));
        QVERIFY(form.resultsModel()->hitCount() >= 20);
    }

    void cleanup() { thaw(); }

    void serverGoesAway_data()
    {
        QTest::addColumn<bool>("browse");
        QTest::addColumn<QByteArray>("command"); // the step: what the command starts with
        QTest::addColumn<int>("occurrence");     // and which one of those it is
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("rowsShown"); // the grid already has rows at that step

        const QString silent = QStringLiteral("Error: server did not answer");
        const QString closed = QStringLiteral("Error: server closed the connection");
        struct Step
        {
            const char *name;
            bool browse;
            const char *command;
            int occurrence;
            bool rowsShown;
        };
        // The tenth folder's EXAMINE and SEARCH go out together; its fetch and the ones
        // before it have put rows in the grid.
        const Step steps[] = {
            {"search, LOGIN", false, "1 LOGIN", 1, false},
            {"search, LIST", false, "1 LIST", 1, false},
            {"search, EXAMINE+SEARCH of the 10th folder", false, "1 EXAMINE", 10, true},
            {"search, 3rd FETCH", false, "1 FETCH", 3, true},
            {"search, LOGOUT", false, "1 LOGOUT", 1, true},
            {"browse, LIST", true, "1 LIST", 1, false},
            {"browse, LOGOUT", true, "1 LOGOUT", 1, false},
        };
        for (const Step &s : steps) {
            const bool harmless = !s.browse && QByteArray(s.command) == "1 LOGOUT";
            QTest::addRow("%s: frozen", s.name)
                << s.browse << QByteArray(s.command) << s.occurrence << Action::Freeze
                << (harmless ? QString() : silent) << s.rowsShown;
            QTest::addRow("%s: killed", s.name)
                << s.browse << QByteArray(s.command) << s.occurrence << Action::Kill
                << (harmless ? QString() : closed) << s.rowsShown;
        }
    }

    void serverGoesAway()
    {
        QFETCH(bool, browse);
        QFETCH(QByteArray, command);
        QFETCH(int, occurrence);
        QFETCH(Action, action);
        QFETCH(QString, status);
        QFETCH(bool, rowsShown);
        if (status.isEmpty())
            status = m_fullRun; // once every folder is done, only the goodbye is lost

        Form1 form;
        prepare(form);
        PickerCanceller picker;
        ServerProcess target;
        QList<imap::ResultRecord> shownAtFault;
        QElapsedTimer sinceFault;
        int seen = 0;
        connect(&form.channel(), &imap::ImapChannel::wrote, this, [&](const QByteArray &bytes) {
            if (!bytes.startsWith(command) || ++seen != occurrence)
                return;
            // Our command is still in our own socket: the server cannot have answered it.
            target = serverProcessOf(m_fx.port);
            if (target.pid <= 0)
                return;
            for (qsizetype i = 0; i < form.resultsModel()->hitCount(); ++i)
                shownAtFault.append(form.resultsModel()->record(i));
            if (action == Action::Freeze) {
                g_frozen = target.pid;
                ::kill(target.pid, SIGSTOP);
            } else {
                ::kill(target.pid, SIGKILL);
            }
            sinceFault.start();
        });
        if (browse)
            form.cmdBrowse_Click();
        else
            form.cmdSearch_Click();
        thaw();
        QVERIFY2(target.pid > 0, "the server process of the connection was not found");
        QCOMPARE(target.name, QLatin1String(command == "1 LOGIN" ? "imap-login" : "imap"));
        const qint64 ms = sinceFault.elapsed();
        report(QString::fromLatin1(QTest::currentDataTag()).section(QLatin1String(": "), 0, 0),
               QLatin1String(action == Action::Freeze ? "process frozen" : "process killed"),
               form.lblStatus->text(), ms);

        QCOMPARE(form.lblStatus->text(), status);
        QVERIFY2(ms <= kSearchIdleMs + kSlackMs, qPrintable(QString::number(ms)));
        QCOMPARE(!shownAtFault.isEmpty(), rowsShown);
        QVERIFY(form.resultsModel()->hitCount() >= shownAtFault.size());
        for (qsizetype i = 0; i < shownAtFault.size(); ++i) {
            const imap::ResultRecord &r = form.resultsModel()->record(i);
            QCOMPARE(r.strFolder, shownAtFault[i].strFolder);
            QCOMPARE(r.strMsgNum, shownAtFault[i].strMsgNum);
            QCOMPARE(r.strSubject, shownAtFault[i].strSubject);
        }
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
        QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
        QVERIFY(!form.flowRunning());
        QVERIFY(!form.channel().isOpen());

        // The same window searches normally again.
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(), m_fullRun);
    }
};

QTEST_MAIN(TestE2EFaults)
#include "tst_e2e_faults.moc"
