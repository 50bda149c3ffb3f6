#pragma once

#include "imap/account.h"
#include "imap/command.h"
#include "imap/connection.h"
#include "imap/securityproblem.h"
#include "imap/serveraddress.h"
#include "results/hit.h"
#include "search/folderscope.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <set>

namespace imap {
class Session;
struct Response;
} // namespace imap
namespace platform {
class ServerTrust;
}

namespace search {

// What one search needs: where, who, which folders and the key.
struct SearchRequest
{
    imap::Account account;
    FolderScope scope;
    imap::Command key;   // the complete tagged SEARCH command
    int connections = 4; // at most this many connections share the folders
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
// When the first connection stops at something only the user can decide (a certificate that
// does not verify, a server that offers no encryption: imap::SecurityProblem), the run asks
// through securityQuestion() and waits, with nothing open and no time-out running, for resume()
// (connect again, after the user trusted the certificate or allowed the password unencrypted)
// or cancel(). Extra connections are only opened once the first has logged in: one that meets
// such a problem all the same is dropped like one refused.
//
// Hits arrive a FETCH batch at a time with the folder's place in the folder list, so that
// whoever shows them can keep folder-list order however the connections interleave.
class SearchEngine : public QObject
{
    Q_OBJECT
public:
    enum class Step { Connecting, LoggingIn, ListingFolders, LoggingOut };
    enum class Outcome { Complete, Stopped, Failed };
    struct Summary
    {
        Outcome outcome = Outcome::Complete;
        qsizetype hits = 0;
        qsizetype folders = 0;        // folders examined
        qsizetype refusedFolders = 0; // EXAMINE or SEARCH refused
        qsizetype unreadMessages = 0; // hits whose headers did not arrive
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
    void stepChanged(search::SearchEngine::Step step);
    // The first connection's login was accepted.
    void loggedIn();
    // The folder list is in: how many folders the run will search.
    void foldersInScope(int count);
    // A folder's EXAMINE and SEARCH went out.
    void scanning(const QString &displayPath);
    // Folders finished out of the folders in scope.
    void progress(int done, int total);
    // One FETCH batch of a folder, in the order of the folder's SEARCH answer.
    void hitsFound(const QList<results::Hit> &hits);
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
    void onSearched(Worker *w, qsizetype folder, const imap::Response &examine,
                    const imap::Response &search);
    void onFetched(Worker *w, qsizetype folder, QList<results::Hit> rows,
                   const imap::Response &response);
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
    Worker *m_asking = nullptr; // waiting for the answer to its question
    QString m_askingReason;
    SearchRequest m_request;
    QList<Worker *> m_workers;
    QList<Folder> m_scope;       // the folders in scope, in folder-list order
    std::set<qsizetype> m_queue; // folders not yet taken, by place in m_scope
    QList<int> m_roundTrips;
    Summary m_summary;
    int m_done = 0;
    int m_nextWorker = 0;
    bool m_running = false;
    bool m_stopping = false;
    bool m_listed = false;
    bool m_loggingOutAnnounced = false;
};

} // namespace search
