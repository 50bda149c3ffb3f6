#pragma once

#include "imap/resultrecord.h"

#include <QAbstractTableModel>
#include <QList>

namespace results {

// The results grid's rows: one row per search hit, four columns "Folder", "Date", "Subject",
// "From". Like the grid it stands in for, it always shows at least one data row: after clear()
// there is a single empty row, which the first hit then fills.
//
// Display text and sort values are kept apart: DisplayRole gives text, SortRole the value to
// sort by (the QDateTime for the Date column, the text for the others).
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

    // Drops every hit: one empty row remains.
    void clear();
    // Appends a batch of hits at the end, in order (one insert notification for the batch; the
    // first batch after clear() fills the empty row first).
    void appendRecords(const QList<imap::ResultRecord> &records);

    // Number of hits (the empty placeholder row is not one).
    qsizetype hitCount() const { return m_rows.size(); }
    const imap::ResultRecord &record(qsizetype row) const { return m_rows.at(row); }

    // How the Date column shows a date-time: the locale's short date and the time with seconds.
    static QString formatDate(const QDateTime &dt);

private:
    QList<imap::ResultRecord> m_rows;
};

} // namespace results
