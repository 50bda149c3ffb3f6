#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

namespace platform {

// Secrets other than passwords (an OAuth 2.0 refresh token, say) in the system keyring, filed
// under the application id FQ_APP_ID and a key of their own. Unlike a password (PasswordStore),
// such a secret never goes to the settings file: where no keyring answers, it is not kept.
//
// Every call runs as a QtKeychain job and answers through the callback from the event loop; the
// callback is dropped when `context` is gone by then.
namespace keyring {

// found is false both for "no such entry" and for "no keyring".
void read(const QString &key, QObject *context,
          std::function<void(bool found, const QByteArray &secret)> done);
// stored is false when the keyring did not take it (none running, locked, refused).
void write(const QString &key, const QByteArray &secret, QObject *context,
           std::function<void(bool stored)> done);
void remove(const QString &key);

} // namespace keyring
} // namespace platform
