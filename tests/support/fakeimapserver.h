#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>

class QTcpServer;

// A scripted IMAP server on a free port (of a loopback address unless told otherwise). The first
// connection plays the script; while it is open, further connections play the extra scripts, one
// each in order, and are turned away (closed at once) when none is left.
//
//   S: text      send text followed by CR LF
//   S+ text      send text without CR LF
//   C: text      the client must send exactly text followed by CR LF, next
//   CHUNK n      from here on, send in pieces of n bytes, each in its own write (0: whole)
//   TLS          start TLS with the certificate given; go on once the handshake is done
//   WAIT         (main script) go on once every extra script started has been played
//   STALL        send nothing more, keep the connection open
//   CLOSE        close the connection
//   RECONNECT    (main script) the steps after it are played by the next connection made once
//                this one has ended
//   # ...        a comment
//
// In S:, S+ and C: lines \r, \n, \t, \\ and \xHH stand for those bytes; in a C: line *** stands
// for any bytes but LF (what a connection log leaves out). The first mismatch between what a
// client sent and a C: line is recorded in failure() and ends that connection.
class FakeImapServer : public QObject
{
    Q_OBJECT
public:
    explicit FakeImapServer(QObject *parent = nullptr);
    ~FakeImapServer() override;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost); // and a free port
    quint16 port() const;
    QString address() const; // "host:port", an IPv6 address in brackets
    void setScript(const QString &script);
    void setExtraScripts(const QStringList &scripts);
    // The certificate and key (PEM, EC) for the TLS step; false when one does not load.
    bool setCertificate(const QString &certFile, const QString &keyFile);

    QByteArray received() const { return m_received; } // from all clients, decrypted
    QString failure() const { return m_failure; }      // "" when none
    bool finished() const;                             // the main script has been played to its end
    bool extrasFinished() const;                       // so has every extra script started
    int connectionCount() const { return m_connections; }
    bool clientConnected() const; // a client plays the main script

    static QByteArray unescape(QStringView text);
    // The C: and S: lines of one connection of a connection log (platform::ConnectionLog), as a
    // script; connection 0: the first in the log.
    static QString scriptFromLog(const QString &log, int connection = 0);

signals:
    void clientDisconnected();

private:
    struct Step
    {
        enum Kind { Send, Expect, Chunk, Tls, Wait, Stall, Close, Reconnect } kind;
        QByteArray data;
    };
    struct Player;

    static QList<Step> parse(const QString &script);
    void onNewConnection();
    void run(Player *p);
    void sendChunks(Player *p, const QByteArray &bytes);

    QTcpServer *m_server;
    QList<Step> m_steps;
    QList<QList<Step>> m_laterSteps; // main scripts of the connections after RECONNECT
    QList<QList<Step>> m_extraSteps;
    Player *m_main = nullptr;  // the connection playing the main script
    QList<Player *> m_extras;  // the connections that played extra scripts, in order
    QList<Player *> m_players; // every connection so far (owned)
    QSslCertificate m_cert;
    QSslKey m_key;
    QByteArray m_received;
    QString m_failure;
    int m_connections = 0;
};
