#include "app/mainwindow.h"

#include "app/certificatesdialog.h"
#include "app/messagewindow.h"
#include "app/securitydialog.h"
#include "auth/oauthaccount.h"
#include "folders/folderlistjob.h"
#include "folders/folderpicker.h"
#include "imap/command.h"
#include "imap/serveraddress.h"
#include "platform/connectionlog.h"
#include "platform/passwordstore.h"
#include "platform/servertrust.h"
#include "platform/settingsstore.h"
#include "results/csvexport.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/dates.h"
#include "search/folderscope.h"
#include "search/searchkey.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShortcut>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace {

const QString kSection = QStringLiteral("LastUse");
const QString kWindowSection = QStringLiteral("Window");
const QString kSearchSection = QStringLiteral("Search");
constexpr int kDefaultConnections = 4;
constexpr int kMaxConnections = 16;
constexpr qlonglong kDefaultMaxHits = 1'000'000;
const QString kSearch = QStringLiteral("Search");
const QString kStop = QStringLiteral("Stop");
const QString kStopping = QStringLiteral("Stopping");

// The password field shows every character as "*".
class StarPasswordStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QLabel *makeLabel(const QString &text, QWidget *buddy, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

QFrame *makeLine(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QWidget(parent), m_settings(new platform::SettingsStore),
      m_passwords(new platform::PasswordStore(*m_settings, this)),
      m_trust(new platform::ServerTrust(m_settings)), m_log(new platform::ConnectionLog(this)),
      m_model(new results::ResultsModel(this)), m_engine(new search::SearchEngine(this)),
      m_browse(new folders::FolderListJob(this))
{
    m_providers = auth::loadProviders(*m_settings);
    buildControls();
    m_engine->setServerTrust(m_trust);
    m_browse->setServerTrust(m_trust);
    m_engine->setConnectionLog(m_log);
    m_browse->setConnectionLog(m_log);
    connect(m_engine, &search::SearchEngine::securityQuestion, this,
            [this](const imap::SecurityProblem &problem) {
                askAboutSecurity(
                    problem, [this] { m_engine->resume(); }, [this] { m_engine->cancel(); });
            });
    connect(m_browse, &folders::FolderListJob::securityQuestion, this,
            [this](const imap::SecurityProblem &problem) {
                askAboutSecurity(
                    problem, [this] { m_browse->resume(); }, [this] { m_browse->cancel(); });
            });
    connect(m_engine, &search::SearchEngine::stepChanged, this, &MainWindow::showStep);
    connect(m_engine, &search::SearchEngine::foldersInScope, this,
            [this](int count) { setRunIndicators(true, count); });
    connect(m_engine, &search::SearchEngine::scanning, this, [this](const QString &path) {
        m_statusLabel->setText(QStringLiteral("Scanning Folder: ") + path);
    });
    connect(m_engine, &search::SearchEngine::progress, this,
            [this](int done) { m_folderProgress->setValue(done); });
    connect(m_engine, &search::SearchEngine::hitsFound, m_model, &results::ResultsModel::addHits);
    connect(m_engine, &search::SearchEngine::responseReceived, this,
            &MainWindow::saveConnectionSettings);
    connect(m_engine, &search::SearchEngine::loggedIn, this, &MainWindow::rememberLogin);
    connect(m_browse, &folders::FolderListJob::loggedIn, this, &MainWindow::rememberLogin);
    connect(m_passwords, &platform::PasswordStore::passwordFound, this,
            &MainWindow::onPasswordFound);
    connect(m_passwords, &platform::PasswordStore::fileRefused, this,
            &MainWindow::onPasswordNotSaved);
    connect(m_engine, &search::SearchEngine::finished, this, &MainWindow::onSearchFinished);
    connect(m_browse, &folders::FolderListJob::stepChanged, this, &MainWindow::showStep);
    connect(m_browse, &folders::FolderListJob::responseReceived, this,
            &MainWindow::saveConnectionSettings);
    connect(m_browse, &folders::FolderListJob::listed, this, &MainWindow::onFoldersListed);
    connect(m_browse, &folders::FolderListJob::finished, this, &MainWindow::onBrowseFinished);
    loadSettings();
    m_logFile = qEnvironmentVariable("FERNQUILL_LOG");
    if (!m_logFile.isEmpty()) {
        const QString refusal = m_log->start(m_logFile);
        if (!refusal.isEmpty())
            m_statusLabel->setText(QStringLiteral("Error: the connection log cannot be written: ") +
                                   refusal);
    }
}

MainWindow::~MainWindow()
{
    delete m_trust;
    delete m_settings;
}

void MainWindow::buildControls()
{
    setWindowTitle(QStringLiteral("Fernquill Tool"));
    setObjectName(QStringLiteral("mainWindow"));

    auto named = [](auto *w, const char *name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };

    m_serverEdit = named(new QLineEdit(this), "serverEdit");
    m_loginEdit = named(new QLineEdit(this), "loginEdit");
    m_passwordEdit = named(new QLineEdit(this), "passwordEdit");
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    auto *starStyle = new StarPasswordStyle;
    starStyle->setParent(m_passwordEdit);
    m_passwordEdit->setStyle(starStyle);
    // In the Password field's place for a server that signs in with OAuth 2.0.
    m_signInPanel = named(new QWidget(this), "signInPanel");
    m_signInLabel = named(new QLabel(m_signInPanel), "signInLabel");
    m_signInLabel->setTextFormat(Qt::PlainText);
    m_signInButton = named(new QPushButton(m_signInPanel), "signInButton");
    m_signInButton->setAutoDefault(false);
    auto *signInRow = new QHBoxLayout(m_signInPanel);
    signInRow->setContentsMargins(0, 0, 0, 0);
    signInRow->addWidget(m_signInLabel, 1);
    signInRow->addWidget(m_signInButton);
    m_signInPanel->hide();
    m_signInNote = named(new QLabel(this), "signInNote");
    m_signInNote->setTextFormat(Qt::PlainText);
    m_signInNote->setWordWrap(true);
    m_signInNote->hide();
    m_accountTimer = new QTimer(this);
    m_accountTimer->setSingleShot(true);
    m_accountTimer->setInterval(300);
    m_folderEdit = named(new QLineEdit(QStringLiteral("{Search All Folders}"), this), "folderEdit");
    m_folderEdit->setReadOnly(true);
    {
        QPalette pal = m_folderEdit->palette();
        pal.setColor(QPalette::Base, pal.color(QPalette::Button));
        m_folderEdit->setPalette(pal);
    }
    m_allFoldersButton =
        named(new QPushButton(QStringLiteral("All Folders"), this), "allFoldersButton");
    m_browseButton = named(new QPushButton(QStringLiteral("Browse..."), this), "browseButton");
    m_includeSubfoldersCheck =
        named(new QCheckBox(QStringLiteral("Include Subfldrs"), this), "includeSubfoldersCheck");
    m_includeSubfoldersCheck->setChecked(true);

    m_bodyEdit = named(new QLineEdit(this), "bodyEdit");
    m_subjectEdit = named(new QLineEdit(this), "subjectEdit");
    m_bodyOrSubjectEdit = named(new QLineEdit(this), "bodyOrSubjectEdit");
    m_fromEdit = named(new QLineEdit(this), "fromEdit");
    m_toOrCcEdit = named(new QLineEdit(this), "toOrCcEdit");
    m_toOrFromEdit = named(new QLineEdit(this), "toOrFromEdit");
    m_afterEdit = named(new QLineEdit(this), "afterEdit");
    m_beforeEdit = named(new QLineEdit(this), "beforeEdit");
    m_afterEdit->setPlaceholderText(QStringLiteral("m/d/yyyy"));
    m_beforeEdit->setPlaceholderText(QStringLiteral("m/d/yyyy"));
    // However narrow the window, the connection fields keep room for a typical value and the
    // date fields for a whole date.
    const int charWidth = fontMetrics().averageCharWidth();
    for (QLineEdit *field : {m_serverEdit, m_loginEdit, m_passwordEdit})
        field->setMinimumWidth(16 * charWidth);
    for (QLineEdit *field : {m_afterEdit, m_beforeEdit})
        field->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("12/31/2026")) +
                               3 * charWidth);
    m_attachmentCheck =
        named(new QCheckBox(QStringLiteral("Has Attachment"), this), "attachmentCheck");

    auto *resultsLabel = new QLabel(QStringLiteral("Search Results"), this);
    m_resultsView = named(new results::ResultsView(m_model, this), "resultsView");
    m_resultsView->setMinimumHeight(160);

    // Both lines show what users type and servers write (folder names, refusals): plain text,
    // never markup.
    m_searchKeyLabel = named(new QLabel(this), "searchKeyLabel");
    m_searchKeyLabel->setTextFormat(Qt::PlainText);
    m_searchButton = named(new QPushButton(QStringLiteral("Search"), this), "searchButton");
    m_searchButton->setEnabled(false);
    m_searchButton->setDefault(false);
    m_searchButton->setAutoDefault(false);
    m_statusLabel = named(new QLabel(this), "statusLabel");
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_folderProgress = named(new QProgressBar(this), "folderProgress");
    m_folderProgress->setFormat(QStringLiteral("%v/%m folders"));
    m_folderProgress->setMaximumWidth(180);
    m_folderProgress->hide();
    m_aboutButton = named(new QPushButton(QStringLiteral("About..."), this), "aboutButton");
    m_saveResultsButton =
        named(new QPushButton(QStringLiteral("Save Results..."), this), "saveResultsButton");
    m_saveResultsButton->setAutoDefault(false);
    m_saveResultsButton->setEnabled(false);
    m_aboutButton->setAutoDefault(false);

    // Connection fields on the left, the folder scope on the right.
    auto *connection = new QGridLayout;
    connection->addWidget(makeLabel(QStringLiteral("Server:"), m_serverEdit, this), 0, 0);
    connection->addWidget(m_serverEdit, 0, 1);
    connection->addWidget(makeLabel(QStringLiteral("Login:"), m_loginEdit, this), 1, 0);
    connection->addWidget(m_loginEdit, 1, 1);
    m_passwordLabel = makeLabel(QStringLiteral("Password:"), m_passwordEdit, this);
    connection->addWidget(m_passwordLabel, 2, 0);
    connection->addWidget(m_passwordEdit, 2, 1);
    connection->addWidget(m_signInPanel, 2, 1);
    connection->addWidget(m_signInNote, 3, 0, 1, 2);

    auto *scope = new QGridLayout;
    scope->addWidget(makeLabel(QStringLiteral("Only Search Folders Named:"), m_folderEdit, this), 0,
                     0);
    scope->addWidget(m_includeSubfoldersCheck, 0, 1, Qt::AlignRight);
    scope->addWidget(m_folderEdit, 1, 0, 1, 2);
    auto *scopeButtons = new QHBoxLayout;
    scopeButtons->addWidget(m_allFoldersButton);
    scopeButtons->addWidget(m_browseButton);
    scopeButtons->addStretch(1);
    scope->addLayout(scopeButtons, 2, 0, 1, 2);
    scope->setRowStretch(3, 1);

    auto *top = new QHBoxLayout;
    top->addLayout(connection, 1);
    top->addSpacing(16);
    top->addLayout(scope, 1);

    // The criteria in three columns.
    auto *criteria = new QGridLayout;
    auto addField = [&](int row, int col, const char *caption, QWidget *field) {
        criteria->addWidget(makeLabel(QLatin1String(caption), field, this), row, col);
        criteria->addWidget(field, row, col + 1);
    };
    addField(1, 0, "Body:", m_bodyEdit);
    addField(2, 0, "Subject:", m_subjectEdit);
    addField(3, 0, "Body or Subject:", m_bodyOrSubjectEdit);
    addField(1, 2, "From:", m_fromEdit);
    addField(2, 2, "To or CC:", m_toOrCcEdit);
    addField(3, 2, "To or From:", m_toOrFromEdit);
    auto *received = new QLabel(QStringLiteral("Received"), this);
    QFont bold = received->font();
    bold.setBold(true);
    received->setFont(bold);
    criteria->addWidget(received, 0, 4, 1, 2);
    addField(1, 4, "On/After:", m_afterEdit);
    addField(2, 4, "On/Before:", m_beforeEdit);
    criteria->addWidget(m_attachmentCheck, 3, 4, 1, 2);
    criteria->setColumnStretch(1, 3);
    criteria->setColumnStretch(3, 3);
    criteria->setColumnStretch(5, 2);

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_searchButton);
    bottom->addWidget(m_statusLabel, 1);
    bottom->addWidget(m_folderProgress);
    bottom->addWidget(m_saveResultsButton);
    bottom->addWidget(m_aboutButton);

    auto *main = new QVBoxLayout(this);
    main->addLayout(top);
    main->addWidget(makeLine(this));
    main->addLayout(criteria);
    main->addWidget(makeLine(this));
    main->addWidget(resultsLabel);
    main->addWidget(m_resultsView, 1);
    main->addWidget(m_searchKeyLabel);
    main->addLayout(bottom);

    QWidget::setTabOrder(m_serverEdit, m_loginEdit);
    QWidget::setTabOrder(m_loginEdit, m_passwordEdit);
    QWidget::setTabOrder(m_passwordEdit, m_signInButton);
    QWidget::setTabOrder(m_signInButton, m_folderEdit);
    QWidget::setTabOrder(m_folderEdit, m_includeSubfoldersCheck);
    QWidget::setTabOrder(m_includeSubfoldersCheck, m_bodyEdit);
    QWidget::setTabOrder(m_bodyEdit, m_subjectEdit);
    QWidget::setTabOrder(m_subjectEdit, m_bodyOrSubjectEdit);
    QWidget::setTabOrder(m_bodyOrSubjectEdit, m_fromEdit);
    QWidget::setTabOrder(m_fromEdit, m_toOrCcEdit);
    QWidget::setTabOrder(m_toOrCcEdit, m_toOrFromEdit);
    QWidget::setTabOrder(m_toOrFromEdit, m_afterEdit);
    QWidget::setTabOrder(m_afterEdit, m_beforeEdit);
    QWidget::setTabOrder(m_beforeEdit, m_attachmentCheck);
    QWidget::setTabOrder(m_attachmentCheck, m_searchButton);
    QWidget::setTabOrder(m_searchButton, m_resultsView);
    QWidget::setTabOrder(m_resultsView, m_browseButton);
    QWidget::setTabOrder(m_browseButton, m_allFoldersButton);
    QWidget::setTabOrder(m_allFoldersButton, m_aboutButton);

    connect(m_serverEdit, &QLineEdit::textChanged, this, &MainWindow::updateBrowseButton);
    connect(m_loginEdit, &QLineEdit::textChanged, this, &MainWindow::updateBrowseButton);
    connect(m_passwordEdit, &QLineEdit::textChanged, this, &MainWindow::updateBrowseButton);
    connect(m_serverEdit, &QLineEdit::textChanged, this, &MainWindow::onAccountFieldsEdited);
    connect(m_loginEdit, &QLineEdit::textChanged, this, &MainWindow::onAccountFieldsEdited);
    connect(m_accountTimer, &QTimer::timeout, this, &MainWindow::settleAccount);
    connect(m_signInButton, &QPushButton::clicked, this, &MainWindow::onSignInButtonClicked);
    connect(m_allFoldersButton, &QPushButton::clicked, this, &MainWindow::onAllFoldersClicked);
    connect(m_browseButton, &QPushButton::clicked, this, &MainWindow::onBrowseClicked);
    connect(m_searchButton, &QPushButton::clicked, this, &MainWindow::onSearchClicked);
    for (QLineEdit *field :
         {m_bodyEdit, m_subjectEdit, m_bodyOrSubjectEdit, m_fromEdit, m_toOrCcEdit, m_toOrFromEdit})
        connect(field, &QLineEdit::textChanged, this, &MainWindow::refreshSearchKey);
    connect(m_attachmentCheck, &QCheckBox::clicked, this, &MainWindow::refreshSearchKey);
    for (QLineEdit *field : {m_bodyEdit, m_subjectEdit, m_bodyOrSubjectEdit, m_fromEdit,
                             m_toOrCcEdit, m_toOrFromEdit, m_afterEdit, m_beforeEdit})
        connect(field, &QLineEdit::returnPressed, this,
                [this, field] { startSearchFromField(field); });
    auto *stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(stop, &QShortcut::activated, this, &MainWindow::requestStop);
    connect(m_aboutButton, &QPushButton::clicked, this, &MainWindow::showAbout);

    // A hit opens in a message window: double-click or Enter (the view's activation), or
    // "Open" in the grid's context menu; the list goes to a CSV file with "Save Results...".
    connect(m_resultsView, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { openHit(index.row()); });
    auto *openAction = new QAction(QStringLiteral("Open"), m_resultsView);
    openAction->setObjectName(QStringLiteral("openAction"));
    connect(openAction, &QAction::triggered, this,
            [this] { openHit(m_resultsView->currentIndex().row()); });
    m_resultsView->insertAction(m_resultsView->copyAction(), openAction);
    auto *saveResultsAction = new QAction(QStringLiteral("Save Results..."), m_resultsView);
    connect(saveResultsAction, &QAction::triggered, this, &MainWindow::saveResults);
    m_resultsView->addAction(saveResultsAction);
    connect(m_saveResultsButton, &QPushButton::clicked, this, &MainWindow::saveResults);
    const auto followHits = [this, openAction, saveResultsAction] {
        const bool any = m_model->hitCount() > 0;
        openAction->setEnabled(any);
        saveResultsAction->setEnabled(any);
        m_saveResultsButton->setEnabled(any);
    };
    connect(m_model, &QAbstractItemModel::modelReset, this, followHits);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, followHits);
    connect(m_model, &QAbstractItemModel::dataChanged, this, followHits);
    followHits();
    connect(m_resultsView->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int, int, int) {
                if (m_settingWidths)
                    return;
                m_columnWidths.clear();
                for (int c = 0; c < results::ResultsModel::ColumnCount; ++c)
                    m_columnWidths.append(m_resultsView->columnWidth(c));
            });
    // The date fields are checked when they lose the focus, not while typing.
    m_afterEdit->installEventFilter(this);
    m_beforeEdit->installEventFilter(this);

    resize(760, 560);
}

