// Faults at every step of a search run and of a Browse: the server closes, stalls or sends
// garbage; an unsolicited BYE; unsolicited notices in the middle of a run; a line, a response
// and a literal far beyond what the reader accepts. Each case must end with a clear status within
// its time-out, keep the rows already shown, give the buttons back, close the socket, and leave
// the same window ready to search a good server.
//
// With FQ_FAULT_REPORT set to a file name every case appends one line to it:
// flow TAB step TAB fault TAB status TAB milliseconds from the fault to the status
// (scripts/fault-report.sh prints them as a table). FQ_FAULT_HEAVY=1 adds the cases that run
// with the reader's default limits and stream hundreds of megabytes.

#include "app/form1.h"
#include "folders/dialog.h"
#include "results/resultsmodel.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using testsupport::fetchAnswer;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
// Time-outs of the window under test, and how much later than its time-out a case may end (a
// loaded machine or a sanitizer build is slow; a wait that ignored its time-out is not).
constexpr int kIdleMs = 250;
constexpr int kSearchIdleMs = 400;
constexpr int kSlackMs = 5000;

void useFaultTimeouts(Form1 &form)
{
    form.channel().setTimeouts(testsupport::shortTimeouts(kIdleMs, kSearchIdleMs));
}

// ---- What the misbehaving server does ---------------------------------------------------------

enum class Fault {
    Close,  // closes the connection
    Stall,  // sends nothing more, keeps the connection open
    Noise,  // random bytes in lines (no tag, no literal), binary junk without a line end,
            // then nothing
    Tagged, // a tagged line with a status word no server uses, then nothing
    Bye,    // an unsolicited "* BYE", then closes
    Flood,  // a generated stream (see Flood) until the client goes away
};

const char *faultName(Fault f)
{
    switch (f) {
    case Fault::Close:
        return "closes";
    case Fault::Stall:
        return "stalls";
    case Fault::Noise:
        return "garbage";
    case Fault::Tagged:
        return "tagged nonsense";
    case Fault::Bye:
        return "unsolicited BYE";
    case Fault::Flood:
        return "flood";
    }
    return "";
}

const QByteArray kTaggedNonsense = "1 ZORK nonsense\r\n";
const QByteArray kBye = "* BYE Server shutting down\r\n";

// Random printable and control bytes in lines of up to 80, seeded so every run sends the same.
// No line starts like a response that could end a wait ("1 ", "* ", "+"), and there is no "{"
// that could announce a literal: the lines can only be ignored.
QByteArray noise()
{
    QRandomGenerator random(20240607);
    QByteArray out;
    for (int line = 0; line < 40; ++line) {
        const int length = 1 + int(random.bounded(80));
        QByteArray text;
        for (int i = 0; i < length; ++i) {
            char c = char(random.bounded(256));
            if (c == '\n' || c == '\r' || c == '{')
                c = '?';
            text += c;
        }
        if (text[0] == '1' || text[0] == '*' || text[0] == '+')
            text[0] = '#';
        out += text + "\r\n";
    }
    return out;
}

// Bytes of every value but LF, with no line end at all.
QByteArray binaryJunk()
{
    QRandomGenerator random(99);
    QByteArray out(4096, Qt::Uninitialized);
    for (char &c : out) {
        c = char(random.bounded(256));
        if (c == '\n')
            c = '\0';
    }
    return out;
}

// A stream made on the fly, so that the test itself never holds it: `head`, then `unit`
// repeated until `total` bytes have gone (or the client has gone), then `tail`.
struct Flood
{
    QByteArray head;
    QByteArray unit;
    qint64 total = 0;
    QByteArray tail;
};

// Counts the complete responses in a server's byte stream: the greeting (the first line), then
// each tagged line. Literal bytes are skipped, so lines inside a literal never count.
class ResponseCounter
{
public:
    int completed() const { return m_completed; }

