#include "imap/sasl.h"

namespace imap {

QByteArray saslName(QByteArrayView user)
{
    QByteArray out;
    out.reserve(user.size());
    for (char c : user) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out += c;
    }
    return out;
}

QByteArray oauthBearerResponse(QByteArrayView user, QByteArrayView host, quint16 port,
                               QByteArrayView token)
{
    return "n,a=" + saslName(user) + ",\x01host=" + host.toByteArray() +
           "\x01port=" + QByteArray::number(port) +
           "\x01"
           "auth=Bearer " +
           token.toByteArray() + "\x01\x01";
}

QByteArray xoauth2Response(QByteArrayView user, QByteArrayView token)
{
    return "user=" + user.toByteArray() +
           "\x01"
           "auth=Bearer " +
           token.toByteArray() + "\x01\x01";
}

Command authenticateCommand(SaslMechanism mechanism, QByteArrayView response, bool initialResponse)
{
    const bool bearer = mechanism == SaslMechanism::OAuthBearer;
    const QByteArray head =
        bearer ? QByteArray("1 AUTHENTICATE OAUTHBEARER") : QByteArray("1 AUTHENTICATE XOAUTH2");
    const QByteArray encoded = response.toByteArray().toBase64();
    Command command;
    if (initialResponse) {
        command.pieces.append(head + ' ' + encoded + "\r\n");
        command.shown.append(head + " ***\r\n");
    } else {
        command.pieces = {head + "\r\n", encoded + "\r\n"};
        command.shown = {head + "\r\n", "***\r\n"};
    }
    // The answer to an error challenge is the same for everyone: a log may show it.
    command.pieces.append(bearer ? QByteArray("AQ==\r\n") : QByteArray("\r\n"));
    command.shown.append(command.pieces.last());
    return command;
}

} // namespace imap
