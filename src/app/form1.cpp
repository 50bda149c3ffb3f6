#include "app/form1.h"

#include "app/flowguard.h"
#include "imap/command.h"
#include "imap/listparser.h"
#include "platform/settingsstore.h"
#include "results/resultsmodel.h"
#include "search/dates.h"
#include "search/searchkey.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
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
#include <QScrollBar>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>

namespace {

const QString kSection = QStringLiteral("LastUse");
const QString kWindowSection = QStringLiteral("Window");

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

Form1::Form1(QWidget *parent)
    : QWidget(parent), m_settings(new platform::SettingsStore),
      m_model(new results::ResultsModel(this))
{
    buildControls();
    connect(&m_channel, &imap::ImapChannel::responseCompleted, this,
            &Form1::SaveConnectionSettings);
    m_channel.setParser(QStringLiteral("GETFOLDERLIST"),
                        [this](const imap::Response &r) { onListResponse(r); });
    m_channel.setParser(QStringLiteral("SEARCHED"),
                        [this](const imap::Response &r) { onSearchResponse(r); });
    m_channel.setParser(QStringLiteral("FETCHED"),
                        [this](const imap::Response &r) { onFetchResponse(r); });
    Form_Load();
}

Form1::~Form1()
{
    delete m_settings;
}

void Form1::buildControls()
{
    setWindowTitle(QStringLiteral("Fernquill Tool"));
    setObjectName(QStringLiteral("Form1"));

    auto named = [](auto *w, const char *name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };

    txtServer = named(new QLineEdit(this), "txtServer");
    txtLogin = named(new QLineEdit(this), "txtLogin");
    txtPassword = named(new QLineEdit(this), "txtPassword");
    txtPassword->setEchoMode(QLineEdit::Password);
    auto *starStyle = new StarPasswordStyle;
    starStyle->setParent(txtPassword);
    txtPassword->setStyle(starStyle);
    txtOnlyFolder =
        named(new QLineEdit(QStringLiteral("{Search All Folders}"), this), "txtOnlyFolder");
    txtOnlyFolder->setReadOnly(true);
    {
        QPalette pal = txtOnlyFolder->palette();
        pal.setColor(QPalette::Base, pal.color(QPalette::Button));
        txtOnlyFolder->setPalette(pal);
    }
    Command1 = named(new QPushButton(QStringLiteral("All Folders"), this), "Command1");
    cmdBrowse = named(new QPushButton(QStringLiteral("Browse..."), this), "cmdBrowse");
    chkExactly = named(new QCheckBox(QStringLiteral("Include Subfldrs"), this), "chkExactly");
    chkExactly->setChecked(true);

    txtBodySearch = named(new QLineEdit(this), "txtBodySearch");
    txtSubjectSearch = named(new QLineEdit(this), "txtSubjectSearch");
    txtBodyOrSub = named(new QLineEdit(this), "txtBodyOrSub");
    txtFromSearch = named(new QLineEdit(this), "txtFromSearch");
    txtToOrCC = named(new QLineEdit(this), "txtToOrCC");
    txtToOrFrom = named(new QLineEdit(this), "txtToOrFrom");
    txtAfter = named(new QLineEdit(this), "txtAfter");
    txtBefore = named(new QLineEdit(this), "txtBefore");
    txtAfter->setPlaceholderText(QStringLiteral("m/d/yyyy"));
    txtBefore->setPlaceholderText(QStringLiteral("m/d/yyyy"));
    // However narrow the window, the connection fields keep room for a typical value and the
    // date fields for a whole date.
    const int charWidth = fontMetrics().averageCharWidth();
    for (QLineEdit *field : {txtServer, txtLogin, txtPassword})
        field->setMinimumWidth(16 * charWidth);
    for (QLineEdit *field : {txtAfter, txtBefore})
        field->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("12/31/2026")) +
                               3 * charWidth);
    chkAttach = named(new QCheckBox(QStringLiteral("Has Attachment"), this), "chkAttach");

    Label6 = named(new QLabel(QStringLiteral("Search Results"), this), "Label6");
    MSHFlexGrid1 = named(new results::ResultsView(m_model, this), "MSHFlexGrid1");
    MSHFlexGrid1->setMinimumHeight(160);

    lblSearchString = named(new QLabel(this), "lblSearchString");
    cmdSearch = named(new QPushButton(QStringLiteral("Search"), this), "cmdSearch");
    cmdSearch->setEnabled(false);
    cmdSearch->setDefault(false);
    cmdSearch->setAutoDefault(false);
    lblStatus = named(new QLabel(this), "lblStatus");
    lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    prgFolders = named(new QProgressBar(this), "prgFolders");
    prgFolders->setFormat(QStringLiteral("%v/%m folders"));
    prgFolders->setMaximumWidth(180);
    prgFolders->hide();
    cmdAbout = named(new QPushButton(QStringLiteral("About..."), this), "cmdAbout");
    cmdAbout->setAutoDefault(false);
    Line1 = named(makeLine(this), "Line1");
    Line2 = named(makeLine(this), "Line2");

    // Connection fields on the left, the folder scope on the right.
    auto *connection = new QGridLayout;
    connection->addWidget(named(makeLabel(QStringLiteral("Server:"), txtServer, this), "Label1"), 0,
                          0);
    connection->addWidget(txtServer, 0, 1);
    connection->addWidget(named(makeLabel(QStringLiteral("Login:"), txtLogin, this), "Label2"), 1,
                          0);
    connection->addWidget(txtLogin, 1, 1);
    connection->addWidget(
        named(makeLabel(QStringLiteral("Password:"), txtPassword, this), "Label3"), 2, 0);
    connection->addWidget(txtPassword, 2, 1);

    auto *scope = new QGridLayout;
    scope->addWidget(
        named(makeLabel(QStringLiteral("Only Search Folders Named:"), txtOnlyFolder, this),
              "Label4"),
        0, 0);
    scope->addWidget(chkExactly, 0, 1, Qt::AlignRight);
    scope->addWidget(txtOnlyFolder, 1, 0, 1, 2);
    auto *scopeButtons = new QHBoxLayout;
    scopeButtons->addWidget(Command1);
    scopeButtons->addWidget(cmdBrowse);
    scopeButtons->addStretch(1);
    scope->addLayout(scopeButtons, 2, 0, 1, 2);
    scope->setRowStretch(3, 1);

    auto *top = new QHBoxLayout;
    top->addLayout(connection, 1);
    top->addSpacing(16);
    top->addLayout(scope, 1);

    // The criteria in three columns.
    auto *criteria = new QGridLayout;
    auto addField = [&](int row, int col, const char *caption, const char *labelName,
                        QWidget *field) {
        criteria->addWidget(named(makeLabel(QLatin1String(caption), field, this), labelName), row,
                            col);
        criteria->addWidget(field, row, col + 1);
    };
    addField(1, 0, "Body:", "Label5", txtBodySearch);
    addField(2, 0, "Subject:", "Label7", txtSubjectSearch);
    addField(3, 0, "Body or Subject:", "Label8", txtBodyOrSub);
    addField(1, 2, "From:", "Label9", txtFromSearch);
    addField(2, 2, "To or CC:", "Label10", txtToOrCC);
    addField(3, 2, "To or From:", "Label14", txtToOrFrom);
    auto *received = named(new QLabel(QStringLiteral("Received"), this), "Label11");
    QFont bold = received->font();
    bold.setBold(true);
    received->setFont(bold);
    criteria->addWidget(received, 0, 4, 1, 2);
    addField(1, 4, "On/After:", "Label13", txtAfter);
    addField(2, 4, "On/Before:", "Label12", txtBefore);
    criteria->addWidget(chkAttach, 3, 4, 1, 2);
    criteria->setColumnStretch(1, 3);
    criteria->setColumnStretch(3, 3);
    criteria->setColumnStretch(5, 2);

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(cmdSearch);
    bottom->addWidget(lblStatus, 1);
    bottom->addWidget(prgFolders);
    bottom->addWidget(cmdAbout);

    auto *main = new QVBoxLayout(this);
    main->addLayout(top);
    main->addWidget(Line1);
    main->addLayout(criteria);
    main->addWidget(Line2);
    main->addWidget(Label6);
    main->addWidget(MSHFlexGrid1, 1);
    main->addWidget(lblSearchString);
    main->addLayout(bottom);

    QWidget::setTabOrder(txtServer, txtLogin);
    QWidget::setTabOrder(txtLogin, txtPassword);
    QWidget::setTabOrder(txtPassword, txtOnlyFolder);
    QWidget::setTabOrder(txtOnlyFolder, chkExactly);
    QWidget::setTabOrder(chkExactly, txtBodySearch);
    QWidget::setTabOrder(txtBodySearch, txtSubjectSearch);
    QWidget::setTabOrder(txtSubjectSearch, txtBodyOrSub);
    QWidget::setTabOrder(txtBodyOrSub, txtFromSearch);
    QWidget::setTabOrder(txtFromSearch, txtToOrCC);
    QWidget::setTabOrder(txtToOrCC, txtToOrFrom);
    QWidget::setTabOrder(txtToOrFrom, txtAfter);
    QWidget::setTabOrder(txtAfter, txtBefore);
    QWidget::setTabOrder(txtBefore, chkAttach);
    QWidget::setTabOrder(chkAttach, cmdSearch);
    QWidget::setTabOrder(cmdSearch, MSHFlexGrid1);
    QWidget::setTabOrder(MSHFlexGrid1, cmdBrowse);
    QWidget::setTabOrder(cmdBrowse, Command1);
    QWidget::setTabOrder(Command1, cmdAbout);

    connect(txtServer, &QLineEdit::textChanged, this, &Form1::txtServer_Change);
    connect(txtLogin, &QLineEdit::textChanged, this, &Form1::txtServer_Change);
    connect(txtPassword, &QLineEdit::textChanged, this, &Form1::txtServer_Change);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(cmdBrowse, &QPushButton::clicked, this, &Form1::cmdBrowse_Click);
    connect(cmdSearch, &QPushButton::clicked, this, &Form1::cmdSearch_Click);
    for (QLineEdit *field :
         {txtBodySearch, txtSubjectSearch, txtBodyOrSub, txtFromSearch, txtToOrCC, txtToOrFrom})
        connect(field, &QLineEdit::textChanged, this, &Form1::RefreshSearchKey);
    connect(chkAttach, &QCheckBox::clicked, this, &Form1::RefreshSearchKey);
    for (QLineEdit *field : {txtBodySearch, txtSubjectSearch, txtBodyOrSub, txtFromSearch,
                             txtToOrCC, txtToOrFrom, txtAfter, txtBefore})
        connect(field, &QLineEdit::returnPressed, this,
                [this, field] { StartSearchFromField(field); });
    auto *stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(stop, &QShortcut::activated, this, &Form1::RequestStop);
    connect(cmdAbout, &QPushButton::clicked, this, &Form1::ShowAbout);
    connect(MSHFlexGrid1->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int, int, int) {
                if (m_settingWidths)
                    return;
                m_columnWidths.clear();
                for (int c = 0; c < results::ResultsModel::ColumnCount; ++c)
                    m_columnWidths.append(MSHFlexGrid1->columnWidth(c));
            });
    // The date fields are checked when they lose the focus, not while typing.
    txtAfter->installEventFilter(this);
    txtBefore->installEventFilter(this);

    resize(760, 560);
}

