#include "auth/oauthaccount.h"

#include "auth/oauthprotocol.h"
#include "auth/redirectlistener.h"
#include "platform/keyring.h"

#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace auth {

namespace {

constexpr qint64 kMaxAnswer = 64 * 1024;
constexpr int kTokenRequestMs = 30 * 1000;
// A lifetime the provider did not state is taken to be the usual hour; should the server
// refuse the token before, the session refreshes it.
constexpr qint64 kAssumedLifetime = 3600;

// How long a token that lives `seconds` is handed out: until a minute before it expires (half
// its life for short-lived ones), so that it does not expire on its way to the server.
qint64 usableMs(qint64 seconds)
{
    if (seconds < 0)
        seconds = kAssumedLifetime;
    return (seconds - qMin<qint64>(60, seconds / 2)) * 1000;
}

} // namespace

OAuthAccount::OAuthAccount(const Provider &provider, const QString &host, const QString &login,
                           QObject *parent)
    : imap::TokenSource(parent), m_provider(provider), m_host(host), m_login(login),
      m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(&m_desktop, &DesktopAccounts::found, this, [this](const QString &path) {
        m_desktopPath = path;
        m_desktopLooked = true;
        updateState();
    });
    connect(&m_desktop, &DesktopAccounts::notFound, this, [this] {
        m_desktopLooked = true;
        updateState();
    });
    connect(&m_desktop, &DesktopAccounts::tokenFetched, this,
            [this](const QByteArray &token, qint64 expiresIn) { succeed(token, expiresIn, {}); });
    connect(&m_desktop, &DesktopAccounts::tokenFailed, this, &OAuthAccount::fail);
    m_desktop.find(host, login);
    platform::keyring::read(keyringKey(host, login), this,
                            [this](bool found, const QByteArray &secret) {
                                if (found && m_refreshToken.isEmpty())
                                    m_refreshToken = secret;
                                m_keyringRead = true;
                                updateState();
                            });
}

OAuthAccount::~OAuthAccount()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

QString OAuthAccount::keyringKey(const QString &host, const QString &login)
{
    return QStringLiteral("oauth2:") + login + u'@' + host;
}

void OAuthAccount::updateState()
{
    const State old = m_state;
    if (!m_keyringRead || !m_desktopLooked)
        m_state = State::Checking;
    else if (m_signingIn)
        m_state = State::SigningIn;
    else if (!m_desktopPath.isEmpty())
        m_state = State::SignedIn;
    else if (m_provider.clientId.isEmpty())
        m_state = State::Unavailable;
    else if (!m_refreshToken.isEmpty() || !m_accessToken.isEmpty())
        m_state = State::SignedIn;
    else
        m_state = State::SignedOut;
    if (m_state != old)
        emit stateChanged(m_state);
    // A request made while checking goes on now.
    if (old == State::Checking && m_state != State::Checking && m_fetching)
        fetch();
}

void OAuthAccount::requestToken(bool forceRefresh)
{
    // Taken from the event loop, so that no answer comes from within this call. The requests
    // that come in meanwhile are answered together.
    if (forceRefresh)
        m_refreshWanted = true;
    QMetaObject::invokeMethod(this, &OAuthAccount::handleRequest, Qt::QueuedConnection);
}

void OAuthAccount::handleRequest()
{
    if (m_fetching)
        return; // the fetch under way answers this one too
    if (!m_refreshWanted && !m_accessToken.isEmpty() && !m_accessValid.hasExpired()) {
        emit tokenReady(m_accessToken);
        return;
    }
    m_refreshWanted = false;
    m_accessToken.clear();
    m_fetching = true;
    if (m_state != State::Checking)
        fetch();
}

void OAuthAccount::fetch()
{
    if (!m_desktopPath.isEmpty())
        m_desktop.fetchToken(m_desktopPath);
    else if (m_provider.clientId.isEmpty())
        fail(QStringLiteral("Fernquill has no client id for %1").arg(m_provider.name));
    else if (!m_refreshToken.isEmpty())
        refresh();
    else
        signInWithBrowser();
}

void OAuthAccount::refresh()
{
    post(refreshBody(m_provider, m_refreshToken), &OAuthAccount::onRefreshAnswer);
}

