#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace platform {
class SettingsStore;
}

namespace auth {

// An OAuth 2.0 authorization server that mail servers accept tokens from, and this program's
// registration with it (the client id).
struct Provider
{
    QString name;      // as the window shows it: "Google", "Microsoft", a settings file's name
    QStringList hosts; // the IMAP hosts whose logins it signs in, lower case
    QUrl authorizationUrl;
    QUrl tokenUrl;
    QString clientId;     // empty: this build is not registered with it
    QString clientSecret; // Google's desktop clients send one; it is not a secret there
    QString scopes;       // space-separated
    bool builtIn = false;
};

// The providers: Google and Microsoft with the client ids (and Google's client secret) the build
// was given (CMake cache variables FQ_GOOGLE_CLIENT_ID, FQ_GOOGLE_CLIENT_SECRET,
// FQ_MICROSOFT_CLIENT_ID), then those of the settings file, one section each:
//
//   [OAuth2Provider.Example]
//   Hosts=mail.example.org          (several separated by spaces or commas)
//   AuthorizationUrl=https://sso.example.org/authorize
//   TokenUrl=https://sso.example.org/token
//   ClientId=fernquill
//   ClientSecret=
//   Scopes=email offline_access
//
// A section named after a built-in provider ([OAuth2Provider.Google]) sets the keys it names
// for it, an empty ClientId too (that build's client id is then not used). A provider
// without hosts, or whose endpoints are neither https nor on this machine, is left out: the
// codes and tokens sent there must not cross a network in clear.
QList<Provider> loadProviders(const platform::SettingsStore &settings);

// The provider that signs in logins at this IMAP host (not case-sensitive).
std::optional<Provider> providerForHost(const QList<Provider> &providers, const QString &host);

// https, or http to a loopback address or "localhost".
bool isSafeEndpoint(const QUrl &url);

} // namespace auth