void MainWindow::loadSettings()
{
    restoreWindowSettings();
    setupGrid();
    m_searchKeyLabel->hide();
    m_serverEdit->setText(m_passwords->rememberedServer());
    m_loginEdit->setText(m_passwords->rememberedLogin());
    settleAccount();
    // The keyring answers later; a search started before then uses what the field holds.
    m_passwords->requestPassword(m_serverEdit->text(), m_loginEdit->text());
}

void MainWindow::onPasswordFound(const QString &server, const QString &login,
                                 const QString &password)
{
    // An answer for a server or login the user has since changed, or a password already
    // typed, is left alone.
    if (server != m_serverEdit->text() || login != m_loginEdit->text() ||
        !m_passwordEdit->text().isEmpty())
        return;
    m_passwordEdit->setText(password);
}

void MainWindow::setupGrid()
{
    m_model->clear();
    if (!m_columnWidths.isEmpty()) {
        // The user has sized the columns: keep that.
        applyColumnWidths(m_columnWidths);
        return;
    }
    // Shares of the grid's width: Folder 3, Date 5, Subject 7, From 5 (of 20).
    static constexpr int kShares[results::ResultsModel::ColumnCount] = {3, 5, 7, 5};
    // Leave room for the vertical scroll bar that many rows will bring, so the columns still
    // fit the grid then.
    double width = m_resultsView->viewport()->width();
    if (!m_resultsView->verticalScrollBar()->isVisible())
        width -=
            m_resultsView->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_resultsView);
    QList<int> widths;
    for (int col = 0; col < results::ResultsModel::ColumnCount; ++col)
        widths.append(int(std::nearbyint(width * kShares[col] / 20.0)));
    applyColumnWidths(widths);
}

