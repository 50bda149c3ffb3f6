// A soak: many consecutive searches in one window, against a real server, each started from
// the event loop once the one before has ended. Prints the resident
// memory and the open file descriptors after an early search and after the last one, and fails
// when memory has grown by more than the allowed share or a descriptor has been left open.
//
//   bench_soak_searches --server 127.0.0.1:PORT [--subject in] [--count 500] [--early 50]
//                       [--max-growth 10]
//
// bench/soak.sh starts a private Dovecot with the sample mailbox and runs this. Exit status:
// 0 when every search completed with the same result and both targets are met, 1 otherwise.

#include "app/mainwindow.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/searchengine.h"
#include "support/processstats.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // The window remembers its server and size; keep that away from the user's settings, and
    // the password away from the user's keyring (no session bus).
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QApplication app(argc, argv);
    QCommandLineParser args;
    args.addHelpOption();
    args.addOption(
        {QStringLiteral("server"), QStringLiteral("host:port"), QStringLiteral("server")});
    args.addOption({QStringLiteral("subject"), QStringLiteral("subject text"),
                    QStringLiteral("text"), QStringLiteral("in")});
    args.addOption({QStringLiteral("count"), QStringLiteral("searches"), QStringLiteral("n"),
                    QStringLiteral("500")});
    args.addOption({QStringLiteral("early"), QStringLiteral("search measured first"),
                    QStringLiteral("n"), QStringLiteral("50")});
    args.addOption({QStringLiteral("max-growth"),
                    QStringLiteral("allowed memory growth after the early search, percent"),
                    QStringLiteral("percent"), QStringLiteral("10")});
    args.process(app);
    if (!args.isSet(QStringLiteral("server"))) {
        std::fprintf(stderr, "bench_soak_searches: --server host:port is required\n");
        return 2;
    }
    const int count = args.value(QStringLiteral("count")).toInt();
    const int early = args.value(QStringLiteral("early")).toInt();
    const double maxGrowth = args.value(QStringLiteral("max-growth")).toDouble();
    if (count < 1 || early < 1 || early > count) {
        std::fprintf(stderr, "bench_soak_searches: need 1 <= early <= count\n");
        return 2;
    }

    MainWindow window;
    window.show();
    const auto field = [&window](const char *name) {
        return window.findChild<QLineEdit *>(QLatin1String(name));
    };
    field("serverEdit")->setText(args.value(QStringLiteral("server")));
    field("loginEdit")->setText(QStringLiteral("demo"));
    field("passwordEdit")->setText(QStringLiteral("demo"));
    field("subjectEdit")->setText(args.value(QStringLiteral("subject")));
    auto *status = window.findChild<QLabel *>(QStringLiteral("statusLabel"));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("searchButton"));
    const results::ResultsModel *model =
        window.findChild<results::ResultsView *>(QStringLiteral("resultsView"))->resultsModel();

    QString firstStatus;
    qint64 earlyKb = 0;
    int earlyFds = 0;
    int failures = 0;
    int done = 0;
    QElapsedTimer clock;
    // The window has handled the end of a search before this is told.
    QObject::connect(
        window.findChild<search::SearchEngine *>(), &search::SearchEngine::finished, &window, [&] {
            ++done;
            const QString text = status->text();
            if (done == 1)
                firstStatus = text;
            if (!text.startsWith(QStringLiteral("Search Complete. ")) || text != firstStatus) {
                std::fprintf(stderr, "search %d: %s\n", done, qPrintable(text));
                ++failures;
            }
            if (done == early) {
                earlyKb = testsupport::residentKb();
                earlyFds = testsupport::openDescriptors();
            }
            // The next click comes from the event loop, as a user's would.
            if (done < count)
                QTimer::singleShot(0, button, &QPushButton::click);
            else
                QTimer::singleShot(0, &app, &QCoreApplication::quit);
        });
    clock.start();
    QTimer::singleShot(0, button, &QPushButton::click);
    app.exec();
    const double seconds = double(clock.elapsed()) / 1000.0;
    const qint64 lastKb = testsupport::residentKb();
    const int lastFds = testsupport::openDescriptors();
    const double growth = earlyKb > 0 ? 100.0 * double(lastKb - earlyKb) / double(earlyKb) : 0.0;

    std::printf("searches                 %d in %.1f s (%.1f ms each)\n", count, seconds,
                1000.0 * seconds / count);
    std::printf("result of each           %s (%lld rows)\n", qPrintable(firstStatus),
                static_cast<long long>(model->hitCount()));
    std::printf("failed searches          %d\n", failures);
    std::printf("resident after %-4d      %lld kB\n", early, static_cast<long long>(earlyKb));
    std::printf("resident after %-4d      %lld kB (%+.2f%%, allowed %+.0f%%)\n", count,
                static_cast<long long>(lastKb), growth, maxGrowth);
    std::printf("descriptors after %-4d   %d\n", early, earlyFds);
    std::printf("descriptors after %-4d   %d\n", count, lastFds);

    const bool memoryOk = growth <= maxGrowth;
    const bool fdsOk = lastFds == earlyFds;
    std::printf("memory target            %s\n", memoryOk ? "met" : "MISSED");
    std::printf("descriptor target        %s\n", fdsOk ? "met" : "MISSED");
    return failures == 0 && memoryOk && fdsOk ? 0 : 1;
}
