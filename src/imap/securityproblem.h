#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QMetaType>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

namespace imap {

// Why a connection stopped before a password could go on it, when the user may decide to go on
// all the same: the server's certificate did not verify (and is not the one pinned for the
// server), or the server offers no encryption and is not on this machine. Nothing but the TLS
// handshake (and, before it, STARTTLS) has been sent when it arises.
struct SecurityProblem
{
    enum class Kind { None, UntrustedCertificate, NoEncryption };

    Kind kind = Kind::None;
    QString server;              // "host:port", as ServerAddress::hostAndPort()
    QSslCertificate certificate; // UntrustedCertificate: the server's own
    QStringList reasons;         // why it did not verify, in plain words
    QByteArray pinned;           // SHA-256 of the certificate trusted for the server; empty: none

    QByteArray fingerprint() const { return certificate.digest(QCryptographicHash::Sha256); }
    // A certificate was trusted for the server, and this is another one.
    bool certificateChanged() const { return !pinned.isEmpty(); }
};

} // namespace imap

Q_DECLARE_METATYPE(imap::SecurityProblem)
