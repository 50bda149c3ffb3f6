#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace imap {

// The message sequence numbers of a SEARCH response, as text, in the order the server sent
// them, each once (a number named again is passed over). Every `* SEARCH` line counts (the keyword
// in any case); a bare `* SEARCH` adds nothing. Only pieces that are sequence numbers (digits
// without a leading zero, 1 to 4294967295) are taken, so no other text can ever reach a later FETCH
// command; extras such as a CONDSTORE "(MODSEQ n)" are passed over. ESEARCH replies and all other
// lines are ignored.
QStringList parseSearchResponse(const QList<QByteArray> &lines);

} // namespace imap
