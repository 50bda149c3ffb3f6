// The search run: the Search button's click handler on the main window.

#include "app/flowguard.h"
#include "app/form1.h"
#include "imap/command.h"
#include "imap/fetchparser.h"
#include "imap/searchparser.h"
#include "results/resultsmodel.h"
#include "search/dates.h"
#include "search/folderscope.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimeZone>

namespace {
const QString kSearch = QStringLiteral("Search");
const QString kStop = QStringLiteral("Stop");
const QString kStopping = QStringLiteral("Stopping");
constexpr qsizetype kFetchBatch = 500;

// "2,5,9": the sequence numbers of one FETCH batch.
QByteArray sequenceSet(const QList<imap::ResultRecord> &rows, qsizetype first, qsizetype count)
{
    QByteArray set;
    for (qsizetype i = first; i < first + count; ++i) {
        if (!set.isEmpty())
            set += ',';
        set += rows.at(i).strMsgNum.toLatin1();
    }
    return set;
}
} // namespace

void Form1::cmdSearch_Click()
{
    const QString caption = cmdSearch->text();
    if (caption != kSearch) {
        // A click while a run is going on: ask it to stop after the current folder.
        if (caption == kStop) {
            cmdSearch->setText(kStopping);
            bStopRequested = true;
        }
        return;
    }

    // The scope as the user chose it; resolved against this run's own folder list below.
    const search::FolderScope scope =
        search::FolderScope::fromChoice(txtOnlyFolder->text(), chkExactly->isChecked());

    cmdSearch->setText(kStop);
    SetupGrid();
    ResultTable.clear();

    // The key is taken once: edits during the run apply to the next one.
    const imap::Command key = m_searchKey;
    if (m_flowRunning || m_channel.isOpen() || txtServer->text().isEmpty() ||
        txtLogin->text().isEmpty() || txtPassword->text().isEmpty() || key.isEmpty()) {
        lblStatus->setText(QStringLiteral("Error"));
        cmdSearch->setText(kSearch);
        return;
    }

    FlowGuard guard(*this);
    SetRunIndicators(true);
    struct IndicatorsOff
    {
        Form1 *form;
        ~IndicatorsOff() { form->SetRunIndicators(false); }
    } indicatorsOff{this};
    bool finished = false;
    qsizetype nFoldersSearched = 0;
    qsizetype nFoldersRefused = 0;

    if (ConnectAndLogin() && GetFolderList()) {
        finished = true;
        const imap::FolderTable folders = FolderTable;
        SetRunIndicators(true, int(std::count_if(folders.cbegin(), folders.cend(),
                                                 [&](const imap::FolderRow &f) {
                                                     return scope.contains(f.DisplayPath);
                                                 })));
        for (const imap::FolderRow &folder : folders) {
            if (bStopRequested)
                break;
            if (!scope.contains(folder.DisplayPath))
                continue;
            ++nFoldersSearched;
            prgFolders->setValue(int(nFoldersSearched) - 1);
            const qsizetype firstNew = ResultTable.size();

            // EXAMINE and SEARCH go out together: one round trip per folder. A server that
            // refuses the EXAMINE leaves no mailbox selected, so the SEARCH fails too.
            strCurrentFolder = folder.DisplayPath;
            lblStatus->setText(QStringLiteral("Scanning Folder: ") + folder.DisplayPath);
            const imap::Command examine =
                imap::CommandBuilder("1 EXAMINE ").string(folder.ServerName).finish();
            if (!m_channel.SendAndWaitAll(
                    {{QStringLiteral("SELECTED"), examine}, {QStringLiteral("SEARCHED"), key}})) {
                finished = false;
                break;
            }
            const QList<imap::Response> &answers = m_channel.lastResponses();
            if (answers.at(0).status() != imap::Response::Status::Ok ||
                answers.at(1).status() != imap::Response::Status::Ok) {
                // Whatever a refused search listed is not this folder's.
                ResultTable.resize(firstNew);
                ++nFoldersRefused;
                continue;
            }

            // Fetch the new hits' headers in batches; rows appear as each batch completes.
            const qsizetype end = ResultTable.size();
            for (qsizetype batch = firstNew; batch < end; batch += kFetchBatch) {
                const qsizetype count = qMin(kFetchBatch, end - batch);
                nFetchFirst = batch;
                nFetchCount = count;
                const imap::Command fetch =
                    imap::CommandBuilder("1 FETCH ")
                        .raw(sequenceSet(ResultTable, batch, count))
                        .raw(" BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]")
                        .finish();
                if (!m_channel.SendAndWait(QStringLiteral("FETCHED"), fetch)) {
                    finished = false;
                    break;
                }
                m_model->appendRecords(ResultTable.mid(batch, count));
            }
            if (!finished)
                break;
        }
    }

    if (m_channel.wasAborted() || m_closing)
        return; // the window is going away

    if (finished) {
        // The search itself is done; a failed goodbye does not change its result.
        LogoutAndClose();
        if (m_channel.wasAborted() || m_closing)
            return;
        QString summary = (bStopRequested ? QStringLiteral("Search Stopped. ")
                                          : QStringLiteral("Search Complete. ")) +
                          QString::number(ResultTable.size()) +
                          QStringLiteral(" matching emails found in ") +
                          QString::number(nFoldersSearched) + QStringLiteral(" folders.");
        if (nFoldersRefused > 0)
            summary += QLatin1Char(' ') + QString::number(nFoldersRefused) +
                       QStringLiteral(" folders could not be searched.");
        lblStatus->setText(summary);
    } else {
        // ConnectAndLogin has already said why when it failed; a failed wait says it here.
        if (!lblStatus->text().startsWith(QStringLiteral("Error")))
            ShowChannelError();
        m_channel.Close();
    }
    bStopRequested = false;
    cmdSearch->setText(kSearch);
    // Criteria may have changed during the run; the button follows them again.
    cmdSearch->setEnabled(!m_searchKey.isEmpty());
}

void Form1::onSearchResponse(const imap::Response &response)
{
    const QStringList hits = imap::ParseSearchResponse(response.lines);
    ResultTable.reserve(ResultTable.size() + hits.size());
    for (const QString &num : hits) {
        imap::ResultRecord row;
        row.strFolder = strCurrentFolder;
        row.strMsgNum = num;
        ResultTable.append(row);
    }
}

void Form1::onFetchResponse(const imap::Response &response)
{
    const QList<imap::FetchedMessage> messages = imap::ParseFetchResponse(response.lines);
    if (messages.isEmpty())
        return;
    // Match the answers to this batch's rows by sequence number.
    QMultiHash<quint32, qsizetype> rowOf;
    for (qsizetype i = nFetchFirst; i < nFetchFirst + nFetchCount && i < ResultTable.size(); ++i)
        rowOf.insert(ResultTable.at(i).strMsgNum.toUInt(), i);
    const QTimeZone local = QTimeZone::systemTimeZone();
    for (const imap::FetchedMessage &msg : messages) {
        for (auto it = rowOf.constFind(msg.seq); it != rowOf.constEnd() && it.key() == msg.seq;
             ++it) {
            imap::ResultRecord &row = ResultTable[*it];
            if (msg.hasFrom)
                row.strFrom = msg.from;
            if (msg.hasSubject)
                row.strSubject = msg.subject;
            if (msg.hasDate) {
                row.strDateHeader = msg.date;
                row.dtLocal = search::HeaderDateToLocal(msg.date, local);
            }
        }
    }
}
