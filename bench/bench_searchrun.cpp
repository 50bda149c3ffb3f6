// Whole searches over large mailboxes, measured through a loopback proxy that adds a fixed delay
// each way, with and without the extensions a server offers (SEARCHRES, LITERAL+): wall time,
// round trips of every connection, client CPU, and how close the wall time comes to what the
// round trips must cost on a slow link.
//
//   bench_searchrun --server 127.0.0.1:PORT [--small-server 127.0.0.1:PORT] [--delay-ms 50]
//                   [--small-delay-ms 10] [--subject needle] [--body haystack]
//
// --server is the 1 000-folder mailbox, --small-server the 201-folder one.
// scripts/bench-searchrun.sh starts private Dovecot servers with those mailboxes and runs this.

#include "imap/account.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/tcpproxy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// Folders a connection keeps in flight with the extended conversation.
constexpr int kWindow = 16;

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Figures
{
    qsizetype hits = 0;
    qsizetype folders = 0;
    QList<int> roundTrips;
    int commands = 0;
    double wallMs = 0;
    double cpuMs = 0;

    int busiest() const
    {
        return roundTrips.isEmpty() ? 0 : *std::max_element(roundTrips.cbegin(), roundTrips.cend());
    }
};

Figures runOnce(const QString &server, int delayMs, int connections,
                const search::SearchCriteria &criteria, bool extensions)
{
    const qsizetype colon = server.lastIndexOf(QLatin1Char(':'));
    // The proxy runs in a thread of its own so that its work is not counted as the client's.
    QThread thread;
    auto *proxy = new TcpProxy(QHostAddress(server.left(colon)),
                               quint16(server.mid(colon + 1).toUInt()), delayMs);
    proxy->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, proxy, &QObject::deleteLater);
    thread.start();
    bool listening = false;
    QMetaObject::invokeMethod(proxy, &TcpProxy::listen, Qt::BlockingQueuedConnection, &listening);
    if (!listening)
        qFatal("proxy could not listen");

    search::SearchRequest request;
    request.account = imap::Account::fromFields(QStringLiteral("127.0.0.1:%1").arg(proxy->port()),
                                                QStringLiteral("demo"), QStringLiteral("demo"));
    request.scope = search::FolderScope::fromChoice(QString(), true);
    request.key = search::buildSearchKey(criteria);
    request.connections = connections;
    request.extensions = extensions;

    Figures f;
    search::SearchEngine engine;
    QEventLoop loop;
    search::SearchEngine::Summary summary;
    QObject::connect(&engine, &search::SearchEngine::finished, &loop,
                     [&](const search::SearchEngine::Summary &s) {
                         summary = s;
                         loop.quit();
                     });
    QElapsedTimer wall;
    const double cpu = threadCpuSeconds();
    wall.start();
    engine.start(request);
    loop.exec();
    f.wallMs = double(wall.nsecsElapsed()) / 1e6;
    f.cpuMs = (threadCpuSeconds() - cpu) * 1000.0;
    if (summary.outcome != search::SearchEngine::Outcome::Complete)
        qFatal("search did not complete: %s", qPrintable(summary.reason));
    f.hits = summary.hits;
    f.folders = summary.folders;
    f.roundTrips = engine.roundTrips();
    f.commands = proxy->commandCount();
    thread.quit();
    thread.wait();
    return f;
}

void print(const char *name, const Figures &f)
{
    QStringList trips;
    for (int t : f.roundTrips)
        trips.append(QString::number(t));
    std::printf("  %-34s F=%lld H=%lld  wall=%6.0f ms  round trips=%s  commands=%d  "
                "client CPU=%.0f ms\n",
                name, static_cast<long long>(f.folders), static_cast<long long>(f.hits), f.wallMs,
                qPrintable(trips.join(QLatin1Char('/'))), f.commands, f.cpuMs);
}

const char *verdict(bool ok)
{
    return ok ? "yes" : "NO";
}