    // Takes bytes until `target` responses are complete or the bytes run out; returns how many
    // it took.
    qsizetype advance(QByteArrayView bytes, int target)
    {
        qsizetype i = 0;
        while (i < bytes.size() && m_completed < target) {
            if (m_literalLeft > 0) {
                const qsizetype take = qsizetype(qMin<qint64>(m_literalLeft, bytes.size() - i));
                m_literalLeft -= take;
                i += take;
                continue;
            }
            const char c = bytes[i++];
            if (c == '\n') {
                lineEnd();
                continue;
            }
            if (m_head.size() < 2)
                m_head += c;
            m_tail += c;
            if (m_tail.size() > 32)
                m_tail.remove(0, m_tail.size() - 32);
        }
        return i;
    }

private:
    void lineEnd()
    {
        QByteArray tail = m_tail;
        m_tail.clear();
        if (tail.endsWith('\r'))
            tail.chop(1);
        static const QRegularExpression literal(QStringLiteral("\\{(\\d+)\\+?\\}$"));
        const QRegularExpressionMatch m = literal.match(QString::fromLatin1(tail));
        if (m.hasMatch()) {
            m_literalLeft = m.captured(1).toLongLong();
            return; // the line goes on after the literal
        }
        if (m_completed == 0 || m_head == "1 ")
            ++m_completed;
        m_head.clear();
    }

    int m_completed = 0;
    QByteArray m_head;
    QByteArray m_tail;
    qint64 m_literalLeft = 0;
};

// A loopback relay between the window and a scripted server that turns into a misbehaving
// server at one step of the conversation. Steps are counted in commands: step 0 is the
// greeting, step n the client's n-th command. The relay passes the server's answers to the
// commands before the step, waits until the client has sent the step's command, and then
// drops the scripted server and does the fault instead of answering.
class FaultProxy : public QObject
{
public:
    FaultProxy(quint16 upstreamPort, int step, Fault fault, Flood flood = {})
        : m_upstreamPort(upstreamPort), m_step(step), m_fault(fault), m_flood(std::move(flood))
    {
        connect(&m_server, &QTcpServer::newConnection, this, &FaultProxy::onConnection);
    }
    ~FaultProxy() override
    {
        if (m_client)
            m_client->abort();
        if (m_upstream)
            m_upstream->abort();
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort()); }

    bool faulted() const { return m_faulted; }
    // Milliseconds since the fault began.
    qint64 sinceFault() const { return m_clock.elapsed(); }
    qint64 floodSent() const { return m_floodSent; }

    // Called once, when the fault begins.
    std::function<void()> onFault;

private:
    void onConnection()
    {
        QTcpSocket *socket = m_server.nextPendingConnection();
        if (!socket)
            return;
        if (m_client) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        m_client = socket;
        m_upstream = new QTcpSocket(this);
        connect(m_client, &QTcpSocket::readyRead, this, [this] {
            const QByteArray bytes = m_client->readAll();
            m_commandsSent += int(bytes.count('\n'));
            if (!m_faulted && m_upstream)
                m_upstream->write(bytes);
            pump();
        });
        connect(m_client, &QTcpSocket::bytesWritten, this, &FaultProxy::flood);
        connect(m_client, &QTcpSocket::disconnected, this, [this] {
            if (m_upstream)
                m_upstream->abort();
        });
        connect(m_upstream, &QTcpSocket::readyRead, this, [this] {
            m_fromServer += m_upstream->readAll();
            pump();
        });
        if (m_step == 0) {
            applyFault();
            return;
        }
        m_upstream->connectToHost(QHostAddress::LocalHost, m_upstreamPort);
    }

    void pump()
    {
        if (m_faulted || !m_client)
            return;
        const qsizetype taken = m_counter.advance(m_fromServer, m_step);
        m_client->write(m_fromServer.first(taken));
        m_fromServer.remove(0, taken);
        if (m_counter.completed() >= m_step && m_commandsSent >= m_step)
            applyFault();
    }

    void applyFault()
    {
        m_faulted = true;
        m_clock.start();
        if (m_upstream)
            m_upstream->abort();
        if (onFault)
            onFault();
        switch (m_fault) {
        case Fault::Close:
            m_client->disconnectFromHost();
            break;
        case Fault::Stall:
            break;
        case Fault::Noise:
            m_client->write(noise() + binaryJunk());
            break;
        case Fault::Tagged:
            m_client->write(kTaggedNonsense);
            break;
        case Fault::Bye:
            m_client->write(kBye);
            m_client->disconnectFromHost();
            break;
        case Fault::Flood:
            m_client->write(m_flood.head);
            m_floodSent = m_flood.head.size();
            // Pieces of about a megabyte, made once.
            m_piece = m_flood.unit.repeated(qMax<qsizetype>(1, kMiB / m_flood.unit.size()));
            flood();
            break;
        }
    }

    // Keeps at most two pieces waiting in the socket, so memory stays flat however long the
    // stream is.
    void flood()
    {
        if (!m_faulted || m_fault != Fault::Flood || !m_client ||
            m_client->state() != QAbstractSocket::ConnectedState)
            return;
        while (m_floodSent < m_flood.total && m_client->bytesToWrite() < 2 * m_piece.size()) {
            const qint64 n = qMin<qint64>(m_piece.size(), m_flood.total - m_floodSent);
            m_client->write(m_piece.constData(), n);
            m_floodSent += n;
            if (m_floodSent == m_flood.total)
                m_client->write(m_flood.tail);
        }
    }

    QTcpServer m_server;
    quint16 m_upstreamPort;
    int m_step;
    Fault m_fault;
    Flood m_flood;
    QPointer<QTcpSocket> m_client;
    QPointer<QTcpSocket> m_upstream;
    QByteArray m_fromServer; // the scripted server's bytes not yet passed on
    ResponseCounter m_counter;
    int m_commandsSent = 0;
    bool m_faulted = false;
    QElapsedTimer m_clock;
    QByteArray m_piece;
    qint64 m_floodSent = 0;
};

