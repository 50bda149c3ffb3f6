#pragma once

#include "auth/provider.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUrl>

namespace auth {

// The authorization code grant with PKCE (RFC 6749 section 4.1, RFC 7636, RFC 8252 for the
// loopback redirect) as plain functions over bytes.

// `count` random octets from the system's generator.
QByteArray randomOctets(int count);
// Octets as base64url without padding: the PKCE verifier is 32 random octets so written (the 43
// characters RFC 7636 asks for at least), the state 16.
QByteArray base64Url(QByteArrayView octets);
// The PKCE S256 challenge: base64url(SHA-256(verifier)).
QByteArray pkceChallenge(QByteArrayView verifier);

// The page the browser opens: response_type=code, client_id, redirect_uri, scope, state,
// code_challenge and code_challenge_method=S256, and login_hint when one is given.
QUrl authorizationUrl(const Provider &provider, const QString &redirectUri, QByteArrayView state,
                      QByteArrayView challenge, const QString &loginHint);

// Bodies of the token endpoint's POST (application/x-www-form-urlencoded). The client secret
// goes along when the provider has one.
QByteArray codeExchangeBody(const Provider &provider, QByteArrayView code, QByteArrayView verifier,
                            const QString &redirectUri);
QByteArray refreshBody(const Provider &provider, QByteArrayView refreshToken);

// What the token endpoint answered (RFC 6749 section 5).
struct TokenAnswer
{
    QByteArray accessToken;
    QByteArray refreshToken; // empty when the old one stays valid
    qint64 expiresIn = -1;   // seconds; -1 when not said
    // Empty when tokens came. Otherwise the error code ("invalid_grant": the refresh token or
    // code is no good, sign in again), or why the answer could not be read.
    QString error;
    QString errorDescription; // the server's words, for showing as plain text
};
TokenAnswer parseTokenAnswer(int httpStatus, const QByteArray &body);

} // namespace auth
