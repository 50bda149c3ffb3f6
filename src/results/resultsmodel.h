#pragma once

#include "search/hit.h"

#include <QAbstractTableModel>
#include <QList>

#include <optional>

namespace results {

// The results grid's rows: one row per search hit, four columns "Folder", "Date", "Subject",
// "From". Like the grid it stands in for, it always shows at least one data row: after clear()
// there is a single empty row, which the first hit then fills.
//
// Display text and sort values are kept apart: DisplayRole gives text (dates as
// results::formatDate shows them), SortRole the value to sort by (the QDateTime for the Date
// column, the text for the others). ToolTipRole gives the
// display text made into HTML that shows it as it is (Qt would read a subject such as
// "<img src=...>" as markup), none for an empty cell.
//
// Sorting reorders the rows once (sortBy); it is never re-applied by itself, so hits appended
// after a sort go to the end in the order they arrive.
class ResultsModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Folder = 0, Date = 1, Subject = 2, From = 3, ColumnCount = 4 };
    static constexpr int SortRole = Qt::UserRole + 1;

    explicit ResultsModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Drops every hit: one empty row remains. The sort direction is kept.
    void clear();
    // Adds a batch of hits of one folder, in order (one insert notification for the batch; the
    // first batch after clear() fills the empty row first). Until the rows are sorted they
    // stay in folder-list order: the batch goes behind the hits of its own folder and of the
    // folders before it (search::Hit::folderOrder), wherever batches of other folders came first.
    // Once sorted, new hits go to the end in the order they arrive.
    void addHits(const QList<search::Hit> &hits);

    // Number of hits (the empty placeholder row is not one).
    qsizetype hitCount() const { return m_rows.size(); }
    const search::Hit &record(qsizetype row) const { return m_rows.at(row); }

    // Reorders the hits by one column, stably (rows with equal keys keep their order). The
    // Date column sorts by the stored date-time, rows without a date before all dated rows
    // ascending and after them descending; the text columns sort case-insensitively in the
    // collation of the default locale. Persistent indexes (selection, current row) follow
    // their rows. An unknown column does nothing.
    void sortBy(int column, Qt::SortOrder order);
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The header-click gesture: flips the one direction shared by all columns (ascending at
    // the first click) and sorts by `column` in it. Returns the direction applied.
    Qt::SortOrder sortByHeader(int column);

    // The given rows as tab-separated text for the clipboard: the column headers first, then
    // one line per row in the order given, every line ending in "\n". Tabs and line breaks
    // inside a cell become spaces. Rows that hold no hit (the placeholder, out of range) are
    // left out; with no hit left the result is empty.
    QString rowsAsText(const QList<int> &rows) const;

private:
    QList<search::Hit> m_rows;
    std::optional<Qt::SortOrder> m_headerOrder;
    bool m_sorted = false; // sorted since the last clear()
};

} // namespace results
