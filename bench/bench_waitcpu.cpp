// CPU the client uses while it waits for a server that says nothing: the connection waits in the
// event loop, so this should be close to zero.
//
//   bench_waitcpu [seconds]     (default 5)

#include "imap/connection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include <sys/resource.h>

#include <cstdio>

namespace {
double cpuSeconds()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(1, atoi(argv[1])) : 5;
    // A server that accepts the connection and never greets.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    imap::Connection connection;
    imap::Connection::Timeouts t;
    t.idleMs = seconds * 1000;
    connection.setTimeouts(t);
    QElapsedTimer wall;
    double cpu = 0;
    QString outcome;
    auto done = [&](const QString &what) {
        outcome = what;
        app.quit();
    };
    QObject::connect(&connection, &imap::Connection::ready, &app,
                     [&] { done(QStringLiteral("greeted")); });
    QObject::connect(&connection, &imap::Connection::failed, &app,
                     [&](const QString &reason) { done(QStringLiteral("ended: ") + reason); });
    wall.start();
    cpu = cpuSeconds();
    connection.open(
        imap::parseServerAddress(QStringLiteral("127.0.0.1:%1").arg(server.serverPort())));
    app.exec();
    const double used = cpuSeconds() - cpu;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    std::printf("waited %.2f s for a greeting (%s); CPU used %.4f s = %.3f%% of the wait\n",
                elapsed, qPrintable(outcome), used, 100.0 * used / elapsed);
    return 0;
}
