#include "message/messagefetchjob.h"

#include "imap/command.h"
#include "imap/fetchparser.h"

#include <QLocale>
#include <QMetaMethod>

namespace message {

const QString MessageFetchJob::kChangedText =
    QStringLiteral("This message has changed on the server since the search. Search again.");

namespace {
const QString kErrorPrefix = QStringLiteral("Error: ");
} // namespace

MessageFetchJob::MessageFetchJob(QObject *parent) : QObject(parent)
{
    connect(&m_session, &imap::Session::loggingIn, this,
            [this] { emit progress(QStringLiteral("Logging in…")); });
    connect(&m_session, &imap::Session::loggedIn, this, &MessageFetchJob::onLoggedIn);
    connect(&m_session, &imap::Session::failed, this, &MessageFetchJob::onSessionFailed);
    connect(&m_session, &imap::Session::loggedOut, this, &MessageFetchJob::onLoggedOut);
    connect(&m_session.connection(), &imap::Connection::bytesReceived, this,
            &MessageFetchJob::onBytesReceived);
}

void MessageFetchJob::onBytesReceived(qint64 count)
{
    if (m_state != State::Downloading)
        return;
    m_downloaded += count;
    // A line per quarter megabyte is plenty for the eye.
    if (m_downloaded - m_shown < 256 * 1024)
        return;
    m_shown = m_downloaded;
    emit progress(QStringLiteral("Downloading the message… %1 received")
                      .arg(QLocale().formattedDataSize(m_downloaded)));
}

MessageFetchJob::~MessageFetchJob()
{
    if (isRunning())
        m_session.shutdown();
}

void MessageFetchJob::start(const imap::Account &account, const MessageRef &ref)
{
    if (m_state != State::Idle)
        return;
    m_ref = ref;
    m_account = account;
    m_state = State::Opening;
    emit progress(QStringLiteral("Connecting…"));
    m_session.open(account);
}

void MessageFetchJob::onLoggedIn()
{
    if (m_state != State::Opening)
        return;
    m_state = State::Checking;
    emit progress(QStringLiteral("Fetching the message…"));
    // Both go out together: a refused EXAMINE leaves no folder open, so the FETCH fails too.
    imap::Connection &connection = m_session.connection();
    connection.send(imap::CommandBuilder("1 EXAMINE ").string(m_ref.mailbox).finish(),
                    [this](const imap::Response &r) { onExamined(r); });
    connection.send(imap::CommandBuilder("1 FETCH ")
                        .raw(QByteArray::number(m_ref.seq))
                        .raw(" (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])")
                        .finish(),
                    [this](const imap::Response &r) { onHeaders(r); });
}

void MessageFetchJob::onExamined(const imap::Response &response)
{
    if (m_state != State::Checking)
        return;
    if (response.status() != imap::Response::Status::Ok)
        endWith(kErrorPrefix +
                imap::withServerText(QStringLiteral("server refused the folder"), response));
}

void MessageFetchJob::onHeaders(const imap::Response &response)
{
    if (m_state != State::Checking)
        return;
    // A number past the end of the folder is refused: the message is gone.
    if (response.status() != imap::Response::Status::Ok)
        return endWith(kChangedText);
    std::optional<quint32> uid;
    std::optional<imap::FetchedHeader> headers;
    for (const imap::FetchedItems &items : imap::readFetchResponse(response.lines)) {
        if (items.seq == m_ref.seq) {
            uid = items.uid;
            headers = imap::fetchedHeader(items);
            break;
        }
    }
    // The row leaves a field the message lacks empty; so does the comparison.
    if (!uid || !headers || headers->from != m_ref.from || headers->subject != m_ref.subject ||
        headers->date != m_ref.dateHeader)
        return endWith(kChangedText);

    m_uid = *uid;
    m_state = State::Downloading;
    m_downloaded = 0;
    m_shown = 0;
    emit progress(QStringLiteral("Downloading the message…"));
    m_session.connection().send(imap::CommandBuilder("1 UID FETCH ")
                                    .raw(QByteArray::number(m_uid))
                                    .raw(" BODY.PEEK[]")
                                    .privateAnswer()
                                    .finish(),
                                [this](const imap::Response &r) { onBody(r); });
}

void MessageFetchJob::onBody(const imap::Response &response)
{
    if (m_state != State::Downloading)
        return;
    if (response.status() != imap::Response::Status::Ok)
        return endWith(kErrorPrefix + imap::withServerText(
                                          QStringLiteral("server refused the message"), response));
    // No body for the UID: the message was removed meanwhile by another program.
    std::optional<QByteArray> body;
    for (const imap::FetchedItems &items : imap::readFetchResponse(response.lines)) {
        const imap::FetchedSection *section =
            items.uid == m_uid ? items.lastSection("BODY[]") : nullptr;
        if (section && !section->value.isNil) {
            body = section->value.value;
            break;
        }
    }
    if (!body)
        return endWith(kChangedText);
    m_state = State::LoggingOut;
    emit fetched(*body);
    m_session.logout();
}

void MessageFetchJob::endWith(const QString &text)
{
    m_state = State::LoggingOut;
    m_failure = text;
    m_session.logout();
}

void MessageFetchJob::onSessionFailed(const QString &reason)
{
    if (m_state == State::Idle || m_state == State::Done)
        return;
    if (m_state == State::Opening &&
        m_session.connection().securityProblem().kind != imap::SecurityProblem::Kind::None &&
        isSignalConnected(QMetaMethod::fromSignal(&MessageFetchJob::securityQuestion))) {
        m_asking = reason;
        QMetaObject::invokeMethod(
            this,
            [this, problem = m_session.connection().securityProblem()] {
                if (!m_asking.isEmpty())
                    emit securityQuestion(problem);
            },
            Qt::QueuedConnection);
        return;
    }
    m_state = State::Done;
    emit failed(m_failure.isEmpty() ? kErrorPrefix + reason : m_failure);
    emit finished();
}

void MessageFetchJob::resume()
{
    if (m_asking.isEmpty())
        return;
    m_asking.clear();
    emit progress(QStringLiteral("Connecting…"));
    m_session.open(m_account);
}

void MessageFetchJob::cancel()
{
    if (m_asking.isEmpty())
        return;
    m_state = State::Done;
    emit failed(kErrorPrefix + std::exchange(m_asking, QString()));
    emit finished();
}

void MessageFetchJob::onLoggedOut()
{
    if (m_state == State::Idle || m_state == State::Done)
        return;
    m_state = State::Done;
    if (!m_failure.isEmpty())
        emit failed(m_failure);
    emit finished();
}

} // namespace message
