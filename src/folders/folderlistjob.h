#pragma once

#include "imap/account.h"
#include "imap/connection.h"
#include "imap/foldertable.h"
#include "imap/securityproblem.h"
#include "imap/serveraddress.h"
#include "imap/sessionstep.h"

#include <QObject>
#include <QString>

namespace imap {
class Session;
}
namespace platform {
class ConnectionLog;
class ServerTrust;
} // namespace platform

namespace folders {

// The Browse conversation: log in, list the folders, and log out once the caller is done with
// the list (the session stays open while the user picks a folder). Reports through signals;
// knows no window. Like the search engine, it asks through securityQuestion() when the connection
// stops at something only the user can decide, and waits for resume() or cancel().
class FolderListJob : public QObject
{
    Q_OBJECT
public:
    explicit FolderListJob(QObject *parent = nullptr);
    ~FolderListJob() override;

    void setTimeouts(const imap::Connection::Timeouts &timeouts);
    void setServerTrust(platform::ServerTrust *trust) { m_trust = trust; }
    void setConnectionLog(platform::ConnectionLog *log) { m_log = log; }

    // Starts the conversation; refused (false, no signal) while one is running.
    bool start(const imap::Account &account);
    // After listed(): logs out. finished() follows, with the reason when the server dropped
    // the session in the meantime.
    void finish();
    // The program is going away: one LOGOUT when connected, socket closed, no more signals.
    void shutdown();
    bool isRunning() const { return m_session != nullptr; }
    // After securityQuestion(): connect again, or end with the connection's reason.
    void resume();
    void cancel();

signals:
    void stepChanged(imap::SessionStep step);
    // The login was accepted.
    void loggedIn();
    void listed(const imap::FolderTable &folders);
    // The end: reason is empty on success, otherwise why it failed.
    void finished(const QString &reason);
    void responseReceived();
    // Emitted only when something is connected to it; otherwise the job ends with the reason.
    void securityQuestion(const imap::SecurityProblem &problem);

private:
    void end(const QString &reason);
    void onFailed(const QString &reason);

    imap::Session *m_session = nullptr;
    imap::Connection::Timeouts m_timeouts;
    platform::ServerTrust *m_trust = nullptr;
    platform::ConnectionLog *m_log = nullptr;
    imap::Account m_account;
    QString m_asking; // the reason, while a question waits for its answer
    QString m_lost;   // why the session ended while the list was out
    bool m_listed = false;
};

} // namespace folders
