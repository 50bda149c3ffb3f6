#include "auth/desktopaccounts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRegularExpression>

namespace auth {

namespace {

const QString kService = QStringLiteral("org.gnome.OnlineAccounts");
const QString kAccount = QStringLiteral("org.gnome.OnlineAccounts.Account");
const QString kMail = QStringLiteral("org.gnome.OnlineAccounts.Mail");
const QString kOAuth2 = QStringLiteral("org.gnome.OnlineAccounts.OAuth2Based");

// Calls a method of the service; `done` gets the finished call, from the event loop.
template <typename Done>
void call(QObject *context, const QString &path, const QString &interface, const QString &method,
          Done done)
{
    const QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, done](QDBusPendingCallWatcher *) {
                         watcher->deleteLater();
                         done(*watcher);
                     });
}

// The service's error in plain words: its own message, shown as plain text.
QString errorText(const QDBusError &error)
{
    QString text = error.message().left(200);
    text.removeIf([](QChar c) { return c.unicode() < 0x20; });
    return text.isEmpty() ? error.name() : text;
}

} // namespace

DesktopAccounts::DesktopAccounts(QObject *parent) : QObject(parent)
{
    qDBusRegisterMetaType<DBusInterfaces>();
    qDBusRegisterMetaType<DBusManagedObjects>();
}

QString DesktopAccounts::match(const DBusManagedObjects &objects, const QString &host,
                               const QString &login)
{
    static const QRegularExpression portSuffix(QStringLiteral(":\\d+$"));
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const DBusInterfaces &interfaces = it.value();
        if (!interfaces.contains(kOAuth2) || !interfaces.contains(kMail) ||
            interfaces.value(kAccount).value(QStringLiteral("MailDisabled")).toBool())
            continue;
        const QVariantMap mail = interfaces.value(kMail);
        QString imapHost = mail.value(QStringLiteral("ImapHost")).toString();
        if (imapHost.count(u':') == 1)
            imapHost.remove(portSuffix);
        if (imapHost.compare(host, Qt::CaseInsensitive) == 0 &&
            mail.value(QStringLiteral("ImapUserName"))
                    .toString()
                    .compare(login, Qt::CaseInsensitive) == 0)
            return it.key().path();
    }
    return {};
}

void DesktopAccounts::find(const QString &host, const QString &login)
{
    if (!QDBusConnection::sessionBus().isConnected()) {
        QMetaObject::invokeMethod(this, &DesktopAccounts::notFound, Qt::QueuedConnection);
        return;
    }
    call(this, QStringLiteral("/org/gnome/OnlineAccounts"),
         QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"),
         [this, host, login](const QDBusPendingCall &finished) {
             const QDBusPendingReply<DBusManagedObjects> reply = finished;
             const QString path = reply.isValid() ? match(reply.value(), host, login) : QString();
             if (path.isEmpty())
                 emit notFound();
             else
                 emit found(path);
         });
}

void DesktopAccounts::fetchToken(const QString &accountPath)
{
    call(this, accountPath, kAccount, QStringLiteral("EnsureCredentials"),
         [this, accountPath](const QDBusPendingCall &ensured) {
             if (ensured.isError()) {
                 emit tokenFailed(QStringLiteral("the desktop's online account cannot sign in: ") +
                                  errorText(ensured.error()));
                 return;
             }
             call(this, accountPath, kOAuth2, QStringLiteral("GetAccessToken"),
                  [this](const QDBusPendingCall &finished) {
                      const QDBusPendingReply<QString, int> reply = finished;
                      if (!reply.isValid() || reply.argumentAt<0>().isEmpty()) {
                          emit tokenFailed(
                              QStringLiteral("the desktop's online account gave no token: ") +
                              errorText(reply.error()));
                          return;
                      }
                      // The service says 0 when it does not know the lifetime.
                      const int expiresIn = reply.argumentAt<1>();
                      emit tokenFetched(reply.argumentAt<0>().toUtf8(),
                                        expiresIn > 0 ? expiresIn : -1);
                  });
         });
}

} // namespace auth
