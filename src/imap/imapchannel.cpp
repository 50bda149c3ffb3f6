#include "imap/imapchannel.h"

#include <QEventLoop>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>

namespace imap {

namespace {
const QString kConnect = QStringLiteral("CONNECT");
const QString kSearched = QStringLiteral("SEARCHED");
const QString kCapability = QStringLiteral("CAPABILITY");
const QString kStartTls = QStringLiteral("STARTTLS");

// The reasons a certificate was refused, in plain words, each once.
QString describeCertificateErrors(const QList<QSslError> &errors)
{
    QStringList reasons;
    for (const QSslError &e : errors) {
        QString text;
        switch (e.error()) {
        case QSslError::HostNameMismatch:
            text = QStringLiteral("certificate is for another host name");
            break;
        case QSslError::CertificateExpired:
            text = QStringLiteral("certificate has expired");
            break;
        case QSslError::CertificateNotYetValid:
            text = QStringLiteral("certificate is not valid yet");
            break;
        case QSslError::CertificateRevoked:
            text = QStringLiteral("certificate has been revoked");
            break;
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::CertificateRejected:
            text = QStringLiteral("certificate is not trusted");
            break;
        case QSslError::NoPeerCertificate:
            text = QStringLiteral("server sent no certificate");
            break;
        default:
            text = e.errorString();
        }
        if (!reasons.contains(text))
            reasons.append(text);
    }
    return reasons.join(QStringLiteral("; "));
}
} // namespace

ImapChannel::ImapChannel(QObject *parent) : QObject(parent), m_socket(new QSslSocket(this))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ImapChannel::onTimeout);
    connect(m_socket, &QSslSocket::readyRead, this, &ImapChannel::onReadyRead);
    connect(m_socket, &QSslSocket::connected, this, &ImapChannel::onConnected);
    connect(m_socket, &QSslSocket::disconnected, this, &ImapChannel::onDisconnected);
    connect(m_socket, &QSslSocket::errorOccurred, this, &ImapChannel::onSocketError);
    connect(m_socket, &QSslSocket::encrypted, this, &ImapChannel::onEncrypted);
    connect(m_socket, &QSslSocket::sslErrors, this, &ImapChannel::onSslErrors);
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
    m_capabilities = {};
    m_tlsError.clear();
    if (!address.valid) {
        m_error = address.error;
        return false;
    }
    using Security = ServerAddress::Security;
    if (address.security != Security::Plain && !QSslSocket::supportsSsl()) {
        m_error = QStringLiteral("encrypted connections are not available on this system");
        return false;
    }
    m_socket->abort();
    m_reader.reset();
    m_reader.setGreetingMode(true);
    m_strCommand = kConnect;
    m_connecting = true;
    m_tlsFromStart = address.security == Security::ImplicitTls;
    // The certificate must name the host as typed (a name or an address).
    m_socket->setPeerVerifyName(address.host);
    if (m_tlsFromStart)
        m_socket->connectToHostEncrypted(address.host, address.port);
    else
        m_socket->connectToHost(address.host, address.port);
    const bool ok = waitForResponse(m_timeouts.connectMs);
    m_reader.setGreetingMode(false);
    m_tlsFromStart = false;
    if (!ok)
        return false;
    m_greeting = m_lastResponse;
    m_capabilities = ParseCapabilities(m_greeting.lines);

    const Response::Status status = m_greeting.status();
    if (status == Response::Status::Bye)
        return true; // the caller reports the refusal
    switch (address.security) {
    case Security::ImplicitTls:
        return true;
    case Security::StartTls:
        // A session that is already authenticated can no longer be upgraded: going on would
        // mean going on in clear.
        if (status == Response::Status::Preauth)
            return endConnect(QStringLiteral(
                "server started the session before encryption (PREAUTH); not going on in clear"));
        return upgradeToTls();
    case Security::Plain:
        if (status == Response::Status::Preauth)
            return true; // no password will be sent
        return refuseIfLoginDisabled();
    }
    return true;
}

bool ImapChannel::isEncrypted() const
{
    return m_socket->isEncrypted();
}

void ImapChannel::addTrustedCaCertificates(const QList<QSslCertificate> &certificates)
{
    QSslConfiguration conf = m_socket->sslConfiguration();
    if (!m_ownCaList) {
        // Naming CAs switches off the lookup of the system's on demand: name those too.
        conf.setCaCertificates(QSslConfiguration::systemCaCertificates());
        m_ownCaList = true;
    }
    conf.addCaCertificates(certificates);
    m_socket->setSslConfiguration(conf);
}

