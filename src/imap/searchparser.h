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

// The hits of one folder's SEARCH answer that can be messages of the folder.
struct FolderHits
{
    QStringList numbers;       // the numbers up to the message count, each once, in order
    qsizetype beyondCount = 0; // numbers it named above that count, or zero: no such message
    qsizetype notKept = 0;     // numbers up to the count past maxNumbers: counted, not listed
};

// The folder's message count is the highest untagged "* n EXISTS" among the lines of its EXAMINE
// and of the SEARCH sent with it: mail that arrives meanwhile raises the count, and an EXISTS never
// lowers it (RFC 3501 7.4.1). RFC 3501 requires the count with every EXAMINE; a server that sends
// none gets no bound, so that no hit is lost to a missing line: every number is taken, and what
// its answer can cost stays bounded by the reader's line limit and the run's limit on hits.
//
// The answer may be a classic one ("* SEARCH 2 5 9", as parseSearchResponse reads it) or an
// extended one (RFC 4731: "* ESEARCH (TAG "1") ALL 2,5:9", the sequence set of the ALL result;
// a UID result is passed over). A range costs time for the numbers it lists, never for its
// width: at most maxNumbers numbers are listed and the rest are only counted, and those above
// the count are counted at once.
FolderHits parseFolderSearch(const QList<QByteArray> &examineLines,
                             const QList<QByteArray> &searchLines, qsizetype maxNumbers);

} // namespace imap
