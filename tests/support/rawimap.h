#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace testsupport {

// A deliberately plain, blocking IMAP client for tests: it asks a server directly what the tool
// should have found, without any of the tool's own code. Commands are given as pieces; between
// two pieces it waits for the "+" continuation.
class RawImap
{
public:
    RawImap(const QString &host, quint16 port);
    ~RawImap();

    bool login(const QByteArray &user, const QByteArray &password);
    // Sends one command (tag "1") and returns all response lines up to the tagged one.
    QList<QByteArray> command(const QList<QByteArray> &pieces);
    // EXAMINE the folder and SEARCH with the criteria; the sequence numbers found. An empty
    // list when the folder or the search is refused.
    QList<quint32> search(const QByteArray &serverName, const QList<QByteArray> &criteria);

private:
    QByteArray readLine();
    struct Impl;
    Impl *d;
};

} // namespace testsupport
