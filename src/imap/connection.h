#pragma once

#include "imap/capabilities.h"
#include "imap/command.h"
#include "imap/response.h"
#include "imap/responsereader.h"
#include "imap/securityproblem.h"
#include "imap/serveraddress.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <functional>

class QHostAddress;
class QSslSocket;

namespace platform {
class ConnectionLog;
class ServerTrust;
} // namespace platform

namespace imap {

// Whether a password may go to this peer unencrypted without asking: only when it is this
// machine, that is, a loopback address (IPv4-mapped ones too). Decided from the address the
// socket is connected to, never from the name typed.
bool isLoopbackPeer(const QHostAddress &peer);

// One IMAP connection, driven by the socket's signals: nothing here ever waits.
//
// open() connects, reads the greeting and makes sure a password may go on the connection, then
// emits ready(). send() puts a command on the wire at once (pipelined behind those still
// unanswered) and hands its complete response, whatever its status, to the command's handler:
// the server answers in order, so answers are matched to commands by order. Every command uses
// the tag "1". A command may have its untagged lines handed over one by one as they arrive
// instead (a line handler), for answers too long to hold whole.
//
// A literal in a command waits for the server's "+" continuation, unless the server takes
// non-synchronizing literals (LITERAL+, or LITERAL- for literals of at most 4 096 bytes): then
// it goes as "{n+}" with the rest of the command at once.
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
    // One untagged line of a command's answer, as the response reader frames it.
    using LineHandler = std::function<void(const QByteArray &line)>;

    explicit Connection(QObject *parent = nullptr);
    ~Connection() override;

    void setTimeouts(const Timeouts &t) { m_timeouts = t; }
    const Timeouts &timeouts() const { return m_timeouts; }
    void setReaderLimits(const ResponseReader::Limits &limits);
    // Trusts these certificate authorities in addition to the system's, for the connections
    // opened after the call. For tests that bring their own CA; the program never calls it.
    void addTrustedCaCertificates(const QList<QSslCertificate> &certificates);
    // Pinned certificates, servers known to offer STARTTLS and permissions to log in unencrypted
    // (see open()); this connection also files there what it learns. Not owned. Without one,
    // nothing is pinned, remembered or permitted.
    void setServerTrust(platform::ServerTrust *trust) { m_trust = trust; }
    // While the log records, each connection opened after the call records there, under a
    // number of its own, every line it sends and receives, and notes how it connects and why it
    // fails. Secrets are shown as *** (see Command::shown), and so are the literals of an answer
    // to a command with a private answer.
    void setConnectionLog(platform::ConnectionLog *log);

    // Opens the connection and reads the greeting, then makes sure that a password can go on
    // it. Emits ready() when the connection is ready for LOGIN (or needs none: see greeting()),
    // failed() otherwise.
    //
    // By the address's security:
    //  - ImplicitTls: TLS from the first byte; the certificate is checked before the greeting.
    //  - StartTls: "1 CAPABILITY" when the greeting named none, then "1 STARTTLS" and the TLS
    //    handshake. A server that does not offer or refuses STARTTLS, or greets with PREAUTH,
    //    fails it: nothing goes on in clear.
    //  - Opportunistic (a bare host): "1 CAPABILITY" when the greeting named none; then as
    //    StartTls whenever the server offers STARTTLS. Offering it is remembered in the trust:
    //    from then on a server that does not offer it (or greets with PREAUTH) fails with "the
    //    server no longer offers encryption". A refused or failed STARTTLS is never retried in
    //    clear.
    //  - Plain (imap+plain://): never STARTTLS.
    // After STARTTLS "1 CAPABILITY" is asked again: what the server said in clear is forgotten.
    // Left in clear, a server that says LOGINDISABLED fails it, and so does one whose peer
    // address is not a loopback address, unless the trust allows that server unencrypted
    // logins: "the server offers no encryption", with securityProblem() NoEncryption.
    //
    // A certificate that does not verify against the system's authorities is accepted only when
    // its SHA-256 is pinned for host:port; otherwise the handshake fails with the reasons (or,
    // when another certificate is pinned, with both fingerprints) and securityProblem()
    // UntrustedCertificate. A certificate that verifies drops a pin left for the server.
    // A greeting of "* BYE" still gives ready(): the caller reports the refusal.
    void open(const ServerAddress &address);

