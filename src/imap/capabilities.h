#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace imap {

// What a server says it can do, from a "* CAPABILITY ..." line or a "[CAPABILITY ...]" response
// code (greetings and tagged OK lines often carry one).
struct Capabilities
{
    // True when the lines held a capability list at all; a server that announced none is not
    // the same as one that announced an empty list.
    bool known = false;
    // The capability names, upper-cased, in the order the server sent them.
    QList<QByteArray> names;

    // Case-insensitive, whole names only ("AUTH=PLAIN" does not contain "AUTH").
    bool has(QByteArrayView name) const;
};

// Collects the capabilities named in the lines of one response: every untagged CAPABILITY line
// and every [CAPABILITY ...] code of an OK or PREAUTH status line.
Capabilities parseCapabilities(const QList<QByteArray> &lines);

} // namespace imap