void OAuthAccount::onRefreshAnswer(int status, const QByteArray &body)
{
    const TokenAnswer answer = parseTokenAnswer(status, body);
    if (answer.error.isEmpty()) {
        succeed(answer.accessToken, answer.expiresIn, answer.refreshToken);
        return;
    }
    if (answer.error != QLatin1String("invalid_grant")) {
        fail(QStringLiteral("could not renew the sign-in with %1: %2")
                 .arg(m_provider.name, answer.error));
        return;
    }
    // Revoked, expired or already used: the user signs in again.
    m_refreshToken.clear();
    platform::keyring::remove(keyringKey(m_host, m_login));
    signInWithBrowser();
}

void OAuthAccount::signInWithBrowser()
{
    if (m_listener)
        m_listener->deleteLater();
    m_listener = new RedirectListener(this);
    const QByteArray state = base64Url(randomOctets(16));
    m_verifier = base64Url(randomOctets(32));
    if (!m_listener->listen(state)) {
        fail(QStringLiteral("could not wait for the web browser's answer"));
        return;
    }
    m_redirectUri = m_listener->redirectUri();
    connect(m_listener, &RedirectListener::codeReceived, this, &OAuthAccount::exchangeCode);
    connect(m_listener, &RedirectListener::failed, this, [this](const QString &reason) {
        fail(QStringLiteral("sign-in with %1 failed: %2").arg(m_provider.name, reason));
    });
    m_signingIn = true;
    updateState();
    const QUrl url =
        authorizationUrl(m_provider, m_redirectUri, state, pkceChallenge(m_verifier), m_login);
    if (!QDesktopServices::openUrl(url))
        fail(QStringLiteral("no web browser could be opened to sign in with %1")
                 .arg(m_provider.name));
}

void OAuthAccount::exchangeCode(const QByteArray &code)
{
    post(codeExchangeBody(m_provider, code, m_verifier, m_redirectUri),
         &OAuthAccount::onCodeAnswer);
}

void OAuthAccount::onCodeAnswer(int status, const QByteArray &body)
{
    const TokenAnswer answer = parseTokenAnswer(status, body);
    if (!answer.error.isEmpty()) {
        QString reason = answer.error;
        if (!answer.errorDescription.isEmpty())
            reason += QStringLiteral(" (") + answer.errorDescription + u')';
        fail(QStringLiteral("sign-in with %1 failed: %2").arg(m_provider.name, reason));
        return;
    }
    succeed(answer.accessToken, answer.expiresIn, answer.refreshToken);
}

void OAuthAccount::post(const QByteArray &body,
                        void (OAuthAccount::*answered)(int, const QByteArray &))
{
    QNetworkRequest request(m_provider.tokenUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(kTokenRequestMs);
    QNetworkReply *reply = m_network->post(request, body);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxAnswer)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, answered] {
        reply->deleteLater();
        if (reply != m_reply)
            return; // signed out meanwhile
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            fail(QStringLiteral("could not reach %1's sign-in service: %2")
                     .arg(m_provider.name, reply->errorString()));
            return;
        }
        (this->*answered)(status.toInt(), reply->read(kMaxAnswer));
    });
}

void OAuthAccount::succeed(const QByteArray &accessToken, qint64 expiresIn,
                           const QByteArray &refreshToken)
{
    m_accessToken = accessToken;
    m_accessValid = QDeadlineTimer(usableMs(expiresIn));
    if (!refreshToken.isEmpty() && refreshToken != m_refreshToken) {
        m_refreshToken = refreshToken;
        // Where no keyring takes it, it is kept for this run only.
        platform::keyring::write(keyringKey(m_host, m_login), refreshToken, this, [](bool) {});
    }
    m_fetching = false;
    m_refreshWanted = false; // whoever asked for a fresh token gets this one
    m_signingIn = false;
    if (m_listener)
        m_listener->close();
    updateState();
    emit tokenReady(m_accessToken);
}

void OAuthAccount::fail(const QString &reason)
{
    if (!m_fetching)
        return;
    m_fetching = false;
    m_signingIn = false;
    if (m_listener)
        m_listener->close();
    updateState();
    emit tokenFailed(reason);
}

void OAuthAccount::signOut()
{
    m_accessToken.clear();
    if (m_desktopPath.isEmpty()) {
        m_refreshToken.clear();
        platform::keyring::remove(keyringKey(m_host, m_login));
    }
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->abort();
    }
    fail(QStringLiteral("signed out"));
    updateState();
}

} // namespace auth