void MainWindow::applyColumnWidths(const QList<int> &widths)
{
    m_settingWidths = true;
    for (int col = 0; col < widths.size() && col < results::ResultsModel::ColumnCount; ++col)
        m_resultsView->setColumnWidth(col, widths[col]);
    m_settingWidths = false;
}

void MainWindow::saveWindowSettings()
{
    m_settings->setValue(kWindowSection, QStringLiteral("Geometry"),
                         QString::fromLatin1(saveGeometry().toBase64()));
    QStringList widths;
    for (int w : std::as_const(m_columnWidths))
        widths.append(QString::number(w));
    m_settings->setValue(kWindowSection, QStringLiteral("ColumnWidths"),
                         widths.join(QLatin1Char(',')));
    m_settings->sync();
}

void MainWindow::restoreWindowSettings()
{
    const QString geometry = m_settings->value(kWindowSection, QStringLiteral("Geometry"));
    if (!geometry.isEmpty())
        restoreGeometry(QByteArray::fromBase64(geometry.toLatin1()));
    const QStringList widths = m_settings->value(kWindowSection, QStringLiteral("ColumnWidths"))
                                   .split(QLatin1Char(','), Qt::SkipEmptyParts);
    QList<int> values;
    for (const QString &w : widths) {
        bool ok = false;
        const int v = w.toInt(&ok);
        if (!ok || v < 10 || v > 10000)
            return; // a damaged value: fall back to the default shares
        values.append(v);
    }
    if (values.size() == results::ResultsModel::ColumnCount)
        m_columnWidths = values;
}

