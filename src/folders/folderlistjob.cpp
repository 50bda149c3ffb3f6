#include "folders/folderlistjob.h"

#include "imap/listparser.h"
#include "imap/session.h"

#include <QMetaMethod>

namespace folders {

FolderListJob::FolderListJob(QObject *parent) : QObject(parent) {}

FolderListJob::~FolderListJob()
{
    shutdown();
}

void FolderListJob::setTimeouts(const imap::Connection::Timeouts &timeouts)
{
    m_timeouts = timeouts;
}

bool FolderListJob::start(const imap::Account &account)
{
    if (m_session)
        return false;
    m_lost.clear();
    m_asking.clear();
    m_listed = false;
    m_account = account;
    m_session = new imap::Session(this);
    m_session->connection().setTimeouts(m_timeouts);
    m_session->connection().setServerTrust(m_trust);
    m_session->connection().setConnectionLog(m_log);
    connect(m_session, &imap::Session::loggingIn, this,
            [this] { emit stepChanged(imap::SessionStep::LoggingIn); });
    connect(&m_session->connection(), &imap::Connection::responseReceived, this,
            &FolderListJob::responseReceived);
    connect(m_session, &imap::Session::failed, this, &FolderListJob::onFailed);
    connect(m_session, &imap::Session::loggedOut, this, [this] { end(m_lost); });
    connect(m_session, &imap::Session::loggedIn, this, [this] {
        emit loggedIn();
        emit stepChanged(imap::SessionStep::ListingFolders);
        m_session->connection().send(
            imap::CommandBuilder("1 LIST \"\" \"*\"").finish(), [this](const imap::Response &r) {
                // Without the folder list there is nothing to pick from.
                if (r.status() != imap::Response::Status::Ok) {
                    m_session->refuse(QStringLiteral("server refused the folder list"), r);
                    return;
                }
                m_listed = true;
                emit listed(imap::parseListResponse(r.lines));
            });
    });
    emit stepChanged(imap::SessionStep::Connecting);
    m_session->open(account);
    return true;
}

void FolderListJob::onFailed(const QString &reason)
{
    if (m_listed) {
        m_lost = reason; // told when the caller is done with the list
        return;
    }
    const imap::SecurityProblem &problem = m_session->connection().securityProblem();
    if (problem.kind == imap::SecurityProblem::Kind::None ||
        !isSignalConnected(QMetaMethod::fromSignal(&FolderListJob::securityQuestion))) {
        end(reason);
        return;
    }
    m_asking = reason;
    QMetaObject::invokeMethod(
        this,
        [this, problem] {
            if (!m_asking.isEmpty())
                emit securityQuestion(problem);
        },
        Qt::QueuedConnection);
}

void FolderListJob::resume()
{
    if (!m_session || m_asking.isEmpty())
        return;
    m_asking.clear();
    emit stepChanged(imap::SessionStep::Connecting);
    m_session->open(m_account);
}

void FolderListJob::cancel()
{
    if (!m_session || m_asking.isEmpty())
        return;
    end(std::exchange(m_asking, QString()));
}

void FolderListJob::finish()
{
    if (!m_session || !m_listed)
        return;
    if (!m_lost.isEmpty()) {
        end(m_lost);
        return;
    }
    emit stepChanged(imap::SessionStep::LoggingOut);
    m_session->logout();
}

void FolderListJob::end(const QString &reason)
{
    if (!m_session)
        return;
    m_session->disconnect(this);
    m_session->connection().disconnect(this);
    m_session->deleteLater();
    m_session = nullptr;
    emit finished(reason);
}

void FolderListJob::shutdown()
{
    if (!m_session)
        return;
    m_session->disconnect(this);
    m_session->connection().disconnect(this);
    m_session->shutdown();
    delete m_session;
    m_session = nullptr;
    m_asking.clear();
}

} // namespace folders