void Form1::Form_Load()
{
    FolderTable.clear();
    RestoreWindowSettings();
    SetupGrid();
    lblSearchString->hide();
    txtServer->setText(m_settings->GetSetting(kSection, QStringLiteral("Server")));
    txtLogin->setText(m_settings->GetSetting(kSection, QStringLiteral("Login")));
    txtPassword->setText(m_settings->GetSetting(kSection, QStringLiteral("pw")));
}

void Form1::SetupGrid()
{
    m_model->clear();
    if (!m_columnWidths.isEmpty()) {
        // The user has sized the columns: keep that.
        ApplyColumnWidths(m_columnWidths);
        return;
    }
    // Shares of the grid's width: Folder 3, Date 5, Subject 7, From 5 (of 20).
    static constexpr int kShares[results::ResultsModel::ColumnCount] = {3, 5, 7, 5};
    // Leave room for the vertical scroll bar that many rows will bring, so the columns still
    // fit the grid then.
    double width = MSHFlexGrid1->viewport()->width();
    if (!MSHFlexGrid1->verticalScrollBar()->isVisible())
        width -=
            MSHFlexGrid1->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, MSHFlexGrid1);
    QList<int> widths;
    for (int col = 0; col < results::ResultsModel::ColumnCount; ++col)
        widths.append(int(std::nearbyint(width * kShares[col] / 20.0)));
    ApplyColumnWidths(widths);
}