void MainWindow::startSearchFromField(QLineEdit *field)
{
    if (m_engine->isRunning())
        return;
    // A date field is checked as if it were left; a refused date starts nothing.
    if ((field == m_afterEdit || field == m_beforeEdit) && !validateDateField(field))
        return;
    if (m_searchButton->isEnabled())
        onSearchClicked();
}

void MainWindow::requestStop()
{
    if (m_engine->isRunning() && !m_engine->isStopping())
        onSearchClicked();
}

void MainWindow::showAbout()
{
    auto *box = new QMessageBox(
        QMessageBox::Information, QStringLiteral("About Fernquill"),
        QStringLiteral("<h3>Fernquill %1</h3>"
                       "<p>Searches the folders of an IMAP server for messages matching a set "
                       "of criteria and lists the hits. It never changes anything on the "
                       "server.</p>"
                       "<p>%2</p>"
                       "<p>Licensed under the GNU General Public License, version 3 or any "
                       "later version.</p>")
            .arg(QStringLiteral(FQ_VERSION), m_passwords->storageDescription().toHtmlEscaped()),
        QMessageBox::Ok, this);
    box->setTextFormat(Qt::RichText); // our own markup; the one value in it is escaped
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setIconPixmap(windowIcon().pixmap(64, 64));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *certificates =
        box->addButton(QStringLiteral("Certificates…"), QMessageBox::ActionRole);
    certificates->setObjectName(QStringLiteral("certificatesButton"));
    connect(certificates, &QPushButton::clicked, this, [this] {
        auto *list = new CertificatesDialog(*m_trust, this);
        list->setAttribute(Qt::WA_DeleteOnClose);
        list->open();
    });
    auto *record = new QCheckBox(QStringLiteral("Record connection log"), box);
    record->setObjectName(QStringLiteral("recordLogCheck"));
    record->setChecked(m_log->isRecording());
    connect(record, &QCheckBox::toggled, this, [this](bool on) {
        if (!on)
            m_log->stop();
        else if (const QString refusal = m_log->start(m_logFile); !refusal.isEmpty())
            m_statusLabel->setText(QStringLiteral("Error: the connection log cannot be written: ") +
                                   refusal);
    });
    box->setCheckBox(record);
    QPushButton *saveLog =
        box->addButton(QStringLiteral("Save connection log…"), QMessageBox::ActionRole);
    saveLog->setObjectName(QStringLiteral("saveLogButton"));
    saveLog->setEnabled(!m_log->isEmpty());
    connect(saveLog, &QPushButton::clicked, this, &MainWindow::saveConnectionLog);
    box->open();
}

