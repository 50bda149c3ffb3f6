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

namespace {

// Collects a folder's numbers: each once, in the order named, those above the count apart.
class FolderHitsCollector
{
public:
    FolderHitsCollector(std::optional<quint32> count, qsizetype maxNumbers)
        : m_count(count), m_max(maxNumbers)
    {
    }

    // The numbers first..last (first <= last).
    void addRange(quint32 first, quint32 last)
    {
        if (m_count && last > *m_count) {
            const quint32 from = qMax(first, *m_count + 1);
            if (from < last) {
                m_hits.beyondCount += qsizetype(last) - qsizetype(from) + 1;
            } else { // one number: a repeat is one
                const qsizetype before = m_seen.size();
                m_seen.insert(from);
                m_hits.beyondCount += m_seen.size() - before;
            }
            if (first > *m_count)
                return;
            last = *m_count;
        }
        for (quint64 n = first; n <= last; ++n) {
            if (m_hits.numbers.size() >= m_max) {
                // Past what anyone keeps: only counted (repeats among ranges are not told apart,
                // but a number named on its own again is).
                if (first == last) {
                    const qsizetype before = m_seen.size();
                    m_seen.insert(first);
                    m_hits.notKept += m_seen.size() - before;
                } else {
                    m_hits.notKept += qsizetype(last - n + 1);
                }
                return;
            }
            const qsizetype before = m_seen.size();
            m_seen.insert(quint32(n));
            if (m_seen.size() > before)
                m_hits.numbers.append(QString::number(n));
        }
    }
    void addZero() { m_zero = true; }

    FolderHits take()
    {
        // Zero names no message (numbers start at 1); named any number of times, it is one.
        m_hits.beyondCount += m_zero ? 1 : 0;
        return std::move(m_hits);
    }

private:
    std::optional<quint32> m_count;
    qsizetype m_max;
    QSet<quint32> m_seen;
    FolderHits m_hits;
    bool m_zero = false;
};

bool startsWithKeyword(QByteArrayView line, QByteArrayView keyword)
{
    return line.size() >= keyword.size() &&
           line.first(keyword.size()).compare(keyword, Qt::CaseInsensitive) == 0 &&
           (line.size() == keyword.size() || line.at(keyword.size()) == ' ');
}

// The pieces of a classic "* SEARCH 2 5 9" line.
void collectSearch(QByteArrayView line, FolderHitsCollector &hits)
{
    for (const QByteArrayView piece :
         QByteArray::fromRawData(line.data(), line.size()).sliced(8).split(' ')) {
        quint32 number = 0;
        if (piece == "0")
            hits.addZero();
        else if (isSequenceNumber(piece, number))
            hits.addRange(number, number);
    }
}

// The ALL result of an extended "* ESEARCH [(TAG ...)] [UID] name value ..." line.
void collectEsearch(QByteArrayView line, FolderHitsCollector &hits)
{
    qsizetype pos = 9; // after "* ESEARCH"
    const auto skipSpaces = [&] {
        while (pos < line.size() && line.at(pos) == ' ')
            ++pos;
    };
    // One token: an atom, or a parenthesised list with quoted strings inside.
    const auto token = [&]() -> QByteArrayView {
        const qsizetype start = pos;
        int depth = 0;
        bool quoted = false;
        for (; pos < line.size(); ++pos) {
            const char c = line.at(pos);
            if (quoted) {
                if (c == '\\')
                    ++pos;
                else if (c == '"')
                    quoted = false;
            } else if (c == '"') {
                quoted = true;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            } else if (c == ' ' && depth <= 0) {
                break;
            }
        }
        return line.sliced(start, qMin(pos, line.size()) - start);
    };
    skipSpaces();
    if (pos < line.size() && line.at(pos) == '(')
        token(); // the correlator, (TAG "1")
    for (;;) {
        skipSpaces();
        const QByteArrayView name = token();
        if (name.isEmpty())
            return;
        if (name.compare("UID", Qt::CaseInsensitive) == 0)
            return; // unique identifiers, not the message numbers asked for
        skipSpaces();
        const QByteArrayView value = token();
        if (name.compare("ALL", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArrayView item :
             QByteArray::fromRawData(value.data(), value.size()).split(',')) {
            const qsizetype colon = item.indexOf(':');
            quint32 first = 0, last = 0;
            if (colon < 0 ? !isSequenceNumber(item, first)
                          : !isSequenceNumber(item.first(colon), first) ||
                                !isSequenceNumber(item.sliced(colon + 1), last))
                continue;
            if (colon < 0)
                last = first;
            hits.addRange(qMin(first, last), qMax(first, last));
        }
    }
}

} // namespace

FolderHits parseFolderSearch(const QList<QByteArray> &examineLines,
                             const QList<QByteArray> &searchLines, qsizetype maxNumbers)
{
    std::optional<quint32> count;
    for (const QList<QByteArray> *lines : {&examineLines, &searchLines}) {
        for (const QByteArray &line : *lines) {
            const std::optional<quint32> exists = existsCount(line);
            if (exists && (!count || *exists > *count))
                count = exists;
        }
    }
    FolderHitsCollector hits(count, maxNumbers);
    for (const QByteArray &line : searchLines) {
        if (startsWithKeyword(line, "* SEARCH"))
            collectSearch(line, hits);
        else if (startsWithKeyword(line, "* ESEARCH"))
            collectEsearch(line, hits);
    }
    return hits.take();
}

} // namespace imap