// ---- The scripted sessions --------------------------------------------------------------------

QByteArray headers(int n)
{
    return "Date: Tue, 3 Jan 2006 10:15:0" + QByteArray::number(n % 10) +
           " +0000\r\nFrom: Sender " + QByteArray::number(n) + " <s" + QByteArray::number(n) +
           "@example.org>\r\nSubject: report " + QByteArray::number(n) + "\r\n\r\n";
}

QString numbers(const QList<int> &nums, QChar separator)
{
    QStringList out;
    for (int n : nums)
        out.append(QString::number(n));
    return out.join(separator);
}

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int n = first; n <= last; ++n)
        out.append(n);
    return out;
}

const QString kGreeting = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] fake ready\n");
const QString kLogin = QStringLiteral("C: 1 LOGIN demo demo\nS: 1 OK LOGIN done\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: * BYE logging out\nS: 1 OK LOGOUT done\n");

// One FETCH batch; `notices` go between the answers.
QString fetchExchange(const QList<int> &nums, const QString &notices = {})
{
    QString s = QStringLiteral("C: 1 FETCH %1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n")
                    .arg(numbers(nums, QLatin1Char(',')));
    for (qsizetype i = 0; i < nums.size(); ++i) {
        s += fetchAnswer(nums[i], headers(nums[i]));
        if (i == nums.size() / 2)
            s += notices;
    }
    return s + QStringLiteral("S: 1 OK FETCH done\n");
}

// The run every fault case interrupts: two folders, Sent with hits 3 and 7, INBOX with 600
// hits fetched in two batches (500 and 100), then LOGOUT. Its steps:
struct SearchStep
{
    const char *name;
    int step;
    int rowsShown; // grid rows when the step's command goes out
};
const SearchStep kSearchSteps[] = {
    {"greeting", 0, 0},
    {"LOGIN", 1, 0},
    {"LIST", 2, 0},
    {"EXAMINE Sent", 3, 0},
    {"SEARCH Sent", 4, 0},
    {"FETCH Sent", 5, 0},
    {"EXAMINE INBOX", 6, 2},
    {"SEARCH INBOX", 7, 2},
    {"FETCH INBOX 1-500", 8, 2},
    {"FETCH INBOX 501-600", 9, 502},
    {"LOGOUT", 10, 602},
};
const QString kFullRun = QStringLiteral("Search Complete. 602 matching emails found in 2 folders.");

