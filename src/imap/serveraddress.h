#pragma once

#include <QString>

namespace imap {

// Where and how to connect, read from the server field.
//   host, host:port, [v6addr], [v6addr]:port  plain IMAP, port 143 by default, upgraded with
//                                             STARTTLS whenever the server offers it
//   imap://host[:port]                        plain, upgraded with STARTTLS before LOGIN
//   imaps://host[:port]                       TLS from the first byte, port 993 by default
//   imap+plain://host[:port]                  plain IMAP, never upgraded: for servers whose
//                                             STARTTLS is broken
// A bare IPv6 address without brackets (two or more colons) is taken as a host on port 143.
// Connection::open() says what each means for the password.
struct ServerAddress
{
    enum class Security { Opportunistic, StartTls, ImplicitTls, Plain };

    QString host;
    quint16 port = 143;
    Security security = Security::Opportunistic;
    bool valid = false;
    QString error; // why it is not valid

    // "host:port" ("[v6addr]:port"), the host in lower case: what is remembered of a server is
    // filed under it.
    QString hostAndPort() const;
};

ServerAddress parseServerAddress(const QString &text);

} // namespace imap
