#pragma once

#include "auth/desktopaccounts.h"
#include "auth/provider.h"
#include "imap/tokensource.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

namespace auth {

class RedirectListener;

// The OAuth 2.0 sign-in of one login at one IMAP host: where its tokens come from and where
// they are kept. It is the token source of every connection made for the login.
//
// Tokens come, in this order, from
//  1. the desktop's own account for the host and login (DesktopAccounts); no client id is
//     needed then;
//  2. the provider's authorization server, with the client id: the refresh token kept in the
//     keyring is exchanged for an access token; without one, or when the provider no longer
//     takes it (invalid_grant), the user signs in in the web browser (authorization code with
//     PKCE and a random state, redirected to a RedirectListener on 127.0.0.1).
//
// The access token lives in memory and is handed out until shortly before it expires. One
// fetch runs at a time; every request made meanwhile waits for its outcome (providers rotate
// refresh tokens and take each once). A new refresh token replaces the old one in the system
// keyring (key "oauth2:<login>@<host>"), never in the settings file; where no keyring takes it,
// it is kept for this run only and the user signs in again at the next start.
class OAuthAccount : public imap::TokenSource
{
    Q_OBJECT
public:
    enum class State {
        Checking,    // looking at the keyring and the desktop's accounts
        Unavailable, // no desktop account and no client id: no way to sign in
        SignedOut,
        SigningIn, // waiting for the browser
        SignedIn,  // a desktop account, or tokens that can be refreshed
    };
    Q_ENUM(State)

    OAuthAccount(const Provider &provider, const QString &host, const QString &login,
                 QObject *parent = nullptr);
    ~OAuthAccount() override;

    const Provider &provider() const { return m_provider; }
    QString host() const { return m_host; }
    QString login() const { return m_login; }
    State state() const { return m_state; }
    bool usesDesktopAccount() const { return !m_desktopPath.isEmpty(); }

    void requestToken(bool forceRefresh) override;
    // Forgets the tokens (the refresh token in the keyring too) and ends a sign-in going on,
    // whose waiters get tokenFailed(). A desktop account stays: it is the desktop's to end.
    void signOut();

    static QString keyringKey(const QString &host, const QString &login);

signals:
    void stateChanged(auth::OAuthAccount::State state);

private:
    void updateState();
    void handleRequest();
    void fetch();
    void refresh();
    void signInWithBrowser();
    void exchangeCode(const QByteArray &code);
    void post(const QByteArray &body, void (OAuthAccount::*answered)(int, const QByteArray &));
    void onRefreshAnswer(int status, const QByteArray &body);
    void onCodeAnswer(int status, const QByteArray &body);
    void succeed(const QByteArray &accessToken, qint64 expiresIn, const QByteArray &refreshToken);
    void fail(const QString &reason);

    Provider m_provider;
    QString m_host;
    QString m_login;
    State m_state = State::Checking;
    DesktopAccounts m_desktop;
    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_reply;
    RedirectListener *m_listener = nullptr;
    QString m_desktopPath;
    QByteArray m_refreshToken;
    QByteArray m_accessToken;
    QDeadlineTimer m_accessValid;
    QByteArray m_verifier; // of the browser sign-in going on
    QString m_redirectUri;
    bool m_keyringRead = false;
    bool m_desktopLooked = false;
    bool m_fetching = false;      // a token is being fetched; requests wait for it
    bool m_refreshWanted = false; // a request to come wants no kept token
    bool m_signingIn = false;     // in the browser, or exchanging its code
};

} // namespace auth
