#include "support/testhelpers.h"

#include "app/mainwindow.h"
#include "platform/connectionlog.h"

#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QProcess>
#include <QPushButton>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace testsupport {

QString scriptEscape(const QByteArray &bytes)
{
    // The connection log writes its lines the way scripts are written.
    return QString::fromLatin1(platform::ConnectionLog::escaped(bytes));
}

QString fetchAnswer(int seq, const QByteArray &headerBlock)
{
    return QStringLiteral(
               "S: * %1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {%2}\nS+ %3\nS: )\n")
        .arg(seq)
        .arg(headerBlock.size())
        .arg(scriptEscape(headerBlock));
}

imap::Connection::Timeouts shortTimeouts(int idleMs, int searchIdleMs, int connectMs)
{
    return {connectMs, idleMs, searchIdleMs};
}

void fillFields(MainWindow &window, const QString &server, const QString &login,
                const QString &password, const QString &subject)
{
    window.findChild<QLineEdit *>("serverEdit")->setText(server);
    window.findChild<QLineEdit *>("loginEdit")->setText(login);
    window.findChild<QLineEdit *>("passwordEdit")->setText(password);
    if (!subject.isEmpty())
        window.findChild<QLineEdit *>("subjectEdit")->setText(subject);
}

QString saveAs(QWidget &window, const char *button, const char *dialog, const QString &path)
{
    window.findChild<QPushButton *>(QLatin1String(button))->click();
    auto *d = window.findChild<QFileDialog *>(QLatin1String(dialog));
    if (!d)
        return QStringLiteral("<no dialog>");
    const QString proposed = QFileInfo(d->selectedFiles().value(0)).fileName();
    d->setObjectName(QString()); // closed, it goes later
    d->selectFile(path);
    static_cast<QDialog *>(d)->accept(); // as its Save button does
    return proposed;
}

QHostAddress otherAddress()
{
    QHostAddress found;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        if (!i.flags().testFlag(QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry &entry : i.addressEntries()) {
            const QHostAddress a = entry.ip();
            if (!a.isLoopback() && !a.isLinkLocal() &&
                (found.isNull() || a.protocol() == QAbstractSocket::IPv4Protocol))
                found = a;
        }
    }
    return found;
}

bool makeCertificates(const QString &dir)
{
    QProcess make;
    make.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    make.start("bash", {qEnvironmentVariable("FQ_SOURCE_DIR") + "/scripts/dovecot-fixture.sh",
                        "certs", dir});
    return make.waitForFinished(60000) && make.exitCode() == 0;
}

void trustCaFiles(const QStringList &files)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslConfiguration::systemCaCertificates());
    for (const QString &file : files)
        tls.addCaCertificates(QSslCertificate::fromPath(file));
    QSslConfiguration::setDefaultConfiguration(tls);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void usePrivateConfig(const QString &dir)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir));
    qputenv("HOME", QFile::encodeName(dir));
}

void CountingTokenSource::requestToken(bool forceRefresh)
{
    refreshes += forceRefresh;
    const QByteArray token = "token-" + QByteArray::number(refreshes + 1);
    QMetaObject::invokeMethod(
        this,
        [this, token] {
            if (failure.isEmpty())
                emit tokenReady(token);
            else
                emit tokenFailed(failure);
        },
        Qt::QueuedConnection);
}

} // namespace testsupport
