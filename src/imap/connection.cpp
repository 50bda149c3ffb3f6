#include "imap/connection.h"

#include "platform/connectionlog.h"
#include "platform/servertrust.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>

#include <utility>

namespace imap {

namespace {

const QString kNoEncryption = QStringLiteral("the server offers no encryption");
const QString kNoLongerEncrypted = QStringLiteral("the server no longer offers encryption");

// The reasons a certificate was refused, in plain words, each once.
QStringList describeCertificateErrors(const QList<QSslError> &errors)
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
    return reasons;
}

// The line with the bytes of each literal in it replaced by ***: the announcement "{n}" before
// them says how many there were. In a logical line a CR LF follows a literal's announcement and
// nothing else outside literals.
QByteArray withLiteralsWithheld(QByteArrayView line)
{
    QByteArray out;
    qsizetype pos = 0;
    for (qsizetype crlf; (crlf = line.indexOf("\r\n", pos)) >= 0;) {
        const qsizetype open = line.lastIndexOf('{', crlf);
        bool ok = open >= pos && line[crlf - 1] == '}';
        QByteArrayView digits = ok ? line.sliced(open + 1, crlf - open - 2) : QByteArrayView();
        if (digits.endsWith('+'))
            digits.chop(1);
        const qint64 size = ok ? digits.toLongLong(&ok) : 0;
        if (!ok || size < 0 || size > line.size() - crlf - 2)
            return out + "***"; // not framed as the reader frames: show nothing of the rest
        out += line.sliced(pos, crlf + 2 - pos);
        out += "***";
        pos = crlf + 2 + size;
    }
    out += line.sliced(pos);
    return out;
}

QString describeSecurity(ServerAddress::Security security)
{
    switch (security) {
    case ServerAddress::Security::ImplicitTls:
        return QStringLiteral("TLS from the first byte");
    case ServerAddress::Security::StartTls:
        return QStringLiteral("STARTTLS required");
    case ServerAddress::Security::Opportunistic:
        return QStringLiteral("STARTTLS when offered");
    case ServerAddress::Security::Plain:
        return QStringLiteral("never encrypted");
    }
    return {};
}

} // namespace

bool isLoopbackPeer(const QHostAddress &peer)
{
    return peer.isLoopback();
}

Connection::Connection(QObject *parent) : QObject(parent), m_socket(new QSslSocket(this))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Connection::onTimeout);
    connect(m_socket, &QSslSocket::readyRead, this, &Connection::onReadyRead);
    connect(m_socket, &QSslSocket::connected, this, &Connection::onConnected);
    connect(m_socket, &QSslSocket::disconnected, this, &Connection::onDisconnected);
    connect(m_socket, &QSslSocket::errorOccurred, this, &Connection::onSocketError);
    connect(m_socket, &QSslSocket::encrypted, this, &Connection::onEncrypted);
    connect(m_socket, &QSslSocket::sslErrors, this, &Connection::onSslErrors);
}

Connection::~Connection()
{
    m_state = State::Closed;
    m_socket->abort();
}

void Connection::setConnectionLog(platform::ConnectionLog *log)
{
    m_log = log;
}

bool Connection::logging() const
{
    return m_log && m_log->isRecording();
}

void Connection::logLine(bool sent, QByteArrayView line)
{
    if (!logging())
        return;
    if (m_logNumber == 0)
        m_logNumber = m_log->newConnection();
    m_log->record(m_logNumber,
                  sent ? platform::ConnectionLog::Direction::Sent
                       : platform::ConnectionLog::Direction::Received,
                  line);
}

void Connection::logNote(const QString &text)
{
    if (!logging())
        return;
    if (m_logNumber == 0)
        m_logNumber = m_log->newConnection();
    m_log->note(m_logNumber, text);
}

void Connection::setReaderLimits(const ResponseReader::Limits &limits)
{
    m_reader = ResponseReader(limits);
}

void Connection::addTrustedCaCertificates(const QList<QSslCertificate> &certificates)
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

bool Connection::isEncrypted() const
{
    return m_socket->isEncrypted();
}

bool Connection::peerIsLoopback() const
{
    return isLoopbackPeer(m_socket->peerAddress());
}

