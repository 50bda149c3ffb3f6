// A soak: many consecutive searches in one window, against a real server. Prints the resident
// memory and the open file descriptors after an early search and after the last one, and fails
// when memory has grown by more than the allowed share or a descriptor has been left open.
//
//   bench_soak_searches --server 127.0.0.1:PORT [--subject in] [--count 500] [--early 50]
//                       [--max-growth 10]
//
// scripts/soak.sh starts a private Dovecot with the sample mailbox and runs this. Exit status:
// 0 when every search completed with the same result and both targets are met, 1 otherwise.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/processstats.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Lets the window do what it would do between two clicks: deferred deletions, repaints.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // The window remembers its server and size; keep that away from the user's settings.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
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

    Form1 form;
    form.show();
    form.txtServer->setText(args.value(QStringLiteral("server")));
    form.txtLogin->setText(QStringLiteral("demo"));
    form.txtPassword->setText(QStringLiteral("demo"));
    form.txtSubjectSearch->setText(args.value(QStringLiteral("subject")));
    settle();

    QString firstStatus;
    qint64 earlyKb = 0;
    int earlyFds = 0;
    int failures = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= count; ++i) {
        form.cmdSearch_Click();
        settle();
        const QString status = form.lblStatus->text();
        if (i == 1)
            firstStatus = status;
        if (!status.startsWith(QStringLiteral("Search Complete. ")) || status != firstStatus) {
            std::fprintf(stderr, "search %d: %s\n", i, qPrintable(status));
            ++failures;
        }
        if (i == early) {
            earlyKb = testsupport::residentKb();
            earlyFds = testsupport::openDescriptors();
        }
    }
    const double seconds = double(clock.elapsed()) / 1000.0;
    const qint64 lastKb = testsupport::residentKb();
    const int lastFds = testsupport::openDescriptors();
    const double growth = earlyKb > 0 ? 100.0 * double(lastKb - earlyKb) / double(earlyKb) : 0.0;

    std::printf("searches                 %d in %.1f s (%.1f ms each)\n", count, seconds,
                1000.0 * seconds / count);
    std::printf("result of each           %s (%lld rows)\n", qPrintable(firstStatus),
                static_cast<long long>(form.resultsModel()->hitCount()));
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
