#include "platform/settingsstore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

SettingsStore::SettingsStore()
    : m_settings(new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                               QStringLiteral("Fernquill"), QStringLiteral("Fernquill")))
{
}

SettingsStore::~SettingsStore()
{
    sync();
    delete m_settings;
}

QString SettingsStore::value(const QString &section, const QString &key) const
{
    return m_settings->value(section + u'/' + key).toString();
}

void SettingsStore::setValue(const QString &section, const QString &key, const QString &value)
{
    const QString path = section + u'/' + key;
    const QVariant old = m_settings->value(path);
    if (old.isValid() && old.toString() == value)
        return;
    ensurePrivateFile();
    m_settings->setValue(path, value);
}

void SettingsStore::remove(const QString &section, const QString &key)
{
    const QString path = section + u'/' + key;
    if (m_settings->contains(path))
        m_settings->remove(path);
}

void SettingsStore::sync()
{
    ensurePrivateFile();
    m_settings->sync();
}

QString SettingsStore::fileName() const
{
    return m_settings->fileName();
}

void SettingsStore::ensurePrivateFile()
{
    const QString name = m_settings->fileName();
    const QFileInfo info(name);
    if (info.exists())
        return;
    QDir().mkpath(info.absolutePath());
    const QByteArray path = QFile::encodeName(name);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

} // namespace platform