bool ImapChannel::askCapabilitiesIfUnknown()
{
    if (m_capabilities.known)
        return true;
    if (!SendAndWait(kCapability, CommandBuilder("1 CAPABILITY").finish()))
        return false;
    m_capabilities = ParseCapabilities(m_lastResponse.lines);
    return true;
}

bool ImapChannel::refuseIfLoginDisabled()
{
    if (!askCapabilitiesIfUnknown())
        return false;
    if (m_capabilities.has("LOGINDISABLED"))
        return endConnect(
            QStringLiteral("server requires an encrypted connection (try imaps://host)"));
    return true;
}

bool ImapChannel::upgradeToTls()
{
    if (!askCapabilitiesIfUnknown())
        return false;
    if (!m_capabilities.has("STARTTLS"))
        return endConnect(QStringLiteral("server does not offer STARTTLS (try imaps://host)"));
    if (!SendAndWait(kStartTls, CommandBuilder("1 STARTTLS").finish()))
        return false;
    if (m_lastResponse.status() != Response::Status::Ok) {
        QString reason = QStringLiteral("server refused STARTTLS");
        const QByteArray text = m_lastResponse.statusText();
        if (!text.isEmpty())
            reason += QStringLiteral(": ") + QString::fromUtf8(text);
        return endConnect(reason);
    }
    // Bytes that came in clear after the go-ahead would be taken for protected ones once the
    // connection is encrypted: someone on the path may have put them there.
    if (m_reader.bufferedBytes() > 0 || !m_reader.pendingLines().isEmpty() ||
        m_socket->bytesAvailable() > 0)
        return endConnect(QStringLiteral("server sent unencrypted data after STARTTLS"));
    // What the server announced in clear may have been tampered with; forget it.
    m_capabilities = {};
    m_reader.reset();
    m_strCommand = kConnect;
    m_handshaking = true;
    m_socket->startClientEncryption();
    const bool ok = waitForEncryption();
    m_handshaking = false;
    m_strCommand.clear();
    return ok;
}

bool ImapChannel::endConnect(const QString &reason)
{
    m_error = reason;
    m_unsent.clear();
    m_strCommand.clear();
    m_socket->abort();
    return false;
}

bool ImapChannel::SendAndWait(const QString &state, const Command &command)
{
    if (!SendAndWaitAll({Pending{state, command}}))
        return false;
    m_lastResponse = m_responses.constLast();
    return true;
}

bool ImapChannel::SendAndWaitAll(const QList<Pending> &commands)
{
    m_error.clear();
    m_responses.clear();
    if (!isConnected()) {
        m_error = QStringLiteral("server closed the connection");
        if (m_reader.sawBye() && !m_reader.byeText().isEmpty())
            m_error += QStringLiteral(": ") + QString::fromUtf8(m_reader.byeText());
        m_socket->abort();
        return false;
    }
    if (commands.isEmpty())
        return true;
    // A tagged line that arrived while nothing was pending answers no command of ours.
    if (m_reader.hasResponse())
        m_reader.takeResponse();
    m_queue = commands;
    m_awaiting.clear();
    bool searching = false;
    for (const Pending &p : commands) {
        m_awaiting.append(p.state);
        searching = searching || p.state == kSearched;
    }
    m_strCommand = m_awaiting.first();
    m_unsent.clear();
    sendQueued();
    const bool ok = waitForResponse(searching ? m_timeouts.searchIdleMs : m_timeouts.idleMs);
    m_queue.clear();
    m_awaiting.clear();
    if (ok)
        m_lastResponse = m_responses.constLast();
    return ok;
}

void ImapChannel::sendQueued()
{
    // Start the next commands as long as nothing waits for a continuation.
    while (m_unsent.isEmpty() && !m_queue.isEmpty()) {
        m_unsent = m_queue.takeFirst().command.pieces;
        if (m_unsent.isEmpty())
            m_unsent.append(QByteArray("\r\n"));
        write(m_unsent.takeFirst());
    }
}

void ImapChannel::Close()
{
    m_unsent.clear();
    m_queue.clear();
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
    m_idleMs = idleMs;
    return runWait(idleMs);
}

bool ImapChannel::waitForEncryption()
{
    if (m_socket->isEncrypted())
        return true;
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return endConnect(m_tlsError.isEmpty() ? QStringLiteral("server closed the connection")
                                               : m_tlsError);
    // The handshake has the connect time-out: it is part of setting up the connection.
    return runWait(m_timeouts.connectMs);
}

