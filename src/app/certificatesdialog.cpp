#include "app/certificatesdialog.h"

#include "platform/servertrust.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

CertificatesDialog::CertificatesDialog(platform::ServerTrust &trust, QWidget *parent)
    : QDialog(parent), m_trust(trust)
{
    setObjectName(QStringLiteral("certificatesDialog"));
    setWindowTitle(QStringLiteral("Trusted Certificates"));
    auto *intro = new QLabel(
        QStringLiteral("Certificates you trusted although they could not be verified. Forget one "
                       "and Fernquill asks again when its server presents it."),
        this);
    intro->setWordWrap(true);
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("certificateList"));
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({QStringLiteral("Server"), QStringLiteral("SHA-256")});
    m_list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    for (const auto &[server, fingerprint] : trust.pinnedCertificates())
        new QTreeWidgetItem(m_list, {server, fingerprint});
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("closeButton"));
    m_forget = buttons->addButton(QStringLiteral("Forget"), QDialogButtonBox::ActionRole);
    m_forget->setObjectName(QStringLiteral("forgetCertificateButton"));
    m_forget->setEnabled(false);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this,
            [this] { m_forget->setEnabled(m_list->currentItem() != nullptr); });
    connect(m_forget, &QPushButton::clicked, this, &CertificatesDialog::forgetSelected);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(m_list);
    layout->addWidget(buttons);
    resize(760, 300);
}

void CertificatesDialog::forgetSelected()
{
    QTreeWidgetItem *item = m_list->currentItem();
    if (!item)
        return;
    m_trust.forgetCertificate(item->text(0));
    delete item;
    m_forget->setEnabled(m_list->currentItem() != nullptr);
}
