#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QTimeZone>

namespace message {

// One part of a message that is offered for saving rather than shown as its text.
struct Attachment
{
    QString name;     // file name the message gives (RFC 2231 and encoded words decoded); may be
                      // empty, and may hold anything: pass it through safeFileName before use
    QString mimeType; // "application/pdf", in lower case
    QByteArray data;  // the content with its transfer encoding undone

    qint64 size() const { return data.size(); }
};

// What a message window shows of one message.
struct MessageContent
{
    // From, To, Cc and Subject unfolded, encoded words decoded, exactly as the grid shows them
    // (imap::decodeHeaderText of the last field of the name); empty when missing.
    QString from;
    QString to;
    QString cc;
    QString subject;
    QString dateHeader; // the Date field as written (unfolded), the same text the grid reads
    QDateTime date;     // that date in local time, as the grid shows it; invalid when unreadable

    QString text;        // the text to show: a text/plain part, else an HTML part
    bool isHtml = false; // text is HTML (no text/plain part was there)

    QList<Attachment> attachments;
    // Parts left out because the message is nested or split beyond the limits parseMessage
    // keeps to.
    qsizetype omittedParts = 0;
};

// Reads a whole message (RFC 5322 with MIME) as the server sent it. Never fails: what cannot
// be read is shown as well as it can be (a message without any MIME structure is its own text).
//
// The text is the first text/plain part that is not marked as an attachment; without one, the
// first such text/html part. Of a multipart/alternative only the best alternative is looked at.
// Every other leaf part is an attachment, and so is an attached message (message/rfc822), which
// is not opened: its bytes are saved as they are.
//
// Text is converted to Unicode from the charset its part names; an unknown or missing charset
// reads as UTF-8 when the bytes are valid UTF-8, otherwise as ISO-8859-1, as for the headers.
//
// `local` is the time zone the date is shown in. Thread-safe: runs on any thread.
MessageContent parseMessage(const QByteArray &raw,
                            const QTimeZone &local = QTimeZone::systemTimeZone());

// The parts parseMessage looks at: multiparts nested deeper than kMaxDepth are not opened, and
// after kMaxParts parts (leaves and multiparts) the rest is left out. Real mail stays far below
// both; hostile mail cannot make the window list tens of thousands of rows.
inline constexpr int kMaxDepth = 64;
inline constexpr int kMaxParts = 1000;

} // namespace message

Q_DECLARE_METATYPE(message::MessageContent)
