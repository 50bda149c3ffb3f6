#pragma once

#include <QString>

class QSettings;

namespace platform {

// The per-user settings store: string values by section and key, kept by QSettings in an INI file
// under the user's configuration folder (application "Fernquill"). The file can hold a password
// in clear (where no keyring takes it, see PasswordStore), so it is created readable by its owner
// only, before QSettings first writes it, and kept so (QSettings rewrites it through a temporary
// file that takes over the permissions).
class SettingsStore
{
public:
    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    // The stored value, or "" when the key is missing.
    QString value(const QString &section, const QString &key) const;
    // Stores the value; writes the file only when something changed.
    void setValue(const QString &section, const QString &key, const QString &value);
    // Removes the key; nothing happens when it is missing.
    void remove(const QString &section, const QString &key);
    // Writes pending changes to disk now.
    void sync();

    QString fileName() const;

private:
    void ensurePrivateFile();

    QSettings *m_settings;
};

} // namespace platform
