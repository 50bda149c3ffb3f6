#include "imap/searchparser.h"

#include <QByteArrayView>
#include <QSet>

#include <algorithm>
#include <optional>

namespace imap {

namespace {

bool isSequenceNumber(QByteArrayView piece, quint32 &number)
{
    if (piece.isEmpty() || piece.size() > 10 || piece.front() == '0')
        return false;
    quint64 value = 0;
    for (char c : piece) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + quint64(c - '0');
    }
    number = quint32(value);
    return value <= 0xffffffffu;
}

// The count of "* n EXISTS" (the keyword in any case, nothing after it); none for any other line.
std::optional<quint32> existsCount(QByteArrayView line)
{
    static constexpr QByteArrayView keyword(" EXISTS");
    if (!line.startsWith("* ") || line.size() < 2 + 1 + keyword.size() ||
        line.last(keyword.size()).compare(keyword, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QByteArrayView digits = line.sliced(2, line.size() - 2 - keyword.size());
    if (digits.size() > 10)
        return std::nullopt;
    quint64 value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + quint64(c - '0');
    }
    if (value > 0xffffffffu)
        return std::nullopt;
    return quint32(value);
}

} // namespace

QStringList parseSearchResponse(const QList<QByteArray> &lines)
{
    static constexpr QByteArrayView keyword("* SEARCH");
    QStringList numbers;
    // A message is one hit however often a server names it: a line of repeats must not turn
    // a few megabytes into millions of rows.
    QSet<quint32> seen;
    for (const QByteArray &line : lines) {
        const QByteArrayView view(line);
        if (view.size() < keyword.size() ||
            view.first(keyword.size()).compare(keyword, Qt::CaseInsensitive) != 0)
            continue;
        if (view.size() > keyword.size() && view.at(keyword.size()) != ' ')
            continue; // "* SEARCHES ..." is some other response
        qsizetype start = keyword.size();
        while (start < view.size()) {
            qsizetype end = view.indexOf(' ', start);
            if (end < 0)
                end = view.size();
            const QByteArrayView piece = view.sliced(start, end - start);
            quint32 number = 0;
            if (isSequenceNumber(piece, number)) {
                const qsizetype before = seen.size();
                seen.insert(number);
                if (seen.size() > before)
                    numbers.append(QString::fromLatin1(piece));
            }
            start = end + 1;
        }
    }
    return numbers;
}

FolderHits parseFolderSearch(const QList<QByteArray> &examineLines,
                             const QList<QByteArray> &searchLines)
{
    std::optional<quint32> count;
    for (const QList<QByteArray> *lines : {&examineLines, &searchLines}) {
        for (const QByteArray &line : *lines) {
            const std::optional<quint32> exists = existsCount(line);
            if (exists && (!count || *exists > *count))
                count = exists;
        }
    }
    FolderHits hits;
    hits.numbers = parseSearchResponse(searchLines);
    // Zero names no message either (numbers start at 1); named any number of times, it is one.
    for (const QByteArray &line : searchLines) {
        if (line.size() > 9 &&
            QByteArrayView(line).first(9).compare("* SEARCH ", Qt::CaseInsensitive) == 0 &&
            line.split(' ').contains("0")) {
            hits.beyondCount = 1;
            break;
        }
    }
    if (!count)
        return hits;
    const auto beyond = std::remove_if(hits.numbers.begin(), hits.numbers.end(),
                                       [&](const QString &n) { return n.toUInt() > *count; });
    hits.beyondCount += hits.numbers.end() - beyond;
    hits.numbers.erase(beyond, hits.numbers.end());
    return hits;
}

} // namespace imap
