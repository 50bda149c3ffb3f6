#pragma once

#include "imap/account.h"
#include "imap/command.h"
#include "imap/connection.h"
#include "imap/securityproblem.h"
#include "imap/serveraddress.h"
#include "imap/sessionstep.h"
#include "search/folderscope.h"
#include "search/hit.h"
#include "search/hitcap.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QTimeZone>

#include <set>

namespace imap {
class Session;
struct FolderHits;
struct Response;
} // namespace imap
namespace platform {
class ConnectionLog;
class ServerTrust;
} // namespace platform

namespace search {

// What one search needs: where, who, which folders and the key.
struct SearchRequest
{
    imap::Account account;
    FolderScope scope;
    imap::Command key;             // the complete tagged SEARCH command
    int connections = 4;           // at most this many connections share the folders
    qsizetype maxHits = 1'000'000; // at most this many hits are kept
    // Whether extensions the server offers may be used (SEARCHRES, non-synchronizing
    // literals). Off, every server gets the classic conversation.
    bool extensions = true;
};

// Runs one search and reports through signals; it knows no window.
//
// The first connection logs in and lists the folders; the folders in scope then go to up to
// `connections` connections, each taking the next folder of one shared queue (in folder-list
// order) whenever it is free. On each connection a folder costs one round trip: as soon as its
// SEARCH answer is in, its FETCH batches go out together with the next folder's EXAMINE and
// SEARCH. An extra connection that fails before it has been answered on a folder (refused, a
// BYE greeting, LOGIN refused, closed right after login) is dropped and its folder goes back
// to the queue; a connection that fails later ends the run.
//
// A server that offers SEARCHRES (RFC 5182; after login, as many name it only then) gets the
// extended conversation instead, which does not wait for any answer between folders: each
// connection keeps a window of folders in flight, each folder as
//   1 EXAMINE <folder>
//   1 SEARCH RETURN (SAVE ALL) <the same criteria>
//   1 FETCH $ BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]
// and the next folders go out as earlier ones finish. The ALL result gives the numbers the
// message-count bound, the limit on hits and the count of unread hits need; the FETCH answer is
// read line by line and its rows handed on in the batches the classic conversation would give.
// A folder whose EXAMINE is refused counts as refused and its other answers are dropped
// whatever they say (the server may still have another folder selected); "NO [NOTSAVED]" for the
// FETCH sends the folder's hits by their numbers instead. Rows, their order, counts and texts are
// the same either way; SearchRequest::extensions off gives every server the classic one.
//
// When the first connection stops at something only the user can decide (a certificate that
// does not verify, a server that offers no encryption: imap::SecurityProblem), the run asks
// through securityQuestion() and waits, with nothing open and no time-out running, for resume()
// (connect again, after the user trusted the certificate or allowed the password unencrypted)
// or cancel(). Extra connections are only opened once the first has logged in: one that meets
// such a problem all the same is dropped like one refused.
//
// Hits arrive a FETCH batch at a time with the folder's place in the folder list, so that
// whoever shows them can keep folder-list order however the connections interleave.
//
// What a server answers costs bounded memory and time. A SEARCH number above the folder's
// message count (imap::parseFolderSearch) is no message: it is not fetched, and counts as a hit
// that could not be read. A run keeps the first `maxHits` hits in folder-list order: once the
// hits found in the folders before the next one exceed it, no folder is taken any more (as after
// stop()), and hits past it are neither fetched nor reported. A folder answered on one connection
// while a folder before it is still searched on another fetches only what the hits known before
// it leave room for, and reports its hits once those before it are known; whatever that earlier
// folder's answer then leaves no room for is dropped, so a run holds at most about `maxHits` hits
// per connection on their way in.
class SearchEngine : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Complete, Stopped, Failed };
    struct Summary
    {
        Outcome outcome = Outcome::Complete;
        // Hits found: those reported, those dropped past the limit on hits and those above
        // their folder's message count.
        qsizetype hits = 0;
        qsizetype folders = 0;        // folders examined
        qsizetype refusedFolders = 0; // EXAMINE or SEARCH refused
        qsizetype unreadMessages = 0; // hits whose headers did not arrive
        qsizetype cappedAt = 0;       // the limit on hits when hits past it were dropped
        QString reason;               // why it failed
    };
    static constexpr qsizetype kFetchBatch = 500;

    explicit SearchEngine(QObject *parent = nullptr);
    ~SearchEngine() override;

    // For tests and benchmarks: applied to every connection the engine opens.
    void setTimeouts(const imap::Connection::Timeouts &timeouts) { m_timeouts = timeouts; }
    void addTrustedCaCertificates(const QList<QSslCertificate> &certificates);
    // Given to every connection the engine opens (see imap::Connection::setServerTrust).
    void setServerTrust(platform::ServerTrust *trust) { m_trust = trust; }
    // Given to every connection the engine opens (see imap::Connection::setConnectionLog).
    void setConnectionLog(platform::ConnectionLog *log) { m_log = log; }

    // Starts a run. Refused (returns false, no signal) while one is running.
    bool start(const SearchRequest &request);
    // Asks the run to stop: no folder is taken any more; the folders being searched are
    // finished (all their hits fetched and reported), then every connection logs out.
    void stop();
    bool isStopping() const { return m_stopping; }
    // After securityQuestion(): connect again, or end the run with the connection's reason.
    void resume();
    void cancel();
    // The program is going away: one LOGOUT on each open connection, sockets closed, no more
    // signals.
    void shutdown();
    bool isRunning() const { return m_running; }

    // Round trips of each connection of the last run, the first connection first.
    QList<int> roundTrips() const { return m_roundTrips; }

