#include "imap/imapchannel.h"

#include <QEventLoop>
#include <QSslSocket>

namespace imap {

namespace {
const QString kConnect = QStringLiteral("CONNECT");
const QString kSearched = QStringLiteral("SEARCHED");
} // namespace

ImapChannel::ImapChannel(QObject *parent) : QObject(parent), m_socket(new QSslSocket(this))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ImapChannel::onTimeout);
    connect(m_socket, &QSslSocket::readyRead, this, &ImapChannel::onReadyRead);
    connect(m_socket, &QSslSocket::connected, this, &ImapChannel::onConnected);
    connect(m_socket, &QSslSocket::disconnected, this, &ImapChannel::onDisconnected);
    connect(m_socket, &QSslSocket::errorOccurred, this, &ImapChannel::onSocketError);
}

ImapChannel::~ImapChannel()
{
    if (m_loop)
        m_loop->quit();
    m_socket->abort();
}

void ImapChannel::setReaderLimits(const ResponseReader::Limits &limits)
{
    m_reader = ResponseReader(limits);
}

void ImapChannel::setParser(const QString &state, Parser parser)
{
    m_parsers.insert(state, std::move(parser));
}

bool ImapChannel::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

bool ImapChannel::isOpen() const
{
    return m_socket->state() != QAbstractSocket::UnconnectedState;
}

bool ImapChannel::Connect(const ServerAddress &address)
{
    m_error.clear();
    m_aborted = false;
    m_greeting = {};
    if (!address.valid) {
        m_error = address.error;
        return false;
    }
    m_socket->abort();
    m_reader.reset();
    m_reader.setGreetingMode(true);
    m_strCommand = kConnect;
    m_connecting = true;
    m_socket->connectToHost(address.host, address.port);
    const bool ok = waitForResponse(m_timeouts.connectMs);
    m_reader.setGreetingMode(false);
    if (ok)
        m_greeting = m_lastResponse;
    return ok;
}

bool ImapChannel::SendAndWait(const QString &state, const Command &command)
{
    m_error.clear();
    if (!isConnected()) {
        m_error = QStringLiteral("server closed the connection");
        if (m_reader.sawBye() && !m_reader.byeText().isEmpty())
            m_error += QStringLiteral(": ") + QString::fromUtf8(m_reader.byeText());
        m_socket->abort();
        return false;
    }
    // A tagged line that arrived while nothing was pending answers no command of ours.
    if (m_reader.hasResponse())
        m_reader.takeResponse();
    m_strCommand = state;
    m_unsent = command.pieces;
    if (m_unsent.isEmpty())
        m_unsent.append(QByteArray("\r\n"));
    write(m_unsent.takeFirst());
    return waitForResponse(state == kSearched ? m_timeouts.searchIdleMs : m_timeouts.idleMs);
}

void ImapChannel::Close()
{
    m_unsent.clear();
    m_socket->abort();
}

void ImapChannel::shutdown()
{
    abort();
    if (isConnected()) {
        write(QByteArray("1 LOGOUT\r\n"));
        m_socket->flush();
        m_socket->waitForBytesWritten(1000);
    }
    m_socket->abort();
}

void ImapChannel::abort()
{
    if (m_wait == WaitState::Pending)
        finishWait(WaitState::Aborted);
}

bool ImapChannel::waitForResponse(int idleMs)
{
    Q_ASSERT(!m_loop);
    QEventLoop loop;
    m_loop = &loop;
    m_wait = WaitState::Pending;
    m_timer.start(idleMs);
    m_idleMs = idleMs;
    loop.exec();
    m_loop = nullptr;
    m_timer.stop();
    if (m_wait == WaitState::Pending) {
        // The event loop was told to quit from outside (the application is exiting).
        m_wait = WaitState::Aborted;
    }
    const WaitState end = m_wait;
    m_wait = WaitState::Idle;
    m_connecting = false;
    if (end == WaitState::Aborted) {
        m_aborted = true;
        if (m_error.isEmpty())
            m_error = QStringLiteral("cancelled");
        m_socket->abort();
    }
    return end == WaitState::Completed;
}

void ImapChannel::write(const QByteArray &bytes)
{
    m_socket->write(bytes);
    emit wrote(bytes);
}

void ImapChannel::fail(const QString &reason)
{
    if (m_wait != WaitState::Pending)
        return;
    m_error = reason;
    m_unsent.clear();
    m_strCommand.clear();
    finishWait(WaitState::Failed);
    m_socket->abort();
}

void ImapChannel::finishWait(WaitState state)
{
    m_wait = state;
    if (m_loop)
        m_loop->quit();
}

void ImapChannel::onReadyRead()
{
    const QByteArray data = m_socket->readAll();
    if (!data.isEmpty()) {
        m_reader.feed(data);
        if (m_wait == WaitState::Pending && !m_connecting)
            m_timer.start(m_idleMs);
    }
    if (m_reader.error() != ResponseReader::Error::None) {
        if (m_wait == WaitState::Pending)
            fail(m_reader.errorText());
        else
            m_socket->abort();
        return;
    }
    if (m_reader.takeContinuation() && !m_unsent.isEmpty())
        write(m_unsent.takeFirst());
    if (m_wait != WaitState::Pending || !m_reader.hasResponse())
        return;

    m_lastResponse = m_reader.takeResponse();
    m_unsent.clear();
    emit responseCompleted();
    const auto parser = m_parsers.constFind(m_strCommand);
    if (parser != m_parsers.constEnd() && *parser)
        (*parser)(m_lastResponse);
    m_strCommand.clear();
    finishWait(WaitState::Completed);
}

void ImapChannel::onConnected()
{
    m_connecting = false;
    if (m_wait == WaitState::Pending)
    {
        m_idleMs = m_timeouts.idleMs;
        m_timer.start(m_idleMs);
    }
}

void ImapChannel::onDisconnected()
{
    if (m_wait != WaitState::Pending)
        return;
    // Frame whatever arrived with the close first: a complete response still counts.
    onReadyRead();
    if (m_wait != WaitState::Pending)
        return;
    QString reason = QStringLiteral("server closed the connection");
    if (m_reader.sawBye() && !m_reader.byeText().isEmpty())
        reason += QStringLiteral(": ") + QString::fromUtf8(m_reader.byeText());
    fail(reason);
}

void ImapChannel::onSocketError()
{
    if (m_wait != WaitState::Pending)
        return;
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    fail(m_socket->errorString());
}

void ImapChannel::onTimeout()
{
    fail(m_connecting ? QStringLiteral("could not connect in time")
                      : QStringLiteral("server did not answer"));
}

} // namespace imap