QString searchScript(const QString &keyLine)
{
    QString s = kGreeting + kLogin +
                QStringLiteral("C: 1 LIST \"\" \"*\"\n"
                               "S: * LIST (\\\\HasNoChildren) \".\" Sent\n"
                               "S: * LIST (\\\\HasNoChildren) \".\" INBOX\n"
                               "S: 1 OK LIST done\n"
                               "C: 1 EXAMINE \"Sent\"\nS: * 9 EXISTS\nS: 1 OK [READ-ONLY] done\n");
    s += QStringLiteral("C: ") + keyLine + QStringLiteral("\nS: * SEARCH 3 7\nS: 1 OK done\n");
    s += fetchExchange({3, 7});
    s += QStringLiteral("C: 1 EXAMINE \"INBOX\"\nS: * 600 EXISTS\nS: 1 OK [READ-ONLY] done\n");
    s += QStringLiteral("C: ") + keyLine + QStringLiteral("\nS: * SEARCH ") +
         numbers(range(1, 600), QLatin1Char(' ')) + QStringLiteral("\nS: 1 OK done\n");
    s += fetchExchange(range(1, 500));
    s += fetchExchange(range(501, 600));
    return s + kLogout;
}

// The Browse flow: greeting, LOGIN, LIST, (the picker), LOGOUT.
const char *const kBrowseSteps[] = {"greeting", "LOGIN", "LIST", "LOGOUT"};
const QString kBrowseScript = kGreeting + kLogin +
                              QStringLiteral("C: 1 LIST \"\" \"*\"\n"
                                             "S: * LIST () \".\" Sent\nS: * LIST () \".\" INBOX\n"
                                             "S: 1 OK LIST done\n") +
                              kLogout;

// A short run that a good server answers: one folder, one hit.
QString goodScript(const QString &keyLine)
{
    return kGreeting + kLogin +
           QStringLiteral("C: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" Drafts\nS: 1 OK LIST done\n"
                          "C: 1 EXAMINE \"Drafts\"\nS: 1 OK [READ-ONLY] done\n") +
           QStringLiteral("C: ") + keyLine + QStringLiteral("\nS: * SEARCH 4\nS: 1 OK done\n") +
           fetchExchange({4}) + kLogout;
}

// ---- Measuring --------------------------------------------------------------------------------

// A field of /proc/self/status in kilobytes ("VmRSS", "VmHWM"); -1 when unreadable.
qint64 procStatusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Starts the peak resident size (VmHWM) afresh from the current size.
bool resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

void report(const QString &flow, const QString &step, const QString &fault, const QString &status,
            qint64 ms)
{
    const QString path = qEnvironmentVariable("FQ_FAULT_REPORT");
    if (path.isEmpty())
        return;
    QFile f(path);
    if (f.open(QIODevice::Append | QIODevice::Text))
        f.write(QStringList{flow, step, fault, status, QString::number(ms)}
                    .join(QLatin1Char('\t'))
                    .toUtf8() +
                '\n');
}

// Cancels every folder picker as soon as it shows.
class PickerCanceller : public QObject
{
public:
    PickerCanceller() { qApp->installEventFilter(this); }
    ~PickerCanceller() override { qApp->removeEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *dialog = qobject_cast<folders::Dialog *>(watched)) {
                ++shown;
                QTimer::singleShot(0, dialog, [dialog] { dialog->CancelButton->click(); });
            }
        return QObject::eventFilter(watched, event);
    }
};

struct Window
{
    Form1 form;
    Window()
    {
        useFaultTimeouts(form);
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtSubjectSearch->setText(QStringLiteral("report"));
    }
    QString keyLine() const { return form.searchKey().text(); }
    QList<imap::ResultRecord> rows() const
    {
        QList<imap::ResultRecord> out;
        for (qsizetype i = 0; i < form.resultsModel()->hitCount(); ++i)
            out.append(form.resultsModel()->record(i));
        return out;
    }
};

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Flood)

