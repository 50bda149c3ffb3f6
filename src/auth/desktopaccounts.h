#pragma once

#include <QByteArray>
#include <QDBusObjectPath>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace auth {

// What org.freedesktop.DBus.ObjectManager.GetManagedObjects answers: object path -> interface
// name -> property name -> value.
using DBusInterfaces = QMap<QString, QVariantMap>;
using DBusManagedObjects = QMap<QDBusObjectPath, DBusInterfaces>;

// The desktop's own accounts: GNOME Online Accounts (org.gnome.OnlineAccounts on the session
// bus). An account whose Mail settings name the IMAP host and user name typed, and that signs
// in with OAuth 2.0, gives the access token; no client id of ours is needed then. Every call is
// asynchronous; the answers come as signals.
class DesktopAccounts : public QObject
{
    Q_OBJECT
public:
    explicit DesktopAccounts(QObject *parent = nullptr);

    // found() with the account's object path, or notFound() (no session bus, no Online
    // Accounts, no such account).
    void find(const QString &host, const QString &login);
    // Account.EnsureCredentials (the service checks, and refreshes, its sign-in), then
    // OAuth2Based.GetAccessToken: tokenFetched() or tokenFailed().
    void fetchToken(const QString &accountPath);

    // The path of the account among `objects` for host and login: OAuth 2.0, mail not switched
    // off, Mail's ImapHost (a ":port" after it aside) and ImapUserName the same, case aside.
    // "" when there is none.
    static QString match(const DBusManagedObjects &objects, const QString &host,
                         const QString &login);

signals:
    void found(const QString &accountPath);
    void notFound();
    // expiresIn: seconds, -1 when not known.
    void tokenFetched(const QByteArray &token, qint64 expiresIn);
    void tokenFailed(const QString &reason);
};

} // namespace auth
