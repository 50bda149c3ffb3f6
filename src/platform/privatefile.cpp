#include "platform/privatefile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

QString systemError(const QString &name)
{
    return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(name),
                                        QString::fromLocal8Bit(strerror(errno)));
}

QString makeOpenFilePrivate(int fd, const QString &name)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return QStringLiteral("%1 is not a plain file").arg(QDir::toNativeSeparators(name));
    // Its owner could read it whatever its mode.
    if (st.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user").arg(QDir::toNativeSeparators(name));
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)
        return QStringLiteral("%1 cannot be made private: %2")
            .arg(QDir::toNativeSeparators(name), QString::fromLocal8Bit(strerror(errno)));
    return {};
}

} // namespace platform
