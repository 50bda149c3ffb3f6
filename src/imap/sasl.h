#pragma once

#include "imap/command.h"

#include <QByteArray>
#include <QByteArrayView>

namespace imap {

// The SASL mechanisms that carry an OAuth 2.0 access token, in the order they are preferred.
enum class SaslMechanism { OAuthBearer, XOAuth2 };

// A user name as an RFC 5801 saslname: "," as "=2C" and "=" as "=3D".
QByteArray saslName(QByteArrayView user);

// The OAUTHBEARER client response of RFC 7628 (before base64):
//   "n,a=<saslname>," ^A "host=<host>" ^A "port=<port>" ^A "auth=Bearer <token>" ^A ^A
QByteArray oauthBearerResponse(QByteArrayView user, QByteArrayView host, quint16 port,
                               QByteArrayView token);
// The XOAUTH2 client response (Google's and Microsoft's): "user=<user>" ^A
// "auth=Bearer <token>" ^A ^A (before base64).
QByteArray xoauth2Response(QByteArrayView user, QByteArrayView token);

// "1 AUTHENTICATE <mechanism>" with the response in base64: on the command line when the server
// offers SASL-IR (initialResponse), otherwise as the answer to the first "+" continuation. The
// last piece answers an error challenge the way the mechanism wants it (OAUTHBEARER: a single
// 0x01, "AQ=="; XOAUTH2: an empty line); a server that accepts the token answers before it is
// due, and the connection then never sends it. A connection log shows the response as ***.
Command authenticateCommand(SaslMechanism mechanism, QByteArrayView response, bool initialResponse);

} // namespace imap
