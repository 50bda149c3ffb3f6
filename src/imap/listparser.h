#pragma once

#include "imap/foldertable.h"

#include <QByteArray>
#include <QList>

namespace imap {

// The selectable folders of a LIST response, in the order of its lines, with display paths.
//
// A line counts when it reads as IMAP `* LIST (attributes) delimiter name` (the keyword in any
// case). Folders marked \Noselect or \NonExistent (in any case) are left out, and so are names
// that are empty or begin with ".". The delimiter is a quoted character or NIL; the name an
// atom, a quoted string or a literal, kept as the server's bytes. Lines that are not LIST
// lines, and LIST lines that are malformed or cut short, are skipped.
FolderTable parseListResponse(const QList<QByteArray> &lines);

// Fills in displayPath of every row. Each name is split into hierarchy levels at its own
// delimiter (one level when the delimiter is NIL). The leading levels that all names share are
// removed; a name made only of those levels keeps all of them. The remaining levels are
// decoded from modified UTF-7 and joined with "/". Levels compare byte for byte, except a
// first level of INBOX, which IMAP defines without regard to case.
//   INBOX, INBOX.Sent, INBOX.Trash  ->  INBOX, Sent, Trash
//   Sent, Spam                      ->  Sent, Spam
void computeDisplayPaths(FolderTable &folders);

} // namespace imap
