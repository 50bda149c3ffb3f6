#pragma once

#include "imap/account.h"
#include "message/messagefetchjob.h"
#include "message/mimemessage.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace platform {
class ConnectionLog;
class ServerTrust;
} // namespace platform

class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class QTreeWidget;
template <typename T> class QFutureWatcher;

// One message, read-only, in a window of its own: From, To, Cc, Date, Subject, the text and
// the attachments, each of which can be saved, and the whole message as an .eml file. Several
// may be open at once; each deletes itself when closed (Esc closes it).
//
// An HTML-only message is shown as rich text with nothing loaded from anywhere: no remote or
// local images or style sheets (only images written into the message as data: URLs), no
// links followed, nothing run; the tooltips its text asks for are shown as plain text. Header
// fields are plain text too, and each attachment is listed under the name Save… proposes for
// it (message::safeFileName).
class MessageWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MessageWindow(QWidget *parent = nullptr);
    ~MessageWindow() override;

    // Fetches the message on a connection of its own (message::MessageFetchJob) and shows it;
    // shows the job's progress meanwhile, and its failure text instead of the message.
    void fetch(const imap::Account &account, const message::MessageRef &ref);
    // Pinned certificates and permissions for the fetch's connection; with one, the window also
    // asks the user what a certificate that does not verify (and the like) calls for.
    void setServerTrust(platform::ServerTrust *trust) { m_trust = trust; }
    // Where the fetch's connection records its conversation (the message itself by its size).
    void setConnectionLog(platform::ConnectionLog *log) { m_log = log; }

    // Shows a message at hand, exactly as the server sent it; it is read on a worker thread.
    void showMessage(const QByteArray &raw);
    // Shows the text instead of a message ("Error: ...").
    void showError(const QString &text);
    // The line under "Loading message…".
    void showProgress(const QString &text);

    // What is shown, once messageShown() was emitted.
    const message::MessageContent &content() const { return m_content; }
    const QByteArray &rawMessage() const { return m_raw; }

signals:
    // The message has been read and is on screen.
    void messageShown();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void onParsed();
    void saveAttachment(int index);
    void saveAll();
    void saveMessage();
    // Asks for a file name (non-blocking) and calls `chosen` with the path picked.
    void askFile(const QString &objectName, const QString &caption, const QString &proposedName,
                 std::function<void(const QString &)> chosen);
    void writeFile(const QString &path, const QByteArray &data);
    void setStatus(const QString &text);

    QStackedWidget *m_pages;
    QLabel *m_loadingLabel;
    QLabel *m_progressLabel;
    QProgressBar *m_progressBar;
    QLabel *m_errorLabel;
    QLabel *m_from;
    QLabel *m_to;
    QLabel *m_cc;
    QLabel *m_date;
    QLabel *m_subject;
    QTextBrowser *m_text;
    QLabel *m_textCut;
    QLabel *m_omitted;
    QWidget *m_attachmentBox;
    QTreeWidget *m_attachments;
    QPushButton *m_saveAll;
    QPushButton *m_saveMessage;
    QLabel *m_status;

    QPointer<message::MessageFetchJob> m_job;
    platform::ServerTrust *m_trust = nullptr;
    platform::ConnectionLog *m_log = nullptr;
    QFutureWatcher<message::MessageContent> *m_watcher = nullptr;
    QByteArray m_raw;
    message::MessageContent m_content;
};
