#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

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
    // Starts a server of its own in dir (scripts/dovecot-fixture.sh start dir layout options),
    // for a test that needs another configuration; stop() ends it.
    static DovecotFixture start(const QString &dir, const QString &layout,
                                const QStringList &options);
    void stop() const;

private:
    static DovecotFixture fromDirectory(const QString &dir, const QString &layout);
};

} // namespace testsupport
