#include "support/dovecotfixture.h"

#include <QFile>
#include <QJsonDocument>

namespace testsupport {

DovecotFixture DovecotFixture::load(const QString &layout)
{
    DovecotFixture f;
    f.layout = layout;
    const char *var = layout == QLatin1String("fs") ? "FQ_DOVECOT_FS" : "FQ_DOVECOT_MAILDIR";
    f.dir = qEnvironmentVariable(var);
    if (f.dir.isEmpty())
        return f;
    QFile portFile(f.dir + QStringLiteral("/port"));
    if (!portFile.open(QIODevice::ReadOnly))
        return f;
    QFile manifest(f.dir + QStringLiteral("/manifest.json"));
    if (!manifest.open(QIODevice::ReadOnly))
        return f;
    f.manifest = QJsonDocument::fromJson(manifest.readAll()).object();
    f.port = quint16(portFile.readAll().trimmed().toUInt());
    return f;
}

} // namespace testsupport