void MainWindow::saveConnectionLog()
{
    auto *note = new QMessageBox(
        QMessageBox::Information, QStringLiteral("Save Connection Log"),
        QStringLiteral("The connection log holds what Fernquill and the servers said to each "
                       "other: server names, logins, folder names, senders, subjects and the "
                       "search text. Passwords and tokens are left out, and an opened message "
                       "appears only by its size. Look it through before you attach it to a bug "
                       "report."),
        QMessageBox::Cancel, this);
    note->setObjectName(QStringLiteral("logNote"));
    note->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *go = note->addButton(QStringLiteral("Save…"), QMessageBox::AcceptRole);
    go->setObjectName(QStringLiteral("logNoteSaveButton"));
    connect(go, &QPushButton::clicked, this, [this] {
        auto *dialog =
            new QFileDialog(this, QStringLiteral("Save Connection Log"),
                            QDir::home().filePath(QStringLiteral("fernquill-connection.log")),
                            QStringLiteral("Log files (*.log *.txt);;All files (*)"));
        dialog->setObjectName(QStringLiteral("saveLogDialog"));
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &path) {
            const QString refusal = m_log->save(path);
            m_statusLabel->setText(refusal.isEmpty()
                                       ? QStringLiteral("Connection log saved to %1.")
                                             .arg(QDir::toNativeSeparators(path))
                                       : QStringLiteral("Error: could not write ") + refusal);
        });
        dialog->open();
    });
    note->open();
}

void MainWindow::noteInLog(const QString &what, const imap::Account &account)
{
    m_log->note(0, QStringLiteral("%1 on %2 as %3%4")
                       .arg(what, account.server, account.login,
                            account.tokenSource ? QStringLiteral(" (OAuth 2.0)") : QString()));
}

void MainWindow::askAboutSecurity(const imap::SecurityProblem &problem,
                                  std::function<void()> resume, std::function<void()> cancel)
{
    SecurityDialog::ask(this, problem, *m_trust, std::move(resume), std::move(cancel));
}

void MainWindow::setRunIndicators(bool running, int foldersInScope)
{
    if (running) {
        m_resultsView->viewport()->setCursor(Qt::BusyCursor);
        m_folderProgress->setRange(0, qMax(foldersInScope, 0));
        m_folderProgress->setValue(0);
        m_folderProgress->setVisible(foldersInScope > 0);
    } else {
        m_resultsView->viewport()->unsetCursor();
        m_folderProgress->hide();
    }
}

void MainWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_gridLaidOut) {
        // The grid has its real width only once the window is laid out.
        m_gridLaidOut = true;
        setupGrid();
    }
}

void MainWindow::onAllFoldersClicked()
{
    m_folderEdit->setText(QStringLiteral("{Search All Folders}"));
}

