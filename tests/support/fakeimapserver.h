#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A scripted IMAP server on a free loopback port, for tests where exact bytes, chunking or faults
// matter. It serves one connection at a time and plays its script against it:
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
// mismatch between what the client sent and a C: line is recorded in failure() and ends the
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

    // Everything the client has sent, over all connections.
    QByteArray received() const { return m_received; }
    // The first difference from the script, or "" when none.
    QString failure() const { return m_failure; }
    // True when the script has been played to its end.
    bool finished() const { return m_finished; }
    int connectionCount() const { return m_connections; }
    // True while a client is connected.
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

    void onNewConnection();
    void onReadyRead();
    void run();
    void sendNextChunk();

    QTcpServer *m_server;
    QPointer<QTcpSocket> m_client;
    QList<Step> m_steps;
    qsizetype m_next = 0;
    QByteArray m_pendingIn;  // client bytes not yet matched
    QByteArray m_pendingOut; // bytes waiting to be sent in chunks
    int m_chunk = 0;
    bool m_sending = false;
    QByteArray m_received;
    QString m_failure;
    bool m_finished = false;
    bool m_stalled = false;
    int m_connections = 0;
};
