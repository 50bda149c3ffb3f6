#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace testsupport {

// A private Dovecot started by the test fixture: where it listens and the manifest of the sample
// mailbox it serves.
struct DovecotFixture
{
    QString layout; // "maildir" or "fs"
    QString dir;
    quint16 port = 0;
    QJsonObject manifest;

    bool isValid() const { return port != 0; }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    QJsonArray messages() const { return manifest.value(QStringLiteral("messages")).toArray(); }
    QJsonArray folders() const { return manifest.value(QStringLiteral("folders")).toArray(); }

    // Reads the fixture of the layout from the directory named by FQ_DOVECOT_MAILDIR or
    // FQ_DOVECOT_FS; an invalid fixture (port 0) when it is not running.
    static DovecotFixture load(const QString &layout);
};

} // namespace testsupport