void MainWindow::updateBrowseButton()
{
    // Only the fields count: a click while a search or a Browse runs answers "Error". (Looking
    // at the runs here would leave the button disabled after one ended.)
    m_browseButton->setEnabled(accountFromFields().isComplete());
}

void MainWindow::saveConnectionSettings()
{
    // Without a keyring the settings file keeps the run's server, login and password whenever
    // the server answers. With one, the password never goes to the file: the three are
    // remembered once the server has accepted the login (rememberLogin).
    if (m_runAccount.tokenSource)
        return; // no password to remember
    if (m_passwords->rememberInFile(m_runAccount.server, m_runAccount.login, m_runAccount.password))
        m_passwordNote.clear(); // a file that refused it before has been replaced by a private one
}

void MainWindow::rememberLogin()
{
    if (m_runAccount.tokenSource)
        m_passwords->rememberAccount(m_runAccount.server, m_runAccount.login);
    else
        m_passwords->save(m_runAccount.server, m_runAccount.login, m_runAccount.password);
}

void MainWindow::onPasswordNotSaved(const QString &reason)
{
    m_passwordNote = QStringLiteral("The password was not saved: %1.").arg(reason);
    if (!m_engine->isRunning() && !m_browse->isRunning())
        showFinalStatus(m_statusLabel->text());
}

void MainWindow::showFinalStatus(QString text)
{
    if (!m_passwordNote.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) +
                std::exchange(m_passwordNote, QString());
    m_statusLabel->setText(text);
}

int MainWindow::connectionCount() const
{
    bool ok = false;
    const int count = m_settings->value(kSearchSection, QStringLiteral("Connections")).toInt(&ok);
    return ok && count >= 1 ? qMin(count, kMaxConnections) : kDefaultConnections;
}

void MainWindow::setConnectionTimeouts(const imap::Connection::Timeouts &timeouts)
{
    m_engine->setTimeouts(timeouts);
    m_browse->setTimeouts(timeouts);
}

void MainWindow::showStep(imap::SessionStep step)
{
    switch (step) {
    case imap::SessionStep::Connecting:
        m_statusLabel->setText(QStringLiteral("Connecting to ") + m_runAccount.server +
                               QStringLiteral("..."));
        break;
    case imap::SessionStep::LoggingIn:
        m_statusLabel->setText(QStringLiteral("Logging in..."));
        break;
    case imap::SessionStep::ListingFolders:
        m_statusLabel->setText(QStringLiteral("Getting Folder List..."));
        break;
    case imap::SessionStep::LoggingOut:
        m_statusLabel->setText(QStringLiteral("Logging out..."));
        break;
    }
}

void MainWindow::onSearchClicked()
{
    if (m_engine->isRunning()) {
        // A click while a run is going on: ask it to stop after the folders being searched.
        if (!m_engine->isStopping()) {
            m_searchButton->setText(kStopping);
            m_engine->stop();
        }
        return;
    }

    if (m_accountTimer->isActive())
        settleAccount(); // the fields as they are now
    m_searchButton->setText(kStop);
    setupGrid();

    search::SearchRequest request;
    // The key is taken once: edits during the run apply to the next one.
    request.key = m_searchKey;
    request.account = accountFromFields();
    if (m_browse->isRunning() || !request.account.isComplete() || request.key.isEmpty()) {
        m_statusLabel->setText(QStringLiteral("Error"));
        m_searchButton->setText(kSearch);
        return;
    }
    // The scope as the user chose it; resolved against the run's own folder list.
    request.scope = search::FolderScope::fromChoice(m_folderEdit->text(),
                                                    m_includeSubfoldersCheck->isChecked());
    request.connections = connectionCount();
    bool ok = false;
    const qlonglong maxHits =
        m_settings->value(kSearchSection, QStringLiteral("MaxHits")).toLongLong(&ok);
    request.maxHits = ok && maxHits >= 1 ? maxHits : kDefaultMaxHits;
    // "Extensions=false" gives every server the classic conversation, for telling whether an
    // extension is to blame.
    const QString extensions = m_settings->value(kSearchSection, QStringLiteral("Extensions"));
    request.extensions =
        !QStringList{"false", "0", "no", "off"}.contains(extensions.trimmed().toLower());
    m_runAccount = request.account;
    // Hits of this run open with the same server and login.
    m_hitsAccount = request.account;
    setRunIndicators(true);
    noteInLog(QStringLiteral("Search (up to %1 connections)").arg(request.connections),
              request.account);
    m_engine->start(request);
}

void MainWindow::onSearchFinished(const search::SearchEngine::Summary &summary)
{
    setRunIndicators(false);
    if (summary.outcome == search::SearchEngine::Outcome::Failed) {
        showFinalStatus(summary.reason.isEmpty() ? QStringLiteral("Error")
                                                 : QStringLiteral("Error: ") + summary.reason);
    } else {
        QString line = (summary.outcome == search::SearchEngine::Outcome::Stopped
                            ? QStringLiteral("Search Stopped. ")
                            : QStringLiteral("Search Complete. ")) +
                       QString::number(summary.hits) +
                       QStringLiteral(" matching emails found in ") +
                       QString::number(summary.folders) + QStringLiteral(" folders.");
        if (summary.refusedFolders > 0)
            line += QLatin1Char(' ') + QString::number(summary.refusedFolders) +
                    QStringLiteral(" folders could not be searched.");
        if (summary.unreadMessages > 0)
            line += QLatin1Char(' ') + QString::number(summary.unreadMessages) +
                    QStringLiteral(" messages could not be read.");
        if (summary.cappedAt > 0)
            line += QStringLiteral(" Only the first ") + QString::number(summary.cappedAt) +
                    QStringLiteral(" matches are shown.");
        showFinalStatus(line);
    }
    m_searchButton->setText(kSearch);
    // Criteria may have changed during the run; the button follows them again.
    m_searchButton->setEnabled(!m_searchKey.isEmpty());
}

