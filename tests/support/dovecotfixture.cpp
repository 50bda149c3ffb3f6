#include "support/dovecotfixture.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>

namespace testsupport {

DovecotFixture DovecotFixture::load(const QString &layout)
{
    const char *var = layout == QLatin1String("fs") ? "FQ_DOVECOT_FS" : "FQ_DOVECOT_MAILDIR";
    return fromDirectory(qEnvironmentVariable(var), layout);
}

DovecotFixture DovecotFixture::start(const QString &dir, const QString &layout,
                                     const QStringList &options)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    script.start(QStringLiteral("bash"),
                 QStringList{qEnvironmentVariable("FQ_SOURCE_DIR") +
                                 QStringLiteral("/scripts/dovecot-fixture.sh"),
                             QStringLiteral("start"), dir, layout} +
                     options);
    if (!script.waitForFinished(120000) || script.exitCode() != 0)
        return {};
    return fromDirectory(dir, layout);
}

void DovecotFixture::stop() const
{
    QProcess::execute(QStringLiteral("bash"), {qEnvironmentVariable("FQ_SOURCE_DIR") +
                                                   QStringLiteral("/scripts/dovecot-fixture.sh"),
                                               QStringLiteral("stop"), dir});
}

DovecotFixture DovecotFixture::fromDirectory(const QString &dir, const QString &layout)
{
    DovecotFixture f;
    f.layout = layout;
    f.dir = dir;
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
