#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>

namespace platform {

class SettingsStore;

// What the user has decided about servers, and what servers have shown of themselves, filed by
// server as "host:port" (the host in lower case, an IPv6 address in brackets). In the settings
// file:
//
//   [Certificates]  host:port = the SHA-256 of a certificate trusted on purpose ("AB:CD:…")
//   [Encrypted]     host:port = STARTTLS   (it has offered STARTTLS: from then on it must)
//   [Unencrypted]   host:port = allowed    (the password may go in clear: "Don't ask again")
//
// (QSettings writes the ":" of a key as %3A.) A permission to log in unencrypted given without
// "Don't ask again" is kept in memory only, for as long as this object lives. Without a settings
// store everything is kept in memory.
class ServerTrust
{
public:
    explicit ServerTrust(SettingsStore *settings = nullptr);

    // The SHA-256 of the certificate pinned for the server; empty when none is.
    QByteArray pinnedCertificate(const QString &server) const;
    void pinCertificate(const QString &server, const QByteArray &sha256);
    void forgetCertificate(const QString &server);
    // Every pinned certificate: server and fingerprint text, by server.
    QList<QPair<QString, QString>> pinnedCertificates() const;

    // True once the server has offered STARTTLS, or while a certificate is pinned for it.
    bool requiresEncryption(const QString &server) const;
    void rememberEncryption(const QString &server);

    // True when the user let the server have the password unencrypted, for good or until the
    // program exits.
    bool allowsUnencrypted(const QString &server) const;
    void allowUnencrypted(const QString &server, bool always);

    // "AB:CD:…": a digest as certificate dialogs show it.
    static QString fingerprintText(const QByteArray &digest);

private:
    QString value(const QString &section, const QString &server) const;
    void setValue(const QString &section, const QString &server, const QString &value);
    void remove(const QString &section, const QString &server);

    SettingsStore *m_settings;
    QMap<QString, QMap<QString, QString>> m_memory; // section, server: without a store
    QSet<QString> m_allowedForNow;
};

} // namespace platform
