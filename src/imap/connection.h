#pragma once

#include "imap/capabilities.h"
#include "imap/command.h"
#include "imap/response.h"
#include "imap/responsereader.h"
#include "imap/serveraddress.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <functional>

class QSslSocket;

namespace imap {

// One IMAP connection, driven by the socket's signals: nothing here ever waits.
//
// open() connects, reads the greeting and makes sure a password may go on the connection, then
// emits ready(). send() puts a command on the wire at once (pipelined behind those still
// unanswered) and hands its complete response, whatever its status, to the command's handler:
// the server answers in order, so answers are matched to commands by order. Every command uses
// the tag "1".
//
// Any failure (socket error, the server closing the connection, a time-out, a response over the
// reader's limits) closes the socket, drops the unanswered commands without calling their
// handlers and emits failed() with a short reason in plain words. close() and shutdown() end the
// connection without any signal.
class Connection : public QObject
{
    Q_OBJECT
public:
    struct Timeouts
    {
        int connectMs = 15000;     // until the connection (and TLS handshake) is up
        int idleMs = 60000;        // no byte from the server for this long while waiting
        int searchIdleMs = 180000; // the same while a SEARCH is unanswered
    };
    // How long the server may be silent while the command is unanswered.
    enum class Wait { Normal, Search };
    using Handler = std::function<void(const Response &)>;

    explicit Connection(QObject *parent = nullptr);
    ~Connection() override;

    void setTimeouts(const Timeouts &t) { m_timeouts = t; }
    const Timeouts &timeouts() const { return m_timeouts; }
    void setReaderLimits(const ResponseReader::Limits &limits);
    // Trusts these certificate authorities in addition to the system's, for the connections
    // opened after the call. For tests that bring their own CA; the program never calls it.
    void addTrustedCaCertificates(const QList<QSslCertificate> &certificates);

    // Opens the connection and reads the greeting, then makes sure that a password can go on
    // it. Emits ready() when the connection is ready for LOGIN (or needs none: see greeting()),
    // failed() otherwise.
    //
    // By the address's security:
    //  - ImplicitTls: TLS from the first byte; the certificate is checked before the greeting.
    //  - StartTls: "1 CAPABILITY" when the greeting named none, then "1 STARTTLS" and the TLS
    //    handshake. A server that does not offer or refuses STARTTLS, or greets with PREAUTH,
    //    fails it: nothing goes on in clear.
    //  - Plain: "1 CAPABILITY" only when the greeting named none; a server that says
    //    LOGINDISABLED fails it, so that no password crosses the wire in clear.
    // A greeting of "* BYE" still gives ready(): the caller reports the refusal.
    void open(const ServerAddress &address);

    // Sends the command (after the commands before it have gone out whole: a literal waits for
    // the server's "+" continuation, and a tagged answer instead of it ends that command and
    // the rest of it is never sent). The handler gets the command's complete response.
    void send(const Command &command, Handler handler, Wait wait = Wait::Normal);

    // True from open() until the connection fails or is closed.
    bool isOpen() const { return m_state != State::Closed; }
    // True once ready() was emitted, until the connection ends.
    bool isReady() const { return m_state == State::Ready; }

    const Response &greeting() const { return m_greeting; }
    // What the server announced on this connection. After STARTTLS everything announced in
    // clear is forgotten.
    const Capabilities &capabilities() const { return m_capabilities; }
    bool isEncrypted() const;
    // True when the server is this machine (a loopback address): nothing sent to it crosses a
    // network.
    bool peerIsLoopback() const;

    // How many times the client has had to wait for the server: each time it sent something
    // while nothing was unanswered, and each wait for a literal's continuation.
    int roundTrips() const { return m_roundTrips; }

    // Closes the socket at once and forgets the unanswered commands. No signal.
    void close();
    // For the program going away mid-flow: writes one "1 LOGOUT" when connected (no wait for
    // the reply), then closes. No signal.
    void shutdown();

signals:
    void ready();
    void failed(const QString &reason);
    // A tagged response completed (after NO and BAD too).
    void responseReceived();
    // Every chunk written to the wire, in order (for traffic logs and tests).
    void wrote(const QByteArray &bytes);
    // Bytes have arrived from the server (how many): progress of a long answer.
    void bytesReceived(qint64 count);

private:
    enum class State { Closed, Connecting, Greeting, Capability, StartTls, Handshake, Ready };
    struct Pending
    {
        Command command;
        Handler handler;
        Wait wait = Wait::Normal;
    };

    void sendInternal(const Command &command, Handler handler, Wait wait = Wait::Normal);
    void writeNext();
    void write(const QByteArray &bytes);
    void armIdleTimer();
    void fail(const QString &reason);
    void greeted(const Response &greeting);
    void secureBeforeLogin();
    void startTls();
    void becomeReady();
    void processInput();
    void onReadyRead();
    void onConnected();
    void onEncrypted();
    void onDisconnected();
    void onSocketError();
    void onSslErrors(const QList<QSslError> &errors);
    void onTimeout();
    QString closedReason() const;
    bool inTlsHandshake() const;

    QSslSocket *m_socket;
    ResponseReader m_reader;
    Timeouts m_timeouts;
    QTimer m_timer;
    State m_state = State::Closed;
    ServerAddress::Security m_security = ServerAddress::Security::Plain;
    QList<Pending> m_commands;  // unanswered, oldest first; the first m_written are on the wire
    qsizetype m_written = 0;    // commands sent whole
    QList<QByteArray> m_unsent; // pieces of command m_written waiting for continuations
    bool m_sending = false;     // command m_written has started going out
    Response m_greeting;
    Capabilities m_capabilities;
    QString m_tlsError;
    bool m_ownCaList = false;
    int m_roundTrips = 0;
};

} // namespace imap
