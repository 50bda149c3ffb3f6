#include "platform/passwordstore.h"

#include "platform/settingsstore.h"

#include <qt6keychain/keychain.h>

#include <QDir>

namespace platform {

namespace {

const QString kSection = QStringLiteral("LastUse");
const QString kServer = QStringLiteral("Server");
const QString kLogin = QStringLiteral("Login");
const QString kPassword = QStringLiteral("pw");

QString service()
{
    return QStringLiteral(FQ_APP_ID);
}

// True when the keyring itself answered: the entry was there, or the keyring said it was not.
// Anything else (no Secret Service or KWallet on the bus, no bus, a locked collection, a
// dismissed prompt) means the password cannot be kept there now.
bool keyringAnswered(const QKeychain::Job *job)
{
    return job->error() == QKeychain::NoError || job->error() == QKeychain::EntryNotFound;
}

} // namespace

// QtKeychain jobs are made without a parent and delete themselves once finished: the keyring
// library still holds a pointer to a running job, so a job must never be deleted before it
// ends. When this object goes first, its connections go with it and late answers are dropped.

PasswordStore::PasswordStore(SettingsStore &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
}

PasswordStore::~PasswordStore() = default;

QString PasswordStore::rememberedServer() const
{
    return m_settings.value(kSection, kServer);
}

QString PasswordStore::rememberedLogin() const
{
    return m_settings.value(kSection, kLogin);
}

QString PasswordStore::keyringKey(const QString &server, const QString &login)
{
    return login + u'@' + server;
}

void PasswordStore::requestPassword(const QString &server, const QString &login)
{
    auto *job = new QKeychain::ReadPasswordJob(service());
    job->setKey(keyringKey(server, login));
    connect(job, &QKeychain::Job::finished, this, [this, server, login](QKeychain::Job *done) {
        noteKeyringAnswer(done);
        if (done->error() == QKeychain::NoError) {
            const auto *read = static_cast<QKeychain::ReadPasswordJob *>(done);
            emit passwordFound(server, login, read->textData());
            return;
        }
        const QString fromFile = fileHolds(server, login) ? filePassword() : QString();
        emit passwordFound(server, login, fromFile);
        if (fromFile.isEmpty())
            return;
        if (done->error() == QKeychain::EntryNotFound)
            moveToKeyring(server, login, fromFile);
        else
            emit stored(server, login, Storage::SettingsFile);
    });
    job->start();
}

void PasswordStore::save(const QString &server, const QString &login, const QString &password)
{
    const quint64 serial = ++m_saves;
    const QString oldServer = rememberedServer();
    const QString oldLogin = rememberedLogin();
    const QString oldPassword = filePassword();
    const bool samePair = oldServer == server && oldLogin == login;
    // A password the file still holds for another server or login would end up beside the wrong
    // names: try to move it to the keyring under its own first (jobs run one after the other).
    if (!oldPassword.isEmpty() && !samePair)
        moveToKeyring(oldServer, oldLogin, oldPassword);

    m_settings.setValue(kSection, kServer, server);
    m_settings.setValue(kSection, kLogin, login);
    m_settings.sync();

    const QString key = keyringKey(server, login);
    if (oldPassword.isEmpty() && key == m_confirmedKey && password == m_confirmedPassword) {
        // The keyring took exactly this a moment ago; do not write (or prompt) again.
        QMetaObject::invokeMethod(
            this, [this, server, login] { emit stored(server, login, Storage::Keyring); },
            Qt::QueuedConnection);
        return;
    }

    auto *job = new QKeychain::WritePasswordJob(service());
    job->setKey(key);
    job->setTextData(password);
    connect(
        job, &QKeychain::Job::finished, this,
        [this, server, login, password, key, serial, samePair, oldPassword](QKeychain::Job *done) {
            noteKeyringAnswer(done);
            if (done->error() == QKeychain::NoError) {
                m_confirmedKey = key;
                m_confirmedPassword = password;
                // An older copy for the same server and login is out of date now.
                if (samePair && !oldPassword.isEmpty())
                    removeFilePassword(oldPassword);
                emit stored(server, login, Storage::Keyring);
                return;
            }
            // The keyring did not take it: the file keeps it, as it always has. A later
            // save() has the last word on what the file holds.
            if (serial == m_saves && !writeFilePassword(password))
                return;
            emit stored(server, login, Storage::SettingsFile);
        });
    job->start();
}

void PasswordStore::rememberAccount(const QString &server, const QString &login)
{
    if (!filePassword().isEmpty() && !fileHolds(server, login))
        return;
    m_settings.setValue(kSection, kServer, server);
    m_settings.setValue(kSection, kLogin, login);
    m_settings.sync();
}

bool PasswordStore::rememberInFile(const QString &server, const QString &login,
                                   const QString &password)
{
    if (m_storage != Storage::SettingsFile)
        return false;
    m_settings.setValue(kSection, kServer, server);
    m_settings.setValue(kSection, kLogin, login);
    return writeFilePassword(password);
}

bool PasswordStore::writeFilePassword(const QString &password)
{
    const QString refusal = m_settings.setSecret(kSection, kPassword, password);
    m_settings.sync();
    if (refusal.isEmpty())
        return true;
    emit fileRefused(refusal);
    return false;
}

QString PasswordStore::storageDescription() const
{
    if (m_storage == Storage::Keyring)
        return tr("Passwords are kept in the system keyring.");
    QString file = m_settings.fileName();
    const QString home = QDir::homePath() + u'/';
    if (file.startsWith(home))
        file = QStringLiteral("~/") + file.mid(home.size());
    return tr("Passwords are kept in %1 (readable by you only).").arg(file);
}

void PasswordStore::noteKeyringAnswer(QKeychain::Job *job)
{
    m_storage = keyringAnswered(job) ? Storage::Keyring : Storage::SettingsFile;
}

void PasswordStore::moveToKeyring(const QString &server, const QString &login,
                                  const QString &password)
{
    auto *job = new QKeychain::WritePasswordJob(service());
    job->setKey(keyringKey(server, login));
    job->setTextData(password);
    connect(job, &QKeychain::Job::finished, this,
            [this, server, login, password](QKeychain::Job *done) {
                noteKeyringAnswer(done);
                if (done->error() != QKeychain::NoError) {
                    emit stored(server, login, Storage::SettingsFile);
                    return;
                }
                removeFilePassword(password);
                emit stored(server, login, Storage::Keyring);
            });
    job->start();
}

bool PasswordStore::fileHolds(const QString &server, const QString &login) const
{
    return rememberedServer() == server && rememberedLogin() == login;
}

QString PasswordStore::filePassword() const
{
    return m_settings.value(kSection, kPassword);
}

void PasswordStore::removeFilePassword(const QString &password)
{
    // Only the copy that went to the keyring: if the file has been given another password since,
    // that one stays.
    if (filePassword() != password)
        return;
    m_settings.remove(kSection, kPassword);
    m_settings.sync();
}

} // namespace platform
