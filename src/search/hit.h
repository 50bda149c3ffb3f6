#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtCore/qtypeinfo.h>

namespace search {

// One search hit: a message of a folder with the header fields the engine read for it.
struct Hit
{
    QString folder;     // display path of the folder the hit was found in
    QByteArray mailbox; // the folder's name as the server knows it
    quint32 number = 0; // message sequence number in that folder at the time of the search
    QString from;       // From header, unfolded and decoded; empty when unread
    QString subject;    // Subject header, unfolded and decoded
    QString dateHeader; // Date header as received (unfolded)
    QDateTime date;     // the message's date in local time; invalid when unreadable or absent
    qsizetype folderOrder = 0; // the folder's place in the run's folder list
};

} // namespace search

// Its members move by memcpy: rows inserted into a long list move the rows behind them in one
// block.
Q_DECLARE_TYPEINFO(search::Hit, Q_RELOCATABLE_TYPE);
