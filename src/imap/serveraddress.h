#pragma once

#include <QString>

namespace imap {

// Where and how to connect, read from the server field.
//   host, host:port, [v6addr], [v6addr]:port  plain IMAP, port 143 by default
//   imap://host[:port]                        plain, upgraded with STARTTLS before LOGIN
//   imaps://host[:port]                       TLS from the first byte, port 993 by default
// A bare IPv6 address without brackets (two or more colons) is taken as a host on port 143.
struct ServerAddress
{
    enum class Security { Plain, StartTls, ImplicitTls };

    QString host;
    quint16 port = 143;
    Security security = Security::Plain;
    bool valid = false;
    QString error; // why it is not valid
};

ServerAddress parseServerAddress(const QString &text);

} // namespace imap