class TestFaults : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

    // The window is idle, its socket closed, its buttons back; and it completes a search
    // against a good server.
    void checkReady(Window &w)
    {
        QCOMPARE(w.form.cmdSearch->text(), QStringLiteral("Search"));
        QVERIFY(w.form.cmdSearch->isEnabled());
        QCOMPARE(w.form.cmdBrowse->text(), QStringLiteral("Browse..."));
        QVERIFY(w.form.cmdBrowse->isEnabled());
        QVERIFY(!w.form.flowRunning());
        QVERIFY(!w.form.channel().isOpen());
        QVERIFY(w.form.openDialog() == nullptr);

        FakeImapServer good;
        QVERIFY(good.listen());
        good.setScript(goodScript(w.keyLine()));
        w.form.txtServer->setText(good.address());
        w.form.cmdSearch_Click();
        QCOMPARE(good.failure(), QString());
        QCOMPARE(w.form.lblStatus->text(),
                 QStringLiteral("Search Complete. 1 matching emails found in 1 folders."));
        QCOMPARE(w.form.resultsModel()->hitCount(), 1);
        QCOMPARE(w.form.resultsModel()->record(0).strSubject, QStringLiteral("report 4"));
        QVERIFY(!w.form.channel().isOpen());
    }

    // Fills the grid through a good server, so that a Browse can show it leaves the rows alone.
    void fillGrid(Window &w)
    {
        FakeImapServer good;
        QVERIFY(good.listen());
        good.setScript(goodScript(w.keyLine()));
        w.form.txtServer->setText(good.address());
        w.form.cmdSearch_Click();
        QCOMPARE(w.form.resultsModel()->hitCount(), 1);
    }

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void matrix_data()
    {
        QTest::addColumn<bool>("browse");
        QTest::addColumn<int>("step");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("rowsShown"); // at the fault, and kept
        QTest::addColumn<int>("rowsAfter");

        const QString closed = QStringLiteral("Error: server closed the connection");
        const QString silent = QStringLiteral("Error: server did not answer");
        const QString refusedList =
            QStringLiteral("Error: server refused the folder list: nonsense");
        const QString loginFailed = QStringLiteral("Error: login failed: nonsense");
        const QString bye =
            QStringLiteral("Error: server closed the connection: Server shutting down");

        for (const SearchStep &s : kSearchSteps) {
            const bool logout = s.step == 10;
            auto row = [&](Fault f) -> QTestData & {
                return QTest::addRow("search, %s: %s", s.name, faultName(f))
                       << false << s.step << f;
            };
            // Once the last folder is done, a server that goes away only costs the goodbye.
            row(Fault::Close) << (logout ? kFullRun : closed) << s.rowsShown << s.rowsShown;
            for (Fault f : {Fault::Stall, Fault::Noise})
                row(f) << (logout ? kFullRun : silent) << s.rowsShown << s.rowsShown;

            // A tagged line that is neither OK, NO nor BAD answers the oldest command waiting
            // and refuses it.
            QString status = silent;
            int rowsAfter = s.rowsShown;
            switch (s.step) {
            case 1:
                status = loginFailed;
                break;
            case 2:
                status = refusedList;
                break;
            case 5: // the batch's rows appear without headers; then EXAMINE INBOX waits
                rowsAfter = 2;
                break;
            case 7: // the folder counts as not searched; then LOGOUT waits
                status = kFullRun.left(kFullRun.indexOf(QLatin1String("602"))) +
                         QStringLiteral("2 matching emails found in 2 folders. 1 folders could "
                                        "not be searched.");
                break;
            case 8:
                rowsAfter = 502;
                break;
            case 9:
                status = kFullRun;
                rowsAfter = 602;
                break;
            case 10:
                status = kFullRun;
                break;
            }
            row(Fault::Tagged) << status << s.rowsShown << rowsAfter;
            if (s.step == 2 || s.step == 7 || s.step == 9)
                row(Fault::Bye) << bye << s.rowsShown << s.rowsShown;
        }

        for (int step = 0; step < 4; ++step) {
            auto row = [&](Fault f) -> QTestData & {
                return QTest::addRow("browse, %s: %s", kBrowseSteps[step], faultName(f))
                       << true << step << f;
            };
            // The grid keeps the row of the search before the Browse.
            row(Fault::Close) << closed << 1 << 1;
            for (Fault f : {Fault::Stall, Fault::Noise})
                row(f) << silent << 1 << 1;
            const QString tagged[] = {silent, loginFailed, refusedList, QString()};
            row(Fault::Tagged) << tagged[step] << 1 << 1;
            if (step == 2)
                row(Fault::Bye) << bye << 1 << 1;
        }
    }

    void matrix()
    {
        QFETCH(bool, browse);
        QFETCH(int, step);
        QFETCH(Fault, fault);
        QFETCH(QString, status);
        QFETCH(int, rowsShown);
        QFETCH(int, rowsAfter);

        Window w;
        PickerCanceller picker;
        if (browse)
            fillGrid(w);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(browse ? kBrowseScript : searchScript(w.keyLine()));
        FaultProxy proxy(server.port(), step, fault);
        QVERIFY(proxy.listen());
        QList<imap::ResultRecord> shownAtFault;
        bool runningAtFault = false;
        proxy.onFault = [&] {
            shownAtFault = w.rows();
            runningAtFault = w.form.flowRunning();
        };
        w.form.txtServer->setText(proxy.address());
        if (browse)
            w.form.cmdBrowse_Click();
        else
            w.form.cmdSearch_Click();
        QVERIFY(proxy.faulted());
        const qint64 ms = proxy.sinceFault();
        report(QLatin1String(browse ? "browse" : "search"),
               QLatin1String(browse ? kBrowseSteps[step] : kSearchSteps[step].name),
               QLatin1String(faultName(fault)), w.form.lblStatus->text(), ms);

        QVERIFY(runningAtFault);
        QCOMPARE(w.form.lblStatus->text(), status);
        QVERIFY2(ms <= kSearchIdleMs + kSlackMs, qPrintable(QString::number(ms)));
        // The rows shown when the fault came are all still there, unchanged.
        QCOMPARE(shownAtFault.size(), rowsShown);
        const QList<imap::ResultRecord> rows = w.rows();
        QCOMPARE(rows.size(), rowsAfter);
        for (qsizetype i = 0; i < shownAtFault.size(); ++i) {
            QCOMPARE(rows[i].strFolder, shownAtFault[i].strFolder);
            QCOMPARE(rows[i].strMsgNum, shownAtFault[i].strMsgNum);
            QCOMPARE(rows[i].strSubject, shownAtFault[i].strSubject);
        }
        if (!browse)
            for (qsizetype i = 0; i < shownAtFault.size(); ++i)
                QCOMPARE(shownAtFault[i].strSubject,
                         QStringLiteral("report ") + shownAtFault[i].strMsgNum);
        QCOMPARE(picker.shown, browse && step == 3 ? 1 : 0);
        checkReady(w);
    }

    // Untagged notices a server may send at any time (new mail, flag changes, expunges before
    // a search) change nothing in what a run finds.
    void notices()
    {
        Window w;
        const QString key = w.keyLine();
        const QString flags = QStringLiteral("S: * 5 FETCH (FLAGS (\\\\Seen))\n"
                                             "S: * 3 FETCH (FLAGS (\\\\Seen \\\\Flagged))\n"
                                             "S: * 7 FETCH (UID 70 FLAGS ())\n");
        QString s = kGreeting + kLogin +
                    QStringLiteral("C: 1 LIST \"\" \"*\"\n"
                                   "S: * LIST () \".\" Sent\nS: * 12 EXISTS\n"
                                   "S: * LIST () \".\" INBOX\nS: 1 OK LIST done\n"
                                   "C: 1 EXAMINE \"Sent\"\nS: * 9 EXISTS\nS: * 2 RECENT\n"
                                   "S: * 4 EXPUNGE\nS: * 8 EXISTS\n") +
                    flags + QStringLiteral("S: 1 OK [READ-ONLY] done\n");
        s += QStringLiteral("C: ") + key +
             QStringLiteral("\nS: * 9 EXISTS\nS: * SEARCH 3 7\nS: * 3 FETCH (FLAGS (\\\\Seen))\n"
                            "S: * 10 EXISTS\nS: 1 OK done\n");
        // A flag change for a hit before and after its headers.
        s += fetchExchange({3, 7}, flags + QStringLiteral("S: * 11 EXISTS\n"));
        s += QStringLiteral("C: 1 EXAMINE \"INBOX\"\nS: * 601 EXISTS\nS: * 1 EXPUNGE\n"
                            "S: * 600 EXISTS\nS: 1 OK [READ-ONLY] done\n");
        s += QStringLiteral("C: ") + key + QStringLiteral("\nS: * 601 EXISTS\nS: * SEARCH ") +
             numbers(range(1, 600), QLatin1Char(' ')) +
             QStringLiteral("\nS: * 600 FETCH (FLAGS (\\\\Seen))\nS: 1 OK done\n");
        s += fetchExchange(range(1, 500),
                           flags + QStringLiteral("S: * 602 EXISTS\nS: * 2 RECENT\n"));
        s += fetchExchange(range(501, 600), QStringLiteral("S: * 550 FETCH (FLAGS ())\n"));
        s += QStringLiteral("C: 1 LOGOUT\nS: * 603 EXISTS\nS: * 1 EXPUNGE\nS: * BYE bye\n"
                            "S: 1 OK LOGOUT done\n");

        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(s);
        w.form.txtServer->setText(server.address());
        QElapsedTimer clock;
        clock.start();
        w.form.cmdSearch_Click();
        report(QStringLiteral("search"), QStringLiteral("every step"),
               QStringLiteral("EXISTS/EXPUNGE/FETCH notices"), w.form.lblStatus->text(),
               clock.elapsed());
        QCOMPARE(server.failure(), QString());
        QCOMPARE(w.form.lblStatus->text(), kFullRun);
        const QList<imap::ResultRecord> rows = w.rows();
        QCOMPARE(rows.size(), 602);
        const QList<int> sent = {3, 7};
        for (int i = 0; i < 602; ++i) {
            const int num = i < 2 ? sent[i] : i - 1;
            QCOMPARE(rows[i].strFolder, QLatin1String(i < 2 ? "Sent" : "INBOX"));
            QCOMPARE(rows[i].strMsgNum, QString::number(num));
            QCOMPARE(rows[i].strSubject, QStringLiteral("report %1").arg(num));
            QCOMPARE(rows[i].strFrom, QStringLiteral("Sender %1 <s%1@example.org>").arg(num));
            QVERIFY(rows[i].dtLocal.isValid());
        }
        checkReady(w);
    }

    // Streams far beyond the reader's limits. Memory must stay within the limit that applies
    // plus a fixed margin, and the run must end with the reason.
    void oversized_data()
    {
        QTest::addColumn<bool>("browse");
        QTest::addColumn<int>("step");
        QTest::addColumn<Flood>("flood");
        QTest::addColumn<qint64>("lineLimit"); // 0: the reader's default limits
        QTest::addColumn<qint64>("literalLimit");
        QTest::addColumn<qint64>("responseLimit");
        QTest::addColumn<QString>("status");
        QTest::addColumn<qint64>("boundMiB"); // the limit that applies; growth may exceed it by 64

        const qint64 mb200 = 200 * 1000 * 1000;
        const QString tooLong = QStringLiteral("Error: server sent a line that is too long");
        const QString tooLarge =
            QStringLiteral("Error: server announced a literal that is too large");
        const QString tooBig = QStringLiteral("Error: server sent a response that is too large");
        const Flood searchLine{"* SEARCH", " 1234567", mb200, {}};
        const Flood listLine{"* LIST () \".\" ", "x", mb200, {}};
        const Flood literal2G{"* 3 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {2147483648}\r\n",
                              "Subject: x\r\n",
                              2147483648LL,
                              {}};
        const Flood lines{"", "* 3 FETCH (FLAGS (\\Seen))\r\n", mb200, {}};
        const Flood literals{"",
                             "* 3 FETCH (BODY[HEADER.FIELDS (SUBJECT)] {4096}\r\n" +
                                 QByteArray(4096, 'x') + ")\r\n",
                             mb200,
                             {}};

        const imap::ResponseReader::Limits defaults;
        const qint64 line = defaults.maxLineBytes / kMiB;
        const qint64 response = defaults.maxResponseBytes / kMiB;
        QTest::newRow("search, SEARCH Sent: 200 MB line")
            << false << 4 << searchLine << qint64(0) << qint64(0) << qint64(0) << tooLong << line;
        QTest::newRow("search, FETCH Sent: 2 GB literal")
            << false << 5 << literal2G << qint64(0) << qint64(0) << qint64(0) << tooLarge
            << qint64(0);
        QTest::newRow("browse, LIST: 200 MB line")
            << true << 2 << listLine << qint64(0) << qint64(0) << qint64(0) << tooLong << line;
        QTest::newRow("browse, LIST: 2 GB literal")
            << true << 2 << literal2G << qint64(0) << qint64(0) << qint64(0) << tooLarge
            << qint64(0);
        // A search answer just within the line limit that names the same message over and over:
        // four million hits from eight megabytes, unless each counts once.
        QTest::newRow("search, SEARCH INBOX: 8 MB of one hit repeated")
            << false << 7
            << Flood{"* SEARCH", " 7", defaults.maxLineBytes - 64, "\r\n1 OK done\r\n"} << qint64(0)
            << qint64(0) << qint64(0) << QStringLiteral("Error: server did not answer") << line;
        // Lines that each keep within the limits but never end the response: with small limits
        // here, with the default ones when FQ_FAULT_HEAVY is set.
        QTest::newRow("search, FETCH Sent: 200 MB of short lines, small limits")
            << false << 5 << lines << qint64(64 * 1024) << qint64(kMiB) << qint64(2 * kMiB)
            << tooBig << qint64(2);
        QTest::newRow("search, FETCH Sent: 200 MB of 4 kB literals, small limits")
            << false << 5 << literals << qint64(64 * 1024) << qint64(kMiB) << qint64(2 * kMiB)
            << tooBig << qint64(2);
        if (qEnvironmentVariableIntValue("FQ_FAULT_HEAVY")) {
            QTest::newRow("search, FETCH Sent: 400 MB of short lines")
                << false << 5 << Flood{lines.head, lines.unit, 2 * mb200, {}} << qint64(0)
                << qint64(0) << qint64(0) << tooBig << response;
            QTest::newRow("search, FETCH Sent: 400 MB of 4 kB literals")
                << false << 5 << Flood{literals.head, literals.unit, 2 * mb200, {}} << qint64(0)
                << qint64(0) << qint64(0) << tooBig << response;
        }
    }

    void oversized()
    {
        QFETCH(bool, browse);
        QFETCH(int, step);
        QFETCH(Flood, flood);
        QFETCH(qint64, lineLimit);
        QFETCH(qint64, literalLimit);
        QFETCH(qint64, responseLimit);
        QFETCH(QString, status);
        QFETCH(qint64, boundMiB);

        Window w;
        PickerCanceller picker;
        if (lineLimit > 0) {
            imap::ResponseReader::Limits limits;
            limits.maxLineBytes = lineLimit;
            limits.maxLiteralBytes = literalLimit;
            limits.maxResponseBytes = responseLimit;
            w.form.channel().setReaderLimits(limits);
        }
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(browse ? kBrowseScript : searchScript(w.keyLine()));
        FaultProxy proxy(server.port(), step, Fault::Flood, flood);
        QVERIFY(proxy.listen());
        w.form.txtServer->setText(proxy.address());

        QVERIFY(resetPeakRss());
        const qint64 before = procStatusKb("VmRSS");
        QVERIFY(before > 0);
        if (browse)
            w.form.cmdBrowse_Click();
        else
            w.form.cmdSearch_Click();
        const qint64 ms = proxy.sinceFault();
        const qint64 growthKb = procStatusKb("VmHWM") - before;
        QVERIFY(proxy.faulted());
        report(QLatin1String(browse ? "browse" : "search"),
               QLatin1String(browse ? kBrowseSteps[step] : kSearchSteps[step].name),
               QString::fromLatin1(QTest::currentDataTag()).section(QLatin1String(": "), 1),
               w.form.lblStatus->text() + QStringLiteral(" (peak +%1 MiB, %2 MB sent)")
                                              .arg(growthKb / 1024)
                                              .arg(proxy.floodSent() / 1000000),
               ms);
        QCOMPARE(w.form.lblStatus->text(), status);
        const qint64 boundKb = (boundMiB + 64) * 1024;
        QVERIFY2(growthKb <= boundKb,
                 qPrintable(QStringLiteral("resident memory grew by %1 kB").arg(growthKb)));
        if (flood.tail.isEmpty())
            QVERIFY2(proxy.floodSent() < flood.total, "the client took the whole stream");
        QVERIFY2(ms <= kSearchIdleMs + kSlackMs, qPrintable(QString::number(ms)));
        checkReady(w);
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
        imap::ResponseReader::Limits limits;
        limits.maxLineBytes = 200;
        limits.maxLiteralBytes = 1000;
        limits.maxResponseBytes = 1000;
        imap::ResponseReader reader(limits);
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

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
