#include "imap/session.h"

#include "imap/sasl.h"

namespace imap {

Session::Session(QObject *parent) : QObject(parent)
{
    connect(&m_connection, &Connection::ready, this, &Session::onReady);
    connect(&m_connection, &Connection::failed, this, &Session::onFailed);
}

void Session::open(const Account &account)
{
    stopWaitingForToken();
    m_account = account;
    m_refusal.clear();
    m_token.clear();
    m_loggedIn = false;
    m_loggingOut = false;
    m_refreshed = false;
    m_retrying = false;
    // No one is asked whether a token may go unencrypted.
    m_connection.setSignsInWithToken(bool(m_account.tokenSource));
    if (m_account.tokenSource)
        requestToken(false);
    else
        m_connection.open(account.address);
}

void Session::requestToken(bool forceRefresh)
{
    TokenSource *source = m_account.tokenSource.get();
    m_waitingForToken = true;
    connect(source, &TokenSource::tokenReady, this, &Session::onTokenReady, Qt::UniqueConnection);
    connect(source, &TokenSource::tokenFailed, this, &Session::onTokenFailed, Qt::UniqueConnection);
    source->requestToken(forceRefresh);
}

void Session::stopWaitingForToken()
{
    m_waitingForToken = false;
    if (m_account.tokenSource)
        m_account.tokenSource->disconnect(this);
}

void Session::onTokenReady(const QByteArray &token)
{
    if (!m_waitingForToken)
        return;
    stopWaitingForToken();
    m_token = token;
    m_connection.open(m_account.address);
}

void Session::onTokenFailed(const QString &reason)
{
    if (!m_waitingForToken)
        return;
    stopWaitingForToken();
    emit failed(reason);
}

void Session::onReady()
{
    const Response &greeting = m_connection.greeting();
    if (greeting.status() != Response::Status::Ok)
        m_token.clear(); // not needed
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
    if (!m_account.tokenSource) {
        login();
        return;
    }
    if (m_connection.capabilities().known) {
        signIn(m_connection.capabilities());
        return;
    }
    m_connection.send(CommandBuilder("1 CAPABILITY").finish(),
                      [this](const Response &r) { signIn(parseCapabilities(r.lines)); });
}

void Session::signIn(const Capabilities &capabilities)
{
    SaslMechanism mechanism;
    if (capabilities.has("AUTH=OAUTHBEARER")) {
        mechanism = SaslMechanism::OAuthBearer;
    } else if (capabilities.has("AUTH=XOAUTH2")) {
        mechanism = SaslMechanism::XOAuth2;
    } else if (!m_account.password.isEmpty()) {
        login();
        return;
    } else {
        fail(QStringLiteral("server does not offer sign-in with OAuth 2.0"));
        return;
    }
    // Whoever can read the wire could sign in with the token until it expires.
    if (!m_connection.isEncrypted() && !m_connection.peerIsLoopback()) {
        fail(QStringLiteral("not signing in over an unencrypted connection (try imaps://host)"));
        return;
    }
    const QByteArray user = m_account.login.toUtf8();
    const QByteArray response = mechanism == SaslMechanism::OAuthBearer
                                    ? oauthBearerResponse(user, m_account.address.host.toUtf8(),
                                                          m_account.address.port, m_token)
                                    : xoauth2Response(user, m_token);
    m_token.clear();
    m_connection.send(authenticateCommand(mechanism, response, capabilities.has("SASL-IR")),
                      [this](const Response &r) { onSignInAnswer(r); });
    emit loggingIn();
}

void Session::onSignInAnswer(const Response &response)
{
    if (response.status() == Response::Status::Ok) {
        onAuthenticated(response);
        return;
    }
    if (response.status() != Response::Status::No || m_refreshed) {
        refuse(QStringLiteral("login failed"), response);
        return;
    }
    // Expired or revoked since it was handed out: once more, with a fresh token, on a new
    // connection (a server may count the failed attempt against this one).
    m_refreshed = true;
    m_retrying = true;
    m_connection.send(CommandBuilder("1 LOGOUT").finish(), [this](const Response &) {
        m_connection.close();
        m_retrying = false;
        requestToken(true);
    });
}

void Session::fail(const QString &reason)
{
    m_connection.close();
    emit failed(reason);
}

void Session::login()
{
    const Command login = CommandBuilder("1 LOGIN ")
                              .astring(m_account.login.toUtf8())
                              .raw(" ")
                              .secret(m_account.password.toUtf8())
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
    if (m_retrying) {
        // The server left first after refusing the token: try anew all the same.
        m_retrying = false;
        requestToken(true);
        return;
    }
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
    stopWaitingForToken();
    m_loggingOut = false;
    m_retrying = false;
    m_refusal.clear();
    m_loggedIn = false;
    m_connection.shutdown();
}

void Session::close()
{
    stopWaitingForToken();
    m_loggingOut = false;
    m_retrying = false;
    m_refusal.clear();
    m_loggedIn = false;
    m_connection.close();
}

} // namespace imap
