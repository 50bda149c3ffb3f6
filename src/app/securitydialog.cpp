#include "app/securitydialog.h"

#include "platform/servertrust.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel *plainLabel(const QString &text, QWidget *parent, bool fixed = false)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText); // what a certificate says is never markup
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(!fixed);
    if (fixed)
        label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setText(text);
    return label;
}

// "localhost, Example Ltd, DE": the parts of a subject or issuer name that people read.
QString readableName(const QSslCertificate &certificate, bool issuer)
{
    QStringList parts;
    for (auto attribute : {QSslCertificate::CommonName, QSslCertificate::Organization,
                           QSslCertificate::OrganizationalUnitName, QSslCertificate::LocalityName,
                           QSslCertificate::StateOrProvinceName, QSslCertificate::CountryName})
        parts += issuer ? certificate.issuerInfo(attribute) : certificate.subjectInfo(attribute);
    return parts.join(QStringLiteral(", "));
}

QString dateText(const QDateTime &when)
{
    return QLocale().toString(when.toLocalTime(), QLocale::ShortFormat);
}

} // namespace

SecurityDialog::SecurityDialog(const imap::SecurityProblem &problem, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("securityDialog"));
    auto *layout = new QVBoxLayout(this);
    auto *message = plainLabel(QString(), this);
    message->setObjectName(QStringLiteral("securityMessage"));
    layout->addWidget(message);
    auto *buttons = new QDialogButtonBox(this);
    QPushButton *go = nullptr;

    if (problem.kind == imap::SecurityProblem::Kind::NoEncryption) {
        setWindowTitle(QStringLiteral("Unencrypted Connection"));
        message->setText(
            QStringLiteral("%1 does not offer encryption. Send the password unencrypted?")
                .arg(problem.server));
        m_dontAskAgain = new QCheckBox(QStringLiteral("Don't ask again for this server"), this);
        m_dontAskAgain->setObjectName(QStringLiteral("dontAskAgainCheck"));
        layout->addWidget(m_dontAskAgain);
        go = buttons->addButton(QStringLiteral("Send"), QDialogButtonBox::AcceptRole);
        go->setObjectName(QStringLiteral("sendButton"));
    } else {
        const QString reasons = problem.reasons.join(QStringLiteral("; "));
        setWindowTitle(problem.certificateChanged() ? QStringLiteral("Certificate Changed")
                                                    : QStringLiteral("Certificate Not Trusted"));
        message->setText(
            (problem.certificateChanged()
                 ? QStringLiteral("The certificate of %1 has changed since you trusted it, and "
                                  "the new one could not be verified either: %2.")
                 : QStringLiteral("The certificate of %1 could not be verified: %2."))
                .arg(problem.server, reasons) +
            QStringLiteral(" Nothing but the encryption handshake has been sent to the server."));
        const QSslCertificate &c = problem.certificate;
        auto *details = new QFormLayout;
        details->addRow(QStringLiteral("Subject:"), plainLabel(readableName(c, false), this));
        details->addRow(
            QStringLiteral("Names:"),
            plainLabel(QStringList(c.subjectAlternativeNames().values()).join(QStringLiteral(", ")),
                       this));
        details->addRow(QStringLiteral("Issuer:"), plainLabel(readableName(c, true), this));
        details->addRow(QStringLiteral("Valid from:"),
                        plainLabel(dateText(c.effectiveDate()), this));
        details->addRow(QStringLiteral("Valid until:"), plainLabel(dateText(c.expiryDate()), this));
        details->addRow(
            QStringLiteral("SHA-256:"),
            plainLabel(platform::ServerTrust::fingerprintText(problem.fingerprint()), this, true));
        if (problem.certificateChanged())
            details->addRow(
                QStringLiteral("Trusted before:"),
                plainLabel(platform::ServerTrust::fingerprintText(problem.pinned), this, true));
        layout->addLayout(details);
        go = buttons->addButton(QStringLiteral("Trust this certificate for %1").arg(problem.server),
                                QDialogButtonBox::AcceptRole);
        go->setObjectName(QStringLiteral("trustButton"));
    }
    go->setAutoDefault(false);
    QPushButton *cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setDefault(true); // Enter never trusts or sends by accident
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool SecurityDialog::dontAskAgain() const
{
    return m_dontAskAgain && m_dontAskAgain->isChecked();
}

void SecurityDialog::ask(QWidget *parent, const imap::SecurityProblem &problem,
                         platform::ServerTrust &trust, std::function<void()> resume,
                         std::function<void()> cancel)
{
    auto *dialog = new SecurityDialog(problem, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, parent,
            [dialog, problem, &trust, resume, cancel](int result) {
                if (result != QDialog::Accepted) {
                    cancel();
                    return;
                }
                if (problem.kind == imap::SecurityProblem::Kind::NoEncryption)
                    trust.allowUnencrypted(problem.server, dialog->dontAskAgain());
                else
                    trust.pinCertificate(problem.server, problem.fingerprint());
                resume();
            });
    dialog->open();
}
