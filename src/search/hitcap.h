#pragma once

#include <QList>

#include <map>
#include <utility>

namespace search {

// Which hits a run keeps when it may keep at most `limit`: the first `limit` in folder-list
// order, and within a folder in the order of its SEARCH answer, however the answers of folders
// searched on several connections interleave. Folders are known by their place in the folder
// list (0, 1, 2, ...).
//
// A folder's share is settled once every folder before it has answered; until then only an upper
// bound is known (what the answered folders before it leave room for), and that bound is all a
// caller needs to fetch. With folders answered in list order the bound is the share itself.
class HitCap
{
public:
    explicit HitCap(qsizetype limit = 1) { reset(limit); }
    void reset(qsizetype limit);

    // The folder answered with `found` hits (a folder that cannot be searched answers with none).
    // Returns how many of its first hits may still be kept: hits beyond that never will be.
    qsizetype answer(qsizetype folder, qsizetype found);
    // The folders below `count` that have not answered hold no hits: they will not be searched.
    void closeBelow(qsizetype count);

    struct Share
    {
        qsizetype folder = 0;
        qsizetype found = 0;
        qsizetype kept = 0; // the first `kept` of the folder's hits are kept, the rest are not
    };
    // The shares settled since the last call, in folder-list order.
    QList<Share> takeSettled() { return std::exchange(m_settled, {}); }

    // Whether a folder not searched yet could still keep a hit, or tell that the limit is passed:
    // false once the hits found in the folders before it exceed the limit.
    bool worthSearching(qsizetype folder) const { return foundBefore(folder) <= m_limit; }
    // More hits were found than may be kept.
    bool passed() const { return m_found > m_limit; }
    qsizetype limit() const { return m_limit; }

private:
    qsizetype foundBefore(qsizetype folder) const;
    void settle();

    qsizetype m_limit = 1;
    qsizetype m_found = 0;                    // in every folder that answered
    qsizetype m_next = 0;                     // the first folder not settled
    qsizetype m_settledFound = 0;             // in the settled folders
    qsizetype m_kept = 0;                     // of those, kept
    std::map<qsizetype, qsizetype> m_waiting; // hits of folders answered behind m_next
    QList<Share> m_settled;
};

} // namespace search
