#include "support/processstats.h"

#include <QDir>
#include <QFile>

namespace testsupport {

static qint64 statusKb(const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith(field + ':'))
                return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

qint64 residentKb()
{
    return statusKb("VmRSS");
}
qint64 peakResidentKb()
{
    return statusKb("VmHWM");
}

bool resetPeakResident()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

} // namespace testsupport
