#include "platform/keyring.h"

#include <qt6keychain/keychain.h>

namespace platform::keyring {

// Jobs delete themselves once finished (see PasswordStore).

void read(const QString &key, QObject *context,
          std::function<void(bool found, const QByteArray &secret)> done)
{
    auto *job = new QKeychain::ReadPasswordJob(QStringLiteral(FQ_APP_ID));
    job->setKey(key);
    QObject::connect(job, &QKeychain::Job::finished, context,
                     [done = std::move(done)](QKeychain::Job *finished) {
                         const auto *read = static_cast<QKeychain::ReadPasswordJob *>(finished);
                         const bool found = finished->error() == QKeychain::NoError;
                         done(found, found ? read->textData().toUtf8() : QByteArray());
                     });
    job->start();
}

void write(const QString &key, const QByteArray &secret, QObject *context,
           std::function<void(bool stored)> done)
{
    auto *job = new QKeychain::WritePasswordJob(QStringLiteral(FQ_APP_ID));
    job->setKey(key);
    job->setTextData(QString::fromUtf8(secret));
    QObject::connect(job, &QKeychain::Job::finished, context,
                     [done = std::move(done)](QKeychain::Job *finished) {
                         done(finished->error() == QKeychain::NoError);
                     });
    job->start();
}

void remove(const QString &key)
{
    auto *job = new QKeychain::DeletePasswordJob(QStringLiteral(FQ_APP_ID));
    job->setKey(key);
    job->start();
}

} // namespace platform::keyring
