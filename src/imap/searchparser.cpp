#include "imap/searchparser.h"

#include <QByteArrayView>
#include <QSet>

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

} // namespace imap
