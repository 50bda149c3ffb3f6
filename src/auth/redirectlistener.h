#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

namespace auth {

// Where the browser comes back to after a sign-in (RFC 8252's loopback redirect): a small HTTP
// listener on 127.0.0.1 and a free port, for one answer. A request carrying the expected state
// ends it: with a code, codeReceived(); with an error (the user said no), failed(). Every other
// request (another state, none, a favicon) is turned away and the listener keeps waiting. The
// browser is told in plain words to go back to Fernquill. After five minutes without the
// answer, failed(). Requests are read up to 8 KiB and for at most ten seconds each.
class RedirectListener : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 5 * 60 * 1000;

    explicit RedirectListener(QObject *parent = nullptr);

    // False when no port could be had.
    bool listen(const QByteArray &state);
    // "http://127.0.0.1:<port>/"
    QString redirectUri() const;
    // Stops listening; no signal.
    void close();

signals:
    void codeReceived(const QByteArray &code);
    void failed(const QString &reason);

private:
    void onNewConnection();
    // Answers a request whose head is complete.
    void handle(QTcpSocket *socket, const QByteArray &head);
    static void reply(QTcpSocket *socket, const char *status, const QString &text);

    QTcpServer m_server;
    QTimer m_timer;
    QByteArray m_state;
};

} // namespace auth
