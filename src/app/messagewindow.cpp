#include "app/messagewindow.h"

#include "app/securitydialog.h"
#include "message/safefilename.h"
#include "results/dateformat.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

enum Page { LoadingPage = 0, ErrorPage = 1, MessagePage = 2 };

// Laying out text takes the UI thread about 80 ms per million characters: longer texts are cut
// there (the saved message keeps all of it).
constexpr qsizetype kMaxShownChars = 1 << 20;
enum AttachmentColumn { NameColumn = 0, TypeColumn, SizeColumn, SaveColumn };

// The folder the last file was saved in, shared by all message windows.
QString &lastFolder()
{
    static QString folder;
    return folder;
}

QString startFolder()
{
    if (!lastFolder().isEmpty() && QFileInfo(lastFolder()).isDir())
        return lastFolder();
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return downloads.isEmpty() ? QDir::homePath() : downloads;
}

// The bytes of a data: URL ("data:image/png;base64,..."), empty when it is none.
QByteArray dataUrlBytes(const QUrl &url)
{
    const QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    const qsizetype comma = path.indexOf(',');
    if (comma < 0)
        return {};
    const QByteArray payload = QByteArray::fromPercentEncoding(path.sliced(comma + 1));
    if (path.first(comma).endsWith(";base64"))
        return QByteArray::fromBase64(payload);
    return payload;
}

// Shows message text. Loads nothing from outside the message: QTextDocument would otherwise
// read any file a message names (even a device that never ends), and links are not followed.
class MessageTextView : public QTextBrowser
{
public:
    explicit MessageTextView(QWidget *parent) : QTextBrowser(parent)
    {
        setOpenLinks(false);
        setOpenExternalLinks(false);
        setReadOnly(true);
    }

protected:
    // The text's own tooltips (an HTML "title" attribute) are shown as plain text: the toolkit
    // would read one that looks like HTML as markup, and load the images it names.
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::ToolTip)
            return QTextBrowser::event(event);
        const auto *help = static_cast<QHelpEvent *>(event);
        const QString tip =
            cursorForPosition(viewport()->mapFrom(this, help->pos())).charFormat().toolTip();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(tip), this);
        return true;
    }

public:
    QVariant loadResource(int type, const QUrl &name) override
    {
        if (type == QTextDocument::ImageResource && name.scheme() == QLatin1String("data")) {
            const QByteArray bytes = dataUrlBytes(name);
            if (!bytes.isEmpty())
                return bytes;
        }
        // An empty value that is not null, so that the document does not go looking itself.
        if (type == QTextDocument::ImageResource)
            return QImage();
        return QString();
    }
};

QLabel *headerLabel(QWidget *parent, const char *objectName)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextFormat(Qt::PlainText); // header text is never markup
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

} // namespace

