#include "results/resultsmodel.h"

#include "results/dateformat.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QTextDocument>
#include <QtNumeric>

#include <algorithm>
#include <limits>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

namespace results {

namespace {

const QString &textOf(const search::Hit &r, int column)
{
    switch (column) {
    case ResultsModel::Folder:
        return r.folder;
    case ResultsModel::Subject:
        return r.subject;
    default:
        return r.from;
    }
}

// A cell as one field of a tab-separated line.
QString clipboardField(QString text)
{
    for (QChar &c : text) {
        switch (c.unicode()) {
        case '\t':
        case '\n':
        case '\r':
        case '\v':
        case '\f':
        case 0x2028: // line separator
        case 0x2029: // paragraph separator
            c = QLatin1Char(' ');
            break;
        default:
            break;
        }
    }
    return text;
}

// Below this many rows a sort stays on the calling thread.
constexpr size_t kParallelRows = 20000;

// Runs work(from, to) over [0, n): for many rows in two halves, the first on a thread of its
// own, the second on the calling thread.
template <typename Work> void inHalves(size_t n, Work work)
{
    if (n < kParallelRows) {
        work(size_t(0), n);
        return;
    }
    std::thread first(work, size_t(0), n / 2);
    work(n / 2, n);
    first.join();
}

// Sorts stably: each half on a thread of its own, then the halves merged (the first half's rows
// first among equals, so the whole stays stable).
template <typename Less> void stableSortInHalves(std::vector<quint32> &perm, Less less)
{
    if (perm.size() < kParallelRows) {
        std::stable_sort(perm.begin(), perm.end(), less);
        return;
    }
    const auto middle = perm.begin() + qsizetype(perm.size() / 2);
    std::thread first([&] { std::stable_sort(perm.begin(), middle, less); });
    std::stable_sort(middle, perm.end(), less);
    first.join();
    std::inplace_merge(perm.begin(), middle, perm.end(), less);
}

} // namespace

ResultsModel::ResultsModel(QObject *parent) : QAbstractTableModel(parent) {}

int ResultsModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return m_rows.isEmpty() ? 1 : int(m_rows.size());
}

int ResultsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return (role == Qt::DisplayRole) ? QVariant(QString()) : QVariant();
    const search::Hit &r = m_rows.at(index.row());
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        const QString text =
            index.column() == Date ? formatDate(r.date) : textOf(r, index.column());
        // A tooltip that looks like HTML is shown as HTML: subjects, senders and folder names
        // are made into HTML that shows them as they are.
        if (role == Qt::ToolTipRole)
            return text.isEmpty() ? QString() : Qt::convertFromPlainText(text);
        return text;
    }
    if (role == SortRole) {
        if (index.column() == Date)
            return r.date;
        return textOf(r, index.column());
    }
    return {};
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Folder:
        return QStringLiteral("Folder");
    case Date:
        return QStringLiteral("Date");
    case Subject:
        return QStringLiteral("Subject");
    case From:
        return QStringLiteral("From");
    }
    return {};
}

void ResultsModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_sorted = false;
    endResetModel();
}

void ResultsModel::addHits(const QList<search::Hit> &hits)
{
    if (hits.isEmpty())
        return;
    qsizetype at = m_rows.size();
    if (!m_sorted) {
        // Behind the hits of the same folder and of the folders before it.
        const qsizetype order = hits.first().folderOrder;
        at = std::upper_bound(m_rows.cbegin(), m_rows.cend(), order,
                              [](qsizetype o, const search::Hit &h) { return o < h.folderOrder; }) -
             m_rows.cbegin();
    }
    qsizetype fill = 0;
    if (m_rows.isEmpty()) {
        // The first hit goes into the empty row that is already shown.
        m_rows.append(hits.first());
        fill = 1;
        at = 1;
        emit dataChanged(index(0, 0), index(0, ColumnCount - 1));
    }
    if (fill == hits.size())
        return;
    beginInsertRows({}, int(at), int(at + hits.size() - fill) - 1);
    if (at == m_rows.size()) {
        m_rows.append(hits.mid(fill));
    } else {
        // Batches mostly land a few folders from the end: only the rows behind them move.
        m_rows.insert(at, hits.size() - fill, search::Hit());
        std::copy(hits.cbegin() + fill, hits.cend(), m_rows.begin() + at);
    }
    endInsertRows();
}