void Connection::open(const ServerAddress &address)
{
    close();
    m_greeting = {};
    m_capabilities = {};
    m_tlsError.clear();
    m_problem = SecurityProblem();
    m_pinAccepted = false;
    m_reader.reset();
    m_reader.setGreetingMode(true);
    m_writeGeneration = 0;
    m_lastWrittenGeneration = 0;
    m_security = address.security;
    m_server = address.hostAndPort();
    m_state = State::Connecting;
    m_logNumber = 0; // a new connection, a new number
    // Certificate errors are ignored only for the connection that met them (the socket keeps
    // its list across connections).
    m_socket->ignoreSslErrors(QList<QSslError>());
    QString refusal;
    if (!address.valid)
        refusal = address.error;
    else if ((address.security == ServerAddress::Security::StartTls ||
              address.security == ServerAddress::Security::ImplicitTls) &&
             !QSslSocket::supportsSsl())
        refusal = QStringLiteral("encrypted connections are not available on this system");
    if (!refusal.isEmpty()) {
        // Reported from the event loop, like every other outcome of open().
        QMetaObject::invokeMethod(
            this, [this, refusal] { fail(refusal); }, Qt::QueuedConnection);
        return;
    }
    logNote(QStringLiteral("connecting to %1 (%2)").arg(m_server, describeSecurity(m_security)));
    ++m_roundTrips;
    m_timer.start(m_timeouts.connectMs);
    // The certificate must name the host as typed (a name or an address).
    m_socket->setPeerVerifyName(address.host);
    if (address.security == ServerAddress::Security::ImplicitTls)
        m_socket->connectToHostEncrypted(address.host, address.port);
    else
        m_socket->connectToHost(address.host, address.port);
}

void Connection::send(const Command &command, Handler handler, Wait wait, LineHandler lineHandler)
{
    Q_ASSERT(m_state == State::Ready);
    if (m_state != State::Ready)
        return;
    sendInternal(command, std::move(handler), wait, std::move(lineHandler));
}

void Connection::sendInternal(const Command &command, Handler handler, Wait wait,
                              LineHandler lineHandler)
{
    m_reader.expectResponse(bool(lineHandler));
    m_commands.append(Pending{command, std::move(handler), wait, std::move(lineHandler), 0});
    writeNext();
    armIdleTimer();
}

int Connection::generationForWrite() const
{
    if (m_writeGeneration > 0)
        return m_writeGeneration; // on an answer or a continuation
    // The link was quiet: this starts a new wait. Otherwise it goes along with those in flight.
    return m_written == 0 ? m_roundTrips + 1 : m_lastWrittenGeneration;
}

void Connection::writeNext()
{
    // Start the next commands as long as none waits for a continuation.
    while (!m_sending && m_written < m_commands.size()) {
        Pending &next = m_commands[m_written];
        next.generation = generationForWrite();
        m_lastWrittenGeneration = next.generation;
        m_roundTrips = qMax(m_roundTrips, next.generation);
        m_unsent = next.command.pieces;
        m_unsentShown = next.command.shown;
        if (m_unsent.isEmpty())
            m_unsent.append(QByteArray("\r\n"));
        m_sending = true;
        writePieces();
    }
}

void Connection::writePieces()
{
    while (!m_unsent.isEmpty()) {
        QByteArray piece = m_unsent.takeFirst();
        QByteArray shown = m_unsentShown.isEmpty() ? QByteArray() : m_unsentShown.takeFirst();
        const bool goOn = m_unsent.isEmpty() || literalMayGoAhead(piece);
        if (goOn && !m_unsent.isEmpty() && shown.endsWith("}\r\n"))
            shown.insert(shown.size() - 3, '+'); // as literalMayGoAhead() made the piece
        write(piece, shown);
        if (!goOn)
            return; // the rest waits for the server's "+"
    }
    m_sending = false;
    ++m_written;
}

bool Connection::literalMayGoAhead(QByteArray &piece) const
{
    // A piece that announces a literal ends with "{n}" CR LF.
    if (!m_extensionsAllowed || !piece.endsWith("}\r\n"))
        return false;
    const qsizetype open = piece.lastIndexOf('{');
    if (open < 0)
        return false;
    bool ok = false;
    const qint64 size =
        QByteArrayView(piece).sliced(open + 1, piece.size() - open - 4).toLongLong(&ok);
    if (!ok ||
        !(m_capabilities.has("LITERAL+") || (m_capabilities.has("LITERAL-") && size <= 4096)))
        return false;
    piece.insert(piece.size() - 3, '+');
    return true;
}

