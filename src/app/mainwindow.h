#pragma once

#include "auth/provider.h"
#include "imap/account.h"
#include "imap/command.h"
#include "imap/connection.h"
#include "imap/foldertable.h"
#include "imap/serveraddress.h"
#include "imap/sessionstep.h"
#include "search/searchengine.h"

#include <QHash>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace auth {
class OAuthAccount;
}

namespace platform {
class ConnectionLog;
class PasswordStore;
class ServerTrust;
class SettingsStore;
} // namespace platform
namespace results {
class ResultsModel;
class ResultsView;
} // namespace results
namespace folders {
class FolderListJob;
class FolderPicker;
} // namespace folders

// The main window: connection fields, folder scope, criteria, the results grid, the
// Search/Stop button and the status line. It passes the fields to the search engine and the
// Browse job and shows what they report; one of the two runs at a time.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests that wait for servers that do not answer: applies to the connections opened
    // from now on.
    void setConnectionTimeouts(const imap::Connection::Timeouts &timeouts);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void loadSettings();
    void saveConnectionSettings();
    void rememberLogin();
    void onPasswordNotSaved(const QString &reason);
    // The status line's final text, with the note of a password that could not be saved.
    void showFinalStatus(QString text);
    void onPasswordFound(const QString &server, const QString &login, const QString &password);
    void saveWindowSettings();
    void restoreWindowSettings();
    int connectionCount() const;

    // Empties the results grid: header row and one empty data row, columns in the shares
    // 3:5:7:5 of the grid's width until the user sizes them.
    void setupGrid();
    void applyColumnWidths(const QList<int> &widths);

    void onSearchClicked();
    void onBrowseClicked();
    // Opens hit `row` of the grid in a message window of its own.
    void openHit(int row);
    // Asks for a file (without waiting for the answer) and writes the grid to it as CSV.
    void saveResults();
    void onAllFoldersClicked();
    void updateBrowseButton();
    // Enter in a criterion field starts a search; Esc stops a running one.
    void startSearchFromField(QLineEdit *field);
    void requestStop();
    void showAbout();
    // Says what the connection log holds, then asks for a file (neither waits for the answer)
    // and writes the log to it.
    void saveConnectionLog();
    // A line in the connection log naming what starts and for which server and login.
    void noteInLog(const QString &what, const imap::Account &account);
    // Asks the user what the security problem of a run calls for (without waiting), then
    // resumes or cancels the run.
    void askAboutSecurity(const imap::SecurityProblem &problem, std::function<void()> resume,
                          std::function<void()> cancel);
    // Busy cursor over the grid and the folder progress while a run is going.
    void setRunIndicators(bool running, int foldersInScope = 0);

    void onSearchFinished(const search::SearchEngine::Summary &summary);
    void onFoldersListed(const imap::FolderTable &folders);
    void onPickerClosed();
    void onBrowseFinished(const QString &reason);
    void showStep(imap::SessionStep step);

    // OAuth 2.0: when the typed server's host has a provider that can sign in (a client id, or
    // a desktop account for the login), the Password field gives way to the sign-in state.
    void onAccountFieldsEdited();
    // Finds (or makes) the sign-in of the server's host and the login typed.
    void settleAccount();
    // The sign-in the fields stand for; null when they stand for a password.
    std::shared_ptr<auth::OAuthAccount> signInInUse() const;
    void updateSignInPanel();
    void onSignInButtonClicked();
    // The account of a run, from the fields.
    imap::Account accountFromFields() const;

    // Criteria: rebuilds the search key after every change of a criterion.
    void refreshSearchKey();
    bool validateDateField(QLineEdit *field);

    QLineEdit *m_serverEdit;
    QLineEdit *m_loginEdit;
    QLineEdit *m_passwordEdit;
    QLabel *m_passwordLabel;
    QWidget *m_signInPanel;
    QLabel *m_signInLabel;
    QPushButton *m_signInButton;
    QLabel *m_signInNote;
    QLineEdit *m_folderEdit;
    QPushButton *m_allFoldersButton;
    QPushButton *m_browseButton;
    QCheckBox *m_includeSubfoldersCheck;
    QLineEdit *m_bodyEdit;
    QLineEdit *m_subjectEdit;
    QLineEdit *m_bodyOrSubjectEdit;
    QLineEdit *m_fromEdit;
    QLineEdit *m_toOrCcEdit;
    QLineEdit *m_toOrFromEdit;
    QLineEdit *m_afterEdit;
    QLineEdit *m_beforeEdit;
    QCheckBox *m_attachmentCheck;
    results::ResultsView *m_resultsView;
    QLabel *m_searchKeyLabel;
    QPushButton *m_searchButton;
    QLabel *m_statusLabel;
    QProgressBar *m_folderProgress;
    QPushButton *m_aboutButton;
    QPushButton *m_saveResultsButton;

    platform::SettingsStore *m_settings;
    platform::PasswordStore *m_passwords;
    platform::ServerTrust *m_trust; // pinned certificates and the like, for every connection
    // What every connection sends and receives, while the user has it recorded.
    platform::ConnectionLog *m_log;
    QString m_logFile; // FERNQUILL_LOG: where the log also goes, from the start
    results::ResultsModel *m_model;
    search::SearchEngine *m_engine;
    folders::FolderListJob *m_browse;
    folders::FolderPicker *m_picker = nullptr; // while the folder picker is open
    QList<auth::Provider> m_providers;
    // The sign-ins made so far, by "login@host", and the one of the fields.
    QHash<QString, std::shared_ptr<auth::OAuthAccount>> m_signIns;
    std::shared_ptr<auth::OAuthAccount> m_signIn;
    QTimer *m_accountTimer;       // the fields are looked up once typing pauses
    bool m_signInClicked = false; // a sign-in started with the button is going on

    QString m_chosenFolder;
    // The account of the search or Browse going on, as the fields were when it started: what is
    // remembered of it is filed under this server and login, whatever the fields say later.
    imap::Account m_runAccount;
    // Where the hits in the grid were found, for opening them.
    imap::Account m_hitsAccount;
    QString m_passwordNote; // why the password could not be saved, for the status line
    imap::Command m_searchKey;
    QString m_acceptedAfter; // the date fields' texts as last accepted on leaving them
    QString m_acceptedBefore;
    bool m_closing = false;
    bool m_gridLaidOut = false;
    QList<int> m_columnWidths;    // widths the user gave the columns, kept between runs
    bool m_settingWidths = false; // our own width changes are not the user's
};
