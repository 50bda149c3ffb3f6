#pragma once

#include "imap/account.h"
#include "imap/connection.h"

#include <QObject>
#include <QString>

#include <utility>

namespace imap {

// A logged-in conversation on one Connection: open and log in, run commands through
// connection().send(), log out. Drives itself by signals, like the connection under it.
class Session : public QObject
{
    Q_OBJECT
public:
    explicit Session(QObject *parent = nullptr);

    Connection &connection() { return m_connection; }

    // Connects, reads the greeting and logs in ("1 LOGIN login password", each value an atom,
    // quoted string or literal as it needs). A PREAUTH greeting skips the LOGIN. Emits
    // loggingIn() when the LOGIN goes out, then loggedIn() or failed():
    //  - "server refused the connection: <text>" for a BYE greeting;
    //  - "login failed: <text>" when LOGIN is answered NO or BAD (after logging out);
    //  - the connection's own reason when it fails.
    //
    // An account with a token source signs in with OAuth 2.0 where the server allows it. The
    // token is asked for first, so that a sign-in in the browser holds no connection open. Then,
    // with the capabilities the server names at that moment (asked with CAPABILITY when it has
    // named none on this connection): AUTHENTICATE OAUTHBEARER when offered, else XOAUTH2 (see
    // authenticateCommand()); a server offering neither gets the LOGIN above. A token goes only
    // over TLS or to a server on this machine. A refused token is refreshed once
    // (forceRefresh) and the login tried again on a new connection; a second refusal is
    // "login failed: <text>". The source's failure is reported as it words it.
    void open(const Account &account);

    // Sends "1 LOGOUT" behind whatever is unanswered and closes the connection once it is
    // answered or the connection fails; then emits loggedOut(). A failed goodbye is no failure.
    // Does nothing but emit loggedOut() (queued) when the connection is not open.
    void logout();

    // For a refused command: logs out, then emits failed() with `what`, and ": " and the
    // server's text when it gave one.
    void refuse(const QString &what, const Response &response);

    bool isLoggedIn() const { return m_loggedIn; }
    // After a login whose answer names no capabilities, asks for them ("1 CAPABILITY") before
    // loggedIn(): for conversations that use extensions a server may name only then. Off by
    // default. Capabilities the login's answer names are taken either way.
    void setAskCapabilitiesAfterLogin(bool ask) { m_askCapabilities = ask; }
    // Ends the conversation at once (see Connection::shutdown()). No signal.
    void shutdown();
    // Closes the connection at once without a word to the server, and stops waiting for a
    // token. No signal.
    void close();

signals:
    void loggingIn();
    void loggedIn();
    void loggedOut();
    void failed(const QString &reason);

private:
    void onReady();
    void onAuthenticated(const Response &response);
    void onFailed(const QString &reason);
    void finishLogout();
    void login();
    void requestToken(bool forceRefresh);
    void stopWaitingForToken();
    void onTokenReady(const QByteArray &token);
    void onTokenFailed(const QString &reason);
    void signIn(const Capabilities &capabilities);
    void onSignInAnswer(const Response &response);
    void fail(const QString &reason);

    Connection m_connection;
    Account m_account;
    QString m_refusal; // what failed() says once the refusal's LOGOUT is done
    QByteArray m_token;
    bool m_loggedIn = false;
    bool m_loggingOut = false;
    bool m_askCapabilities = false;
    bool m_waitingForToken = false;
    bool m_refreshed = false; // the server refused a token once and got a fresh one
    bool m_retrying = false;  // leaving a connection that refused the token, to try anew
};

} // namespace imap
