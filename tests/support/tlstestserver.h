#pragma once

#include <QByteArray>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

class QSslSocket;

namespace testsupport {

// A small IMAP server on 127.0.0.1 and a free port that speaks TLS with the certificate it is
// given, for tests of certificate checks and STARTTLS that need a server of their own.
//
//   Implicit: the TLS handshake first, then the greeting.
//   StartTls: the greeting in clear; "1 STARTTLS" is answered "1 OK Begin TLS negotiation
//             now." and the handshake follows. Any other command in clear gets "1 BAD".
// After the handshake every command gets "1 OK" ("1 LOGOUT" a BYE first). One client at a time.
class TlsTestServer : public QTcpServer
{
    Q_OBJECT
public:
    enum class Mode { Implicit, StartTls };

    explicit TlsTestServer(QObject *parent = nullptr);
    ~TlsTestServer() override;

    // Reads the certificate and key (PEM) and starts listening. False when a file does not load
    // or no port can be had.
    bool start(Mode mode, const QString &certFile, const QString &keyFile);
    quint16 port() const { return serverPort(); }

    // The first line the server sends (without CR LF).
    void setGreeting(const QByteArray &line) { m_greeting = line; }

    // What the client sent before the handshake, and what it sent over TLS (decrypted).
    QByteArray clearReceived() const { return m_clear; }
    QByteArray encryptedReceived() const { return m_encrypted; }
    // True once a handshake with a client has completed.
    bool handshakeDone() const { return m_handshakeDone; }
    bool clientConnected() const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void onReadyRead();
    void answer(const QByteArray &line);

    Mode m_mode = Mode::Implicit;
    QSslCertificate m_cert;
    QSslKey m_key;
    QByteArray m_greeting;
    QPointer<QSslSocket> m_client;
    QByteArray m_pending;
    QByteArray m_clear;
    QByteArray m_encrypted;
    bool m_handshakeDone = false;
};

} // namespace testsupport
