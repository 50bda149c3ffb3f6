#include "platform/settingsstore.h"

#include "platform/privatefile.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <fcntl.h>
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
    const QVariant value = m_settings->value(section + u'/' + key);
    // A value typed into the file with commas in it (a, b) reads as a list.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

bool SettingsStore::contains(const QString &section, const QString &key) const
{
    return m_settings->contains(section + u'/' + key);
}

QStringList SettingsStore::sections() const
{
    return m_settings->childGroups();
}

void SettingsStore::setValue(const QString &section, const QString &key, const QString &value)
{
    const QString path = section + u'/' + key;
    const QVariant old = m_settings->value(path);
    if (old.isValid() && old.toString() == value)
        return;
    makePrivate();
    m_settings->setValue(path, value);
}

QString SettingsStore::setSecret(const QString &section, const QString &key, const QString &value)
{
    const QString path = section + u'/' + key;
    const QVariant old = m_settings->value(path);
    if (old.isValid() && old.toString() == value)
        return {};
    const QString refusal = makePrivate();
    if (refusal.isEmpty())
        m_settings->setValue(path, value);
    return refusal;
}

void SettingsStore::remove(const QString &section, const QString &key)
{
    const QString path = section + u'/' + key;
    if (m_settings->contains(path))
        m_settings->remove(path);
}

QStringList SettingsStore::keys(const QString &section) const
{
    m_settings->beginGroup(section);
    QStringList keys = m_settings->childKeys();
    m_settings->endGroup();
    keys.sort();
    return keys;
}

void SettingsStore::sync()
{
    makePrivate();
    m_settings->sync();
}

QString SettingsStore::fileName() const
{
    return m_settings->fileName();
}

QString SettingsStore::makePrivate()
{
    const QString name = m_settings->fileName();
    const QByteArray path = QFile::encodeName(name);
    QDir().mkpath(QFileInfo(name).absolutePath());
    int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return systemError(name);
    const QString refusal = makeOpenFilePrivate(fd, name);
    ::close(fd);
    return refusal;
}

} // namespace platform
