#include "search/searchengine.h"

#include "imap/fetchparser.h"
#include "imap/listparser.h"
#include "imap/searchparser.h"
#include "imap/session.h"
#include "search/dates.h"

#include <QHash>
#include <QTimeZone>

#include <memory>

namespace search {

struct SearchEngine::Folder
{
    QByteArray serverName;
    QString displayPath;
    qsizetype order = 0; // place in the folder list
    int batchesLeft = 0; // FETCH batches not yet answered
};

struct SearchEngine::Worker
{
    imap::Session *session = nullptr;
    int number = 0;
    bool primary = false;
    bool loginSent = false; // from here on its conversation ends with a LOGOUT
    bool loggedIn = false;
    bool confirmed = false; // answered on a folder: from here on its failure ends the run
    bool loggingOut = false;
    bool retired = false;
    qsizetype searching = -1;  // the folder whose SEARCH is unanswered
    QList<qsizetype> inFlight; // folders taken and not finished
};

namespace {
// "2,5,9": the sequence numbers of one FETCH batch.
QByteArray sequenceSet(const QList<results::Hit> &rows)
{
    QByteArray set;
    for (const results::Hit &row : rows) {
        if (!set.isEmpty())
            set += ',';
        set += QByteArray::number(row.number);
    }
    return set;
}
} // namespace

SearchEngine::SearchEngine(QObject *parent) : QObject(parent) {}

SearchEngine::~SearchEngine()
{
    shutdown();
}

void SearchEngine::addTrustedCaCertificates(const QList<QSslCertificate> &certificates)
{
    m_extraCas += certificates;
}

bool SearchEngine::start(const SearchRequest &request)
{
    if (m_running)
        return false;
    qDeleteAll(m_workers);
    m_workers.clear();
    m_request = request;
    m_request.connections = qMax(1, request.connections);
    m_scope.clear();
    m_queue.clear();
    m_roundTrips.clear();
    m_summary = {};
    m_done = 0;
    m_nextWorker = 0;
    m_running = true;
    m_stopping = false;
    m_listed = false;
    m_loggingOutAnnounced = false;
    Worker *first = addWorker(true);
    emit stepChanged(Step::Connecting);
    first->session->open(m_request.account);
    return true;
}

SearchEngine::Worker *SearchEngine::addWorker(bool primary)
{
    auto *w = new Worker;
    w->session = new imap::Session(this);
    w->number = m_nextWorker++;
    w->primary = primary;
    w->confirmed = primary;
    imap::Connection &connection = w->session->connection();
    connection.setTimeouts(m_timeouts);
    if (!m_extraCas.isEmpty())
        connection.addTrustedCaCertificates(m_extraCas);
    connect(w->session, &imap::Session::loggingIn, this, [this, w] {
        w->loginSent = true;
        if (w->primary)
            emit stepChanged(Step::LoggingIn);
    });
    connect(w->session, &imap::Session::loggedIn, this, [this, w] { onLoggedIn(w); });
    connect(w->session, &imap::Session::failed, this,
            [this, w](const QString &reason) { onFailed(w, reason); });
    connect(w->session, &imap::Session::loggedOut, this, [this, w] { retire(w); });
    connect(&connection, &imap::Connection::responseReceived, this,
            &SearchEngine::responseReceived);
    connect(&connection, &imap::Connection::wrote, this,
            [this, w](const QByteArray &bytes) { emit wrote(w->number, bytes); });
    m_workers.append(w);
    m_roundTrips.append(0);
    return w;
}

void SearchEngine::onLoggedIn(Worker *w)
{
    w->loggedIn = true;
    if (!w->primary) {
        settle();
        return;
    }
    emit loggedIn();
    emit stepChanged(Step::ListingFolders);
    w->session->connection().send(imap::CommandBuilder("1 LIST \"\" \"*\"").finish(),
                                  [this, w](const imap::Response &r) { onListed(w, r); });
}

void SearchEngine::onListed(Worker *w, const imap::Response &response)
{
    // Without the folder list there is nothing to search: a refusal must not read as a search
    // of no folders.
    if (response.status() != imap::Response::Status::Ok) {
        w->session->refuse(QStringLiteral("server refused the folder list"), response);
        return;
    }
    const imap::FolderTable folders = imap::parseListResponse(response.lines);
    for (const imap::FolderRow &row : folders) {
        if (!m_request.scope.contains(row.displayPath))
            continue;
        m_queue.insert(m_scope.size());
        m_scope.append(Folder{row.serverName, row.displayPath, m_scope.size(), 0});
    }
    m_listed = true;
    emit foldersInScope(int(m_scope.size()));
    if (!m_stopping) {
        const qsizetype extra = qMin<qsizetype>(m_request.connections, m_scope.size()) - 1;
        for (qsizetype i = 0; i < extra; ++i) {
            Worker *x = addWorker(false);
            x->session->open(m_request.account);
        }
    }
    settle();
}

void SearchEngine::feed(Worker *w)
{
    if (m_stopping || !m_summary.reason.isEmpty() || m_queue.empty() || w->searching >= 0 ||
        w->loggingOut || w->retired || !w->loggedIn)
        return;
    const qsizetype f = *m_queue.begin();
    m_queue.erase(m_queue.begin());
    w->searching = f;
    w->inFlight.append(f);
    ++m_summary.folders;
    const Folder &folder = m_scope.at(f);
    emit scanning(folder.displayPath);

    // EXAMINE and SEARCH go out together. A server that refuses the EXAMINE leaves no mailbox
    // selected, so the SEARCH fails too.
    auto examined = std::make_shared<imap::Response>();
    imap::Connection &connection = w->session->connection();
    connection.send(imap::CommandBuilder("1 EXAMINE ").string(folder.serverName).finish(),
                    [this, w, examined](const imap::Response &r) {
                        *examined = r;
                        if (!w->confirmed) {
                            w->confirmed = true;
                            settle();
                        }
                    });
    connection.send(
        m_request.key,
        [this, w, f, examined](const imap::Response &r) { onSearched(w, f, *examined, r); },
        imap::Connection::Wait::Search);
}

void SearchEngine::onSearched(Worker *w, qsizetype f, const imap::Response &examine,
                              const imap::Response &search)
{
    w->searching = -1;
    Folder &folder = m_scope[f];
    QStringList numbers;
    if (examine.status() != imap::Response::Status::Ok ||
        search.status() != imap::Response::Status::Ok)
        ++m_summary.refusedFolders; // whatever a refused search listed is not this folder's
    else
        numbers = imap::parseSearchResponse(search.lines);

    // The hits' headers in batches, sent together with the next folder's EXAMINE and SEARCH.
    imap::Connection &connection = w->session->connection();
    for (qsizetype first = 0; first < numbers.size(); first += kFetchBatch) {
        QList<results::Hit> rows;
        const qsizetype end = qMin(first + kFetchBatch, numbers.size());
        rows.reserve(end - first);
        for (qsizetype i = first; i < end; ++i) {
            results::Hit hit;
            hit.folder = folder.displayPath;
            hit.mailbox = folder.serverName;
            hit.number = numbers.at(i).toUInt();
            hit.folderOrder = f;
            rows.append(hit);
        }
        const imap::Command fetch = imap::CommandBuilder("1 FETCH ")
                                        .raw(sequenceSet(rows))
                                        .raw(" BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]")
                                        .finish();
        ++folder.batchesLeft;
        connection.send(fetch,
                        [this, w, f, rows](const imap::Response &r) { onFetched(w, f, rows, r); });
    }
    if (folder.batchesLeft == 0)
        folderDone(w, f);
    settle();
}

void SearchEngine::onFetched(Worker *w, qsizetype f, QList<results::Hit> rows,
                             const imap::Response &response)
{
    // Match the answers to this batch's rows by sequence number.
    QHash<quint32, qsizetype> rowOf;
    rowOf.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i)
        rowOf.insert(rows.at(i).number, i);
    QList<bool> read(rows.size(), false);
    const QTimeZone local = QTimeZone::systemTimeZone();
    for (const imap::FetchedMessage &msg : imap::parseFetchResponse(response.lines)) {
        const auto it = rowOf.constFind(msg.seq);
        if (it == rowOf.constEnd())
            continue;
        results::Hit &row = rows[*it];
        read[*it] = true;
        if (msg.hasFrom)
            row.from = msg.from;
        if (msg.hasSubject)
            row.subject = msg.subject;
        if (msg.hasDate) {
            row.dateHeader = msg.date;
            row.date = headerDateToLocal(msg.date, local);
        }
    }
    m_summary.unreadMessages += read.count(false);
    m_summary.hits += rows.size();
    emit hitsFound(rows);
    if (--m_scope[f].batchesLeft == 0)
        folderDone(w, f);
    settle();
}