void ResultsModel::sortBy(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount)
        return;
    // New hits go to the end from now on, even when there was nothing to reorder yet.
    m_sorted = true;
    if (m_rows.size() < 2)
        return;
    const size_t n = static_cast<size_t>(m_rows.size());
    const bool ascending = order == Qt::AscendingOrder;

    // perm[newRow] = oldRow. The keys are computed once per row, not once per comparison,
    // and keys and sorting both go in two halves on two threads.
    std::vector<quint32> perm(n);
    std::iota(perm.begin(), perm.end(), quint32(0));
    if (column == Date) {
        // A row without a date has the smallest key: first ascending, last descending.
        std::vector<qint64> keys(n);
        inHalves(n, [&](size_t from, size_t to) {
            for (size_t i = from; i < to; ++i) {
                const QDateTime &date = m_rows.at(qsizetype(i)).date;
                keys[i] =
                    date.isValid() ? date.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
            }
        });
        stableSortInHalves(perm, [&](quint32 a, quint32 b) {
            return ascending ? keys[a] < keys[b] : keys[b] < keys[a];
        });
    } else {
        std::vector<std::optional<QCollatorSortKey>> keys(n);
        inHalves(n, [&](size_t from, size_t to) {
            QCollator collator; // one per thread
            collator.setCaseSensitivity(Qt::CaseInsensitive);
            const QString *previous = nullptr;
            for (size_t i = from; i < to; ++i) {
                const QString &text = textOf(m_rows.at(qsizetype(i)), column);
                // The hits of one folder share their folder's text: its key is made once.
                if (previous && previous->isSharedWith(text)) {
                    keys[i] = keys[i - 1];
                } else {
                    // Case folding first: the sort keys of the C locale compare code points
                    // and would otherwise tell "apple" from "Apple"; for the other locales it
                    // changes nothing.
                    keys[i].emplace(collator.sortKey(text.toCaseFolded()));
                }
                previous = &text;
            }
        });
        stableSortInHalves(perm, [&](quint32 a, quint32 b) {
            const int c = keys[a]->compare(*keys[b]);
            return ascending ? c < 0 : c > 0;
        });
    }

    m_sorted = true;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    QList<search::Hit> sorted;
    sorted.reserve(qsizetype(n));
    std::vector<int> newRowOf(n);
    for (size_t newRow = 0; newRow < n; ++newRow) {
        sorted.append(std::move(m_rows[qsizetype(perm[newRow])]));
        newRowOf[perm[newRow]] = int(newRow);
    }
    m_rows = std::move(sorted);
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex &idx : from)
        to.append(index(newRowOf[size_t(idx.row())], idx.column()));
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ResultsModel::sort(int column, Qt::SortOrder order)
{
    sortBy(column, order);
}

Qt::SortOrder ResultsModel::sortByHeader(int column)
{
    const Qt::SortOrder order =
        m_headerOrder == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    m_headerOrder = order;
    sortBy(column, order);
    return order;
}

QString ResultsModel::rowsAsText(const QList<int> &rows) const
{
    QString text;
    for (int row : rows) {
        if (row < 0 || row >= m_rows.size())
            continue;
        if (text.isEmpty()) {
            for (int c = 0; c < ColumnCount; ++c) {
                if (c > 0)
                    text += QLatin1Char('\t');
                text += clipboardField(headerData(c, Qt::Horizontal).toString());
            }
            text += QLatin1Char('\n');
        }
        for (int c = 0; c < ColumnCount; ++c) {
            if (c > 0)
                text += QLatin1Char('\t');
            text += clipboardField(data(index(row, c)).toString());
        }
        text += QLatin1Char('\n');
    }
    return text;
}

} // namespace results
