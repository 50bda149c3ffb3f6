// The results grid at scale: appends 1 000 000 hits (or the number given as the first argument)
// in batches of 500, one folder's hits each and the folders a little out of order as several
// connections find them (as the search engine hands them over), then sorts by Date ascending,
// Date descending, Subject, Folder and From. Runs twice, each in a process of its own so that
// each peak is its own: the model alone, and the model shown in the grid widget (offscreen
// unless another platform is chosen) with the event queue run after each batch as the search
// run does. Prints each time, the longest a single batch held the event loop (target: 50 ms,
// so the window stays responsive while rows arrive), whether every sort took under 2 s, the
// time to copy all rows as text, and the growth of the peak resident set size over the run
// (the hits themselves, which the search run holds anyway, are made before the first reading).

#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/hit.h"
#include "support/childprocess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QList>
#include <QRandomGenerator>
#include <QTimeZone>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>

namespace {

int kRows = 1000000;
constexpr int kBatch = 500;
constexpr double kBatchTargetMs = 50;
constexpr double kSortTargetMs = 2000;

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // kilobytes on Linux
}

// Hits with the usual mix: a few dozen folders, subjects and senders in varied case, dates
// spread over ten years, one in a hundred without a date.
QList<search::Hit> makeHits()
{
    static const char *const kWords[] = {
        "quarterly", "Report", "meeting", "Invoice", "re:",   "FW:",    "project", "Status",
        "lunch",     "budget", "Zürich",  "Ärger",   "naïve", "update", "Urgent",  "draft"};
    QRandomGenerator rng(20060109);
    const QTimeZone zone("Europe/Berlin");
    const QDateTime base(QDate(2000, 1, 1), QTime(0, 0), zone);
    QList<search::Hit> hits;
    hits.reserve(kRows);
    QString folderName;
    for (int i = 0; i < kRows; ++i) {
        search::Hit r;
        // One batch is one folder's hits; of every four folders searched side by side the
        // last in list order comes first.
        const int batch = i / kBatch;
        const int folder = batch - batch % 4 + 3 - batch % 4;
        // The hits of one folder share its name, as the engine hands them over.
        if (i % kBatch == 0)
            folderName = QStringLiteral("Archive/%1/Folder %2").arg(2000 + folder % 10).arg(folder);
        r.folder = folderName;
        r.folderOrder = folder;
        r.number = quint32(i + 1);
        QString subject;
        for (int w = 0; w < 5; ++w) {
            if (w > 0)
                subject += QLatin1Char(' ');
            subject += QString::fromUtf8(kWords[rng.bounded(16)]);
        }
        r.subject = subject + QLatin1Char(' ') + QString::number(rng.bounded(100000));
        r.from = QStringLiteral("Person %1 <person%1@example.com>").arg(rng.bounded(5000));
        if (rng.bounded(100) != 0) {
            r.date = base.addSecs(qint64(rng.bounded(315360000)));
            r.dateHeader = r.date.toString(Qt::RFC2822Date);
        }
        hits.append(std::move(r));
    }
    return hits;
}

void run(const char *title, bool withView)
{
    const QList<search::Hit> hits = makeHits();
    const long rssBefore = peakRssKb();
    results::ResultsModel model;
    std::unique_ptr<results::ResultsView> view;
    if (withView) {
        view = std::make_unique<results::ResultsView>(&model);
        view->resize(800, 400);
        view->show();
        QCoreApplication::processEvents();
    }

    std::printf("%s\n", title);
    QElapsedTimer timer;
    QElapsedTimer batchTimer;
    double longestBatchMs = 0;
    timer.start();
    for (int first = 0; first < kRows; first += kBatch) {
        batchTimer.start();
        model.addHits(hits.mid(first, kBatch));
        if (withView)
            QCoreApplication::processEvents();
        longestBatchMs = std::max(longestBatchMs, batchTimer.nsecsElapsed() / 1e6);
    }
    const double appendMs = timer.nsecsElapsed() / 1e6;
    std::printf("  append %d rows in batches of %d: %8.1f ms\n", kRows, kBatch, appendMs);
    std::printf("  longest batch: %.1f ms (target %.0f ms: %s)\n", longestBatchMs, kBatchTargetMs,
                longestBatchMs <= kBatchTargetMs ? "met" : "MISSED");

    const struct
    {
        const char *name;
        int column;
        Qt::SortOrder order;
    } sorts[] = {{"Date ascending", results::ResultsModel::Date, Qt::AscendingOrder},
                 {"Date descending", results::ResultsModel::Date, Qt::DescendingOrder},
                 {"Subject", results::ResultsModel::Subject, Qt::AscendingOrder},
                 {"Folder", results::ResultsModel::Folder, Qt::AscendingOrder},
                 {"From", results::ResultsModel::From, Qt::DescendingOrder}};
    double longestSortMs = 0;
    for (const auto &s : sorts) {
        timer.restart();
        model.sortBy(s.column, s.order);
        if (withView)
            QCoreApplication::processEvents();
        const double ms = timer.nsecsElapsed() / 1e6;
        longestSortMs = std::max(longestSortMs, ms);
        std::printf("  sort by %-16s %8.1f ms\n", s.name, ms);
    }
    std::printf("  every sort under %.0f ms: %s\n", kSortTargetMs,
                longestSortMs <= kSortTargetMs ? "met" : "MISSED");
    std::printf("  peak memory growth after appending and sorting: %.1f MB\n",
                (peakRssKb() - rssBefore) / 1024.0);
    QList<int> all(kRows);
    std::iota(all.begin(), all.end(), 0);
    timer.restart();
    const QString text = model.rowsAsText(all);
    std::printf("  all rows as text (%lld chars): %8.1f ms\n", static_cast<long long>(text.size()),
                timer.nsecsElapsed() / 1e6);
    std::printf("  peak memory growth with the copied text: %.1f MB\n",
                (peakRssKb() - rssBefore) / 1024.0);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1)
        kRows = std::max(kBatch, std::atoi(argv[1]));
    int failures = 0;
    for (const bool withView : {false, true}) {
        if (!runInChild([&] {
                QApplication app(argc, argv);
                run(withView ? "model in the grid widget:" : "model alone:", withView);
            }))
            ++failures;
    }
    return failures == 0 ? 0 : 1;
}
