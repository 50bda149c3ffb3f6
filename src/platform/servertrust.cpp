#include "platform/servertrust.h"

#include "platform/settingsstore.h"

namespace platform {

namespace {
const QString kCertificates = QStringLiteral("Certificates");
const QString kEncrypted = QStringLiteral("Encrypted");
const QString kUnencrypted = QStringLiteral("Unencrypted");
} // namespace

ServerTrust::ServerTrust(SettingsStore *settings) : m_settings(settings) {}

QString ServerTrust::value(const QString &section, const QString &server) const
{
    if (m_settings)
        return m_settings->value(section, server);
    return m_memory.value(section).value(server);
}

void ServerTrust::setValue(const QString &section, const QString &server, const QString &value)
{
    if (m_settings) {
        if (m_settings->value(section, server) == value)
            return; // every connection to a server that offers STARTTLS says so again
        m_settings->setValue(section, server, value);
        m_settings->sync();
    } else {
        m_memory[section][server] = value;
    }
}

void ServerTrust::remove(const QString &section, const QString &server)
{
    if (m_settings) {
        if (m_settings->value(section, server).isEmpty())
            return;
        m_settings->remove(section, server);
        m_settings->sync();
    } else {
        m_memory[section].remove(server);
    }
}

QByteArray ServerTrust::pinnedCertificate(const QString &server) const
{
    // Hex digits with anything between them; a damaged value simply never matches.
    return QByteArray::fromHex(value(kCertificates, server).toLatin1());
}

void ServerTrust::pinCertificate(const QString &server, const QByteArray &sha256)
{
    setValue(kCertificates, server, fingerprintText(sha256));
}

void ServerTrust::forgetCertificate(const QString &server)
{
    remove(kCertificates, server);
}

QList<QPair<QString, QString>> ServerTrust::pinnedCertificates() const
{
    const QStringList servers =
        m_settings ? m_settings->keys(kCertificates) : m_memory.value(kCertificates).keys();
    QList<QPair<QString, QString>> out;
    for (const QString &server : servers)
        out.append({server, fingerprintText(pinnedCertificate(server))});
    return out;
}

bool ServerTrust::requiresEncryption(const QString &server) const
{
    return !value(kEncrypted, server).isEmpty() || !pinnedCertificate(server).isEmpty();
}

void ServerTrust::rememberEncryption(const QString &server)
{
    setValue(kEncrypted, server, QStringLiteral("STARTTLS"));
}

bool ServerTrust::allowsUnencrypted(const QString &server) const
{
    return m_allowedForNow.contains(server) || !value(kUnencrypted, server).isEmpty();
}

void ServerTrust::allowUnencrypted(const QString &server, bool always)
{
    if (always)
        setValue(kUnencrypted, server, QStringLiteral("allowed"));
    else
        m_allowedForNow.insert(server);
}

QString ServerTrust::fingerprintText(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

} // namespace platform
