#include "support/tlstestserver.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>

namespace testsupport {

TlsTestServer::TlsTestServer(QObject *parent) : QTcpServer(parent) {}

TlsTestServer::~TlsTestServer()
{
    if (m_client)
        m_client->abort();
}

bool TlsTestServer::start(Mode mode, const QString &certFile, const QString &keyFile)
{
    m_mode = mode;
    QFile cert(certFile);
    QFile key(keyFile);
    if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return false;
    m_cert = QSslCertificate(&cert, QSsl::Pem);
    m_key = QSslKey(&key, QSsl::Ec, QSsl::Pem);
    if (m_key.isNull()) {
        key.seek(0);
        m_key = QSslKey(&key, QSsl::Rsa, QSsl::Pem);
    }
    if (m_cert.isNull() || m_key.isNull())
        return false;
    if (m_greeting.isEmpty())
        m_greeting = mode == Mode::StartTls
                         ? QByteArray("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready")
                         : QByteArray("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready");
    return listen(QHostAddress::LocalHost, 0);
}

bool TlsTestServer::clientConnected() const
{
    return m_client && m_client->state() == QAbstractSocket::ConnectedState;
}

void TlsTestServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (m_client || !socket->setSocketDescriptor(descriptor)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    m_client = socket;
    m_pending.clear();
    QSslConfiguration conf = socket->sslConfiguration();
    conf.setLocalCertificate(m_cert);
    conf.setPrivateKey(m_key);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->setSslConfiguration(conf);
    connect(socket, &QSslSocket::readyRead, this, &TlsTestServer::onReadyRead);
    connect(socket, &QSslSocket::encrypted, this, [this, socket] {
        m_handshakeDone = true;
        if (m_mode == Mode::Implicit)
            socket->write(m_greeting + "\r\n");
    });
    connect(socket, &QSslSocket::disconnected, this, [this, socket] {
        if (m_client == socket)
            m_client = nullptr;
        socket->deleteLater();
    });
    // The client decides whether to go on; the server only needs the handshake to end.
    connect(socket, &QSslSocket::errorOccurred, socket, &QSslSocket::abort);
    if (m_mode == Mode::Implicit)
        socket->startServerEncryption();
    else
        socket->write(m_greeting + "\r\n");
}

void TlsTestServer::onReadyRead()
{
    if (!m_client)
        return;
    const QByteArray data = m_client->readAll();
    (m_client->isEncrypted() ? m_encrypted : m_clear) += data;
    m_pending += data;
    qsizetype end;
    while (m_client && (end = m_pending.indexOf("\r\n")) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 2);
        answer(line);
    }
}

void TlsTestServer::answer(const QByteArray &line)
{
    if (!m_client->isEncrypted()) {
        if (line == "1 STARTTLS") {
            m_client->write("1 OK Begin TLS negotiation now.\r\n");
            m_pending.clear();
            m_client->startServerEncryption();
        } else {
            m_client->write("1 BAD say STARTTLS first\r\n");
        }
        return;
    }
    if (line.startsWith("1 LOGOUT"))
        m_client->write("* BYE logging out\r\n");
    m_client->write("1 OK done\r\n");
}

} // namespace testsupport
