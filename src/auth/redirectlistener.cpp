#include "auth/redirectlistener.h"

#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

namespace auth {

namespace {
constexpr qsizetype kMaxRequest = 8 * 1024;
constexpr int kBrowserRequestMs = 10 * 1000;
} // namespace

RedirectListener::RedirectListener(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        close();
        emit failed(QStringLiteral("no answer came from the web browser within five minutes"));
    });
    connect(&m_server, &QTcpServer::newConnection, this, &RedirectListener::onNewConnection);
}

bool RedirectListener::listen(const QByteArray &state)
{
    m_state = state;
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        return false;
    m_timer.start(kTimeoutMs);
    return true;
}

QString RedirectListener::redirectUri() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort());
}

void RedirectListener::close()
{
    m_timer.stop();
    m_server.close();
}

void RedirectListener::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto head = std::make_shared<QByteArray>();
        QTimer::singleShot(kBrowserRequestMs, socket, [socket] { socket->abort(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
            *head += socket->read(kMaxRequest + 1 - head->size());
            if (head->size() > kMaxRequest) {
                reply(socket, "431 Request Header Fields Too Large", QStringLiteral("Too long."));
                return;
            }
            if (head->contains("\r\n\r\n"))
                handle(socket, *head);
        });
    }
}

void RedirectListener::handle(QTcpSocket *socket, const QByteArray &head)
{
    // "GET /?code=...&state=... HTTP/1.1"
    const QList<QByteArray> request = head.left(head.indexOf("\r\n")).split(' ');
    const QUrl target(QStringLiteral("http://127.0.0.1") + QString::fromLatin1(request.value(1)));
    const QUrlQuery query(target);
    const auto item = [&](const char *name) {
        return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
    };
    if (request.size() != 3 || request[0] != "GET" || !request[1].startsWith('/') ||
        !target.isValid() || m_state.isEmpty() || item("state").toLatin1() != m_state) {
        reply(socket, "400 Bad Request",
              QStringLiteral("This is not the answer Fernquill is waiting for."));
        return;
    }
    const QByteArray code = item("code").toUtf8();
    close();
    if (!code.isEmpty()) {
        reply(socket, "200 OK",
              QStringLiteral("You are signed in. Close this page and go back to Fernquill."));
        emit codeReceived(code);
        return;
    }
    reply(socket, "200 OK",
          QStringLiteral("You are not signed in. Close this page and go back to Fernquill."));
    QString error = item("error").left(100);
    error.removeIf([](QChar c) { return !c.isLetterOrNumber() && c != u'_'; });
    emit failed(QStringLiteral("the sign-in was not completed (%1)")
                    .arg(error.isEmpty() ? QStringLiteral("no code") : error));
}

void RedirectListener::reply(QTcpSocket *socket, const char *status, const QString &text)
{
    const QByteArray page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                            "<title>Fernquill</title></head><body><p>" +
                            text.toHtmlEscaped().toUtf8() + "</p></body></html>\n";
    socket->disconnect(); // nothing more is read
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // The socket outlives the listener until its page has gone out.
    socket->setParent(nullptr);
    QTimer::singleShot(kBrowserRequestMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write(QByteArray("HTTP/1.1 ") + status +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                  "Connection: close\r\nContent-Length: " +
                  QByteArray::number(page.size()) + "\r\n\r\n" + page);
    socket->disconnectFromHost();
}

} // namespace auth
