#pragma once

#include "imap/serveraddress.h"
#include "imap/tokensource.h"

#include <QString>

#include <memory>

namespace imap {

// Who signs in where. A run takes one from the window's fields when it starts and keeps it to
// the end: whatever the run remembers or reopens (the password it files, the hits it opens) is
// for this account, however the fields change meanwhile.
struct Account
{
    QString server; // the server field as typed: names keyring entries and status lines
    ServerAddress address;
    QString login;
    QString password;
    // Set when the account signs in with OAuth 2.0 (see Session): shared by every connection
    // made for the account, so that they share its tokens.
    std::shared_ptr<TokenSource> tokenSource;

    // Says where, who and how to sign in: a server, a login, and a password or a token source.
    bool isComplete() const
    {
        return !server.isEmpty() && !login.isEmpty() && (!password.isEmpty() || tokenSource);
    }

    static Account fromFields(const QString &server, const QString &login, const QString &password)
    {
        return Account{server, parseServerAddress(server), login, password, nullptr};
    }
};

} // namespace imap