void MainWindow::openHit(int row)
{
    if (row < 0 || row >= m_model->hitCount())
        return;
    const search::Hit &hit = m_model->record(row);
    auto *window = new MessageWindow(this);
    window->setServerTrust(m_trust);
    window->setConnectionLog(m_log);
    noteInLog(QStringLiteral("Opening message %1 of %2").arg(hit.number).arg(hit.folder),
              m_hitsAccount);
    window->fetch(m_hitsAccount, {hit.mailbox, hit.number, hit.from, hit.subject, hit.dateHeader});
    window->show();
}

void MainWindow::saveResults()
{
    auto *dialog = new QFileDialog(this, QStringLiteral("Save Results"),
                                   QDir::home().filePath(QStringLiteral("search results.csv")),
                                   QStringLiteral("CSV files (*.csv);;All files (*)"));
    dialog->setObjectName(QStringLiteral("saveResultsDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The rows as the grid shows them now, whatever arrives while the dialog is open.
    const QByteArray csv = results::modelToCsv(*m_model);
    connect(dialog, &QFileDialog::fileSelected, this, [this, csv](const QString &path) {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit())
            m_statusLabel->setText(QStringLiteral("Error: could not write %1: %2")
                                       .arg(QDir::toNativeSeparators(path), file.errorString()));
        else
            m_statusLabel->setText(
                QStringLiteral("Results saved to %1.").arg(QDir::toNativeSeparators(path)));
    });
    dialog->open();
}

void MainWindow::onBrowseClicked()
{
    m_browseButton->setText(QStringLiteral("Please Wait"));
    if (m_accountTimer->isActive())
        settleAccount();
    const imap::Account account = accountFromFields();
    if (m_engine->isRunning() || m_browse->isRunning() || !account.isComplete()) {
        m_statusLabel->setText(QStringLiteral("Error"));
        m_browseButton->setText(QStringLiteral("Browse..."));
        return;
    }
    m_runAccount = account;
    noteInLog(QStringLiteral("Browse"), m_runAccount);
    m_browse->start(m_runAccount);
}

void MainWindow::onFoldersListed(const imap::FolderTable &folders)
{
    QStringList paths;
    paths.reserve(folders.size());
    for (const imap::FolderRow &row : folders)
        paths.append(row.displayPath);
    m_picker = new folders::FolderPicker(paths, this);
    m_picker->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_picker, &QDialog::finished, this, &MainWindow::onPickerClosed);
    m_picker->open();
}

void MainWindow::onPickerClosed()
{
    if (!m_picker)
        return;
    if (m_picker->outcome() == folders::FolderPicker::Outcome::Ok)
        m_chosenFolder = m_picker->chosenFolder();
    else if (m_picker->outcome() == folders::FolderPicker::Outcome::Cancel)
        m_chosenFolder.clear();
    m_picker = nullptr;
    if (m_closing)
        return;
    if (!m_chosenFolder.isEmpty())
        m_folderEdit->setText(m_chosenFolder);
    m_browse->finish();
}

void MainWindow::onBrowseFinished(const QString &reason)
{
    // The server may have dropped the idle session while the picker was open.
    showFinalStatus(reason.isEmpty() ? QString() : QStringLiteral("Error: ") + reason);
    m_browseButton->setText(QStringLiteral("Browse..."));
}

imap::Account MainWindow::accountFromFields() const
{
    imap::Account account = imap::Account::fromFields(m_serverEdit->text(), m_loginEdit->text(),
                                                      m_passwordEdit->text());
    account.tokenSource = signInInUse();
    return account;
}

void MainWindow::onAccountFieldsEdited()
{
    // Without a provider for the host nothing changes, at once; a provider's sign-in (keyring,
    // desktop accounts) is looked up once typing pauses.
    const imap::ServerAddress address = imap::parseServerAddress(m_serverEdit->text());
    if (address.valid && auth::providerForHost(m_providers, address.host))
        m_accountTimer->start();
    else
        settleAccount();
}

void MainWindow::settleAccount()
{
    m_accountTimer->stop();
    const imap::ServerAddress address = imap::parseServerAddress(m_serverEdit->text());
    const std::optional<auth::Provider> provider =
        address.valid ? auth::providerForHost(m_providers, address.host) : std::nullopt;
    const QString login = m_loginEdit->text();
    std::shared_ptr<auth::OAuthAccount> signIn;
    if (provider && !login.isEmpty()) {
        const QString key = auth::OAuthAccount::keyringKey(address.host.toLower(), login);
        signIn = m_signIns.value(key);
        if (!signIn) {
            signIn = std::make_shared<auth::OAuthAccount>(*provider, address.host.toLower(), login);
            connect(signIn.get(), &auth::OAuthAccount::stateChanged, this,
                    &MainWindow::updateSignInPanel);
            connect(signIn.get(), &imap::TokenSource::tokenReady, this,
                    [this] { m_signInClicked = false; });
            connect(signIn.get(), &imap::TokenSource::tokenFailed, this,
                    [this](const QString &reason) {
                        // A run reports its own failures.
                        if (std::exchange(m_signInClicked, false))
                            showFinalStatus(QStringLiteral("Error: ") + reason);
                    });
            m_signIns.insert(key, signIn);
        }
    }
    if (signIn != m_signIn)
        m_signInClicked = false;
    m_signIn = signIn;
    updateSignInPanel();
}