MessageWindow::MessageWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("messageWindow"));
    setWindowTitle(QStringLiteral("Loading message…"));
    resize(760, 600);

    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("pages"));

    // Loading.
    auto *loading = new QWidget(m_pages);
    m_loadingLabel = new QLabel(QStringLiteral("Loading message…"), loading);
    m_loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
    m_progressBar = new QProgressBar(loading);
    m_progressBar->setObjectName(QStringLiteral("loadingProgress"));
    m_progressBar->setRange(0, 0); // busy: the server does not say how long it will take
    m_progressBar->setTextVisible(false);
    m_progressLabel = new QLabel(loading);
    m_progressLabel->setObjectName(QStringLiteral("progressLabel"));
    m_progressLabel->setTextFormat(Qt::PlainText);
    auto *loadingLayout = new QVBoxLayout(loading);
    loadingLayout->addStretch();
    loadingLayout->addWidget(m_loadingLabel, 0, Qt::AlignHCenter);
    loadingLayout->addWidget(m_progressBar);
    loadingLayout->addWidget(m_progressLabel, 0, Qt::AlignHCenter);
    loadingLayout->addStretch();

    // Failure.
    auto *failure = new QWidget(m_pages);
    m_errorLabel = new QLabel(failure);
    m_errorLabel->setObjectName(QStringLiteral("errorLabel"));
    m_errorLabel->setTextFormat(Qt::PlainText);
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *failureLayout = new QVBoxLayout(failure);
    failureLayout->addStretch();
    failureLayout->addWidget(m_errorLabel, 0, Qt::AlignHCenter);
    failureLayout->addStretch();

    // The message.
    auto *page = new QWidget(m_pages);
    auto *headers = new QFormLayout;
    m_from = headerLabel(page, "fromLabel");
    m_to = headerLabel(page, "toLabel");
    m_cc = headerLabel(page, "ccLabel");
    m_date = headerLabel(page, "dateLabel");
    m_subject = headerLabel(page, "subjectLabel");
    headers->addRow(QStringLiteral("From:"), m_from);
    headers->addRow(QStringLiteral("To:"), m_to);
    headers->addRow(QStringLiteral("Cc:"), m_cc);
    headers->addRow(QStringLiteral("Date:"), m_date);
    headers->addRow(QStringLiteral("Subject:"), m_subject);

    m_text = new MessageTextView(page);
    m_text->setObjectName(QStringLiteral("textView"));
    m_textCut = new QLabel(
        QStringLiteral("The text is too long to be shown whole; Save Message… keeps all of it."),
        page);
    m_textCut->setObjectName(QStringLiteral("textCutLabel"));
    m_textCut->setWordWrap(true);
    m_textCut->hide();
    auto *textBox = new QWidget(page);
    auto *textLayout = new QVBoxLayout(textBox);
    textLayout->setContentsMargins(0, 0, 0, 0);
    textLayout->addWidget(m_text, 1);
    textLayout->addWidget(m_textCut);

    m_attachmentBox = new QWidget(page);
    m_attachments = new QTreeWidget(m_attachmentBox);
    m_attachments->setObjectName(QStringLiteral("attachmentList"));
    m_attachments->setRootIsDecorated(false);
    m_attachments->setHeaderLabels(
        {QStringLiteral("Attachment"), QStringLiteral("Type"), QStringLiteral("Size"), QString()});
    m_attachments->header()->setStretchLastSection(false);
    m_attachments->header()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    m_attachments->header()->setSectionResizeMode(TypeColumn, QHeaderView::ResizeToContents);
    m_attachments->header()->setSectionResizeMode(SizeColumn, QHeaderView::ResizeToContents);
    m_attachments->header()->setSectionResizeMode(SaveColumn, QHeaderView::ResizeToContents);
    connect(m_attachments, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        saveAttachment(m_attachments->indexOfTopLevelItem(item));
    });
    m_omitted = new QLabel(
        QStringLiteral("Some parts of this message are nested too deeply or are too many to be "
                       "listed."),
        m_attachmentBox);
    m_omitted->setObjectName(QStringLiteral("omittedLabel"));
    m_omitted->setWordWrap(true);
    auto *attachmentLayout = new QVBoxLayout(m_attachmentBox);
    attachmentLayout->setContentsMargins(0, 0, 0, 0);
    attachmentLayout->addWidget(m_attachments);
    attachmentLayout->addWidget(m_omitted);

    auto *splitter = new QSplitter(Qt::Vertical, page);
    splitter->addWidget(textBox);
    splitter->addWidget(m_attachmentBox);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);

    auto *pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->addLayout(headers);
    pageLayout->addWidget(splitter, 1);

    m_pages->insertWidget(LoadingPage, loading);
    m_pages->insertWidget(ErrorPage, failure);
    m_pages->insertWidget(MessagePage, page);

    // Buttons and the outcome of the last save.
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setTextFormat(Qt::PlainText);
    m_saveAll = new QPushButton(QStringLiteral("Save All…"), this);
    m_saveAll->setObjectName(QStringLiteral("saveAllButton"));
    m_saveMessage = new QPushButton(QStringLiteral("Save Message…"), this);
    m_saveMessage->setObjectName(QStringLiteral("saveMessageButton"));
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    m_saveAll->setEnabled(false);
    m_saveMessage->setEnabled(false);
    connect(m_saveAll, &QPushButton::clicked, this, &MessageWindow::saveAll);
    connect(m_saveMessage, &QPushButton::clicked, this, &MessageWindow::saveMessage);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_saveAll);
    buttons->addWidget(m_saveMessage);
    buttons->addWidget(close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_pages, 1);
    layout->addLayout(buttons);

    m_pages->setCurrentIndex(LoadingPage);
}

