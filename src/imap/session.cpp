#include "imap/session.h"

namespace imap {

Session::Session(QObject *parent) : QObject(parent)
{
    connect(&m_connection, &Connection::ready, this, &Session::onReady);
    connect(&m_connection, &Connection::failed, this, &Session::onFailed);
}

void Session::open(const Account &account)
{
    m_account = account;
    m_refusal.clear();
    m_loggedIn = false;
    m_loggingOut = false;
    m_connection.open(account.address);
}

void Session::onReady()
{
    const Response &greeting = m_connection.greeting();
    if (greeting.status() == Response::Status::Bye) {
        m_connection.close();
        emit failed(withServerText(QStringLiteral("server refused the connection"), greeting));
        return;
    }
    if (greeting.status() == Response::Status::Preauth) {
        m_loggedIn = true;
        emit loggedIn();
        return;
    }
    const Command login = CommandBuilder("1 LOGIN ")
                              .astring(m_account.login.toUtf8())
                              .raw(" ")
                              .astring(m_account.password.toUtf8())
                              .finish();
    m_connection.send(login, [this](const Response &r) {
        if (r.status() != Response::Status::Ok) {
            refuse(QStringLiteral("login failed"), r);
            return;
        }
        onAuthenticated(r);
    });
    emit loggingIn();
}

void Session::onAuthenticated(const Response &response)
{
    // Servers often name further capabilities once the user is known (SEARCHRES, say): with
    // the login's answer, or when asked.
    const Capabilities after = parseCapabilities(response.lines);
    if (after.known || !m_askCapabilities) {
        if (after.known)
            m_connection.setCapabilities(after);
        m_loggedIn = true;
        emit loggedIn();
        return;
    }
    m_connection.send(CommandBuilder("1 CAPABILITY").finish(), [this](const Response &r) {
        const Capabilities asked = parseCapabilities(r.lines);
        if (asked.known)
            m_connection.setCapabilities(asked);
        m_loggedIn = true;
        emit loggedIn();
    });
}

void Session::logout()
{
    if (m_loggingOut)
        return;
    m_loggingOut = true;
    if (!m_connection.isReady()) {
        m_connection.close();
        QMetaObject::invokeMethod(this, &Session::finishLogout, Qt::QueuedConnection);
        return;
    }
    m_connection.send(CommandBuilder("1 LOGOUT").finish(), [this](const Response &) {
        m_connection.close();
        finishLogout();
    });
}

void Session::refuse(const QString &what, const Response &response)
{
    m_refusal = withServerText(what, response);
    logout();
}

void Session::finishLogout()
{
    if (!m_loggingOut)
        return;
    m_loggingOut = false;
    m_loggedIn = false;
    if (!m_refusal.isEmpty()) {
        const QString reason = std::exchange(m_refusal, QString());
        emit failed(reason);
        return;
    }
    emit loggedOut();
}

void Session::onFailed(const QString &reason)
{
    if (m_loggingOut) {
        // The goodbye went wrong: the conversation is over all the same.
        finishLogout();
        return;
    }
    m_loggedIn = false;
    emit failed(reason);
}

void Session::shutdown()
{
    m_loggingOut = false;
    m_refusal.clear();
    m_loggedIn = false;
    m_connection.shutdown();
}

} // namespace imap
