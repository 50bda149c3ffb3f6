#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace imap {

// One selectable folder of the server, from a LIST response.
struct FolderRow
{
    // The mailbox name exactly as the server sent it (escapes undone, literal bytes kept),
    // in the server's encoding (modified UTF-7). Used for EXAMINE.
    QByteArray serverName;
    // What the user sees: common leading hierarchy levels removed, levels joined with "/",
    // modified UTF-7 decoded.
    QString displayPath;
    // The hierarchy delimiter the server gave for this name; '\0' when it sent NIL.
    char delimiter = '\0';
};

// The folders of the last LIST, in the order of the response lines.
using FolderTable = QList<FolderRow>;

} // namespace imap