MessageWindow::~MessageWindow() = default;

void MessageWindow::fetch(const imap::Account &account, const message::MessageRef &ref)
{
    if (m_job)
        return;
    m_job = new message::MessageFetchJob(this);
    connect(m_job, &message::MessageFetchJob::progress, this, &MessageWindow::showProgress);
    connect(m_job, &message::MessageFetchJob::fetched, this, &MessageWindow::showMessage);
    connect(m_job, &message::MessageFetchJob::failed, this, &MessageWindow::showError);
    connect(m_job, &message::MessageFetchJob::finished, m_job, &QObject::deleteLater);
    m_job->setConnectionLog(m_log);
    if (m_trust) {
        m_job->setServerTrust(m_trust);
        connect(m_job, &message::MessageFetchJob::securityQuestion, this,
                [this](const imap::SecurityProblem &problem) {
                    SecurityDialog::ask(
                        this, problem, *m_trust,
                        [job = m_job] {
                            if (job)
                                job->resume();
                        },
                        [job = m_job] {
                            if (job)
                                job->cancel();
                        });
                });
    }
    m_job->start(account, ref);
}

void MessageWindow::showProgress(const QString &text)
{
    m_progressLabel->setText(text);
}

void MessageWindow::showError(const QString &text)
{
    m_errorLabel->setText(text);
    m_pages->setCurrentIndex(ErrorPage);
    setWindowTitle(QStringLiteral("Message"));
}

void MessageWindow::showMessage(const QByteArray &raw)
{
    if (m_watcher)
        return; // one message per window
    m_raw = raw;
    m_saveMessage->setEnabled(true);
    showProgress(QStringLiteral("Reading the message…"));
    // Reading a large message takes a while; the window stays responsive meanwhile. A window
    // closed before the reading ends leaves the worker to finish on its own copy.
    m_watcher = new QFutureWatcher<message::MessageContent>(this);
    connect(m_watcher, &QFutureWatcher<message::MessageContent>::finished, this,
            &MessageWindow::onParsed);
    m_watcher->setFuture(QtConcurrent::run([raw] { return message::parseMessage(raw); }));
}

void MessageWindow::onParsed()
{
    m_content = m_watcher->result();
    const message::MessageContent &c = m_content;
    m_from->setText(c.from);
    m_to->setText(c.to);
    m_cc->setText(c.cc);
    m_date->setText(results::formatDate(c.date));
    m_subject->setText(c.subject);
    setWindowTitle(c.subject.simplified().isEmpty() ? QStringLiteral("(no subject)")
                                                    : c.subject.simplified());
    const QString shown = c.text.left(kMaxShownChars);
    if (c.isHtml)
        m_text->setHtml(shown);
    else
        m_text->setPlainText(shown);
    m_textCut->setVisible(shown.size() < c.text.size());

    const QLocale locale;
    for (int i = 0; i < c.attachments.size(); ++i) {
        const message::Attachment &a = c.attachments.at(i);
        auto *item = new QTreeWidgetItem(m_attachments);
        // The name as Save proposes it: no folders, no invisible controls that could make
        // "invoice<RLO>fdp.exe" read as "invoiceexe.pdf".
        item->setText(NameColumn, message::safeFileName(a.name));
        item->setText(TypeColumn, a.mimeType);
        item->setText(SizeColumn, locale.formattedDataSize(a.size()));
        item->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
        auto *save = new QPushButton(QStringLiteral("Save…"));
        save->setObjectName(QStringLiteral("saveAttachment%1").arg(i));
        connect(save, &QPushButton::clicked, this, [this, i] { saveAttachment(i); });
        m_attachments->setItemWidget(item, SaveColumn, save);
    }
    m_attachmentBox->setVisible(!c.attachments.isEmpty() || c.omittedParts > 0);
    m_omitted->setVisible(c.omittedParts > 0);
    m_saveAll->setEnabled(!c.attachments.isEmpty());
    m_pages->setCurrentIndex(MessagePage);
    emit messageShown();
}

void MessageWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MessageWindow::askFile(const QString &objectName, const QString &caption,
                            const QString &proposedName,
                            std::function<void(const QString &)> chosen)
{
    auto *dialog = new QFileDialog(this, caption);
    dialog->setObjectName(objectName);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setDirectory(startFolder());
    dialog->selectFile(proposedName);
    connect(dialog, &QFileDialog::fileSelected, this, [chosen](const QString &path) {
        lastFolder() = QFileInfo(path).absolutePath();
        chosen(path);
    });
    dialog->open();
}

void MessageWindow::saveAttachment(int index)
{
    if (index < 0 || index >= m_content.attachments.size())
        return;
    const message::Attachment &a = m_content.attachments.at(index);
    askFile(QStringLiteral("saveAttachmentDialog"), QStringLiteral("Save Attachment"),
            message::safeFileName(a.name),
            [this, data = a.data](const QString &path) { writeFile(path, data); });
}

void MessageWindow::saveMessage()
{
    // A subject is text, not a path: its slashes ("Q1/Q2 figures") are kept as "_".
    QString subject = m_content.subject.simplified();
    subject.replace(QLatin1Char('/'), QLatin1Char('_'))
        .replace(QLatin1Char('\\'), QLatin1Char('_'));
    const QString name = message::safeFileName(
        (subject.isEmpty() ? QStringLiteral("message") : subject) + QStringLiteral(".eml"));
    askFile(QStringLiteral("saveMessageDialog"), QStringLiteral("Save Message"), name,
            [this](const QString &path) { writeFile(path, m_raw); });
}

void MessageWindow::saveAll()
{
    auto *dialog = new QFileDialog(this, QStringLiteral("Save All Attachments"), startFolder());
    dialog->setObjectName(QStringLiteral("saveAllDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &folder) {
        lastFolder() = folder;
        // Names as cleaned for saving; a name already taken, in the folder or by an earlier
        // attachment, gets " (2)", " (3)", ...: nothing is overwritten.
        qsizetype saved = 0;
        QString error;
        for (const message::Attachment &a : std::as_const(m_content.attachments)) {
            if (message::saveNewFile(folder, message::safeFileName(a.name), a.data, &error)
                    .isEmpty())
                break;
            ++saved;
        }
        if (saved == m_content.attachments.size())
            setStatus((saved == 1 ? QStringLiteral("Saved 1 attachment in %1.")
                                  : QStringLiteral("Saved %2 attachments in %1."))
                          .arg(QDir::toNativeSeparators(folder))
                          .arg(saved));
        else
            setStatus(QStringLiteral("Error: saved %1 of %2 attachments: %3")
                          .arg(saved)
                          .arg(m_content.attachments.size())
                          .arg(error));
    });
    dialog->open();
}

void MessageWindow::writeFile(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        setStatus(QStringLiteral("Error: could not save %1: %2")
                      .arg(QDir::toNativeSeparators(path), file.errorString()));
        return;
    }
    setStatus(QStringLiteral("Saved %1.").arg(QDir::toNativeSeparators(path)));
}

void MessageWindow::setStatus(const QString &text)
{
    m_status->setText(text);
}
