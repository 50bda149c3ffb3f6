#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// A scripted IMAP server on a free loopback port, for tests where exact bytes, chunking or faults
// matter. The first connection plays the script; while it is open, further connections play the
// extra scripts, one each in order, and are turned away (closed at once) when none is left.
//
//   S: text      send text followed by CR LF
//   S+ text      send text without CR LF
//   C: text      the client must send exactly text followed by CR LF, next
//   CHUNK n      from here on, send in pieces of n bytes, each in its own write (0: whole)
//   STALL        send nothing more, keep the connection open
//   CLOSE        close the connection
//   # ...        a comment
//
// In S:, S+ and C: lines the escapes \r, \n, \t, \\ and \xHH stand for those bytes. The first
// mismatch between what a client sent and a C: line is recorded in failure() and ends that
// connection.
class FakeImapServer : public QObject
{
    Q_OBJECT
public:
    explicit FakeImapServer(QObject *parent = nullptr);
    ~FakeImapServer() override;

    // Starts listening on 127.0.0.1 and a free port.
    bool listen();
    quint16 port() const;
    QString address() const; // "127.0.0.1:port"

    void setScript(const QString &script);
    void setExtraScripts(const QStringList &scripts);

    // Everything the clients have sent, over all connections.
    QByteArray received() const { return m_received; }
    // What the connection that played extra script k sent.
    QByteArray receivedByExtra(int k) const;
    // The first difference from a script, or "" when none.
    QString failure() const { return m_failure; }
    // True when the main script has been played to its end.
    bool finished() const;
    // True when every extra script that was started has been played to its end.
    bool extrasFinished() const;
    int connectionCount() const { return m_connections; }
    // True while a client plays the main script.
    bool clientConnected() const;

    static QByteArray unescape(QStringView text);

signals:
    void scriptFinished();
    void clientDisconnected();

private:
    struct Step
    {
        enum Kind { Send, Expect, Chunk, Stall, Close } kind;
        QByteArray data;
        int number = 0;
    };
    struct Player;

    static QList<Step> parse(const QString &script);
    void onNewConnection();
    void run(Player *p);
    void sendNextChunk(Player *p);

    QTcpServer *m_server;
    QList<Step> m_steps;
    QList<QList<Step>> m_extraSteps;
    Player *m_main = nullptr;  // the connection playing the main script
    QList<Player *> m_extras;  // the connections that played extra scripts, in order
    QList<Player *> m_players; // every connection so far (owned)
    QByteArray m_received;
    QString m_failure;
    int m_connections = 0;
};
