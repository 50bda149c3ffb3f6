#include "results/csvexport.h"

#include <QAbstractItemModel>
#include <QStringList>

namespace results {

namespace {

// A spreadsheet runs a cell that begins with one of these as a formula ("=HYPERLINK(...)" in a
// subject, say); an apostrophe in front makes it text.
bool startsLikeFormula(const QString &text)
{
    if (text.isEmpty())
        return false;
    switch (text.front().unicode()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
        return true;
    default:
        return false;
    }
}

QString field(QString text)
{
    if (startsLikeFormula(text))
        text.prepend(QLatin1Char('\''));
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    text.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

void appendLine(QString &out, const QStringList &cells)
{
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i > 0)
            out += QLatin1Char(',');
        out += field(cells.at(i));
    }
    out += QLatin1String("\r\n");
}

} // namespace

QByteArray modelToCsv(const QAbstractItemModel &model)
{
    const int columns = model.columnCount();
    QString out;
    QStringList cells(columns);
    for (int c = 0; c < columns; ++c)
        cells[c] = model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    appendLine(out, cells);
    for (int r = 0; r < model.rowCount(); ++r) {
        bool empty = true;
        for (int c = 0; c < columns; ++c) {
            cells[c] = model.data(model.index(r, c), Qt::DisplayRole).toString();
            empty = empty && cells[c].isEmpty();
        }
        if (!empty)
            appendLine(out, cells);
    }
    return out.toUtf8();
}

} // namespace results
