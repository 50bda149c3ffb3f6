#pragma once

#include "imap/command.h"
#include "imap/foldertable.h"
#include "imap/imapchannel.h"
#include "imap/resultrecord.h"
#include "results/resultsview.h"

#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace platform {
class SettingsStore;
}
namespace results {
class ResultsModel;
}
namespace folders {
class Dialog;
}

// The main window: connection fields, folder scope, criteria, the results grid, the
// Search/Stop button and the status line. It owns the one IMAP connection and runs the two
// flows that use it, the search run and the Browse flow, one at a time.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Controls, named as the rest of the program refers to them.
    QLineEdit *txtServer;
    QLineEdit *txtLogin;
    QLineEdit *txtPassword;
    QLineEdit *txtOnlyFolder;
    QPushButton *Command1;
    QPushButton *cmdBrowse;
    QCheckBox *chkExactly;
    QLineEdit *txtBodySearch;
    QLineEdit *txtSubjectSearch;
    QLineEdit *txtBodyOrSub;
    QLineEdit *txtFromSearch;
    QLineEdit *txtToOrCC;
    QLineEdit *txtToOrFrom;
    QLineEdit *txtAfter;
    QLineEdit *txtBefore;
    QCheckBox *chkAttach;
    QLabel *Label6;
    results::ResultsView *MSHFlexGrid1;
    QLabel *lblSearchString;
    QPushButton *cmdSearch;
    QLabel *lblStatus;
    QFrame *Line1;
    QFrame *Line2;
    // Folders searched out of the folders in scope, beside the status line during a run.
    QProgressBar *prgFolders;
    QPushButton *cmdAbout;

    imap::ImapChannel &channel() { return m_channel; }
    results::ResultsModel *resultsModel() const { return m_model; }
    const imap::FolderTable &folderTable() const { return FolderTable; }
    const QList<imap::ResultRecord> &resultTable() const { return ResultTable; }
    const imap::Command &searchKey() const { return m_searchKey; }
    bool flowRunning() const { return m_flowRunning; }
    folders::Dialog *openDialog() const { return m_dialog; }

    // Empties the results grid: header row and one empty data row, columns in the shares
    // 3:5:7:5 of the grid's width.
    void SetupGrid();

    // The Search button: starts a run, or asks the running one to stop.
    void cmdSearch_Click();
    // The Browse button: lists the server's folders and lets the user pick one.
    void cmdBrowse_Click();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    friend class FlowGuard;

    void buildControls();
    void Form_Load();
    void Command1_Click();
    void txtServer_Change();
    void SaveConnectionSettings();
    void SaveWindowSettings();
    void RestoreWindowSettings();
    void ApplyColumnWidths(const QList<int> &widths);
    // Enter in a criterion field starts a search; Esc stops a running one.
    void StartSearchFromField(QLineEdit *field);
    void RequestStop();
    void ShowAbout();
    // Busy cursor over the grid and the folder progress while a run is going.
    void SetRunIndicators(bool running, int foldersInScope = 0);

    // The session steps shared by both flows. Each returns false when the flow must end;
    // the status line then says why.
    bool ConnectAndLogin();
    bool GetFolderList();
    bool LogoutAndClose();
    // The server refused the last command: logs out, shows `what` with the server's text, and
    // returns false (the flow ends).
    bool EndRefused(const QString &what);
    // Shows "Error: " and the channel's reason (nothing when the window is going away).
    void ShowChannelError();

    // Criteria: rebuilds the search key after every change of a criterion.
    void RefreshSearchKey();
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool validateDateField(QLineEdit *field);

    // Parsers of the responses, by pending state.
    void onListResponse(const imap::Response &response);
    void onSearchResponse(const imap::Response &response);
    void onFetchResponse(const imap::Response &response);

    imap::ImapChannel m_channel;
    platform::SettingsStore *m_settings;
    results::ResultsModel *m_model;

    imap::FolderTable FolderTable;
    QString strChosenFolder;
    imap::Command m_searchKey;
    QString m_acceptedAfter; // the date fields' texts as last accepted on leaving them
    QString m_acceptedBefore;
    // The hits of the current run, in the order found; row k is shown in grid row k.
    QList<imap::ResultRecord> ResultTable;
    QString strCurrentFolder;
    qsizetype nFetchFirst = 0; // the rows of ResultTable being fetched
    qsizetype nFetchCount = 0;
    bool bStopRequested = false;
    bool m_flowRunning = false;
    bool m_closing = false;
    bool m_gridLaidOut = false;
    QList<int> m_columnWidths;           // widths the user gave the columns, kept between runs
    bool m_settingWidths = false;        // our own width changes are not the user's
    folders::Dialog *m_dialog = nullptr; // the folder picker while it is open
};
