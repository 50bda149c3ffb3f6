#pragma once

#include "imap/securityproblem.h"

#include <QDialog>

#include <functional>

class QCheckBox;

namespace platform {
class ServerTrust;
}

// The question a connection stopped at (imap::SecurityProblem), for the user to answer:
//  - a certificate that did not verify: the server, the reasons, subject, issuer, validity and
//    SHA-256 fingerprint (and the one trusted before, when it changed), with "Trust this
//    certificate for <host:port>" and Cancel;
//  - a server that offers no encryption: "<host:port> does not offer encryption. Send the
//    password unencrypted?" with Send, Cancel and "Don't ask again for this server".
// Everything the certificate says is shown as plain text.
class SecurityDialog : public QDialog
{
    Q_OBJECT
public:
    SecurityDialog(const imap::SecurityProblem &problem, QWidget *parent);

    bool dontAskAgain() const;

    // Opens the dialog without waiting for it. Trust pins the certificate for the server, Send
    // allows the password unencrypted (for good with "Don't ask again"); either then calls
    // resume(). Cancel, or closing the dialog, calls cancel().
    static void ask(QWidget *parent, const imap::SecurityProblem &problem,
                    platform::ServerTrust &trust, std::function<void()> resume,
                    std::function<void()> cancel);

private:
    QCheckBox *m_dontAskAgain = nullptr;
};
