#pragma once

#include <QObject>
#include <QString>

namespace QKeychain {
class Job;
}

namespace platform {

class SettingsStore;

// Where the password of a server and login is remembered: the system keyring (a Secret Service
// such as GNOME Keyring or KeePassXC, or KWallet, through QtKeychain) when there is one, the
// settings file otherwise.
//
// Keyring entries belong to the service FQ_APP_ID and are keyed "login@server", so every server
// and login keeps its own password. The settings file holds at most one password, in clear, as
// LastUse/pw beside the LastUse/Server and LastUse/Login it belongs to (the file is readable by
// its owner only).
//
// Every keyring call runs as a QtKeychain job and answers through a signal; nothing here waits
// for the keyring, so an unlock prompt never holds the caller up. Answers carry the server and
// login they are for, so an answer that comes after the user has typed another server or login
// can be recognised as stale. (The Secret Service backend answers through the GLib main loop,
// which Qt's event dispatcher runs on Linux unless QT_NO_GLIB is set.)
//
// Rules:
//  - A password is read from the keyring when it has one, else from the settings file (when the
//    file names the same server and login).
//  - A password found only in the settings file is copied to the keyring and removed from the
//    file once the keyring has confirmed the write. If the keyring refuses (none running,
//    locked, the user dismissed its prompt), the file keeps it.
//  - save() writes to the keyring; if the keyring does not take the password, it goes into the
//    settings file as before, so it is remembered either way.
//  - The settings file takes a password only once it is private (see SettingsStore::setSecret);
//    when it cannot be made so, the password is not written and fileRefused() says why.
//  - Until the keyring has answered once, nothing but save() may write a password to the file
//    (rememberInFile() waits for the answer).
//  - Any keyring answer other than success or "no such entry" counts as "no keyring": there is
//    no way to tell a missing Secret Service from one that said no, and for the user the
//    outcome is the same (the password is in the file).
class PasswordStore : public QObject
{
    Q_OBJECT
public:
    // Unknown until the keyring has answered once.
    enum class Storage { Unknown, Keyring, SettingsFile };
    Q_ENUM(Storage)

    // The settings store must outlive this object.
    explicit PasswordStore(SettingsStore &settings, QObject *parent = nullptr);
    ~PasswordStore() override;

    // The server and login of the last save() (LastUse/Server and LastUse/Login), "" if none.
    QString rememberedServer() const;
    QString rememberedLogin() const;

    // Looks up the password of server and login; passwordFound answers, always later (never from
    // within this call), with "" when none is known.
    void requestPassword(const QString &server, const QString &login);

    // Remembers server and login as the last used, and password for them; stored reports where
    // it went. Call after the server has accepted the login.
    void save(const QString &server, const QString &login, const QString &password);

    // Remembers server and login as the last used, for an account that signs in without a
    // password (OAuth 2.0). A password the settings file holds for another server or login keeps
    // its names: then nothing changes.
    void rememberAccount(const QString &server, const QString &login);

    // Where there is no keyring, the settings file remembers server, login and password each time
    // a server answers, as it always has. Does nothing while a keyring is in use or has not
    // answered yet. True when the file now holds the password.
    bool rememberInFile(const QString &server, const QString &login, const QString &password);

    // Where passwords are kept, as the keyring's latest answer showed.
    Storage storage() const { return m_storage; }
    // storage() as a sentence for the user, e.g. "Passwords are kept in the system keyring."
    QString storageDescription() const;

    // The keyring entry name of server and login: "login@server".
    static QString keyringKey(const QString &server, const QString &login);

signals:
    void passwordFound(const QString &server, const QString &login, const QString &password);
    // The password of server and login is now kept in where: after save(), and after
    // requestPassword() found it in the settings file and tried to move it to the keyring.
    void stored(const QString &server, const QString &login,
                platform::PasswordStore::Storage where);
    // A password was not written to the settings file: why (see SettingsStore::setSecret).
    void fileRefused(const QString &reason);

private:
    void noteKeyringAnswer(QKeychain::Job *job);
    void moveToKeyring(const QString &server, const QString &login, const QString &password);
    bool fileHolds(const QString &server, const QString &login) const;
    QString filePassword() const;
    void removeFilePassword(const QString &password);
    // Writes the password to the file, or emits fileRefused(); true when written.
    bool writeFilePassword(const QString &password);

    SettingsStore &m_settings;
    Storage m_storage = Storage::Unknown;
    quint64 m_saves = 0; // save() calls so far; only the latest one may write the file
    // The last password the keyring confirmed in a save(), to skip repeated identical writes.
    QString m_confirmedKey;
    QString m_confirmedPassword;
};

} // namespace platform
