#pragma once

#include "imap/serveraddress.h"
#include "imap/session.h"

#include <QByteArray>
#include <QObject>
#include <QString>

namespace message {

// Which message a grid row stands for, and what the row shows of it.
struct MessageRef
{
    QByteArray mailbox; // the folder's name as the server lists it
    quint32 seq = 0;    // the message number the search found
    // As the row shows them: From and Subject decoded, the Date field's text as received. A
    // field the message lacks is empty.
    QString from;
    QString subject;
    QString dateHeader;
};

// Fetches one message found by a search, on a connection of its own, without changing anything
// on the server: the folder is opened read-only and only BODY.PEEK is asked for, so the message
// is not marked read.
//
//   1 LOGIN ...                                                 (imap::Session)
//   1 EXAMINE <mailbox>
//   1 FETCH <seq> (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])
//   1 UID FETCH <uid> BODY.PEEK[]
//   1 LOGOUT
//
// The message numbers of a folder change when other messages are removed, so the number the
// search found may now stand for another message. The Date, From and Subject the server gives
// for it are compared with the row's (decoded as the grid decodes them); only when all three are
// the same is the message fetched, by its UID, which no longer changes. Otherwise the job fails
// with kChangedText and nothing of the other message is delivered.
//
// Like the search engine, the job asks through securityQuestion() when the connection stops at
// something only the user can decide, and waits for resume() or cancel().
class MessageFetchJob : public QObject
{
    Q_OBJECT
public:
    static const QString kChangedText;

    explicit MessageFetchJob(QObject *parent = nullptr);
    // A job still running ends its connection at once (see imap::Session::shutdown()).
    ~MessageFetchJob() override;

    // For tests: time-outs and limits of the connection.
    imap::Session &session() { return m_session; }
    void setServerTrust(platform::ServerTrust *trust)
    {
        m_session.connection().setServerTrust(trust);
    }
    // The message's bytes are left out of the log: it shows their size.
    void setConnectionLog(platform::ConnectionLog *log)
    {
        m_session.connection().setConnectionLog(log);
    }

    // Starts the fetch. Once per job.
    void start(const imap::Account &account, const MessageRef &ref);

    bool isRunning() const { return m_state != State::Idle && m_state != State::Done; }
    // After securityQuestion(): connect again, or fail with the connection's reason.
    void resume();
    void cancel();

signals:
    // What the job is doing, for a status line: "Connecting…", "Logging in…", "Fetching the
    // message…", "Downloading the message…".
    void progress(const QString &text);
    // The message exactly as the server sent it. The job then logs out.
    void fetched(const QByteArray &raw);
    // The text to show: kChangedText, or "Error: " and the reason.
    void failed(const QString &text);
    // The conversation is over (after fetched() or failed()); always the last signal.
    void finished();
    // Emitted only when something is connected to it; otherwise the job fails with the reason.
    void securityQuestion(const imap::SecurityProblem &problem);

private:
    enum class State { Idle, Opening, Checking, Downloading, LoggingOut, Done };

    void onLoggedIn();
    void onExamined(const imap::Response &response);
    void onHeaders(const imap::Response &response);
    void onBody(const imap::Response &response);
    void onSessionFailed(const QString &reason);
    void onLoggedOut();
    void onBytesReceived(qint64 count);
    // Logs out, then reports `text` through failed() (empty: nothing to report).
    void endWith(const QString &text);

    imap::Session m_session;
    imap::Account m_account;
    QString m_asking; // the reason, while a question waits for its answer
    MessageRef m_ref;
    State m_state = State::Idle;
    quint32 m_uid = 0;
    qint64 m_downloaded = 0; // bytes received since the message was asked for
    qint64 m_shown = 0;      // what the last progress line said
    QString m_failure;
};

} // namespace message
