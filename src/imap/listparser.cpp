#include "imap/listparser.h"

#include "imap/lexer.h"
#include "imap/mutf7.h"

#include <QStringList>

#include <optional>

namespace imap {

namespace {

// One LIST line as a row (displayPath still empty), or nullopt when the line is not a LIST
// line, is malformed, or names a folder that cannot be selected.
std::optional<FolderRow> parseListLine(const QByteArray &line)
{
    qsizetype pos = 0;
    if (!consume(line, pos, '*') || !consume(line, pos, ' '))
        return std::nullopt;
    const auto keyword = readAtom(line, pos);
    if (!keyword || keyword->compare("LIST", Qt::CaseInsensitive) != 0)
        return std::nullopt;
    if (!consume(line, pos, ' '))
        return std::nullopt;

    const auto attributes = readParenthesizedList(line, pos);
    if (!attributes || !consume(line, pos, ' '))
        return std::nullopt;
    for (const QByteArray &attribute : *attributes) {
        if (attribute.compare("\\Noselect", Qt::CaseInsensitive) == 0 ||
            attribute.compare("\\NonExistent", Qt::CaseInsensitive) == 0)
            return std::nullopt;
    }

    const auto delimiter = readNString(line, pos);
    if (!delimiter || delimiter->value.size() > 1 || !consume(line, pos, ' '))
        return std::nullopt;

    auto name = readAString(line, pos);
    // Extended data (RFC 5258) may follow the name after a space.
    if (!name || (!atEnd(line, pos) && line.at(pos) != ' '))
        return std::nullopt;
    if (name->isEmpty() || name->startsWith('.'))
        return std::nullopt;

    FolderRow row;
    row.serverName = std::move(*name);
    row.delimiter = delimiter->value.isEmpty() ? '\0' : delimiter->value.at(0);
    return row;
}

QList<QByteArrayView> levelsOf(const FolderRow &row)
{
    const QByteArrayView name(row.serverName);
    if (row.delimiter == '\0')
        return {name};
    QList<QByteArrayView> levels;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name.at(i) == row.delimiter) {
            levels.append(name.sliced(start, i - start));
            start = i + 1;
        }
    }
    return levels;
}

bool sameLevel(QByteArrayView a, QByteArrayView b, qsizetype depth)
{
    if (depth == 0 && a.compare("INBOX", Qt::CaseInsensitive) == 0)
        return b.compare("INBOX", Qt::CaseInsensitive) == 0;
    return a == b;
}

} // namespace

FolderTable parseListResponse(const QList<QByteArray> &lines)
{
    FolderTable folders;
    for (const QByteArray &line : lines) {
        if (auto row = parseListLine(line))
            folders.append(std::move(*row));
    }
    computeDisplayPaths(folders);
    return folders;
}

void computeDisplayPaths(FolderTable &folders)
{
    if (folders.isEmpty())
        return;
    QList<QList<QByteArrayView>> levels;
    levels.reserve(folders.size());
    for (const FolderRow &row : folders)
        levels.append(levelsOf(row));

    // The shared leading levels, measured against the first name.
    qsizetype shared = levels.first().size();
    for (qsizetype r = 1; r < levels.size() && shared > 0; ++r) {
        const QList<QByteArrayView> &these = levels.at(r);
        qsizetype same = 0;
        while (same < shared && same < these.size() &&
               sameLevel(levels.first().at(same), these.at(same), same))
            ++same;
        shared = same;
    }

    for (qsizetype r = 0; r < folders.size(); ++r) {
        const QList<QByteArrayView> &these = levels.at(r);
        const qsizetype first = these.size() > shared ? shared : 0;
        QStringList shown;
        shown.reserve(these.size() - first);
        for (qsizetype i = first; i < these.size(); ++i)
            shown.append(decodeMailboxName(these.at(i)));
        folders[r].displayPath = shown.join(u'/');
    }
}

} // namespace imap
