// The folder tree and the picker at sizes no real server has, each at two sizes so that the
// growth can be seen to be linear: one folder name of 100 KB and 200 KB, "a/a/a/..." (50 000 and
// 100 000 levels), and 100 000 and 200 000 sibling folders. Each case runs in a process of its own
// so that each peak is its own; prints the time to build the nodes, to put them in display
// order, to fill the picker (offscreen unless another platform is chosen) and delete it again,
// and the growth of the peak resident set size over the case.

#include "folders/folderpicker.h"
#include "folders/foldertree.h"
#include "support/childprocess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <sys/resource.h>

#include <cstdio>

namespace {

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // kilobytes on Linux
}

void run(const char *title, const QStringList &paths)
{
    qsizetype chars = 0;
    for (const QString &path : paths)
        chars += path.size();
    const long rssBefore = peakRssKb();
    QElapsedTimer timer;
    timer.start();
    const QList<folders::FolderNode> nodes = folders::buildFolderTree(paths);
    const double buildMs = timer.nsecsElapsed() / 1e6;
    timer.restart();
    const QList<qsizetype> order = folders::displayOrder(nodes);
    const double orderMs = timer.nsecsElapsed() / 1e6;
    timer.restart();
    const qsizetype deepest = folders::folderPath(nodes, order.last()).size();
    const double pathMs = timer.nsecsElapsed() / 1e6;
    timer.restart();
    delete new folders::FolderPicker(paths);
    const double pickerMs = timer.nsecsElapsed() / 1e6;
    std::printf("%-34s %7lld chars %7lld nodes  build %7.1f ms  order %7.1f ms  last path "
                "(%lld chars) %5.1f ms  picker %7.1f ms  peak growth %6.1f MB\n",
                title, static_cast<long long>(chars), static_cast<long long>(nodes.size()), buildMs,
                orderMs, static_cast<long long>(deepest), pathMs, pickerMs,
                (peakRssKb() - rssBefore) / 1024.0);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int failures = 0;
    for (int kind = 0; kind < 2; ++kind) {
        for (const int count : {50000, 100000}) {
            const int size = kind == 0 ? count : 2 * count;
            const bool ok = runInChild([&] {
                QApplication app(argc, argv);
                QStringList paths;
                if (kind == 0) {
                    paths.append(QStringList(size, QStringLiteral("a")).join(QLatin1Char('/')));
                } else {
                    for (int i = 0; i < size; ++i)
                        paths.append(QStringLiteral("Lists/List %1").arg(i));
                }
                const QByteArray title = kind == 0
                                             ? QByteArray::number(size) + " levels (a/a/a/...)"
                                             : QByteArray::number(size) + " siblings";
                run(title.constData(), paths);
            });
            if (!ok)
                ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