void SearchEngine::folderDone(Worker *w, qsizetype f)
{
    w->inFlight.removeOne(f);
    ++m_done;
    emit progress(m_done, int(m_scope.size()));
}

bool SearchEngine::anyOnProbation() const
{
    for (const Worker *w : m_workers)
        if (!w->retired && !w->confirmed && !w->inFlight.isEmpty())
            return true;
    return false;
}

void SearchEngine::settle()
{
    if (!m_running || !m_listed)
        return;
    const bool ending = m_stopping || !m_summary.reason.isEmpty();
    for (Worker *w : std::as_const(m_workers)) {
        if (w->retired || w->loggingOut)
            continue;
        if (!w->loggedIn) {
            // An extra connection still on its way in is not needed any more when the run ends
            // or nothing is left to take. Once its LOGIN is out it logs in and out properly.
            if (!w->loginSent && (ending || (m_queue.empty() && !anyOnProbation()))) {
                w->session->close();
                retire(w);
            }
            continue;
        }
        feed(w);
        if (!w->inFlight.isEmpty())
            continue;
        // Idle. A connection on probation may still hand its folder back: someone must be
        // there to take it.
        if (!ending && (!m_queue.empty() || anyOnProbation()))
            continue;
        logout(w);
    }
}

void SearchEngine::logout(Worker *w)
{
    w->loggingOut = true;
    if (!m_loggingOutAnnounced) {
        bool allDone = true;
        for (const Worker *other : std::as_const(m_workers))
            allDone = allDone && (other->retired || other->loggingOut);
        if (allDone) {
            m_loggingOutAnnounced = true;
            emit stepChanged(Step::LoggingOut);
        }
    }
    w->session->logout();
}