// A search through a slow link, with and without extensions, and the checks on it.
void compare(const char *title, const QString &server, int delayMs, int connections,
             const search::SearchCriteria &criteria, double targetMs)
{
    std::printf("== %s: %d connections, %d ms round trip\n", title, connections, 2 * delayMs);
    for (const bool extensions : {true, false}) {
        const Figures fast = runOnce(server, 0, connections, criteria, extensions);
        const Figures slow = runOnce(server, delayMs, connections, criteria, extensions);
        const QByteArray name = extensions ? "extensions" : "Extensions=false";
        print((name + ", 0 ms").constData(), fast);
        print((name + ", " + QByteArray::number(2 * delayMs) + " ms").constData(), slow);
        const double floor = slow.busiest() * 2.0 * delayMs + fast.wallMs;
        std::printf("    wall / (round trips x %d ms + wall at 0 ms) = %.0f / %.0f = %.2f "
                    "(<= 1.3: %s)\n",
                    2 * delayMs, slow.wallMs, floor, slow.wallMs / floor,
                    verdict(slow.wallMs / floor <= 1.3));
        if (extensions) {
            const qsizetype bound =
                (slow.folders + connections * kWindow - 1) / (connections * kWindow) + 8;
            std::printf("    busiest connection %d round trips <= ceil(F/(N*W)) + 8 = %lld: %s\n",
                        slow.busiest(), static_cast<long long>(bound),
                        verdict(slow.busiest() <= bound));
            if (targetMs > 0)
                std::printf("    wall %.0f ms < %.0f ms: %s\n", slow.wallMs, targetMs,
                            verdict(slow.wallMs < targetMs));
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("server"), QStringLiteral("the 1 000-folder server"),
                      QStringLiteral("host:port")});
    parser.addOption({QStringLiteral("small-server"), QStringLiteral("the 201-folder server"),
                      QStringLiteral("host:port")});
    parser.addOption({QStringLiteral("delay-ms"), QStringLiteral("delay each way, large mailbox"),
                      QStringLiteral("ms"), QStringLiteral("50")});
    parser.addOption({QStringLiteral("small-delay-ms"),
                      QStringLiteral("delay each way, small mailbox"), QStringLiteral("ms"),
                      QStringLiteral("10")});
    parser.addOption({QStringLiteral("subject"), QStringLiteral("subject to search"),
                      QStringLiteral("text"), QStringLiteral("needle")});
    parser.addOption({QStringLiteral("body"), QStringLiteral("body text to search"),
                      QStringLiteral("text"), QStringLiteral("haystack")});
    parser.process(app);
    const QString server = parser.value(QStringLiteral("server"));
    const QString small = parser.value(QStringLiteral("small-server"));
    if (!server.contains(QLatin1Char(':')))
        qFatal("--server host:port is required");
    search::SearchCriteria subject;
    subject.subject = parser.value(QStringLiteral("subject"));
    search::SearchCriteria nonAscii;
    nonAscii.subject = QStringLiteral("Gr\u00fc\u00dfe");
    search::SearchCriteria body;
    body.body = parser.value(QStringLiteral("body"));
    const int delay = parser.value(QStringLiteral("delay-ms")).toInt();
    const int smallDelay = parser.value(QStringLiteral("small-delay-ms")).toInt();

    compare("large mailbox, subject", server, delay, 4, subject, 5000);
    if (small.contains(QLatin1Char(':'))) {
        compare("small mailbox, ASCII subject", small, smallDelay, 4, subject, 600);
        compare("small mailbox, non-ASCII subject", small, smallDelay, 4, nonAscii, 600);
        const Figures bodyOne = runOnce(small, 0, 1, body, true);
        const Figures bodyFour = runOnce(small, 0, 4, body, true);
        std::printf("== small mailbox, body search, 0 ms\n");
        print("1 connection", bodyOne);
        print("4 connections", bodyFour);
        std::printf("  speed-up with 4 connections: %.2fx\n", bodyOne.wallMs / bodyFour.wallMs);
    }
    return 0;
}
