#pragma once

#include <QByteArray>

class QAbstractItemModel;

namespace results {

// The model as CSV (RFC 4180), UTF-8 without byte order mark: a header row of the horizontal
// header texts, then the DisplayRole text of every row and column in the model's own order
// (the order the grid shows after a sort). Lines end in CR LF; a field holding a comma, a double
// quote, CR or LF is put in double quotes, with its quotes doubled. Rows whose cells are all
// empty (the grid's placeholder row) are left out. A cell that begins with "=", "+", "-", "@", a
// tab or a carriage return gets an apostrophe in front, so that a spreadsheet shows it as text
// instead of running it as a formula (OWASP's advice against CSV injection).
QByteArray modelToCsv(const QAbstractItemModel &model);

} // namespace results