signals:
    void stepChanged(imap::SessionStep step);
    // The first connection's login was accepted.
    void loggedIn();
    // The folder list is in: how many folders the run will search.
    void foldersInScope(int count);
    // A folder's EXAMINE and SEARCH went out.
    void scanning(const QString &displayPath);
    // Folders finished out of the folders in scope.
    void progress(int done, int total);
    // One FETCH batch of a folder, in the order of the folder's SEARCH answer.
    void hitsFound(const QList<search::Hit> &hits);
    // A tagged response completed on any connection.
    void responseReceived();
    // Every chunk a connection wrote, with the connection's number (0 is the first).
    void wrote(int connection, const QByteArray &bytes);
    void finished(const search::SearchEngine::Summary &summary);
    // The run waits for resume() or cancel(). Emitted only when something is connected to it;
    // otherwise the run ends with the reason.
    void securityQuestion(const imap::SecurityProblem &problem);

private:
    struct Folder;
    struct Worker;

    Worker *addWorker(bool primary);
    void onLoggedIn(Worker *w);
    void onFailed(Worker *w, const QString &reason);
    void onListed(Worker *w, const imap::Response &response);
    void feed(Worker *w);
    void confirm(Worker *w);
    // The classic conversation: EXAMINE and SEARCH, then FETCH batches of the numbers found.
    void searchClassic(Worker *w, qsizetype folder);
    void onSearched(Worker *w, qsizetype folder, const imap::Response &examine,
                    const imap::Response &search);
    void fetchInBatches(Worker *w, qsizetype folder, const QList<Hit> &hits);
    void onFetched(Worker *w, qsizetype folder, QList<Hit> rows, const imap::Response &response);
    // The extended conversation: EXAMINE, SEARCH RETURN (SAVE ALL), FETCH $.
    void searchSaved(Worker *w, qsizetype folder);
    void onSavedSearch(qsizetype folder, const imap::Response &search);
    void onSavedLine(qsizetype folder, const QByteArray &line);
    void handOnBatches(qsizetype folder, bool all);
    void onSavedFetched(Worker *w, qsizetype folder, const imap::Response &response);
    // Counts what a folder's answer found and gives the rows of the hits to fetch.
    QList<Hit> hitsToFetch(qsizetype folder, const imap::FolderHits &found);
    void handOn(qsizetype folder, QList<Hit> rows, QList<bool> read);
    void report(qsizetype folder, QList<Hit> rows, QList<bool> read);
    void reportSettled();
    void dropFoldersPastCap();
    void folderDone(Worker *w, qsizetype folder);
    void settle();
    void logout(Worker *w);
    void retire(Worker *w);
    void failRun(const QString &reason);
    void finish();
    bool anyOnProbation() const;
    bool ask(Worker *w, const QString &reason);

    imap::Connection::Timeouts m_timeouts;
    QList<QSslCertificate> m_extraCas;
    platform::ServerTrust *m_trust = nullptr;
    platform::ConnectionLog *m_log = nullptr;
    Worker *m_asking = nullptr; // waiting for the answer to its question
    QString m_askingReason;
    SearchRequest m_request;
    imap::Command m_savedKey; // the key with RETURN (SAVE ALL)
    qsizetype m_window = 1;   // folders in flight on a connection with the extended conversation
    QList<Worker *> m_workers;
    QList<Folder> m_scope;       // the folders in scope, in folder-list order
    std::set<qsizetype> m_queue; // folders not yet taken, by place in m_scope
    HitCap m_cap;
    QList<int> m_roundTrips;
    Summary m_summary;
    QTimeZone m_localZone; // the dates of the hits are shown in it
    int m_done = 0;
    int m_nextWorker = 0;
    bool m_running = false;
    bool m_stopping = false;
    bool m_leftByCap = false; // folders were left unsearched because of the limit on hits
    bool m_listed = false;
    bool m_loggingOutAnnounced = false;
};

} // namespace search