bool ImapChannel::runWait(int timeoutMs)
{
    Q_ASSERT(!m_loop);
    QEventLoop loop;
    m_loop = &loop;
    ++m_roundTrips;
    m_wait = WaitState::Pending;
    m_timer.start(timeoutMs);
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
    m_queue.clear();
    m_awaiting.clear();
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
        if (m_wait == WaitState::Pending && !m_connecting && !m_handshaking)
            m_timer.start(m_idleMs);
    }
    if (m_reader.error() != ResponseReader::Error::None) {
        if (m_wait == WaitState::Pending)
            fail(m_reader.errorText());
        else
            m_socket->abort();
        return;
    }
    takeResponses();
}

void ImapChannel::takeResponses()
{
    for (;;) {
        // Framing stops at each complete response, so a continuation request behind one is
        // only seen once that response has been taken.
        if (m_reader.takeContinuation() && !m_unsent.isEmpty()) {
            ++m_roundTrips;
            write(m_unsent.takeFirst());
            sendQueued();
        }
        // Only the handshake ends the wait for it.
        if (m_wait != WaitState::Pending || m_handshaking || !m_reader.hasResponse())
            return;
        const Response response = m_reader.takeResponse();
        // The command being sent is the oldest one still waiting: the server answered it
        // before its literal could follow (a refusal). The rest of it is never sent.
        if (!m_unsent.isEmpty() && m_awaiting.size() == m_queue.size() + 1) {
            m_unsent.clear();
            sendQueued();
        }
        const QString state = m_awaiting.isEmpty() ? m_strCommand : m_awaiting.takeFirst();
        m_responses.append(response);
        emit responseCompleted();
        const auto parser = m_parsers.constFind(state);
        if (parser != m_parsers.constEnd() && *parser)
            (*parser)(response);
        if (m_wait != WaitState::Pending)
            return; // a parser or a handler of the signal ended the wait
        if (!m_awaiting.isEmpty()) {
            m_strCommand = m_awaiting.first();
            continue;
        }
        m_lastResponse = response;
        m_unsent.clear();
        m_strCommand.clear();
        finishWait(WaitState::Completed);
    }
}

void ImapChannel::onConnected()
{
    // With TLS from the start the connection is up only after the handshake (onEncrypted).
    if (m_tlsFromStart)
        return;
    m_connecting = false;
    if (m_wait == WaitState::Pending) {
        m_idleMs = m_timeouts.idleMs;
        m_timer.start(m_idleMs);
    }
}

void ImapChannel::onEncrypted()
{
    if (m_wait != WaitState::Pending)
        return;
    if (m_handshaking) {
        finishWait(WaitState::Completed);
        return;
    }
    if (m_connecting) {
        // Implicit TLS: now wait for the greeting.
        m_connecting = false;
        m_idleMs = m_timeouts.idleMs;
        m_timer.start(m_idleMs);
    }
}

void ImapChannel::onSslErrors(const QList<QSslError> &errors)
{
    // Never ignored: the handshake fails right after this and onSocketError reports it.
    m_tlsError = describeCertificateErrors(errors);
}

void ImapChannel::onDisconnected()
{
    if (m_wait != WaitState::Pending)
        return;
    // Frame whatever arrived with the close first: a complete response still counts.
    onReadyRead();
    if (m_wait != WaitState::Pending)
        return;
    if (inTlsHandshake()) {
        fail(m_tlsError.isEmpty()
                 ? QStringLiteral("server closed the connection during the TLS handshake")
                 : m_tlsError);
        return;
    }
    QString reason = QStringLiteral("server closed the connection");
    if (m_reader.sawBye() && !m_reader.byeText().isEmpty())
        reason += QStringLiteral(": ") + QString::fromUtf8(m_reader.byeText());
    fail(reason);
}

void ImapChannel::onSocketError()
{
    if (m_wait != WaitState::Pending)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    if (!m_tlsError.isEmpty()) {
        fail(m_tlsError);
        return;
    }
    if (error != QAbstractSocket::SslHandshakeFailedError &&
        error != QAbstractSocket::SslInternalError) {
        fail(m_socket->errorString());
        return;
    }
    // An answer in clear where a TLS record was due (a plain IMAP port, say).
    if (m_socket->errorString().contains(QLatin1String("wrong version number")))
        fail(QStringLiteral("server does not speak TLS on this port"));
    else
        fail(QStringLiteral("TLS handshake failed: ") + m_socket->errorString());
}

void ImapChannel::onTimeout()
{
    if (inTlsHandshake())
        fail(QStringLiteral("server did not complete the TLS handshake"));
    else
        fail(m_connecting ? QStringLiteral("could not connect in time")
                          : QStringLiteral("server did not answer"));
}

bool ImapChannel::inTlsHandshake() const
{
    return m_handshaking ||
           (m_tlsFromStart && m_connecting && m_socket->state() == QAbstractSocket::ConnectedState);
}

} // namespace imap
