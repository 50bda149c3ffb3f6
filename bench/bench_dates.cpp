// Prints how fast header dates are read: typical headers, and long hostile texts whose cost
// must grow linearly with their length.
#include "imap/headerdate.h"

#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

namespace {

double nsPerCall(const QString &header, int calls, const QTimeZone &zone)
{
    QElapsedTimer timer;
    timer.start();
    int valid = 0;
    for (int i = 0; i < calls; ++i)
        valid += imap::headerDateToLocal(header, zone).isValid();
    const double ns = double(timer.nsecsElapsed()) / calls;
    if (valid != 0 && valid != calls)
        std::printf("unstable result for %s\n", qPrintable(header.left(40)));
    return ns;
}

} // namespace

int main()
{
    const QTimeZone berlin("Europe/Berlin");
    const QStringList typical = {
        QStringLiteral("Tue, 3 Jan 2006 10:15:00 -0500"),
        QStringLiteral("Tuesday, 03 January 2006 10:15:00 +0100 (CET)"),
        QStringLiteral("3-Jan-2006 10:15:00 +0000"),
        QStringLiteral("Tue, 3 Jan 06 10:15 EST"),
        QStringLiteral("not a date at all"),
    };
    std::printf("%-50s %12s\n", "header", "ns/call");
    for (const QString &h : typical)
        std::printf("%-50s %12.0f\n", qPrintable(h), nsPerCall(h, 200000, berlin));

    std::printf("\n%-30s %10s %14s %12s\n", "hostile text", "chars", "ns/call", "ns/char");
    const QString date = QStringLiteral("Tue, 3 Jan 2006 10:15:00 -0500 ");
    for (qsizetype n : {10000, 100000, 1000000}) {
        const struct
        {
            const char *name;
            QString text;
        } cases[] = {
            {"nested comment", date + QString(n, u'(') + QString(n, u')')},
            {"backslashes in comment", date + u'(' + QString(n, u'\\')},
            {"white space", QString(n, u' ') + date},
            {"many numbers", QStringLiteral("1 ").repeated(n / 2)},
        };
        for (const auto &c : cases) {
            const double ns = nsPerCall(c.text, 20, berlin);
            std::printf("%-30s %10lld %14.0f %12.2f\n", c.name,
                        static_cast<long long>(c.text.size()), ns, ns / c.text.size());
        }
    }
    return 0;
}
