#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include "imap/connection.h"
#include "imap/tokensource.h"

class MainWindow;
class QWidget;

namespace testsupport {

// Escapes bytes for an S:/C: line of a fake-server script.
QString scriptEscape(const QByteArray &bytes);

// Script lines for one "* n FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {size}" answer
// carrying the given header block (lines separated by CR LF, ending with an empty line).
QString fetchAnswer(int seq, const QByteArray &headerBlock);

// Time-outs short enough for tests that wait for a server that does not answer: idleMs without
// a byte from the server, searchIdleMs while a SEARCH is pending.
imap::Connection::Timeouts shortTimeouts(int idleMs = 500, int searchIdleMs = 1000,
                                         int connectMs = 3000);

// Types the connection fields of a main window, and the subject when one is given.
void fillFields(MainWindow &window, const QString &server, const QString &login,
                const QString &password, const QString &subject = {});

// Clicks the button `button` of `window` and picks `path` in the file dialog `dialog` it opens,
// as a user would; the name the dialog proposed, or "<no dialog>".
QString saveAs(QWidget &window, const char *button, const char *dialog, const QString &path);

// An address of this machine that is not a loopback one (nor link-local), to reach a server on
// this machine as if it were elsewhere; null when there is none.
QHostAddress otherAddress();

// Writes the test certificates into dir (scripts/dovecot-fixture.sh certs): ca, server (for
// localhost and 127.0.0.1), otherhost, expired and selfsigned, each NAME.pem and NAME.key.
bool makeCertificates(const QString &dir);

// Trusts the certificate authorities of these PEM files as the system's are, for every TLS
// connection made from now on (the Dovecot fixtures offer STARTTLS with their own CA).
void trustCaFiles(const QStringList &files);

// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);

// Points the per-user configuration (where the settings file lives) at a private folder.
// Call before the first window is made.
void usePrivateConfig(const QString &dir);

// Hands out "token-1" and a new token ("token-2", ...) for each forced refresh, or fails with
// `failure` when it is set; counts the refreshes.
class CountingTokenSource : public imap::TokenSource
{
    Q_OBJECT
public:
    void requestToken(bool forceRefresh) override;
    QString failure;
    int refreshes = 0;
};

} // namespace testsupport