void Form1::ApplyColumnWidths(const QList<int> &widths)
{
    m_settingWidths = true;
    for (int col = 0; col < widths.size() && col < results::ResultsModel::ColumnCount; ++col)
        MSHFlexGrid1->setColumnWidth(col, widths[col]);
    m_settingWidths = false;
}

void Form1::SaveWindowSettings()
{
    m_settings->SaveSetting(kWindowSection, QStringLiteral("Geometry"),
                            QString::fromLatin1(saveGeometry().toBase64()));
    QStringList widths;
    for (int w : std::as_const(m_columnWidths))
        widths.append(QString::number(w));
    m_settings->SaveSetting(kWindowSection, QStringLiteral("ColumnWidths"),
                            widths.join(QLatin1Char(',')));
    m_settings->sync();
}

void Form1::RestoreWindowSettings()
{
    const QString geometry = m_settings->GetSetting(kWindowSection, QStringLiteral("Geometry"));
    if (!geometry.isEmpty())
        restoreGeometry(QByteArray::fromBase64(geometry.toLatin1()));
    const QStringList widths =
        m_settings->GetSetting(kWindowSection, QStringLiteral("ColumnWidths"))
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

void Form1::StartSearchFromField(QLineEdit *field)
{
    if (cmdSearch->text() != QStringLiteral("Search"))
        return;
    // A date field is checked as if it were left; a refused date starts nothing.
    if ((field == txtAfter || field == txtBefore) && !validateDateField(field))
        return;
    if (cmdSearch->isEnabled())
        cmdSearch_Click();
}

void Form1::RequestStop()
{
    if (cmdSearch->text() == QStringLiteral("Stop"))
        cmdSearch_Click();
}

void Form1::ShowAbout()
{
    QMessageBox::about(
        this, QStringLiteral("About Fernquill"),
        QStringLiteral("<h3>Fernquill %1</h3>"
                       "<p>Searches the folders of an IMAP server for messages matching a set "
                       "of criteria and lists the hits. It never changes anything on the "
                       "server.</p>"
                       "<p>Licensed under the GNU General Public License, version 3 or any "
                       "later version.</p>")
            .arg(QStringLiteral(FQ_VERSION)));
}

void Form1::SetRunIndicators(bool running, int foldersInScope)
{
    if (running) {
        MSHFlexGrid1->viewport()->setCursor(Qt::BusyCursor);
        prgFolders->setRange(0, qMax(foldersInScope, 0));
        prgFolders->setValue(0);
        prgFolders->setVisible(foldersInScope > 0);
    } else {
        MSHFlexGrid1->viewport()->unsetCursor();
        prgFolders->hide();
    }
}

void Form1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_gridLaidOut) {
        // The grid has its real width only once the window is laid out.
        m_gridLaidOut = true;
        SetupGrid();
    }
}