void SearchEngine::onFailed(Worker *w, const QString &reason)
{
    if (w->retired || !m_running)
        return;
    if (!w->confirmed) {
        // However a server enforces its limit on connections: this one never got to work.
        // Its folder goes back to the queue and the others go on.
        for (qsizetype f : std::as_const(w->inFlight)) {
            m_queue.insert(f);
            --m_summary.folders;
        }
        w->inFlight.clear();
        w->searching = -1;
        retire(w);
        settle();
        return;
    }
    if (m_summary.reason.isEmpty())
        m_summary.reason = reason;
    retire(w);
    // The others log out behind what they have under way; their hits are kept.
    settle();
}

void SearchEngine::retire(Worker *w)
{
    if (w->retired)
        return;
    w->retired = true;
    m_roundTrips[w->number] = w->session->connection().roundTrips();
    for (const Worker *other : std::as_const(m_workers))
        if (!other->retired)
            return;
    finish();
}

void SearchEngine::finish()
{
    if (!m_running)
        return;
    m_running = false;
    if (!m_summary.reason.isEmpty())
        m_summary.outcome = Outcome::Failed;
    else if (m_stopping)
        m_summary.outcome = Outcome::Stopped;
    else
        m_summary.outcome = Outcome::Complete;
    for (Worker *w : std::as_const(m_workers)) {
        w->session->disconnect(this);
        w->session->connection().disconnect(this);
        w->session->deleteLater();
        w->session = nullptr;
    }
    // From the event loop, so that whoever is told may start the next run at once.
    QMetaObject::invokeMethod(
        this, [this, summary = m_summary] { emit finished(summary); }, Qt::QueuedConnection);
}

void SearchEngine::stop()
{
    if (!m_running || m_stopping)
        return;
    m_stopping = true;
    settle();
}

void SearchEngine::shutdown()
{
    for (Worker *w : std::as_const(m_workers)) {
        if (w->session) {
            w->session->disconnect(this);
            w->session->connection().disconnect(this);
            w->session->shutdown();
            delete w->session;
        }
    }
    qDeleteAll(m_workers);
    m_workers.clear();
    m_running = false;
}

} // namespace search
