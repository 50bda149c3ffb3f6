#pragma once

#include <QDateTime>
#include <QString>

namespace imap {

// One search hit: created by the SEARCH response, completed by the FETCH response.
struct ResultRecord
{
    QString strFolder;     // DisplayPath of the folder the hit was found in
    QString strMsgNum;     // message sequence number as the server wrote it
    QString strFrom;       // From header, unfolded and decoded
    QString strSubject;    // Subject header, unfolded and decoded
    QString strDateHeader; // Date header text as received (unfolded)
    QDateTime dtLocal;     // the message's date in local time; invalid when unreadable/absent
};

} // namespace imap
