#pragma once

#include <QDialog>

class QPushButton;
class QTreeWidget;

namespace platform {
class ServerTrust;
}

// The certificates trusted on purpose (pinned), by server with their SHA-256 fingerprints; Forget
// removes the one selected, so that the server's certificate is questioned again.
class CertificatesDialog : public QDialog
{
    Q_OBJECT
public:
    CertificatesDialog(platform::ServerTrust &trust, QWidget *parent);

private:
    void forgetSelected();

    platform::ServerTrust &m_trust;
    QTreeWidget *m_list;
    QPushButton *m_forget;
};
