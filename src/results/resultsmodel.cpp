#include "results/resultsmodel.h"

#include <QLocale>

namespace results {

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
    const imap::ResultRecord &r = m_rows.at(index.row());
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
        case Folder:
            return r.strFolder;
        case Date:
            return formatDate(r.dtLocal);
        case Subject:
            return r.strSubject;
        case From:
            return r.strFrom;
        }
    } else if (role == SortRole) {
        switch (index.column()) {
        case Folder:
            return r.strFolder;
        case Date:
            return r.dtLocal;
        case Subject:
            return r.strSubject;
        case From:
            return r.strFrom;
        }
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
    endResetModel();
}

void ResultsModel::appendRecords(const QList<imap::ResultRecord> &records)
{
    if (records.isEmpty())
        return;
    qsizetype fill = 0;
    if (m_rows.isEmpty()) {
        // The first hit goes into the empty row that is already shown.
        m_rows.append(records.first());
        fill = 1;
        emit dataChanged(index(0, 0), index(0, ColumnCount - 1));
    }
    if (fill < records.size()) {
        const int first = int(m_rows.size());
        beginInsertRows({}, first, first + int(records.size() - fill) - 1);
        m_rows.append(records.mid(fill));
        endInsertRows();
    }
}

QString ResultsModel::formatDate(const QDateTime &dt)
{
    if (!dt.isValid())
        return {};
    const QLocale locale;
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    // The long format may name the zone ("t"); the column shows local time only.
    timeFormat.remove(QLatin1Char('t'));
    timeFormat = timeFormat.trimmed();
    return locale.toString(dt.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(dt.time(), timeFormat);
}

} // namespace results
