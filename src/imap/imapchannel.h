#pragma once

#include "imap/capabilities.h"
#include "imap/command.h"
#include "imap/response.h"
#include "imap/responsereader.h"
#include "imap/serveraddress.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <functional>

class QEventLoop;
class QSslSocket;

namespace imap {

// One IMAP connection and the conversation on it: one tagged command at a time, each followed by
// a wait for its complete response.
//
// A wait runs a nested event loop, so the window keeps handling input (a Stop click, a header
// click, closing the window) while the server works. It blocks in the event loop (no polling)
// and ends on the first of: the response is complete, a socket error, the server closing the
// connection, a time-out, or abort(). A wait that ends any other way than complete closes the
// socket and leaves the reason in errorText().
class ImapChannel : public QObject
{
    Q_OBJECT
public:
    struct Timeouts
    {
        int connectMs = 15000;     // until the connection (and TLS handshake) is up
        int idleMs = 60000;        // no byte from the server for this long
        int searchIdleMs = 180000; // the same while a SEARCH is pending
    };

    // Called with the complete response of the state it was registered for, before the wait
    // ends.
    using Parser = std::function<void(const Response &)>;

    explicit ImapChannel(QObject *parent = nullptr);
    ~ImapChannel() override;

    void setTimeouts(const Timeouts &t) { m_timeouts = t; }
    const Timeouts &timeouts() const { return m_timeouts; }
    void setReaderLimits(const ResponseReader::Limits &limits);

    void setParser(const QString &state, Parser parser);

    // The socket is connected (the old "State 7").
    bool isConnected() const;
    // The socket is anything but closed: looking up, connecting, connected or closing.
    bool isOpen() const;
    // The pending command's state name, "" when idle.
    QString strCommand() const { return m_strCommand; }

    // Opens the connection and waits for the greeting (state "CONNECT"), then makes sure that
    // a password can go on it. True when the connection is ready for LOGIN (or needs none);
    // the greeting's status is then greeting().status() (Ok, Preauth or Bye). On false the
    // socket is closed and errorText() says why.
    //
    // By the address's security:
    //  - ImplicitTls: TLS from the first byte; the certificate is checked before the greeting.
    //  - StartTls: after the greeting, "1 CAPABILITY" when the greeting named none, then
    //    "1 STARTTLS" and the TLS handshake. A server that does not offer or refuses STARTTLS,
    //    or greets with PREAUTH (a session before encryption), ends it: nothing goes on in clear.
    //  - Plain: "1 CAPABILITY" only when the greeting named none; a server that says
    //    LOGINDISABLED ends it, so that no password crosses the wire in clear.
    // A certificate that fails the check (system CA store plus addTrustedCaCertificates(), and
    // the host name) ends it with the reason in plain words.
    bool Connect(const ServerAddress &address);
    const Response &greeting() const { return m_greeting; }
    // True while the connection is encrypted (implicit TLS, or after STARTTLS).
    bool isEncrypted() const;
    // What the server announced on this connection. After STARTTLS everything announced in
    // clear is forgotten, so this is empty until the server announces again.
    const Capabilities &capabilities() const { return m_capabilities; }

    // Trusts these certificate authorities in addition to the system's, for the connections
    // made after the call. For tests that bring their own CA; the program never calls it.
    void addTrustedCaCertificates(const QList<QSslCertificate> &certificates);

    // Stores the state, sends the command and waits for its complete response. A command with
    // literals is sent piece by piece, each after the server's "+" continuation; a tagged
    // answer before that ends the command and the rest is never sent. True when the response is
    // complete (whatever its status: see lastResponse()); false when the wait failed or was
    // aborted.
    bool SendAndWait(const QString &state, const Command &command);
    const Response &lastResponse() const { return m_lastResponse; }

    // One command of a pipelined batch.
    struct Pending
    {
        QString state;
        Command command;
    };
    // Sends the commands one after the other without waiting in between (each still waits for
    // its own literal continuations), then waits until every one is answered: one round trip
    // for the whole batch. The server answers in order; each response goes to the parser of its
    // command's state. True when all are answered (see lastResponses(), one per command).
    bool SendAndWaitAll(const QList<Pending> &commands);
    const QList<Response> &lastResponses() const { return m_responses; }

    // How many times the client has waited for the server so far (waits for a response, and
    // for a literal's continuation): the round trips a slow link costs.
    int roundTrips() const { return m_roundTrips; }

    // Closes the socket at once. Safe to call at any time.
    void Close();

    // For shutting down mid-flow: sends one "1 LOGOUT" when connected (without waiting for the
    // reply), closes the socket and ends any pending wait; the waiting flow sees wasAborted().
    void shutdown();
    // Ends a pending wait as aborted without touching the socket.
    void abort();

    bool wasAborted() const { return m_aborted; }
    // Why the last wait failed, in a few plain words ("Connection refused", "server did not
    // answer"); empty after success.
    QString errorText() const { return m_error; }

signals:
    // A response completed (also after NO and BAD); the window saves its settings here.
    void responseCompleted();
    // Every chunk written to the wire, in order (for traffic logs and tests).
    void wrote(const QByteArray &bytes);

private:
    enum class WaitState { Idle, Pending, Completed, Failed, Aborted };

    bool waitForResponse(int idleMs);
    bool waitForEncryption();
    bool runWait(int timeoutMs);
    bool upgradeToTls();
    bool refuseIfLoginDisabled();
    bool askCapabilitiesIfUnknown();
    bool endConnect(const QString &reason);
    bool inTlsHandshake() const;
    void write(const QByteArray &bytes);
    void fail(const QString &reason);
    void finishWait(WaitState state);
    void onReadyRead();
    void onConnected();
    void onDisconnected();
    void onSocketError();
    void onEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    void onTimeout();

    QSslSocket *m_socket;
    ResponseReader m_reader;
    Timeouts m_timeouts;
    QTimer m_timer;
    QEventLoop *m_loop = nullptr;
    WaitState m_wait = WaitState::Idle;
    QString m_strCommand;
    void sendQueued();
    void takeResponses();

    QList<QByteArray> m_unsent; // pieces of the command being sent, waiting for a continuation
    QList<Pending> m_queue;     // commands of the batch not yet started
    QStringList m_awaiting;     // states of the commands sent (or being sent), not yet answered
    QList<Response> m_responses;
    Response m_lastResponse;
    int m_roundTrips = 0;
    Response m_greeting;
    QHash<QString, Parser> m_parsers;
    QString m_error;
    bool m_aborted = false;
    bool m_connecting = false;   // until the connection (and implicit TLS) is up
    bool m_tlsFromStart = false; // the connection being made is implicit TLS
    bool m_handshaking = false;  // waiting for the STARTTLS handshake
    QString m_tlsError;          // certificate problems seen during the handshake
    Capabilities m_capabilities;
    bool m_ownCaList = false; // addTrustedCaCertificates() was called
    int m_idleMs = 0;
};

} // namespace imap