void Connection::write(const QByteArray &bytes, const QByteArray &shown)
{
    m_socket->write(bytes);
    if (logging()) {
        // Each piece ends with CR LF: a line of the log.
        const QByteArray &line = shown.isNull() ? bytes : shown;
        logLine(true, line.endsWith("\r\n") ? QByteArrayView(line).chopped(2) : line);
    }
    emit wrote(bytes);
}

void Connection::armIdleTimer()
{
    if (m_state == State::Connecting || m_state == State::Handshake)
        return; // those have the connect time-out
    if (m_state == State::Ready && m_commands.isEmpty()) {
        m_timer.stop();
        return;
    }
    bool searching = false;
    for (const Pending &p : std::as_const(m_commands))
        searching = searching || p.wait == Wait::Search;
    m_timer.start(searching ? m_timeouts.searchIdleMs : m_timeouts.idleMs);
}

void Connection::close()
{
    if (m_state != State::Closed)
        logNote(QStringLiteral("closed"));
    m_state = State::Closed;
    m_commands.clear();
    m_unsent.clear();
    m_unsentShown.clear();
    m_written = 0;
    m_sending = false;
    m_timer.stop();
    m_socket->abort();
}

void Connection::shutdown()
{
    if (m_state != State::Closed && m_socket->state() == QAbstractSocket::ConnectedState) {
        write(QByteArray("1 LOGOUT\r\n"));
        m_socket->flush();
    }
    close();
}

void Connection::fail(const QString &reason)
{
    if (m_state == State::Closed)
        return;
    logNote(QStringLiteral("failed: ") + reason);
    m_state = State::Closed; // nothing more to note
    close();
    emit failed(reason);
}

void Connection::onReadyRead()
{
    if (m_state == State::Closed)
        return;
    const QByteArray data = m_socket->readAll();
    if (!data.isEmpty()) {
        m_reader.feed(data);
        if (m_state != State::Connecting && m_state != State::Handshake)
            armIdleTimer();
        QPointer<Connection> self(this);
        emit bytesReceived(data.size());
        if (!self || m_state == State::Closed)
            return;
    }
    processInput();
}

void Connection::processInput()
{
    QPointer<Connection> self(this);
    while (self && m_state != State::Closed) {
        if (m_reader.error() != ResponseReader::Error::None) {
            fail(m_reader.errorText());
            return;
        }
        // Framing stops at each complete response, so a continuation request behind one is
        // only seen once that response has been taken.
        const bool continued = m_reader.takeContinuation();
        if (continued)
            logLine(false, m_reader.continuationLine());
        if (continued && m_sending && !m_unsent.isEmpty()) {
            // The rest of the command, and whatever queued behind it, waited for this.
            Pending &waiting = m_commands[m_written];
            waiting.generation = m_roundTrips = qMax(m_roundTrips, waiting.generation + 1);
            const int outer = std::exchange(m_writeGeneration, waiting.generation);
            writePieces();
            if (!m_sending)
                writeNext();
            m_writeGeneration = outer;
        }
        if (m_state == State::Handshake || !m_reader.hasResponse())
            return;
        const Response response = m_reader.takeResponse();
        if (logging()) {
            // The answer is the oldest unanswered command's, its untagged lines too.
            const bool withheld = !m_commands.isEmpty() && m_commands.first().command.privateAnswer;
            for (const QByteArray &line : response.lines)
                logLine(false, withheld ? QByteArrayView(withLiteralsWithheld(line)) : line);
        }
        if (m_state == State::Greeting) {
            greeted(response);
            continue;
        }
        if (m_commands.isEmpty())
            continue; // a tagged line that answers no command of ours
        const bool tagged = response.lastLine().startsWith("1 ");
        if (!tagged) {
            // One line of an answer that is handed over as it arrives.
            const Pending &head = m_commands.first();
            const int outer = std::exchange(m_writeGeneration, head.generation + 1);
            if (head.lineHandler)
                head.lineHandler(response.lines.constLast());
            if (!self)
                return;
            m_writeGeneration = outer;
            continue;
        }
        Pending answered = m_commands.takeFirst();
        const int outer = std::exchange(m_writeGeneration, answered.generation + 1);
        if (m_written == 0) {
            // The command being sent was answered before its literal could follow (a
            // refusal): the rest of it is never sent.
            m_unsent.clear();
            m_sending = false;
        } else {
            --m_written;
        }
        writeNext();
        armIdleTimer();
        emit responseReceived();
        if (!self || m_state == State::Closed)
            return;
        if (answered.handler)
            answered.handler(response);
        if (!self)
            return;
        m_writeGeneration = outer;
    }
}

