#include "support/tcpproxy.h"

#include <QMutex>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
QMutex g_bytesLock;
}

TcpProxy::TcpProxy(const QHostAddress &target, quint16 targetPort, int delayMs)
    : m_target(target), m_targetPort(targetPort), m_delayMs(delayMs)
{
}

TcpProxy::~TcpProxy() = default;

bool TcpProxy::listen()
{
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &TcpProxy::onNewConnection);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        return false;
    m_port = m_server->serverPort();
    return true;
}

QByteArray TcpProxy::clientBytes() const
{
    QMutexLocker lock(&g_bytesLock);
    return m_clientBytes;
}

void TcpProxy::resetCounters()
{
    QMutexLocker lock(&g_bytesLock);
    m_clientBytes.clear();
    m_commands = 0;
}

void TcpProxy::onNewConnection()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        auto *upstream = new QTcpSocket(client);
        m_atLineStart = true;
        m_lineStart.clear();
        m_lineTail.clear();
        m_literalLeft = 0;
        connect(client, &QTcpSocket::readyRead, this, [this, client, upstream] {
            const QByteArray data = client->readAll();
            {
                QMutexLocker lock(&g_bytesLock);
                m_clientBytes += data;
            }
            countCommands(data);
            forward(upstream, data);
        });
        connect(upstream, &QTcpSocket::readyRead, this,
                [this, client, upstream] { forward(client, upstream->readAll()); });
        auto closeBoth = [this, client, upstream] {
            // Let data still in flight arrive first.
            QTimer::singleShot(m_delayMs, client, [client, upstream] {
                upstream->disconnectFromHost();
                client->disconnectFromHost();
                client->deleteLater();
            });
        };
        connect(client, &QTcpSocket::disconnected, this, closeBoth);
        connect(upstream, &QTcpSocket::disconnected, this, closeBoth);
        // A link adds its delay and nothing else: without this, the proxy's own sockets would
        // hold back each small chunk until the one before it is acknowledged, which costs a
        // delayed acknowledgement (40 ms) whenever a server writes one answer in two pieces.
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(upstream, &QTcpSocket::connected, upstream,
                [upstream] { upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        upstream->connectToHost(m_target, m_targetPort);
    }
}

void TcpProxy::forward(QTcpSocket *to, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_delayMs <= 0) {
        to->write(bytes);
        return;
    }
    // Timers of equal length fire in the order they were started, so order is kept.
    QTimer::singleShot(m_delayMs, to, [to, bytes] { to->write(bytes); });
}

void TcpProxy::countCommands(const QByteArray &bytes)
{
    // Counts lines that start with our tag; literal bytes the client sends are skipped.
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (m_literalLeft > 0) {
            const qint64 take = qMin<qint64>(m_literalLeft, bytes.size() - i);
            m_literalLeft -= take;
            i += take - 1;
            continue;
        }
        const char c = bytes[i];
        if (m_atLineStart && m_lineStart.size() < 2) {
            m_lineStart += c;
            if (m_lineStart == "1 ")
                ++m_commands;
        }
        if (c != '\n') {
            m_lineTail += c;
            if (m_lineTail.size() > 32)
                m_lineTail.remove(0, m_lineTail.size() - 32);
            continue;
        }
        // "{n}" CR LF announces n literal bytes; the line goes on after them.
        QByteArray tail = m_lineTail;
        m_lineTail.clear();
        if (tail.endsWith('\r'))
            tail.chop(1);
        const qsizetype open = tail.lastIndexOf('{');
        bool literal = false;
        if (open >= 0 && tail.endsWith('}')) {
            QByteArray digits = tail.mid(open + 1, tail.size() - open - 2);
            if (digits.endsWith('+'))
                digits.chop(1);
            m_literalLeft = digits.toLongLong(&literal);
        }
        m_atLineStart = !literal;
        if (!literal)
            m_lineStart.clear();
    }
}
