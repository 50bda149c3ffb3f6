#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace imap {

// Mailbox names in modified UTF-7 (RFC 3501, section 5.1.3): printable ASCII stands for
// itself, "&-" is "&", and "&...-" holds UTF-16 in base64 with "," in place of "/".

// The name as text. Malformed parts (a bad or unterminated base64 run, a run that does not
// hold whole UTF-16 units, lone surrogates) are shown as their raw bytes; raw 8-bit bytes
// outside a run, which some servers send, are read as UTF-8, or Latin-1 when not valid UTF-8.
QString decodeMailboxName(QByteArrayView name);

// The name in modified UTF-7, as a server expects it. Lone surrogates become U+FFFD.
QByteArray encodeMailboxName(QStringView name);

} // namespace imap