void Form1::Command1_Click()
{
    txtOnlyFolder->setText(QStringLiteral("{Search All Folders}"));
}

void Form1::txtServer_Change()
{
    cmdBrowse->setEnabled(!m_channel.isConnected() && !txtPassword->text().isEmpty() &&
                          !txtLogin->text().isEmpty() && !txtServer->text().isEmpty());
}

void Form1::SaveConnectionSettings()
{
    m_settings->SaveSetting(kSection, QStringLiteral("Server"), txtServer->text());
    m_settings->SaveSetting(kSection, QStringLiteral("Login"), txtLogin->text());
    m_settings->SaveSetting(kSection, QStringLiteral("pw"), txtPassword->text());
    m_settings->sync();
}

bool Form1::ConnectAndLogin()
{
    lblStatus->setText(QStringLiteral("Connecting to ") + txtServer->text() +
                       QStringLiteral("..."));
    if (!m_channel.Connect(imap::ParseServerAddress(txtServer->text()))) {
        ShowChannelError();
        return false;
    }
    const imap::Response &greeting = m_channel.greeting();
    if (greeting.status() == imap::Response::Status::Bye) {
        m_channel.Close();
        QString reason = QStringLiteral("Error: server refused the connection");
        const QByteArray text = greeting.statusText();
        if (!text.isEmpty())
            reason += QStringLiteral(": ") + QString::fromUtf8(text);
        lblStatus->setText(reason);
        return false;
    }
    if (greeting.status() == imap::Response::Status::Preauth)
        return true;

    lblStatus->setText(QStringLiteral("Logging in..."));
    const imap::Command login = imap::CommandBuilder("1 LOGIN ")
                                    .astring(txtLogin->text().toUtf8())
                                    .raw(" ")
                                    .astring(txtPassword->text().toUtf8())
                                    .finish();
    if (!m_channel.SendAndWait(QStringLiteral("LOGIN"), login)) {
        ShowChannelError();
        return false;
    }
    if (m_channel.lastResponse().status() != imap::Response::Status::Ok)
        return EndRefused(QStringLiteral("Error: login failed"));
    return true;
}

