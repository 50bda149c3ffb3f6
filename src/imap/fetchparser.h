#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace imap {

// The Date, From and Subject of one message, from the header block of a FETCH response.
struct FetchedMessage
{
    quint32 seq = 0; // message sequence number
    QString from;    // unfolded, encoded words decoded
    QString subject; // unfolded, encoded words decoded
    QString date;    // unfolded, as written
    bool hasFrom = false;
    bool hasSubject = false;
    bool hasDate = false;
};

// Reads the untagged `* n FETCH (...)` responses of a response, any number of them, and
// returns one entry per message whose response carried a header block item
// (BODY[HEADER.FIELDS (...)], BODY[HEADER] or RFC822.HEADER) as a literal, a quoted string or
// NIL, in the order the messages first appear. Other items (FLAGS, UID, ...) may come before
// or after it and are passed over. A response without a header block, such as an unsolicited
// `* 5 FETCH (FLAGS (\Seen))`, gives no entry; when several header blocks arrive for one
// message, the last one wins. In the header block, the last occurrence of a field wins and a
// missing field leaves its has-flag false.
QList<FetchedMessage> parseFetchResponse(const QList<QByteArray> &lines);

} // namespace imap
