// A whole search over a large mailbox, measured through a loopback proxy that adds a fixed delay
// each way, with one connection and with four: how many round trips the busiest connection
// costs and how close the wall time comes to what those round trips must cost on a slow link.
// Then a search of text that sits only in message bodies, where the server's own work counts.
//
//   bench_searchrun --server 127.0.0.1:PORT [--subject needle] [--body haystack] [--delay-ms 10]
//
// scripts/bench-searchrun.sh starts a private Dovecot with the benchmark mailbox and runs this.

#include "imap/serveraddress.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/tcpproxy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

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
    int busiestRoundTrips = 0;
    int commands = 0;
    double wallMs = 0;
    double cpuMs = 0;
};

Figures runOnce(const QHostAddress &host, quint16 port, int delayMs, int connections,
                const search::SearchCriteria &criteria)
{
    // The proxy runs in a thread of its own so that its work is not counted as the client's.
    QThread thread;
    auto *proxy = new TcpProxy(host, port, delayMs);
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
    const QList<int> trips = engine.roundTrips();
    f.busiestRoundTrips = trips.isEmpty() ? 0 : *std::max_element(trips.cbegin(), trips.cend());
    f.commands = proxy->commandCount();
    thread.quit();
    thread.wait();
    return f;
}

void print(const char *name, const Figures &f)
{
    std::printf("%-22s F=%lld  H=%lld  round trips (busiest connection)=%d  commands=%d  "
                "wall=%.0f ms  client CPU=%.0f ms (%.1f%% of wall)\n",
                name, static_cast<long long>(f.folders), static_cast<long long>(f.hits),
                f.busiestRoundTrips, f.commands, f.wallMs, f.cpuMs, 100.0 * f.cpuMs / f.wallMs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption(
        {QStringLiteral("server"), QStringLiteral("Dovecot address"), QStringLiteral("host:port")});
    parser.addOption({QStringLiteral("subject"), QStringLiteral("subject to search"),
                      QStringLiteral("text"), QStringLiteral("needle")});
    parser.addOption({QStringLiteral("body"), QStringLiteral("body text to search"),
                      QStringLiteral("text"), QStringLiteral("haystack")});
    parser.addOption({QStringLiteral("delay-ms"), QStringLiteral("delay each way"),
                      QStringLiteral("ms"), QStringLiteral("10")});
    parser.process(app);
    const QString server = parser.value(QStringLiteral("server"));
    const qsizetype colon = server.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        qFatal("--server host:port is required");
    const QHostAddress host(server.left(colon));
    const quint16 port = quint16(server.mid(colon + 1).toUInt());
    const int delay = parser.value(QStringLiteral("delay-ms")).toInt();
    search::SearchCriteria subject;
    subject.subject = parser.value(QStringLiteral("subject"));
    search::SearchCriteria body;
    body.body = parser.value(QStringLiteral("body"));

    for (int connections : {1, 4}) {
        const Figures fast = runOnce(host, port, 0, connections, subject);
        const Figures slow = runOnce(host, port, delay, connections, subject);
        std::printf("== %d connection%s, subject search\n", connections,
                    connections == 1 ? "" : "s");
        print("0 ms each way:", fast);
        const QByteArray slowName = QByteArray::number(delay) + " ms each way:";
        print(slowName.constData(), slow);
        const qsizetype bound =
            (slow.folders + connections - 1) / connections + (slow.hits + 499) / 500 + 6;
        const double floor = slow.busiestRoundTrips * 2.0 * delay + fast.wallMs;
        const double ratio = slow.wallMs / floor;
        std::printf("round trips %d <= ceil(F/N) + ceil(H/500) + 6 = %lld: %s\n",
                    slow.busiestRoundTrips, static_cast<long long>(bound),
                    slow.busiestRoundTrips <= bound ? "yes" : "NO");
        std::printf("wall / (round trips x %d ms + 0 ms wall) = %.0f / %.0f = %.2f (target <= "
                    "1.3): %s\n",
                    2 * delay, slow.wallMs, floor, ratio, ratio <= 1.3 ? "yes" : "NO");
        if (connections == 4 && delay == 10)
            std::printf("4 connections at a 20 ms round trip: %.0f ms (target < 2500 ms): %s\n",
                        slow.wallMs, slow.wallMs < 2500 ? "yes" : "NO");
    }

    const Figures bodyOne = runOnce(host, port, 0, 1, body);
    const Figures bodyFour = runOnce(host, port, 0, 4, body);
    std::printf("== body search, 0 ms each way\n");
    print("1 connection:", bodyOne);
    print("4 connections:", bodyFour);
    std::printf("speed-up with 4 connections: %.2fx\n", bodyOne.wallMs / bodyFour.wallMs);
    return 0;
}
