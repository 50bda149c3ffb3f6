#include "support/rawimap.h"

#include <QTcpSocket>

namespace testsupport {

struct RawImap::Impl
{
    QTcpSocket socket;
    QByteArray buffer;
};

RawImap::RawImap(const QString &host, quint16 port) : d(new Impl)
{
    d->socket.connectToHost(host, port);
    d->socket.waitForConnected(5000);
    readLine(); // greeting
}

RawImap::~RawImap()
{
    if (d->socket.state() == QAbstractSocket::ConnectedState) {
        d->socket.write("1 LOGOUT\r\n");
        d->socket.waitForBytesWritten(1000);
    }
    delete d;
}

QByteArray RawImap::readLine()
{
    for (;;) {
        const qsizetype nl = d->buffer.indexOf("\r\n");
        if (nl >= 0) {
            QByteArray line = d->buffer.left(nl);
            d->buffer.remove(0, nl + 2);
            // A literal at the end of the line: take its bytes and the rest of the line.
            if (line.endsWith('}')) {
                const qsizetype open = line.lastIndexOf('{');
                const qsizetype n = line.mid(open + 1, line.size() - open - 2).toLongLong();
                while (d->buffer.size() < n && d->socket.waitForReadyRead(10000))
                    d->buffer += d->socket.readAll();
                line += "\r\n" + d->buffer.left(n);
                d->buffer.remove(0, n);
                line += readLine();
            }
            return line;
        }
        if (!d->socket.waitForReadyRead(10000))
            return {};
        d->buffer += d->socket.readAll();
    }
}

QList<QByteArray> RawImap::command(const QList<QByteArray> &pieces)
{
    QList<QByteArray> lines;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        d->socket.write(pieces[i]);
        if (i + 1 < pieces.size()) {
            const QByteArray cont = readLine();
            if (!cont.startsWith('+')) {
                lines.append(cont);
                return lines;
            }
        }
    }
    d->socket.write("\r\n");
    for (;;) {
        const QByteArray line = readLine();
        if (line.isNull())
            return lines;
        lines.append(line);
        if (line.startsWith("1 "))
            return lines;
    }
}

bool RawImap::login(const QByteArray &user, const QByteArray &password)
{
    const QList<QByteArray> r = command({"1 LOGIN " + user + ' ' + password});
    return !r.isEmpty() && r.last().startsWith("1 OK");
}

QList<quint32> RawImap::search(const QByteArray &serverName, const QList<QByteArray> &criteria)
{
    QByteArray quotedName = serverName;
    quotedName.replace("\\", "\\\\").replace("\"", "\\\"");
    const QList<QByteArray> ex = command({"1 EXAMINE \"" + quotedName + '"'});
    if (ex.isEmpty() || !ex.last().startsWith("1 OK"))
        return {};
    QList<QByteArray> pieces = criteria;
    pieces.first().prepend("1 ");
    const QList<QByteArray> r = command(pieces);
    QList<quint32> hits;
    if (r.isEmpty() || !r.last().startsWith("1 OK"))
        return hits;
    for (const QByteArray &line : r) {
        if (!line.startsWith("* SEARCH"))
            continue;
        for (const QByteArray &piece : line.mid(8).split(' '))
            if (!piece.isEmpty())
                hits.append(piece.toUInt());
    }
    return hits;
}

} // namespace testsupport
