#pragma once

#include <QString>
#include <QStringList>

class QSettings;

namespace platform {

// The per-user settings store: string values by section and key, kept by QSettings in an INI file
// under the user's configuration folder (application "Fernquill"). The file can hold a password
// in clear (where no keyring takes it, see PasswordStore), so before every write it is made
// readable by its owner only: created so when missing, narrowed when it exists (QSettings rewrites
// it through a temporary file that takes over the permissions, so a file left readable by others
// would stay so).
class SettingsStore
{
public:
    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    // The stored value, or "" when the key is missing. Text typed into the file with commas
    // outside quotes comes back with its parts joined by ",".
    QString value(const QString &section, const QString &key) const;
    // True when the key is there, even with an empty value.
    bool contains(const QString &section, const QString &key) const;
    // The names of the sections in the file.
    QStringList sections() const;
    // Stores the value; writes the file only when something changed.
    void setValue(const QString &section, const QString &key, const QString &value);
    // Stores a secret (a password in clear) only once the file is private. Returns "" when it
    // was stored, otherwise why not (then nothing was stored).
    QString setSecret(const QString &section, const QString &key, const QString &value);
    // Removes the key; nothing happens when it is missing.
    void remove(const QString &section, const QString &key);
    // The keys of a section, sorted.
    QStringList keys(const QString &section) const;
    // Writes pending changes to disk now.
    void sync();

    QString fileName() const;

    // Makes the file readable and writable by its owner only, creating it when missing. Returns
    // "" when it is so, otherwise why it cannot be: it belongs to someone else (who could read it
    // whatever its mode) or its mode cannot be changed.
    QString makePrivate();

private:
    QSettings *m_settings;
};

} // namespace platform
