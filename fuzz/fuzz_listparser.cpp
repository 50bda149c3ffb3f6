// The LIST response parser and the display paths.
//
// Input: the first byte picks the form, the rest is the data.
// - "L" (and any byte but "T"): server bytes, framed into logical lines as the connection
//   frames them, go through parseListResponse.
// - "T": a folder table made up directly (names with any bytes and any delimiter) goes through
//   computeDisplayPaths, so that names no LIST line would carry are tried as well.
//
// Checked: every folder kept has a name that is not empty and does not begin with ".", and is
// one of the names the lines carried; there are no more folders than lines; each display path
// is the name's hierarchy levels after the levels all names share (all of them when nothing
// would be left), decoded and joined with "/"; computing them again changes nothing.

#include "fuzzcommon.h"

#include "imap/listparser.h"
#include "imap/mutf7.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QStringList>

using namespace imap;

namespace {

QList<QByteArray> levelsOf(const FolderRow &row)
{
    if (row.delimiter == '\0')
        return {row.serverName};
    return row.serverName.split(row.delimiter);
}

QString shownFrom(const QList<QByteArray> &levels, qsizetype first)
{
    QStringList shown;
    for (qsizetype i = first; i < levels.size(); ++i)
        shown.append(decodeMailboxName(levels.at(i)));
    return shown.join(u'/');
}

bool sameLevel(const QByteArray &a, const QByteArray &b, qsizetype depth)
{
    if (depth == 0 && a.compare("INBOX", Qt::CaseInsensitive) == 0)
        return b.compare("INBOX", Qt::CaseInsensitive) == 0;
    return a == b;
}

void checkDisplayPaths(const FolderTable &folders)
{
    if (folders.isEmpty())
        return;
    QList<QList<QByteArray>> levels;
    for (const FolderRow &row : folders)
        levels.append(levelsOf(row));
    // The most leading levels that every name shares.
    qsizetype shared = 0;
    for (;; ++shared) {
        bool all = true;
        for (const QList<QByteArray> &these : levels)
            all = all && shared < these.size() &&
                  sameLevel(levels.first().at(shared), these.at(shared), shared);
        if (!all)
            break;
    }
    for (qsizetype r = 0; r < folders.size(); ++r) {
        const QList<QByteArray> &these = levels.at(r);
        const QString expected = shownFrom(these, these.size() > shared ? shared : 0);
        if (folders.at(r).displayPath != expected) {
            std::fprintf(stderr, "row %lld: display path %s, expected %s\n", qlonglong(r),
                         qPrintable(folders.at(r).displayPath), qPrintable(expected));
        }
        FQ_CHECK(folders.at(r).displayPath == expected);
    }
}

void checkAgain(const FolderTable &folders)
{
    FolderTable again = folders;
    computeDisplayPaths(again);
    FQ_CHECK(again.size() == folders.size());
    for (qsizetype i = 0; i < folders.size(); ++i)
        FQ_CHECK(again.at(i).displayPath == folders.at(i).displayPath);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    if (data[0] == 'T') {
        FuzzedDataProvider fdp(data + 1, size - 1);
        FolderTable folders;
        while (fdp.remaining_bytes() > 0 && folders.size() < 64) {
            FolderRow row;
            row.delimiter = fdp.ConsumeBool() ? fdp.ConsumeIntegral<char>() : '\0';
            const std::string name = fdp.ConsumeRandomLengthString(64);
            row.serverName = QByteArray(name.data(), qsizetype(name.size()));
            folders.append(row);
        }
        computeDisplayPaths(folders);
        checkDisplayPaths(folders);
        checkAgain(folders);
        return 0;
    }

    const QList<QByteArray> lines = fuzz::responseLines(fuzz::bytesOf(data + 1, size - 1));
    const FolderTable folders = parseListResponse(lines);
    FQ_CHECK(folders.size() <= lines.size());
    // Quoted names lose their escaping backslashes; without backslashes every name stands in
    // the lines as it is.
    const QByteArray all = QByteArray(lines.join('\n')).replace('\\', "");
    for (const FolderRow &row : folders) {
        FQ_CHECK(!row.serverName.isEmpty());
        FQ_CHECK(!row.serverName.startsWith('.'));
        FQ_CHECK(all.contains(QByteArray(row.serverName).replace('\\', "")));
    }
    checkDisplayPaths(folders);
    checkAgain(folders);
    return 0;
}
