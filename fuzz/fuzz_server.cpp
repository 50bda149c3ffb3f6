// Server bytes through the response framer, in chunks, and every parser of what it frames, and
// the folders listed into the picker's tree. Input: a control byte (bit 0 greeting mode, 1-4 line
// and literal limits, 5-7 chunk sizes), the bytes.
#include "folders/foldertree.h"
#include "imap/fetchparser.h"
#include "imap/headers.h"
#include "imap/lexer.h"
#include "imap/listparser.h"
#include "imap/mutf7.h"
#include "imap/responsereader.h"
#include "imap/searchparser.h"
#include "search/hitcap.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cassert>
#include <numeric>
#include <optional>

using namespace imap;

namespace {

// Responses end in one tagged line or the greeting, without "+" lines; limits hold; errors stick.
QList<QByteArrayList> frame(const QByteArray &bytes, ResponseReader::Limits limits, bool greeting,
                            uint mode)
{
    static constexpr quint32 kSpan[] = {0, 1, 3, 3, 17, 17, 257, 257};
    quint32 state = mode ^ quint32(bytes.size());
    ResponseReader reader(limits);
    reader.setGreetingMode(greeting);
    QList<QByteArrayList> out;
    for (qsizetype from = 0, n = 0; from < bytes.size(); from += n) {
        state = state * 1103515245u + 12345u;
        n = qMin(bytes.size() - from, mode ? 1 + (state >> 8) % kSpan[mode] : bytes.size());
        const auto before = std::pair(reader.error(), reader.bufferedBytes());
        reader.feed(QByteArrayView(bytes).sliced(from, n));
        const auto after = std::pair(reader.error(), reader.bufferedBytes());
        assert(!int(before.first) || (after == before && !reader.hasResponse()));
        while (reader.hasResponse()) {
            const bool greetingEnds = greeting && !reader.greetingMode();
            const QByteArrayList lines = reader.takeResponse().lines;
            assert(!lines.isEmpty() && (lines.last().startsWith("1 ") || greetingEnds));
            for (qsizetype i = 0; i < lines.size(); ++i)
                assert(!lines[i].startsWith('+') &&
                       (i + 1 == lines.size() || !lines[i].startsWith("1 ")));
            out.append(lines);
            greeting = greeting && !greetingEnds;
        }
        assert(int(reader.error()) ||
               reader.bufferedBytes() <= limits.maxLineBytes + limits.maxLiteralBytes + 2);
    }
    out.append(reader.pendingLines());
    out.append({QByteArray::number(int(reader.error())), QByteArray::number(reader.sawBye())});
    return out;
}

// Display paths: levels after those all share (unless none is left), decoded, joined with "/".
void checkDisplayPaths(const FolderTable &folders)
{
    QList<QByteArrayList> levels;
    for (const FolderRow &row : folders)
        levels.append(row.delimiter ? row.serverName.split(row.delimiter)
                                    : QByteArrayList{row.serverName});
    qsizetype shared = 0;
    for (bool all = !levels.isEmpty(); all; shared += all) {
        for (const QByteArrayList &l : levels)
            all =
                all && shared < l.size() &&
                (shared == 0 && levels[0][0].toUpper() == "INBOX" ? l[0].toUpper() == "INBOX"
                                                                  : l[shared] == levels[0][shared]);
    }
    FolderTable again = folders;
    computeDisplayPaths(again);
    for (qsizetype r = 0; r < folders.size(); ++r) {
        QStringList shown;
        for (qsizetype i = levels[r].size() > shared ? shared : 0; i < levels[r].size(); ++i)
            shown.append(decodeMailboxName(levels[r][i]));
        assert(folders[r].displayPath == shown.join(u'/') &&
               again[r].displayPath == shown.join(u'/'));
    }
}

// The tree of the display paths: a node per distinct non-empty level at most, parents first, each
// node's path the start of a listed path up to a level's end, each listed path a node's path.
void checkFolderTree(const FolderTable &folders)
{
    QStringList paths;
    qsizetype levels = 0;
    for (const FolderRow &row : folders) {
        paths.append(row.displayPath);
        levels += row.displayPath.split(u'/', Qt::SkipEmptyParts).size();
    }
    const QList<folders::FolderNode> nodes = folders::buildFolderTree(paths);
    const QList<qsizetype> order = folders::displayOrder(nodes, QLocale::c());
    assert(nodes.size() <= levels && order.size() == nodes.size());
    QList<bool> shown(nodes.size());
    QSet<QString> built;
    for (const qsizetype i : order) {
        const qsizetype up = nodes[i].parent;
        assert(!shown[i] && !nodes[i].text.isEmpty() && !nodes[i].text.contains(u'/') && up < i &&
               (up < 0 || shown[up]));
        shown[i] = true;
        const QString path = folders::folderPath(nodes, i);
        assert(std::any_of(paths.cbegin(), paths.cend(), [&](const QString &listed) {
            return listed.startsWith(path) &&
                   (listed.size() == path.size() || listed.at(path.size()) == u'/');
        }));
        built.insert(path);
    }
    assert(built.size() == nodes.size());
    for (QString path : paths) {
        while (path.endsWith(u'/'))
            path.chop(1);
        assert(path.isEmpty() || built.contains(path));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint control = data[0];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    static constexpr qsizetype kLineLimits[] = {8, 64, 1024, 8 * 1024 * 1024};
    static constexpr qsizetype kLiteralLimits[] = {0, 16, 512, 256 * 1024 * 1024};
    const ResponseReader::Limits limits{kLineLimits[(control >> 1) & 3],
                                        kLiteralLimits[(control >> 3) & 3]};
    QList<QByteArrayList> framed = frame(bytes, limits, control & 1, 0);
    assert(frame(bytes, limits, control & 1, control >> 5) == framed); // chunks change nothing

    // Lexer: a failed read leaves the position, a good one moves forward; forms agree.
    for (qsizetype start = 0; start <= bytes.size(); start += bytes.size() / 48 + 1) {
        const auto end = [&](auto read) {
            qsizetype pos = start;
            const bool ok = bool(read(bytes, pos));
            assert(ok ? pos > start && pos <= bytes.size() : pos == start);
            return pos;
        };
        const qsizetype atom = end(readAtom), string = end(readString),
                        section = end(readSectionAtom);
        assert(string == std::max(end(readQuoted), end(readLiteral)) && end(readNumber) <= atom &&
               end(readAString) == (string > start ? string : atom) &&
               (section == start || section >= atom) && end(skipValue) >= end(readNString) &&
               end(readParenthesizedList) >= start);
    }
    // Any bytes decode as a mailbox name to valid text that encodes to printable ASCII and back.
    const QString name = decodeMailboxName(bytes);
    const QByteArray encoded = encodeMailboxName(name);
    assert(name.isEmpty() == bytes.isEmpty() && QStringView(name).isValidUtf16() &&
           decodeMailboxName(encoded) == name &&
           std::all_of(encoded.begin(), encoded.end(), [](char c) { return c >= 32 && c < 127; }));

    framed.removeLast();
    QByteArrayList lines;
    for (const QByteArrayList &response : framed)
        lines += response;
    const FolderTable folders = parseListResponse(lines);
    for (const FolderRow &row : folders)
        assert(!row.serverName.isEmpty() && !row.serverName.startsWith('.'));
    checkDisplayPaths(folders);
    checkFolderTree(folders);

    // SEARCH: exactly the sequence numbers of the "* SEARCH" lines, in order, each once.
    static const QRegularExpression kNumber("^[1-9][0-9]{0,9}$");
    QStringList numbers;
    for (const QByteArray &line : lines) {
        const bool search = line.toUpper().append(' ').startsWith("* SEARCH ");
        for (const QByteArray &piece : search ? line.mid(9).split(' ') : QByteArrayList()) {
            if (kNumber.match(QLatin1String(piece)).hasMatch() &&
                piece.toULongLong() <= 0xffffffffu && !numbers.contains(QLatin1String(piece)))
                numbers.append(QLatin1String(piece));
        }
    }
    assert(parseSearchResponse(lines) == numbers);

    // The responses as one EXAMINE's and one SEARCH's: no number is kept above the highest
    // "* n EXISTS" of either (every number without one); what is not kept is counted.
    static const QRegularExpression kExists("^\\* ([0-9]{1,10}) EXISTS\\z",
                                            QRegularExpression::CaseInsensitiveOption);
    QByteArrayList examined, searched;
    std::optional<quint64> count;
    for (qsizetype r = 0; r < framed.size(); ++r) {
        (r < framed.size() / 2 ? examined : searched) += framed[r];
        for (const QByteArray &line : framed[r]) {
            const auto match = kExists.match(QLatin1String(line));
            const quint64 n = match.hasMatch() ? match.captured(1).toULongLong() : 0;
            if (match.hasMatch() && n <= 0xffffffffu)
                count = std::max(count.value_or(0), n);
        }
    }
    // Extended answers ("* ESEARCH ... ALL 1:5") may name wide ranges: a few numbers are listed,
    // the rest only counted, at no cost for the width.
    constexpr qsizetype kMaxListed = 64;
    const FolderHits bounded = parseFolderSearch(examined, searched, kMaxListed);
    assert(bounded.numbers.size() <= kMaxListed && bounded.notKept >= 0 &&
           bounded.beyondCount >= 0);
    bool extended = false;
    for (const QByteArray &line : searched)
        extended = extended || line.toUpper().startsWith("* ESEARCH");
    const QStringList all = parseSearchResponse(searched);
    QStringList below;
    for (const QString &n : all)
        if (!count || n.toULongLong() <= *count)
            below.append(n);
    bool zero = false; // names no message, counted once
    for (const QByteArray &line : searched)
        zero = zero || (line.toUpper().startsWith("* SEARCH ") && line.split(' ').contains("0"));
    if (!extended) // classic answers only: exactly what the classic reader takes, bounded
        assert(bounded.numbers == below.mid(0, kMaxListed) &&
               bounded.notKept == qMax<qsizetype>(0, below.size() - kMaxListed) &&
               bounded.beyondCount == all.size() - below.size() + (zero ? 1 : 0));
    for (const QString &n : bounded.numbers)
        assert(kNumber.match(n).hasMatch() && (!count || n.toULongLong() <= *count) &&
               bounded.numbers.count(n) == 1);

    // The limit on hits, with each response's numbers as one folder's, answered in a scrambled
    // order: each folder keeps what the folders before it in the list leave room for, never more
    // than it was told to fetch, and at most the limit in all.
    QList<qsizetype> found;
    for (const QByteArrayList &response : std::as_const(framed))
        found.append(parseSearchResponse(response).size());
    const qsizetype limit = 1 + qsizetype(quint32(qHash(bytes)) % (numbers.size() + 2));
    search::HitCap cap(limit);
    QList<qsizetype> order(found.size()), fetched(found.size(), -1);
    std::iota(order.begin(), order.end(), 0);
    for (qsizetype i = order.size() - 1; i > 0; --i)
        std::swap(order[i], order[qsizetype(quint32(qHash(bytes, uint(i))) % (i + 1))]);
    QList<search::HitCap::Share> shares;
    for (qsizetype f : std::as_const(order)) {
        if (!cap.worthSearching(f))
            continue; // stays unsearched: holds nothing
        fetched[f] = cap.answer(f, found[f]);
        shares += cap.takeSettled();
    }
    cap.closeBelow(found.size());
    shares += cap.takeSettled();
    assert(shares.size() == found.size());
    qsizetype before = 0, kept = 0;
    for (qsizetype f = 0; f < shares.size(); ++f) {
        const qsizetype share = fetched[f] < 0 ? 0 : found[f];
        assert(shares[f].folder == f && shares[f].found == share &&
               shares[f].kept == qMin(share, qMax<qsizetype>(0, limit - before)) &&
               shares[f].kept <= qMax<qsizetype>(0, fetched[f]) && fetched[f] <= found[f]);
        assert(fetched[f] >= 0 || before > limit); // skipped only past the limit
        before += share;
        kept += shares[f].kept;
    }
    assert(kept <= limit && cap.passed() == (before > limit));

    // FETCH: a header block of the first lines' text comes back as the header decoders read it.
    QByteArray field[3];
    for (int i = 0; i < 3 && i < lines.size(); ++i)
        field[i] = QByteArray(lines[i]).replace('\r', ' ').replace('\n', ' ').trimmed();
    const QByteArray block =
        "Date: " + field[0] + "\r\nFrom: " + field[1] + "\r\nSubject: " + field[2] + "\r\n\r\n";
    const char *item = control & 8 ? "RFC822.HEADER" : "BODY[HEADER.FIELDS (Date From Subject)]<0>";
    const quint32 seq = control << 24 | (control + 1);
    const QList<FetchedHeader> one = parseFetchedHeaders(
        {"* " + QByteArray::number(seq) + " FETCH (UID 7 FLAGS (\\Seen) " + item + " {" +
             QByteArray::number(block.size()) + "}\r\n" + block + " RFC822.SIZE 1234)",
         "1 OK done"});
    assert(one.size() == 1 && one[0].seq == seq && one[0].hasDate && one[0].hasFrom &&
           one[0].hasSubject && one[0].date == decodeUtf8OrLatin1(field[0]) &&
           one[0].from == decodeHeaderText(field[1]) &&
           one[0].subject == decodeHeaderText(field[2]));
    // Any bytes of a body section come back as they were sent, with the message's UID.
    const auto raw = readFetchLine("* 3 FETCH (BODY[] {" + QByteArray::number(bytes.size()) +
                                   "}\r\n" + bytes + " UID 9)");
    assert(raw && raw->seq == 3 && raw->uid == 9u && raw->sections.size() == 1 &&
           raw->lastSection("body[]") == &raw->sections[0] &&
           raw->sections[0].value.value == bytes);
    for (const FetchedHeader &m : parseFetchedHeaders(lines))
        assert(m.seq && (m.hasFrom || m.from.isEmpty()) && (m.hasSubject || m.subject.isEmpty()) &&
               (m.hasDate || m.date.isEmpty()));
    return 0;
}
