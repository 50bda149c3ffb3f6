// The SEARCH response parser.
//
// Input: server bytes, framed into logical lines as the connection frames them.
// Checked: every number handed out is a sequence number as text (decimal digits, no leading
// zero, 1 to 4294967295), so nothing else can reach a FETCH command built from it; each stands
// as a space-separated piece of a "* SEARCH" line; they are such pieces in order, each number
// once.

#include "fuzzcommon.h"

#include "imap/searchparser.h"

#include <QSet>

using namespace imap;

namespace {

bool isSearchLine(const QByteArray &line)
{
    return line.size() >= 8 &&
           QByteArrayView(line).first(8).compare("* SEARCH", Qt::CaseInsensitive) == 0 &&
           (line.size() == 8 || line.at(8) == ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> lines = fuzz::responseLines(fuzz::bytesOf(data, size));
    const QStringList numbers = parseSearchResponse(lines);

    // The pieces of the SEARCH lines that are sequence numbers, in order, repeats left out.
    QStringList expected;
    QSet<qulonglong> seen;
    for (const QByteArray &line : lines) {
        if (!isSearchLine(line))
            continue;
        const QList<QByteArray> pieces = line.mid(8).split(' ');
        for (const QByteArray &piece : pieces) {
            bool ok = false;
            const qulonglong value = piece.toULongLong(&ok);
            bool digits = !piece.isEmpty();
            for (char c : piece)
                digits = digits && c >= '0' && c <= '9';
            if (ok && digits && piece.front() != '0' && value >= 1 && value <= 0xffffffffu &&
                !seen.contains(value)) {
                seen.insert(value);
                expected.append(QString::fromLatin1(piece));
            }
        }
    }
    FQ_CHECK(numbers == expected);
    for (const QString &n : numbers) {
        FQ_CHECK(!n.isEmpty() && n.size() <= 10 && n.front() != u'0');
        for (QChar c : n)
            FQ_CHECK(c >= u'0' && c <= u'9');
        bool ok = false;
        const qulonglong value = n.toULongLong(&ok);
        FQ_CHECK(ok && value >= 1 && value <= 0xffffffffu);
    }
    return 0;
}