void Connection::greeted(const Response &greeting)
{
    m_reader.setGreetingMode(false);
    m_greeting = greeting;
    m_capabilities = parseCapabilities(greeting.lines);
    const Response::Status status = greeting.status();
    if (status == Response::Status::Bye) {
        becomeReady(); // the owner reports the refusal
        return;
    }
    using Security = ServerAddress::Security;
    switch (m_security) {
    case Security::ImplicitTls:
        becomeReady();
        return;
    case Security::StartTls:
        // A session that is already authenticated can no longer be upgraded: going on would
        // mean going on in clear.
        if (status == Response::Status::Preauth) {
            fail(QStringLiteral(
                "server started the session before encryption (PREAUTH); not going on in clear"));
            return;
        }
        break;
    case Security::Opportunistic:
    case Security::Plain:
        if (status == Response::Status::Preauth) {
            // No password will be sent, but a server that has offered STARTTLS before would
            // not have started in clear.
            if (m_security == Security::Opportunistic && m_trust &&
                m_trust->requiresEncryption(m_server))
                fail(kNoLongerEncrypted);
            else
                becomeReady();
            return;
        }
        break;
    }
    if (m_capabilities.known) {
        secureBeforeLogin();
        return;
    }
    m_state = State::Capability;
    sendInternal(CommandBuilder("1 CAPABILITY").finish(), [this](const Response &r) {
        m_capabilities = parseCapabilities(r.lines);
        secureBeforeLogin();
    });
}

void Connection::secureBeforeLogin()
{
    using Security = ServerAddress::Security;
    const bool offered = m_capabilities.has("STARTTLS");
    if (offered && m_security != Security::Plain && m_trust)
        m_trust->rememberEncryption(m_server);
    if (m_security == Security::StartTls || (m_security == Security::Opportunistic && offered)) {
        startTls();
        return;
    }
    // In clear from here on.
    if (m_security == Security::Opportunistic && m_trust && m_trust->requiresEncryption(m_server)) {
        fail(kNoLongerEncrypted); // someone on the path may have struck STARTTLS out
        return;
    }
    if (m_capabilities.has("LOGINDISABLED")) {
        fail(QStringLiteral("server requires an encrypted connection (try imaps://host)"));
        return;
    }
    if (!mayLogInUnencrypted())
        return;
    becomeReady();
}

bool Connection::mayLogInUnencrypted()
{
    if (isLoopbackPeer(m_socket->peerAddress()) ||
        (!m_tokenSignIn && m_trust && m_trust->allowsUnencrypted(m_server)))
        return true;
    if (m_tokenSignIn) {
        fail(QStringLiteral("not signing in over an unencrypted connection (try imaps://host)"));
        return false;
    }
    m_problem.kind = SecurityProblem::Kind::NoEncryption;
    m_problem.server = m_server;
    fail(kNoEncryption);
    return false;
}

void Connection::startTls()
{
    if (!m_capabilities.has("STARTTLS")) {
        fail(QStringLiteral("server does not offer STARTTLS (try imaps://host)"));
        return;
    }
    if (!QSslSocket::supportsSsl()) {
        fail(QStringLiteral("encrypted connections are not available on this system"));
        return;
    }
    m_state = State::StartTls;
    sendInternal(CommandBuilder("1 STARTTLS").finish(), [this](const Response &r) {
        if (r.status() != Response::Status::Ok) {
            fail(withServerText(QStringLiteral("server refused STARTTLS"), r));
            return;
        }
        // Bytes that came in clear after the go-ahead would be taken for protected ones once
        // the connection is encrypted: someone on the path may have put them there.
        if (m_reader.bufferedBytes() > 0 || !m_reader.pendingLines().isEmpty() ||
            m_socket->bytesAvailable() > 0) {
            fail(QStringLiteral("server sent unencrypted data after STARTTLS"));
            return;
        }
        // What the server announced in clear may have been tampered with; forget it.
        m_capabilities = {};
        m_reader.reset();
        m_state = State::Handshake;
        logNote(QStringLiteral("starting TLS"));
        ++m_roundTrips;
        m_timer.start(m_timeouts.connectMs);
        m_socket->startClientEncryption();
    });
}

