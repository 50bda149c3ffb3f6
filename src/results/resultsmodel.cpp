#include "results/resultsmodel.h"

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

const QString &textOf(const Hit &r, int column)
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

bool isAsciiLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

bool isSpaceOrComma(QChar c)
{
    return c.isSpace() || c == QLatin1Char(',');
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
    const Hit &r = m_rows.at(index.row());
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

void ResultsModel::addHits(const QList<Hit> &hits)
{
    if (hits.isEmpty())
        return;
    qsizetype at = m_rows.size();
    if (!m_sorted) {
        // Behind the hits of the same folder and of the folders before it.
        const qsizetype order = hits.first().folderOrder;
        at = std::upper_bound(m_rows.cbegin(), m_rows.cend(), order,
                              [](qsizetype o, const Hit &h) { return o < h.folderOrder; }) -
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
        m_rows.insert(at, hits.size() - fill, Hit());
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
    QList<Hit> sorted;
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

QString ResultsModel::formatDate(const QDateTime &dt)
{
    return formatDate(dt, QLocale());
}

QString ResultsModel::formatDate(const QDateTime &dt, const QLocale &locale)
{
    if (!dt.isValid())
        return {};
    // The same locale comes back for every cell: keep the last time format.
    thread_local QLocale lastLocale = QLocale::c();
    thread_local QString lastFormat = timeFormatWithSeconds(lastLocale);
    if (locale != lastLocale) {
        lastLocale = locale;
        lastFormat = timeFormatWithSeconds(locale);
    }
    return locale.toString(dt.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(dt.time(), lastFormat);
}

QString ResultsModel::timeFormatWithSeconds(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);

    // Split the format into quoted text, runs of one pattern letter, and other literal text.
    enum Kind { Quoted, Field, Literal };
    struct Token
    {
        Kind kind;
        QString text;
    };
    QList<Token> tokens;
    const qsizetype size = format.size();
    for (qsizetype i = 0; i < size;) {
        const QChar c = format.at(i);
        qsizetype j = i + 1;
        Kind kind;
        if (c == QLatin1Char('\'')) {
            kind = Quoted;
            while (j < size) {
                if (format.at(j) == QLatin1Char('\'')) {
                    if (j + 1 < size && format.at(j + 1) == QLatin1Char('\'')) {
                        j += 2; // an escaped quote inside the quoted text
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
        } else if (isAsciiLetter(c)) {
            kind = Field;
            while (j < size && format.at(j) == c)
                ++j;
        } else {
            kind = Literal;
            while (j < size && format.at(j) != QLatin1Char('\'') && !isAsciiLetter(format.at(j)))
                ++j;
        }
        tokens.append({kind, format.mid(i, j - i)});
        i = j;
    }

    bool hasAmPm = false;
    bool hasSeconds = false;
    for (const Token &t : tokens) {
        if (t.kind == Field &&
            (t.text.startsWith(QLatin1Char('a')) || t.text.startsWith(QLatin1Char('A'))))
            hasAmPm = true;
        if (t.kind == Field && t.text.startsWith(QLatin1Char('s')))
            hasSeconds = true;
    }
    if (!hasSeconds)
        return QStringLiteral("HH:mm:ss");

    for (qsizetype i = 0; i < tokens.size();) {
        Token &t = tokens[i];
        if (t.kind == Field && t.text.startsWith(QLatin1Char('B'))) {
            // A day period ("in the afternoon") that this toolkit does not know and would
            // print as a letter B: the AM/PM marker stands in for it.
            t.text = hasAmPm ? QString() : QStringLiteral("AP");
            hasAmPm = true;
        }
        if (t.kind != Field || !t.text.startsWith(QLatin1Char('t'))) {
            ++i;
            continue;
        }
        // The zone name goes, with the brackets around it and the space or comma before it.
        Token *prev = (i > 0 && tokens[i - 1].kind == Literal) ? &tokens[i - 1] : nullptr;
        Token *next =
            (i + 1 < tokens.size() && tokens[i + 1].kind == Literal) ? &tokens[i + 1] : nullptr;
        if (prev && next && !prev->text.isEmpty() && !next->text.isEmpty()) {
            const QChar open = prev->text.back();
            const QChar close = next->text.front();
            if ((open == QLatin1Char('(') && close == QLatin1Char(')')) ||
                (open == QLatin1Char('[') && close == QLatin1Char(']'))) {
                prev->text.chop(1);
                next->text.remove(0, 1);
            }
        }
        if (prev) {
            while (!prev->text.isEmpty() && isSpaceOrComma(prev->text.back()))
                prev->text.chop(1);
        }
        if (i == 0 && next) {
            while (!next->text.isEmpty() && next->text.front().isSpace())
                next->text.remove(0, 1);
        }
        tokens.removeAt(i);
    }

    QString result;
    for (const Token &t : tokens)
        result += t.text;
    return result.trimmed();
}

} // namespace results
