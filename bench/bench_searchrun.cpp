// A whole search run over a large mailbox, measured through a loopback proxy that adds a fixed
// delay each way: how many round trips a run costs and how close its wall time comes to what
// those round trips must cost on a slow link.
//
//   bench_searchrun --server 127.0.0.1:PORT [--subject needle] [--delay-ms 10]
//
// scripts/bench-searchrun.sh starts a private Dovecot with the benchmark mailbox and runs this.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/tcpproxy.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QThread>

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
    qint64 hits = 0;
    int folders = 0;
    int roundTrips = 0;
    int commands = 0;
    double wallMs = 0;
    double cpuMs = 0;
    QString status;
};

Figures runOnce(const QHostAddress &host, quint16 port, int delayMs, const QString &subject)
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

    Figures f;
    {
        Form1 form;
        form.txtServer->setText(QStringLiteral("127.0.0.1:%1").arg(proxy->port()));
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtSubjectSearch->setText(subject);
        const int trips = form.channel().roundTrips();
        QElapsedTimer wall;
        const double cpu = threadCpuSeconds();
        wall.start();
        form.cmdSearch_Click();
        f.wallMs = double(wall.nsecsElapsed()) / 1e6;
        f.cpuMs = (threadCpuSeconds() - cpu) * 1000.0;
        f.roundTrips = form.channel().roundTrips() - trips;
        f.hits = form.resultsModel()->hitCount();
        f.status = form.lblStatus->text();
        const QStringList words = f.status.split(QLatin1Char(' '));
        const qsizetype in = words.indexOf(QStringLiteral("in"));
        if (in >= 0 && in + 1 < words.size())
            f.folders = words[in + 1].toInt();
    }
    f.commands = proxy->commandCount();
    thread.quit();
    thread.wait();
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption(
        {QStringLiteral("server"), QStringLiteral("Dovecot address"), QStringLiteral("host:port")});
    parser.addOption({QStringLiteral("subject"), QStringLiteral("subject to search"),
                      QStringLiteral("text"), QStringLiteral("needle")});
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
    const QString subject = parser.value(QStringLiteral("subject"));

    const Figures fast = runOnce(host, port, 0, subject);
    const Figures slow = runOnce(host, port, delay, subject);

    auto print = [](const char *name, const Figures &f) {
        std::printf("%-18s folders F=%d  hits H=%lld  round trips=%d  commands=%d  wall=%.0f ms  "
                    "client CPU=%.0f ms (%.1f%% of wall)\n",
                    name, f.folders, static_cast<long long>(f.hits), f.roundTrips, f.commands,
                    f.wallMs, f.cpuMs, 100.0 * f.cpuMs / f.wallMs);
    };
    print("0 ms each way:", fast);
    const QByteArray slowName = QByteArray::number(delay) + " ms each way:";
    print(slowName.constData(), slow);
    std::printf("status: %s\n", qPrintable(slow.status));

    const int bound = 2 * slow.folders + int((slow.hits + 499) / 500) + 4;
    const double floor = slow.roundTrips * 2.0 * delay + fast.wallMs;
    const double ratio = slow.wallMs / floor;
    std::printf("round trips %d <= 2F + ceil(H/500) + 4 = %d: %s\n", slow.roundTrips, bound,
                slow.roundTrips <= bound ? "yes" : "NO");
    std::printf(
        "wall / (round trips x %d ms + 0 ms wall) = %.0f / %.0f = %.2f (target <= 1.3): %s\n",
        2 * delay, slow.wallMs, floor, ratio, ratio <= 1.3 ? "yes" : "NO");
    std::printf("client CPU %.1f%% of wall at %d ms (target < 5%%): %s\n",
                100.0 * slow.cpuMs / slow.wallMs, delay,
                100.0 * slow.cpuMs / slow.wallMs < 5.0 ? "yes" : "NO");
    return 0;
}
