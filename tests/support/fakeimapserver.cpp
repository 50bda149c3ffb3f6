#include "support/fakeimapserver.h"

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

namespace {
// How many bytes of `in` the expected bytes match: 0 while more may come, -1 when they cannot.
// "***" matches any bytes but LF.
qsizetype matched(QByteArrayView expected, QByteArrayView in)
{
    bool wildcard = false;
    for (qsizetype at = 0;; wildcard = true) {
        const qsizetype star = expected.indexOf("***");
        const QByteArrayView part = star < 0 ? expected : expected.first(star);
        if (!wildcard) {
            const qsizetype have = qMin(part.size(), in.size());
            if (in.first(have) != part.first(have))
                return -1;
            if (have < part.size())
                return 0;
        } else {
            const qsizetype lf = in.indexOf('\n', at);
            const qsizetype found = in.first(lf < 0 ? in.size() : lf + 1).indexOf(part, at);
            if (found < 0)
                return lf < 0 ? 0 : -1;
            at = found;
        }
        at += part.size();
        if (star < 0)
            return at;
        expected = expected.sliced(star + 3);
    }
}

// Hands out QSslSocket, so that any connection can start TLS when its script says so.
class SslCapableServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        addPendingConnection(socket);
    }
};
} // namespace

struct FakeImapServer::Player
{
    QPointer<QSslSocket> socket;
    QList<Step> steps;
    qsizetype next = 0;
    QByteArray pendingIn; // client bytes not yet matched
    int chunk = 0;
    bool sending = false; // a step goes out in chunks
    bool paused = false;  // in the TLS handshake, stalled or closed
    bool finished = false;
};

FakeImapServer::FakeImapServer(QObject *parent) : QObject(parent), m_server(new SslCapableServer)
{
    m_server->setParent(this);
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

bool FakeImapServer::listen(const QHostAddress &address)
{
    return m_server->listen(address, 0);
}

QString FakeImapServer::address() const
{
    const QHostAddress host = m_server->serverAddress();
    return (host.protocol() == QAbstractSocket::IPv6Protocol ? '[' + host.toString() + ']'
                                                             : host.toString()) +
           QStringLiteral(":%1").arg(port());
}

quint16 FakeImapServer::port() const
{
    return m_server->serverPort();
}

bool FakeImapServer::setCertificate(const QString &certFile, const QString &keyFile)
{
    QFile cert(certFile);
    QFile key(keyFile);
    if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return false;
    m_cert = QSslCertificate(&cert, QSsl::Pem);
    m_key = QSslKey(&key, QSsl::Ec, QSsl::Pem);
    return !m_cert.isNull() && !m_key.isNull();
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
    return std::all_of(m_extras.cbegin(), m_extras.cend(), [](Player *p) { return p->finished; });
}

QByteArray FakeImapServer::unescape(QStringView text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char e = in[i] == '\\' && i + 1 < in.size() ? in[++i] : 0;
        bool hex = false;
        const int v = e == 'x' && i + 2 < in.size() ? in.mid(i + 1, 2).toInt(&hex, 16) : 0;
        i += hex ? 2 : 0;
        out += hex ? char(v) : e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : e ? e : in[i];
    }
    return out;
}

QString FakeImapServer::scriptFromLog(const QString &log, int connection)
{
    static const QRegularExpression line(QStringLiteral("^\\S+ #(\\d+) ([CS]: .*)$"));
    QString script;
    for (const QString &text : log.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = line.match(text);
        if (m.hasMatch() && connection == 0)
            connection = m.captured(1).toInt();
        if (m.hasMatch() && m.captured(1).toInt() == connection)
            script += m.captured(2) + QLatin1Char('\n');
    }
    return script;
}

QList<FakeImapServer::Step> FakeImapServer::parse(const QString &script)
{
    static const QStringList words{"TLS", "WAIT", "STALL", "CLOSE", "RECONNECT"};
    QList<Step> steps;
    for (const QString &line : script.split(QLatin1Char('\n'))) {
        const QString word = line.trimmed();
        const QByteArray text = unescape(QStringView(line).sliced(qMin(3, line.size())));
        if (word.isEmpty() || word.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith("S: ") || line == "S:")
            steps.append({Step::Send, text + "\r\n"});
        else if (line.startsWith("S+ "))
            steps.append({Step::Send, text});
        else if (line.startsWith("C: "))
            steps.append({Step::Expect, text + "\r\n"});
        else if (word.startsWith("CHUNK "))
            steps.append({Step::Chunk, word.sliced(6).toLatin1()});
        else if (words.contains(word))
            steps.append(Step{Step::Kind(Step::Tls + words.indexOf(word)), {}});
        else
            qFatal("FakeImapServer: bad script line: %s", qPrintable(line));
    }
    return steps;
}

