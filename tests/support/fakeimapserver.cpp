#include "support/fakeimapserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

FakeImapServer::FakeImapServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeImapServer::onNewConnection);
}

FakeImapServer::~FakeImapServer()
{
    if (m_client)
        m_client->abort();
}

bool FakeImapServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 FakeImapServer::port() const
{
    return m_server->serverPort();
}

QString FakeImapServer::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

bool FakeImapServer::clientConnected() const
{
    return m_client && m_client->state() == QAbstractSocket::ConnectedState;
}

QByteArray FakeImapServer::unescape(QStringView text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c != '\\' || i + 1 >= in.size()) {
            out += c;
            continue;
        }
        const char e = in[++i];
        switch (e) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'x':
            if (i + 2 < in.size()) {
                bool ok = false;
                const int v = in.mid(i + 1, 2).toInt(&ok, 16);
                if (ok) {
                    out += char(v);
                    i += 2;
                    break;
                }
            }
            out += "\\x";
            break;
        default:
            out += e; // \\ and \" and anything else: the character itself
        }
    }
    return out;
}

void FakeImapServer::setScript(const QString &script)
{
    m_steps.clear();
    const QStringList lines = script.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1String("S: ")))
            m_steps.append({Step::Send, unescape(QStringView(line).sliced(3)) + "\r\n"});
        else if (line == QLatin1String("S:"))
            m_steps.append({Step::Send, QByteArray("\r\n")});
        else if (line.startsWith(QLatin1String("S+ ")))
            m_steps.append({Step::Send, unescape(QStringView(line).sliced(3))});
        else if (line.startsWith(QLatin1String("C: ")))
            m_steps.append({Step::Expect, unescape(QStringView(line).sliced(3)) + "\r\n"});
        else if (trimmed.startsWith(QLatin1String("CHUNK ")))
            m_steps.append({Step::Chunk, {}, trimmed.sliced(6).toInt()});
        else if (trimmed == QLatin1String("STALL"))
            m_steps.append(Step{Step::Stall, {}});
        else if (trimmed == QLatin1String("CLOSE"))
            m_steps.append(Step{Step::Close, {}});
        else
            qFatal("FakeImapServer: bad script line: %s", qPrintable(line));
    }
}

void FakeImapServer::onNewConnection()
{
    QTcpSocket *socket = m_server->nextPendingConnection();
    if (!socket)
        return;
    if (m_client) {
        // One client at a time; a second one is turned away.
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_connections;
    m_client = socket;
    m_next = 0;
    m_pendingIn.clear();
    m_pendingOut.clear();
    m_chunk = 0;
    m_finished = false;
    m_stalled = false;
    connect(socket, &QTcpSocket::readyRead, this, &FakeImapServer::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        socket->deleteLater();
        if (m_client == socket)
            m_client = nullptr;
        emit clientDisconnected();
    });
    run();
}

void FakeImapServer::onReadyRead()
{
    if (!m_client)
        return;
    const QByteArray data = m_client->readAll();
    m_received += data;
    m_pendingIn += data;
    run();
}

void FakeImapServer::run()
{
    while (m_client && !m_stalled && !m_sending && m_next < m_steps.size()) {
        const Step &step = m_steps.at(m_next);
        switch (step.kind) {
        case Step::Send:
            ++m_next;
            if (m_chunk > 0) {
                m_pendingOut += step.data;
                m_sending = true;
                sendNextChunk();
                return;
            }
            m_client->write(step.data);
            break;
        case Step::Expect:
            if (m_pendingIn.size() < step.data.size()) {
                // A shorter answer that already differs need not wait for more bytes.
                if (!step.data.startsWith(m_pendingIn))
                    break;
                return;
            }
            if (!m_pendingIn.startsWith(step.data))
                break;
            m_pendingIn.remove(0, step.data.size());
            ++m_next;
            continue;
        case Step::Chunk:
            m_chunk = step.number;
            ++m_next;
            continue;
        case Step::Stall:
            m_stalled = true;
            ++m_next;
            m_finished = m_next >= m_steps.size();
            if (m_finished)
                emit scriptFinished();
            return;
        case Step::Close:
            ++m_next;
            m_client->flush();
            m_client->disconnectFromHost();
            m_finished = m_next >= m_steps.size();
            if (m_finished)
                emit scriptFinished();
            return;
        }
        if (step.kind == Step::Expect) {
            // Mismatch.
            if (m_failure.isEmpty())
                m_failure = QStringLiteral("expected %1, got %2")
                                .arg(QString::fromUtf8(step.data.toPercentEncoding(" ")),
                                     QString::fromUtf8(m_pendingIn.toPercentEncoding(" ")));
            m_client->abort();
            return;
        }
    }
    if (m_client && !m_sending && !m_stalled && m_next >= m_steps.size() && !m_finished) {
        m_finished = true;
        emit scriptFinished();
    }
}

void FakeImapServer::sendNextChunk()
{
    if (!m_client) {
        m_sending = false;
        return;
    }
    const QByteArray piece = m_pendingOut.left(m_chunk);
    m_pendingOut.remove(0, piece.size());
    m_client->write(piece);
    m_client->flush();
    if (!m_pendingOut.isEmpty()) {
        QTimer::singleShot(0, this, &FakeImapServer::sendNextChunk);
        return;
    }
    m_sending = false;
    QTimer::singleShot(0, this, &FakeImapServer::run);
}
