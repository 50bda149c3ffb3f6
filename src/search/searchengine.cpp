#include "search/searchengine.h"

#include "imap/fetchparser.h"
#include "imap/headerdate.h"
#include "imap/listparser.h"
#include "imap/searchparser.h"
#include "imap/session.h"
#include "search/searchkey.h"

#include <QHash>
#include <QMetaMethod>
#include <QTimeZone>

#include <memory>

namespace search {

struct SearchEngine::Folder
{
    QByteArray serverName;
    QString displayPath;
    qsizetype order = 0; // place in the folder list
    int batchesLeft = 0; // FETCH batches not yet answered
    qsizetype kept = -1; // hits kept, once the folders before it have answered
    qsizetype reported = 0;
    // FETCH batches answered before the folder's share was settled, with which rows were read.
    QList<std::pair<QList<Hit>, QList<bool>>> held;

    // With the extended conversation the hits of the one "FETCH $" arrive line by line: they
    // are filled in here and handed on a batch at a time, in the order of the SEARCH answer.
    imap::Response examined;
    bool discarded = false; // EXAMINE or SEARCH refused: what comes for it is not this folder's
    QList<Hit> rows;
    QList<bool> read;
    QHash<quint32, qsizetype> rowOf;
    QList<int> readInBatch; // rows read so far in each batch of kFetchBatch
    qsizetype batchesHandedOn = 0;
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
    bool extended = false;     // keeps a window of folders in flight (the server has SEARCHRES)
    qsizetype searching = -1;  // the folder whose classic SEARCH is unanswered
    QList<qsizetype> inFlight; // folders taken and not finished
};

namespace {

// Folders in flight on a connection with the extended conversation, at most. After Stop at most
// this many finish on each connection; on a distant server a connection costs about one round
// trip for each this many folders. With fewer folders each connection takes its share, so that
// the server searches them side by side on all connections.
constexpr qsizetype kWindow = 16;

const QByteArray kHeaderFields = " BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]";

// The server kept no result for "$" (RFC 5182).
bool notSaved(const imap::Response &response)
{
    return response.status() == imap::Response::Status::No &&
           response.lastLine().toUpper().contains("[NOTSAVED]");
}

// Fills in the rows whose messages the answers name (rowOf: message number to row) with their
// Date, From and Subject, the dates in the zone `local`; read tells which rows have been.
// Returns the rows read for the first time.
QList<qsizetype> readHeaders(const QList<imap::FetchedHeader> &headers,
                             const QHash<quint32, qsizetype> &rowOf, QList<Hit> &rows,
                             QList<bool> &read, const QTimeZone &local)
{
    QList<qsizetype> first;
    for (const imap::FetchedHeader &msg : headers) {
        const auto it = rowOf.constFind(msg.seq);
        if (it == rowOf.constEnd())
            continue;
        Hit &row = rows[*it];
        if (!read[*it])
            first.append(*it);
        read[*it] = true;
        if (msg.hasFrom)
            row.from = msg.from;
        if (msg.hasSubject)
            row.subject = msg.subject;
        if (msg.hasDate) {
            row.dateHeader = msg.date;
            row.date = imap::headerDateToLocal(msg.date, local);
        }
    }
    return first;
}

// "2,5,9": the sequence numbers of one FETCH batch.
QByteArray sequenceSet(const QList<Hit> &rows)
{
    QByteArray set;
    for (const Hit &row : rows) {
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
    m_savedKey = withResultSaved(request.key);
    m_scope.clear();
    m_queue.clear();
    m_cap.reset(request.maxHits);
    m_roundTrips.clear();
    m_summary = {};
    // Looked up once a run: the extended conversation reads its hits a line at a time.
    m_localZone = QTimeZone::systemTimeZone();
    m_done = 0;
    m_nextWorker = 0;
    m_running = true;
    m_stopping = false;
    m_leftByCap = false;
    m_listed = false;
    m_loggingOutAnnounced = false;
    m_asking = nullptr;
    Worker *first = addWorker(true);
    emit stepChanged(imap::SessionStep::Connecting);
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
    connection.setExtensionsAllowed(m_request.extensions);
    w->session->setAskCapabilitiesAfterLogin(m_request.extensions);
    connection.setServerTrust(m_trust);
    connection.setConnectionLog(m_log);
    if (!m_extraCas.isEmpty())
        connection.addTrustedCaCertificates(m_extraCas);
    connect(w->session, &imap::Session::loggingIn, this, [this, w] {
        w->loginSent = true;
        if (w->primary)
            emit stepChanged(imap::SessionStep::LoggingIn);
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
    w->extended = m_request.extensions && w->session->connection().capabilities().has("SEARCHRES");
    if (!w->primary) {
        settle();
        return;
    }
    emit loggedIn();
    emit stepChanged(imap::SessionStep::ListingFolders);
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
        Folder folder;
        folder.serverName = row.serverName;
        folder.displayPath = row.displayPath;
        folder.order = m_scope.size();
        m_scope.append(std::move(folder));
    }
    m_listed = true;
    m_window = qBound<qsizetype>(
        1, (m_scope.size() + m_request.connections - 1) / m_request.connections, kWindow);
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

void SearchEngine::dropFoldersPastCap()
{
    // The queue is in folder-list order, so no folder behind its first one is worth more.
    if (!m_queue.empty() && !m_cap.worthSearching(*m_queue.begin())) {
        m_queue.clear();
        m_leftByCap = true;
    }
}

void SearchEngine::feed(Worker *w)
{
    dropFoldersPastCap();
    // A connection still on probation takes one folder at a time.
    const qsizetype window = w->confirmed ? m_window : 1;
    while (!m_stopping && m_summary.reason.isEmpty() && !m_queue.empty() && w->loggedIn &&
           !w->loggingOut && !w->retired &&
           (w->extended ? w->inFlight.size() < window : w->searching < 0)) {
        const qsizetype f = *m_queue.begin();
        m_queue.erase(m_queue.begin());
        w->inFlight.append(f);
        ++m_summary.folders;
        emit scanning(m_scope.at(f).displayPath);
        if (w->extended)
            searchSaved(w, f);
        else
            searchClassic(w, f);
    }
}

void SearchEngine::confirm(Worker *w)
{
    if (!w->confirmed) {
        w->confirmed = true;
        settle();
    }
}

void SearchEngine::searchClassic(Worker *w, qsizetype f)
{
    w->searching = f;
    // EXAMINE and SEARCH go out together. A server that refuses the EXAMINE leaves no mailbox
    // selected, so the SEARCH fails too.
    auto examined = std::make_shared<imap::Response>();
    imap::Connection &connection = w->session->connection();
    connection.send(imap::CommandBuilder("1 EXAMINE ").string(m_scope.at(f).serverName).finish(),
                    [this, w, examined](const imap::Response &r) {
                        *examined = r;
                        confirm(w);
                    });
    connection.send(
        m_request.key,
        [this, w, f, examined](const imap::Response &r) { onSearched(w, f, *examined, r); },
        imap::Connection::Wait::Search);
}

void SearchEngine::searchSaved(Worker *w, qsizetype f)
{
    // EXAMINE, SEARCH keeping its result as "$", and FETCH of "$" go out together, behind the
    // folders still in flight. A server that refuses the EXAMINE may keep another folder
    // selected: then whatever the other two bring is not this folder's and is dropped.
    Folder &folder = m_scope[f];
    folder.examined = {};
    folder.discarded = false;
    imap::Connection &connection = w->session->connection();
    connection.send(imap::CommandBuilder("1 EXAMINE ").string(folder.serverName).finish(),
                    [this, w, f](const imap::Response &r) {
                        m_scope[f].examined = r;
                        confirm(w);
                    });
    connection.send(
        m_savedKey, [this, f](const imap::Response &r) { onSavedSearch(f, r); },
        imap::Connection::Wait::Search);
    connection.send(
        imap::CommandBuilder("1 FETCH $").raw(kHeaderFields).finish(),
        [this, w, f](const imap::Response &r) { onSavedFetched(w, f, r); },
        imap::Connection::Wait::Search,
        [this, f](const QByteArray &line) { onSavedLine(f, line); });
}

QList<Hit> SearchEngine::hitsToFetch(qsizetype f, const imap::FolderHits &found)
{
    m_summary.hits += found.beyondCount;
    m_summary.unreadMessages += found.beyondCount;
    // Only the hits that can still be among those kept are fetched.
    const qsizetype keep =
        qMin(m_cap.answer(f, found.numbers.size() + found.notKept), found.numbers.size());
    const Folder &folder = m_scope.at(f);
    QList<Hit> rows;
    rows.reserve(keep);
    for (qsizetype i = 0; i < keep; ++i) {
        Hit hit;
        hit.folder = folder.displayPath;
        hit.mailbox = folder.serverName;
        hit.number = found.numbers.at(i).toUInt();
        hit.folderOrder = f;
        rows.append(hit);
    }
    return rows;
}

void SearchEngine::onSavedSearch(qsizetype f, const imap::Response &search)
{
    Folder &folder = m_scope[f];
    imap::FolderHits found;
    if (folder.examined.status() != imap::Response::Status::Ok ||
        search.status() != imap::Response::Status::Ok) {
        folder.discarded = true;
        ++m_summary.refusedFolders;
    } else {
        found = imap::parseFolderSearch(folder.examined.lines, search.lines, m_cap.limit());
    }
    folder.examined = {};
    folder.rows = hitsToFetch(f, found);
    folder.read = QList<bool>(folder.rows.size(), false);
    folder.rowOf.clear();
    folder.rowOf.reserve(folder.rows.size());
    for (qsizetype i = 0; i < folder.rows.size(); ++i)
        folder.rowOf.insert(folder.rows.at(i).number, i);
    folder.readInBatch = QList<int>((folder.rows.size() + kFetchBatch - 1) / kFetchBatch, 0);
    folder.batchesHandedOn = 0;
    reportSettled();
}

void SearchEngine::onSavedLine(qsizetype f, const QByteArray &line)
{
    Folder &folder = m_scope[f];
    if (folder.discarded || folder.rows.isEmpty())
        return;
    const std::optional<imap::FetchedItems> items = imap::readFetchLine(line);
    if (const auto header = items ? imap::fetchedHeader(*items) : std::nullopt) {
        for (qsizetype row :
             readHeaders({*header}, folder.rowOf, folder.rows, folder.read, m_localZone))
            ++folder.readInBatch[row / kFetchBatch];
    }
    handOnBatches(f, false);
}

void SearchEngine::handOnBatches(qsizetype f, bool all)
{
    // Batches go in order, each once all its rows are read (or, at the end, as they are).
    Folder &folder = m_scope[f];
    while (folder.batchesHandedOn * kFetchBatch < folder.rows.size()) {
        const qsizetype first = folder.batchesHandedOn * kFetchBatch;
        const qsizetype count = qMin(kFetchBatch, folder.rows.size() - first);
        if (!all && folder.readInBatch.at(folder.batchesHandedOn) < count)
            return;
        ++folder.batchesHandedOn;
        handOn(f, folder.rows.mid(first, count), folder.read.mid(first, count));
    }
}

void SearchEngine::onSavedFetched(Worker *w, qsizetype f, const imap::Response &response)
{
    Folder &folder = m_scope[f];
    QList<Hit> rest;
    if (!folder.discarded) {
        if (notSaved(response)) // the hits not handed on go by their numbers instead
            rest = folder.rows.mid(folder.batchesHandedOn * kFetchBatch);
        else
            handOnBatches(f, true);
    }
    folder.rows.clear();
    folder.read.clear();
    folder.rowOf.clear();
    folder.readInBatch.clear();
    if (rest.isEmpty()) {
        folderDone(w, f);
        settle();
        return;
    }
    // Another folder may be selected by now.
    w->session->connection().send(
        imap::CommandBuilder("1 EXAMINE ").string(folder.serverName).finish(),
        [](const imap::Response &) {});
    fetchInBatches(w, f, rest);
}

void SearchEngine::onSearched(Worker *w, qsizetype f, const imap::Response &examine,
                              const imap::Response &search)
{
    w->searching = -1;
    imap::FolderHits found;
    if (examine.status() != imap::Response::Status::Ok ||
        search.status() != imap::Response::Status::Ok)
        ++m_summary.refusedFolders; // whatever a refused search listed is not this folder's
    else
        found = imap::parseFolderSearch(examine.lines, search.lines, m_cap.limit());
    // The hits' headers in batches, sent together with the next folder's EXAMINE and SEARCH.
    fetchInBatches(w, f, hitsToFetch(f, found));
    reportSettled();
    settle();
}

void SearchEngine::fetchInBatches(Worker *w, qsizetype f, const QList<Hit> &hits)
{
    Folder &folder = m_scope[f];
    imap::Connection &connection = w->session->connection();
    for (qsizetype first = 0; first < hits.size(); first += kFetchBatch) {
        const QList<Hit> rows = hits.mid(first, kFetchBatch);
        const imap::Command fetch =
            imap::CommandBuilder("1 FETCH ").raw(sequenceSet(rows)).raw(kHeaderFields).finish();
        ++folder.batchesLeft;
        connection.send(fetch,
                        [this, w, f, rows](const imap::Response &r) { onFetched(w, f, rows, r); });
    }
    if (folder.batchesLeft == 0)
        folderDone(w, f);
}

void SearchEngine::onFetched(Worker *w, qsizetype f, QList<Hit> rows,
                             const imap::Response &response)
{
    // Match the answers to this batch's rows by sequence number.
    QHash<quint32, qsizetype> rowOf;
    rowOf.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i)
        rowOf.insert(rows.at(i).number, i);
    QList<bool> read(rows.size(), false);
    readHeaders(imap::parseFetchedHeaders(response.lines), rowOf, rows, read, m_localZone);
    handOn(f, std::move(rows), std::move(read));
    if (--m_scope[f].batchesLeft == 0)
        folderDone(w, f);
    settle();
}

void SearchEngine::handOn(qsizetype f, QList<Hit> rows, QList<bool> read)
{
    // Held until the folders before it have answered and its share of the hits is known.
    if (m_scope[f].kept < 0)
        m_scope[f].held.append({std::move(rows), std::move(read)});
    else
        report(f, std::move(rows), std::move(read));
}

void SearchEngine::report(qsizetype f, QList<Hit> rows, QList<bool> read)
{
    Folder &folder = m_scope[f];
    const qsizetype room = folder.kept - folder.reported;
    if (rows.size() > room) {
        rows.resize(qMax<qsizetype>(0, room));
        read.resize(rows.size());
    }
    if (rows.isEmpty())
        return;
    folder.reported += rows.size();
    m_summary.unreadMessages += read.count(false);
    m_summary.hits += rows.size();
    emit hitsFound(rows);
}

void SearchEngine::reportSettled()
{
    for (const HitCap::Share &share : m_cap.takeSettled()) {
        Folder &folder = m_scope[share.folder];
        folder.kept = share.kept;
        m_summary.hits += share.found - share.kept;
        for (auto &[rows, read] : std::exchange(folder.held, {}))
            report(share.folder, rows, read);
    }
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
    dropFoldersPastCap();
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
            emit stepChanged(imap::SessionStep::LoggingOut);
        }
    }
    w->session->logout();
}

void SearchEngine::onFailed(Worker *w, const QString &reason)
{
    if (w->retired || !m_running)
        return;
    if (w->primary && !m_stopping && ask(w, reason))
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
    // Folders not searched (stopped, past the limit, lost with a connection) hold no hits: those
    // behind them are reported now.
    m_cap.closeBelow(m_scope.size());
    reportSettled();
    if (m_cap.passed())
        m_summary.cappedAt = m_cap.limit();
    if (!m_summary.reason.isEmpty())
        m_summary.outcome = Outcome::Failed;
    else if (m_stopping || m_leftByCap)
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

bool SearchEngine::ask(Worker *w, const QString &reason)
{
    const imap::SecurityProblem &problem = w->session->connection().securityProblem();
    if (problem.kind == imap::SecurityProblem::Kind::None ||
        !isSignalConnected(QMetaMethod::fromSignal(&SearchEngine::securityQuestion)))
        return false;
    m_asking = w;
    m_askingReason = reason;
    // From the event loop: whoever answers at once reconnects from a clean stack.
    QMetaObject::invokeMethod(
        this,
        [this, problem] {
            if (m_asking)
                emit securityQuestion(problem);
        },
        Qt::QueuedConnection);
    return true;
}

void SearchEngine::resume()
{
    if (!m_asking)
        return;
    Worker *w = std::exchange(m_asking, nullptr);
    emit stepChanged(imap::SessionStep::Connecting);
    w->session->open(m_request.account);
}

void SearchEngine::cancel()
{
    if (!m_asking)
        return;
    if (m_summary.reason.isEmpty())
        m_summary.reason = m_askingReason;
    retire(std::exchange(m_asking, nullptr));
}

void SearchEngine::stop()
{
    if (!m_running || m_stopping)
        return;
    m_stopping = true;
    if (m_asking) {
        retire(std::exchange(m_asking, nullptr));
        return;
    }
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
    m_asking = nullptr;
    m_running = false;
}

} // namespace search
