#include "support/fakeimapserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

struct FakeImapServer::Player
{
    QPointer<QTcpSocket> socket;
    QList<Step> steps;
    qsizetype next = 0;
    QByteArray pendingIn;  // client bytes not yet matched
    QByteArray pendingOut; // bytes waiting to be sent in chunks
    QByteArray received;
    int chunk = 0;
    bool sending = false;
    bool stalled = false;
    bool finished = false;
};

FakeImapServer::FakeImapServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeImapServer::onNewConnection);
}

FakeImapServer::~FakeImapServer()
{
    for (Player *p : std::as_const(m_players)) {
        if (p->socket)
            p->socket->abort();
        delete p;
    }
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
    return m_main && m_main->socket && m_main->socket->state() == QAbstractSocket::ConnectedState;
}

bool FakeImapServer::finished() const
{
    return m_main && m_main->finished;
}

bool FakeImapServer::extrasFinished() const
{
    for (const Player *p : m_extras)
        if (!p->finished)
            return false;
    return true;
}

QByteArray FakeImapServer::receivedByExtra(int k) const
{
    return k < m_extras.size() ? m_extras.at(k)->received : QByteArray();
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

QList<FakeImapServer::Step> FakeImapServer::parse(const QString &script)
{
    QList<Step> steps;
    const QStringList lines = script.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1String("S: ")))
            steps.append({Step::Send, unescape(QStringView(line).sliced(3)) + "\r\n"});
        else if (line == QLatin1String("S:"))
            steps.append({Step::Send, QByteArray("\r\n")});
        else if (line.startsWith(QLatin1String("S+ ")))
            steps.append({Step::Send, unescape(QStringView(line).sliced(3))});
        else if (line.startsWith(QLatin1String("C: ")))
            steps.append({Step::Expect, unescape(QStringView(line).sliced(3)) + "\r\n"});
        else if (trimmed.startsWith(QLatin1String("CHUNK ")))
            steps.append({Step::Chunk, {}, trimmed.sliced(6).toInt()});
        else if (trimmed == QLatin1String("STALL"))
            steps.append(Step{Step::Stall, {}});
        else if (trimmed == QLatin1String("CLOSE"))
            steps.append(Step{Step::Close, {}});
        else
            qFatal("FakeImapServer: bad script line: %s", qPrintable(line));
    }
    return steps;
}

void FakeImapServer::setScript(const QString &script)
{
    m_steps = parse(script);
}

void FakeImapServer::setExtraScripts(const QStringList &scripts)
{
    m_extraSteps.clear();
    for (const QString &script : scripts)
        m_extraSteps.append(parse(script));
}

void FakeImapServer::onNewConnection()
{
    QTcpSocket *socket = m_server->nextPendingConnection();
    if (!socket)
        return;
    const bool mainBusy = m_main && m_main->socket;
    if (mainBusy && m_extras.size() >= m_extraSteps.size()) {
        // No script left for it: turned away.
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_connections;
    auto *p = new Player;
    m_players.append(p);
    p->socket = socket;
    if (mainBusy) {
        p->steps = m_extraSteps.at(m_extras.size());
        m_extras.append(p);
    } else {
        m_main = p;
        p->steps = m_steps;
    }
    connect(socket, &QTcpSocket::readyRead, this, [this, p] {
        if (!p->socket)
            return;
        const QByteArray data = p->socket->readAll();
        m_received += data;
        p->received += data;
        p->pendingIn += data;
        run(p);
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, p, socket] {
        socket->deleteLater();
        if (p == m_main)
            emit clientDisconnected();
    });
    run(p);
}

void FakeImapServer::run(Player *p)
{
    while (p->socket && !p->stalled && !p->sending && p->next < p->steps.size()) {
        const Step &step = p->steps.at(p->next);
        switch (step.kind) {
        case Step::Send:
            ++p->next;
            if (p->chunk > 0) {
                p->pendingOut += step.data;
                p->sending = true;
                sendNextChunk(p);
                return;
            }
            p->socket->write(step.data);
            break;
        case Step::Expect:
            if (p->pendingIn.size() < step.data.size()) {
                // A shorter answer that already differs need not wait for more bytes.
                if (!step.data.startsWith(p->pendingIn))
                    break;
                return;
            }
            if (!p->pendingIn.startsWith(step.data))
                break;
            p->pendingIn.remove(0, step.data.size());
            ++p->next;
            continue;
        case Step::Chunk:
            p->chunk = step.number;
            ++p->next;
            continue;
        case Step::Stall:
            p->stalled = true;
            ++p->next;
            break;
        case Step::Close:
            ++p->next;
            p->socket->flush();
            p->socket->disconnectFromHost();
            break;
        }
        if (step.kind == Step::Expect) {
            // Mismatch.
            if (m_failure.isEmpty())
                m_failure = QStringLiteral("expected %1, got %2")
                                .arg(QString::fromUtf8(step.data.toPercentEncoding(" ")),
                                     QString::fromUtf8(p->pendingIn.toPercentEncoding(" ")));
            p->socket->abort();
            return;
        }
        if (step.kind != Step::Send)
            break;
    }
    if (!p->sending && p->next >= p->steps.size() && !p->finished) {
        p->finished = true;
        if (p == m_main)
            emit scriptFinished();
    }
}

void FakeImapServer::sendNextChunk(Player *p)
{
    if (!p->socket) {
        p->sending = false;
        return;
    }
    const QByteArray piece = p->pendingOut.left(p->chunk);
    p->pendingOut.remove(0, piece.size());
    p->socket->write(piece);
    p->socket->flush();
    if (!p->pendingOut.isEmpty()) {
        QTimer::singleShot(0, this, [this, p] { sendNextChunk(p); });
        return;
    }
    p->sending = false;
    QTimer::singleShot(0, this, [this, p] { run(p); });
}