bool Form1::EndRefused(const QString &what)
{
    const QByteArray text = m_channel.lastResponse().statusText();
    // Say goodbye politely; the refusal is what the user needs to see.
    LogoutAndClose();
    if (m_channel.wasAborted())
        return false;
    lblStatus->setText(text.isEmpty() ? what
                                      : what + QStringLiteral(": ") + QString::fromUtf8(text));
    return false;
}

bool Form1::GetFolderList()
{
    lblStatus->setText(QStringLiteral("Getting Folder List..."));
    if (!m_channel.SendAndWait(QStringLiteral("GETFOLDERLIST"),
                               imap::CommandBuilder("1 LIST \"\" \"*\"").finish())) {
        ShowChannelError();
        return false;
    }
    // Without the folder list there is nothing to search or pick: a refusal must not read as
    // a search of no folders.
    if (m_channel.lastResponse().status() != imap::Response::Status::Ok)
        return EndRefused(QStringLiteral("Error: server refused the folder list"));
    return true;
}

void Form1::onListResponse(const imap::Response &response)
{
    FolderTable = imap::ParseListResponse(response.lines);
}

void Form1::RefreshSearchKey()
{
    search::SearchCriteria c;
    c.txtBodySearch = txtBodySearch->text();
    c.txtSubjectSearch = txtSubjectSearch->text();
    c.txtBodyOrSub = txtBodyOrSub->text();
    c.txtFromSearch = txtFromSearch->text();
    c.txtToOrCC = txtToOrCC->text();
    c.txtToOrFrom = txtToOrFrom->text();
    // The date fields count with their last accepted text: what is being typed, or was refused,
    // is not part of the key.
    c.txtAfter = m_acceptedAfter;
    c.txtBefore = m_acceptedBefore;
    c.chkAttach = chkAttach->isChecked();
    m_searchKey = search::BuildSearchKey(c);
    lblSearchString->setText(m_searchKey.text());
    // During a run the button is the Stop button and stays usable whatever the criteria hold.
    if (cmdSearch->text() == QStringLiteral("Search"))
        cmdSearch->setEnabled(!m_searchKey.isEmpty());
}

bool Form1::validateDateField(QLineEdit *field)
{
    QLineEdit *other = (field == txtAfter) ? txtBefore : txtAfter;
    const search::DateFieldValidation v =
        search::ValidateDateField(field->text(), other->text(), field == txtBefore);
    if (v.cancel)
        return false;
    if (v.thisText != field->text())
        field->setText(v.thisText);
    (field == txtAfter ? m_acceptedAfter : m_acceptedBefore) = v.thisText;
    RefreshSearchKey();
    return true;
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut && (watched == txtAfter || watched == txtBefore)) {
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

bool Form1::LogoutAndClose()
{
    lblStatus->setText(QStringLiteral("Logging out..."));
    const bool ok =
        m_channel.SendAndWait(QStringLiteral("LOGOUT"), imap::CommandBuilder("1 LOGOUT").finish());
    m_channel.Close();
    return ok;
}

void Form1::ShowChannelError()
{
    if (m_channel.wasAborted() || m_closing)
        return;
    QString reason = m_channel.errorText();
    lblStatus->setText(reason.isEmpty() ? QStringLiteral("Error")
                                        : QStringLiteral("Error: ") + reason);
}

void Form1::closeEvent(QCloseEvent *event)
{
    m_closing = true;
    SaveWindowSettings();
    // One LOGOUT if connected, socket closed, a waiting flow told to end.
    m_channel.shutdown();
    event->accept();
}
