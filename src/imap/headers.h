#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace imap {

// One field of a message header block (RFC 5322), as raw bytes.
struct HeaderField
{
    QByteArray name;  // as written, without the colon and trailing white space
    QByteArray value; // unfolded, leading and trailing white space removed
};

// Splits a header block into its fields, in order. Lines end in CR LF (a bare LF is accepted
// too); the block ends at the first empty line or at the end of the data. A line that starts
// with SP or HTAB continues the field before it: the line break is removed and the white space
// kept. A line without a colon, or whose name holds white space or control bytes, is not a
// field and is skipped together with its continuation lines.
QList<HeaderField> parseHeaderBlock(QByteArrayView block);

// The value of the last field whose name equals `name` without regard to case, or nullopt
// when there is none.
std::optional<QByteArray> lastHeaderValue(const QList<HeaderField> &fields, QByteArrayView name);

// Bytes of unknown encoding as text: UTF-8 when they are valid UTF-8, otherwise Latin-1.
QString decodeUtf8OrLatin1(QByteArrayView bytes);

// An unstructured header value (Subject, or the display name in From) as text. RFC 2047
// encoded words (=?charset?Q?...?= and =?charset?B?...?=, any charset the system can decode)
// are decoded, and the white space between two adjacent encoded words is dropped. Words with
// an unknown charset or a bad encoding are kept as they stand. Raw 8-bit bytes outside encoded
// words are read as UTF-8 when the whole value is valid UTF-8, otherwise as Latin-1.
QString decodeHeaderText(QByteArrayView raw);

} // namespace imap
