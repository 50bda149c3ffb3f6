#pragma once

#include "imap/lexer.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace imap {

// One body section of a FETCH response (BODY[...], RFC822.HEADER and the like) as the server
// sent it.
struct FetchedSection
{
    QByteArray name; // the item's name as sent: BODY[HEADER.FIELDS (DATE FROM SUBJECT)], BODY[]
    NString value;   // the literal or quoted string byte for byte, or NIL
};

// What a FETCH response gives of one message.
struct FetchedItems
{
    quint32 seq = 0; // message sequence number
    std::optional<quint32> uid;
    QList<FetchedSection> sections; // in the order sent

    // The last section whose name is `name` (without regard to case); null when none came.
    const FetchedSection *lastSection(QByteArrayView name) const;
};

// Reads one untagged `* n FETCH (...)` line (see imap/response.h: literals are inside the
// line); nullopt when the line is no FETCH response. Items are read in order: UID as a number,
// body sections as a literal, a quoted string or NIL; anything else (FLAGS, ENVELOPE, lists
// nested to any depth, a UID or section value of another shape) is passed over. An item that
// cannot be read at all (unbalanced, unterminated, a literal longer than the line) ends the
// reading: the items before it are kept, nothing after it is guessed at.
std::optional<FetchedItems> readFetchLine(const QByteArray &line);

// Reads the FETCH lines of a response, any number of them; other lines are passed over. One
// entry per message, in the order the messages first appear: items of one message may be spread
// over several lines, the last UID given counts and the sections are kept in the order sent.
QList<FetchedItems> readFetchResponse(const QList<QByteArray> &lines);

// The Date, From and Subject of one message, from the header block of a FETCH response.
struct FetchedHeader
{
    quint32 seq = 0; // message sequence number
    QString from;    // unfolded, encoded words decoded
    QString subject; // unfolded, encoded words decoded
    QString date;    // unfolded, as written
    bool hasFrom = false;
    bool hasSubject = false;
    bool hasDate = false;
};

// The header of a message whose items hold a header block (BODY[HEADER.FIELDS (...)],
// BODY[HEADER] or RFC822.HEADER); when several came, the last one counts. nullopt without one;
// a NIL block gives a header without fields. In the block, the last occurrence of a field wins
// and a missing field leaves its has-flag false.
std::optional<FetchedHeader> fetchedHeader(const FetchedItems &items);

// The headers of the FETCH lines of a response that carry a header block, one entry per
// message in the order the messages first appear with one; a later block of the same message
// replaces the earlier. A line without one, such as an unsolicited `* 5 FETCH (FLAGS (\Seen))`,
// gives no entry.
QList<FetchedHeader> parseFetchedHeaders(const QList<QByteArray> &lines);

} // namespace imap
