#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <atomic>

class QTcpServer;
class QTcpSocket;

// A loopback TCP forwarder between a client and a server. It records what the client sends,
// counts the client's command lines (lines tagged "1 ", which is what a round trip costs) and
// can add a fixed delay to every chunk in each direction, to measure how a client behaves on a
// distant server. It may live in its own thread (moveToThread, then call listen() there).
class TcpProxy : public QObject
{
    Q_OBJECT
public:
    TcpProxy(const QHostAddress &target, quint16 targetPort, int delayMs = 0);
    ~TcpProxy() override;

    // Listens on 127.0.0.1 and a free port.
    Q_INVOKABLE bool listen();
    quint16 port() const { return m_port.load(); }

    // Thread-safe readers of the counters.
    int commandCount() const { return m_commands.load(); }
    QByteArray clientBytes() const;
    void resetCounters();

private:
    void onNewConnection();
    void forward(QTcpSocket *to, const QByteArray &bytes);
    void countCommands(const QByteArray &bytes);

    QHostAddress m_target;
    quint16 m_targetPort;
    int m_delayMs;
    QTcpServer *m_server = nullptr;
    std::atomic<quint16> m_port{0};
    std::atomic<int> m_commands{0};
    mutable QByteArray m_clientBytes;
    QByteArray m_lineStart; // start of the client's current line, for counting
    QByteArray m_lineTail;  // the end of the client's current line
    bool m_atLineStart = true;
    qint64 m_literalLeft = 0;
};