    // Sends the command (after the commands before it have gone out whole: a literal waits for
    // the server's "+" continuation, and a tagged answer instead of it ends that command and
    // the rest of it is never sent). The handler gets the command's complete response; with a
    // line handler, the untagged lines go to it as they arrive and the handler gets the tagged
    // line alone.
    void send(const Command &command, Handler handler, Wait wait = Wait::Normal,
              LineHandler lineHandler = {});

    // True from open() until the connection fails or is closed.
    bool isOpen() const { return m_state != State::Closed; }
    // True once ready() was emitted, until the connection ends.
    bool isReady() const { return m_state == State::Ready; }

    // After failed(): what the user could decide about, when that is why; Kind::None otherwise.
    const SecurityProblem &securityProblem() const { return m_problem; }

    const Response &greeting() const { return m_greeting; }
    // What the server announced on this connection. After STARTTLS everything announced in
    // clear is forgotten.
    const Capabilities &capabilities() const { return m_capabilities; }
    // What the server announced later (after login, say): replaces the list.
    void setCapabilities(const Capabilities &capabilities) { m_capabilities = capabilities; }
    // Whether extensions the server offers may be used on this connection (non-synchronizing
    // literals); on by default.
    void setExtensionsAllowed(bool allowed) { m_extensionsAllowed = allowed; }
    bool extensionsAllowed() const { return m_extensionsAllowed; }
    bool isEncrypted() const;
    // True when the server is this machine (a loopback address): nothing sent to it crosses a
    // network.
    bool peerIsLoopback() const;
    // The sign-in will use a token, not a password: in clear it may only go to this machine,
    // and no one is asked to let it go unencrypted (see SecurityProblem::NoEncryption).
    void setSignsInWithToken(bool token) { m_tokenSignIn = token; }

    // How many times in a row the client has had to wait for the server: the connection and
    // each TLS handshake count one, a command sent while nothing was unanswered starts a new
    // wait, a command sent on an answer waits one more than that answer did, and a literal's
    // continuation is a wait of its own. Commands that go out together with others in flight
    // cost nothing more. So a conversation that keeps several commands in flight costs as many
    // round trips as its longest chain of answers and commands that waited for them.
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
        LineHandler lineHandler;
        int generation = 0; // the round trip its first byte went out in
    };

    void sendInternal(const Command &command, Handler handler, Wait wait = Wait::Normal,
                      LineHandler lineHandler = {});
    void writeNext();
    // Writes pieces of the command being sent for as long as none must wait for a continuation.
    void writePieces();
    bool literalMayGoAhead(QByteArray &piece) const;
    int generationForWrite() const;
    // Writes the bytes; a connection log shows `shown` instead when it is not null.
    void write(const QByteArray &bytes, const QByteArray &shown = QByteArray());
    bool logging() const;
    void logLine(bool sent, QByteArrayView line);
    void logNote(const QString &text);
    void armIdleTimer();
    void fail(const QString &reason);
    void greeted(const Response &greeting);
    void secureBeforeLogin();
    bool mayLogInUnencrypted();
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
    ServerAddress::Security m_security = ServerAddress::Security::Opportunistic;
    QString m_server; // host:port, for the trust
    platform::ServerTrust *m_trust = nullptr;
    QPointer<platform::ConnectionLog> m_log;
    int m_logNumber = 0; // in the log; 0 until the connection records its first line
    SecurityProblem m_problem;
    bool m_pinAccepted = false; // the certificate did not verify but is the one pinned
    bool m_tokenSignIn = false;
    QList<Pending> m_commands;  // unanswered, oldest first; the first m_written are on the wire
    qsizetype m_written = 0;    // commands sent whole
    QList<QByteArray> m_unsent; // pieces of command m_written waiting for continuations
    QList<QByteArray> m_unsentShown; // the same as a log shows them; empty: as they are
    bool m_sending = false;          // command m_written has started going out
    Response m_greeting;
    Capabilities m_capabilities;
    QString m_tlsError;
    bool m_ownCaList = false;
    bool m_extensionsAllowed = true;
    int m_roundTrips = 0;
    int m_writeGeneration = 0; // while non-zero, what is written waits this many round trips
    int m_lastWrittenGeneration = 0;
};

} // namespace imap