std::shared_ptr<auth::OAuthAccount> MainWindow::signInInUse() const
{
    if (!m_signIn || m_accountTimer->isActive())
        return nullptr;
    using State = auth::OAuthAccount::State;
    const State state = m_signIn->state();
    // While the keyring and the desktop's accounts are being looked at, a client id is enough.
    if (state == State::Unavailable ||
        (state == State::Checking && m_signIn->provider().clientId.isEmpty()))
        return nullptr;
    return m_signIn;
}

void MainWindow::updateSignInPanel()
{
    using State = auth::OAuthAccount::State;
    const std::shared_ptr<auth::OAuthAccount> signIn = signInInUse();
    m_passwordEdit->setVisible(!signIn);
    m_signInPanel->setVisible(bool(signIn));
    m_passwordLabel->setText(signIn ? QStringLiteral("Account:") : QStringLiteral("Password:"));
    m_passwordLabel->setBuddy(signIn ? static_cast<QWidget *>(m_signInButton) : m_passwordEdit);
    const bool unregistered = m_signIn && !m_accountTimer->isActive() &&
                              m_signIn->state() == State::Unavailable &&
                              m_signIn->provider().builtIn;
    m_signInNote->setVisible(unregistered);
    if (unregistered)
        m_signInNote->setText(
            QStringLiteral("This build of Fernquill has no client id for %1: type an app "
                           "password, or add a client id as \"Signing in with OAuth 2.0\" in "
                           "the README says.")
                .arg(m_signIn->provider().name));
    if (signIn) {
        // The name may come from the settings file: no "&" shortcut in it.
        const QString provider =
            QString(signIn->provider().name).replace(u'&', QStringLiteral("&&"));
        m_signInButton->setVisible(true);
        switch (signIn->state()) {
        case State::SignedIn:
            m_signInLabel->setText(QStringLiteral("Signed in as ") + signIn->login());
            m_signInButton->setText(QStringLiteral("Sign out"));
            // The desktop's account is the desktop's to end.
            m_signInButton->setVisible(!signIn->usesDesktopAccount());
            break;
        case State::SigningIn:
            m_signInLabel->setText(QStringLiteral("Finish signing in in the web browser"));
            m_signInButton->setText(QStringLiteral("Cancel"));
            break;
        default:
            m_signInLabel->clear();
            m_signInButton->setText(QStringLiteral("Sign in with %1\u2026").arg(provider));
        }
    }
    updateBrowseButton();
}

void MainWindow::onSignInButtonClicked()
{
    const std::shared_ptr<auth::OAuthAccount> signIn = signInInUse();
    if (!signIn)
        return;
    using State = auth::OAuthAccount::State;
    if (signIn->state() == State::SignedIn || signIn->state() == State::SigningIn) {
        m_signInClicked = false;
        signIn->signOut();
        return;
    }
    m_signInClicked = true;
    signIn->requestToken(false);
}

void MainWindow::refreshSearchKey()
{
    search::SearchCriteria c;
    c.body = m_bodyEdit->text();
    c.subject = m_subjectEdit->text();
    c.bodyOrSubject = m_bodyOrSubjectEdit->text();
    c.from = m_fromEdit->text();
    c.toOrCc = m_toOrCcEdit->text();
    c.toOrFrom = m_toOrFromEdit->text();
    // The date fields count with their last accepted text: what is being typed, or was refused,
    // is not part of the key.
    c.after = m_acceptedAfter;
    c.before = m_acceptedBefore;
    c.hasAttachment = m_attachmentCheck->isChecked();
    m_searchKey = search::buildSearchKey(c);
    m_searchKeyLabel->setText(m_searchKey.text());
    // During a run the button is the Stop button and stays usable whatever the criteria hold.
    if (!m_engine->isRunning())
        m_searchButton->setEnabled(!m_searchKey.isEmpty());
}

bool MainWindow::validateDateField(QLineEdit *field)
{
    QLineEdit *other = (field == m_afterEdit) ? m_beforeEdit : m_afterEdit;
    const search::DateFieldValidation v =
        search::validateDateField(field->text(), other->text(), field == m_beforeEdit);
    if (v.cancel)
        return false;
    if (v.thisText != field->text())
        field->setText(v.thisText);
    (field == m_afterEdit ? m_acceptedAfter : m_acceptedBefore) = v.thisText;
    refreshSearchKey();
    return true;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut && (watched == m_afterEdit || watched == m_beforeEdit)) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        // Switching to another window or opening a context menu is not leaving the field.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && !m_closing) {
            auto *field = static_cast<QLineEdit *>(watched);
            if (!validateDateField(field)) {
                // Not a date: the focus goes back to the field, the text stays as typed.
                QMetaObject::invokeMethod(
                    field, [field] { field->setFocus(Qt::OtherFocusReason); },
                    Qt::QueuedConnection);
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    m_closing = true;
    saveWindowSettings();
    // One LOGOUT on each open connection, sockets closed; nothing more is reported.
    m_engine->shutdown();
    m_browse->shutdown();
    // A question still open has nothing left to answer for.
    for (SecurityDialog *dialog : findChildren<SecurityDialog *>(Qt::FindDirectChildrenOnly))
        dialog->close();
    event->accept();
}
