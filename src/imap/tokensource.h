#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace imap {

// Where a session gets the OAuth 2.0 access token it signs in with. One source serves every
// connection that signs in as the same login at the same host (the connections of a search,
// Browse, the messages opened from the hits), so that a token is fetched or refreshed once for
// all of them.
//
// requestToken() is answered by tokenReady() or tokenFailed(), always from the event loop, never
// from within the call. The answer goes to everyone waiting: while a token is being fetched,
// further requests wait for the same outcome instead of starting another fetch.
class TokenSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // forceRefresh: the server refused the token handed out last; do not hand it out again.
    virtual void requestToken(bool forceRefresh) = 0;

signals:
    // The access token. It is a secret: it goes to the server and nowhere else.
    void tokenReady(const QByteArray &token);
    // Why no token can be had, as a sentence for the status line (never with a token in it).
    void tokenFailed(const QString &reason);
};

} // namespace imap