void FakeImapServer::setScript(const QString &script)
{
    m_steps.clear();
    m_laterSteps.clear();
    QList<Step> *segment = &m_steps;
    for (const Step &step : parse(script)) {
        if (step.kind == Step::Reconnect)
            segment = &m_laterSteps.emplace_back();
        else
            segment->append(step);
    }
}

void FakeImapServer::setExtraScripts(const QStringList &scripts)
{
    m_extraSteps.clear();
    for (const QString &script : scripts)
        m_extraSteps.append(parse(script));
}

void FakeImapServer::onNewConnection()
{
    auto *socket = static_cast<QSslSocket *>(m_server->nextPendingConnection());
    // A main script played to its end hands over to the next one, however soon the client
    // comes back (its goodbye may not have been seen yet).
    const bool handOver = m_main && m_main->finished && !m_laterSteps.isEmpty();
    const bool mainBusy = clientConnected() && !handOver;
    if (mainBusy && m_extras.size() >= m_extraSteps.size()) {
        socket->abort(); // no script left for it: turned away
        socket->deleteLater();
        return;
    }
    ++m_connections;
    auto *p = new Player;
    p->socket = socket;
    p->steps = mainBusy   ? m_extraSteps.at(m_extras.size())
               : handOver ? m_laterSteps.takeFirst()
                          : m_steps;
    m_players.append(p);
    (mainBusy ? m_extras.emplace_back() : m_main) = p;
    connect(socket, &QTcpSocket::readyRead, this, [this, p] {
        const QByteArray data = p->socket ? p->socket->readAll() : QByteArray();
        m_received += data;
        p->pendingIn += data;
        run(p);
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, p, socket] {
        socket->deleteLater();
        if (p == m_main)
            emit clientDisconnected();
    });
    connect(socket, &QSslSocket::encrypted, this, [this, p] {
        p->paused = false;
        run(p);
    });
    run(p);
}

void FakeImapServer::run(Player *p)
{
    for (; p->socket && !p->paused && !p->sending && p->next < p->steps.size(); ++p->next) {
        const Step &step = p->steps.at(p->next);
        if (step.kind == Step::Expect) {
            const qsizetype length = matched(step.data, p->pendingIn);
            if (length == 0)
                return; // the rest is still to come
            if (length < 0) {
                if (m_failure.isEmpty())
                    m_failure = "expected " + step.data.toPercentEncoding(" ") + ", got " +
                                p->pendingIn.toPercentEncoding(" ");
                return p->socket->abort();
            }
            p->pendingIn.remove(0, length);
        } else if (step.kind == Step::Wait && (m_extras.isEmpty() || !extrasFinished())) {
            return; // run again when an extra script ends
        } else if (step.kind == Step::Send && p->chunk > 0) {
            p->sending = true;
            sendChunks(p, step.data);
        } else if (step.kind == Step::Send) {
            p->socket->write(step.data);
        } else if (step.kind == Step::Chunk) {
            p->chunk = step.data.toInt();
        } else if (step.kind == Step::Tls) {
            p->paused = true;
            p->socket->setLocalCertificate(m_cert);
            p->socket->setPrivateKey(m_key);
            p->socket->startServerEncryption();
        } else if (step.kind != Step::Wait) {
            if (step.kind == Step::Close)
                p->socket->disconnectFromHost();
            p->paused = true;
        }
    }
    if (!p->finished && p->next >= p->steps.size() && !p->sending) {
        p->finished = true;
        if (p != m_main && m_main)
            run(m_main); // one may WAIT for this
    }
}

// Sends the bytes in pieces of p->chunk, one per pass of the event loop.
void FakeImapServer::sendChunks(Player *p, const QByteArray &bytes)
{
    QTimer::singleShot(0, this, [this, p, bytes] {
        if (!p->socket)
            return;
        p->socket->write(bytes.left(p->chunk));
        p->socket->flush();
        if (bytes.size() > p->chunk)
            return sendChunks(p, bytes.sliced(p->chunk));
        p->sending = false;
        run(p);
    });
}