void Connection::becomeReady()
{
    m_state = State::Ready;
    armIdleTimer();
    emit ready();
}

void Connection::onConnected()
{
    // Commands go out as whole lines, a burst at a time: nothing is gained by holding one back
    // until the server has acknowledged the last.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // With TLS from the start the connection is up only after the handshake (onEncrypted).
    if (m_state != State::Connecting || m_security == ServerAddress::Security::ImplicitTls)
        return;
    m_state = State::Greeting;
    m_timer.start(m_timeouts.idleMs);
}

void Connection::onEncrypted()
{
    if (m_state == State::Closed)
        return;
    // Verified against the system's authorities: a certificate pinned before is not needed.
    if (!m_pinAccepted && m_trust)
        m_trust->forgetCertificate(m_server);
    logNote(QStringLiteral("encrypted: %1%2")
                .arg(m_socket->sessionCipher().protocolString(),
                     m_pinAccepted ? QStringLiteral(", pinned certificate") : QString()));
    if (m_state == State::Handshake) {
        // What the server announced in clear was forgotten; ask again, now that nobody on the
        // path can change the answer (RFC 3501, 6.2.1).
        m_state = State::Capability;
        sendInternal(CommandBuilder("1 CAPABILITY").finish(), [this](const Response &r) {
            m_capabilities = parseCapabilities(r.lines);
            becomeReady();
        });
    } else if (m_state == State::Connecting) {
        // Implicit TLS: now wait for the greeting.
        m_state = State::Greeting;
        m_timer.start(m_timeouts.idleMs);
        processInput();
    }
}

void Connection::onSslErrors(const QList<QSslError> &errors)
{
    // Ignored only for the certificate pinned for this server. Otherwise the handshake fails
    // right after this and onSocketError reports it, with the certificate for the user to judge.
    const QSslCertificate certificate = m_socket->peerCertificate();
    const QByteArray pinned = m_trust ? m_trust->pinnedCertificate(m_server) : QByteArray();
    const QByteArray presented = certificate.digest(QCryptographicHash::Sha256);
    if (!certificate.isNull() && !pinned.isEmpty() && presented == pinned) {
        m_pinAccepted = true;
        m_socket->ignoreSslErrors(errors);
        return;
    }
    const QStringList reasons = describeCertificateErrors(errors);
    if (pinned.isEmpty() || certificate.isNull())
        m_tlsError = reasons.join(QStringLiteral("; "));
    else
        m_tlsError = QStringLiteral(
                         "certificate has changed since it was trusted (SHA-256 was %1, is now %2)")
                         .arg(platform::ServerTrust::fingerprintText(pinned),
                              platform::ServerTrust::fingerprintText(presented));
    if (certificate.isNull())
        return;
    m_problem.kind = SecurityProblem::Kind::UntrustedCertificate;
    m_problem.server = m_server;
    m_problem.certificate = certificate;
    m_problem.reasons = reasons;
    m_problem.pinned = pinned;
}

bool Connection::inTlsHandshake() const
{
    return m_state == State::Handshake ||
           (m_security == ServerAddress::Security::ImplicitTls && m_state == State::Connecting &&
            m_socket->state() == QAbstractSocket::ConnectedState);
}

QString Connection::closedReason() const
{
    QString reason = QStringLiteral("server closed the connection");
    if (m_reader.sawBye() && !m_reader.byeText().isEmpty())
        reason += QStringLiteral(": ") + QString::fromUtf8(m_reader.byeText());
    return reason;
}

void Connection::onDisconnected()
{
    if (m_state == State::Closed)
        return;
    // Frame whatever arrived with the close first: a complete response still counts.
    QPointer<Connection> self(this);
    onReadyRead();
    if (!self || m_state == State::Closed)
        return;
    if (inTlsHandshake()) {
        fail(m_tlsError.isEmpty()
                 ? QStringLiteral("server closed the connection during the TLS handshake")
                 : m_tlsError);
        return;
    }
    fail(closedReason());
}

void Connection::onSocketError()
{
    if (m_state == State::Closed)
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

void Connection::onTimeout()
{
    if (m_state == State::Closed)
        return;
    if (inTlsHandshake())
        fail(QStringLiteral("server did not complete the TLS handshake"));
    else if (m_state == State::Connecting)
        fail(QStringLiteral("could not connect in time"));
    else
        fail(QStringLiteral("server did not answer"));
}

} // namespace imap
