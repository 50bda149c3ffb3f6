// The Browse flow: a short session that only lists the folders, and the folder picker.

#include "app/flowguard.h"
#include "app/form1.h"
#include "folders/dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

void Form1::cmdBrowse_Click()
{
    cmdBrowse->setText(QStringLiteral("Please Wait"));
    if (m_flowRunning || m_channel.isOpen() || txtPassword->text().isEmpty() ||
        txtLogin->text().isEmpty() || txtServer->text().isEmpty()) {
        lblStatus->setText(QStringLiteral("Error"));
        cmdBrowse->setText(QStringLiteral("Browse..."));
        return;
    }

    FlowGuard guard(*this);
    if (ConnectAndLogin() && GetFolderList()) {
        QStringList paths;
        paths.reserve(FolderTable.size());
        for (const imap::FolderRow &row : FolderTable)
            paths.append(row.DisplayPath);
        {
            folders::Dialog dialog(paths, this);
            m_dialog = &dialog;
            dialog.exec();
            m_dialog = nullptr;
            if (dialog.outcome() == folders::Dialog::Outcome::Ok)
                strChosenFolder = dialog.chosenFolder();
            else if (dialog.outcome() == folders::Dialog::Outcome::Cancel)
                strChosenFolder.clear();
        }
        if (m_closing)
            return;
        if (!strChosenFolder.isEmpty())
            txtOnlyFolder->setText(strChosenFolder);
        // The server may have dropped the idle session while the dialog was open.
        if (LogoutAndClose())
            lblStatus->clear();
        else
            ShowChannelError();
    } else if (!m_closing && !m_channel.wasAborted()) {
        m_channel.Close();
    }
    if (m_closing || m_channel.wasAborted())
        return;
    cmdBrowse->setText(QStringLiteral("Browse..."));
}
