#include "auth/provider.h"

#include "platform/settingsstore.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace auth {

namespace {

const QString kSectionPrefix = QStringLiteral("OAuth2Provider.");

QList<Provider> builtInProviders()
{
    Provider google;
    google.name = QStringLiteral("Google");
    google.hosts = {QStringLiteral("imap.gmail.com")};
    google.authorizationUrl = QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
    google.tokenUrl = QUrl(QStringLiteral("https://oauth2.googleapis.com/token"));
    google.clientId = QStringLiteral(FQ_GOOGLE_CLIENT_ID);
    google.clientSecret = QStringLiteral(FQ_GOOGLE_CLIENT_SECRET);
    google.scopes = QStringLiteral("https://mail.google.com/");
    google.builtIn = true;

    Provider microsoft;
    microsoft.name = QStringLiteral("Microsoft");
    microsoft.hosts = {QStringLiteral("outlook.office365.com"),
                       QStringLiteral("imap-mail.outlook.com")};
    microsoft.authorizationUrl =
        QUrl(QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/authorize"));
    microsoft.tokenUrl =
        QUrl(QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/token"));
    microsoft.clientId = QStringLiteral(FQ_MICROSOFT_CLIENT_ID);
    microsoft.scopes =
        QStringLiteral("https://outlook.office.com/IMAP.AccessAsUser.All offline_access");
    microsoft.builtIn = true;
    return {google, microsoft};
}

// The file's keys for the provider in `section`, over what `provider` has.
void readSection(const platform::SettingsStore &settings, const QString &section,
                 Provider &provider)
{
    const auto read = [&](const char *key, auto apply) {
        if (settings.contains(section, QLatin1String(key)))
            apply(settings.value(section, QLatin1String(key)).trimmed());
    };
    read("Hosts", [&](const QString &v) {
        static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
        provider.hosts = v.toLower().split(separators, Qt::SkipEmptyParts);
    });
    read("AuthorizationUrl", [&](const QString &v) { provider.authorizationUrl = QUrl(v); });
    read("TokenUrl", [&](const QString &v) { provider.tokenUrl = QUrl(v); });
    read("ClientId", [&](const QString &v) { provider.clientId = v; });
    read("ClientSecret", [&](const QString &v) { provider.clientSecret = v; });
    read("Scopes", [&](const QString &v) { provider.scopes = v; });
}

} // namespace

bool isSafeEndpoint(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    return url.scheme() == QLatin1String("http") &&
           (url.host() == QLatin1String("localhost") || QHostAddress(url.host()).isLoopback());
}

QList<Provider> loadProviders(const platform::SettingsStore &settings)
{
    QList<Provider> providers = builtInProviders();
    for (const QString &section : settings.sections()) {
        if (!section.startsWith(kSectionPrefix) || section.size() == kSectionPrefix.size())
            continue;
        const QString name = section.mid(kSectionPrefix.size());
        auto it = std::find_if(providers.begin(), providers.end(),
                               [&](const Provider &p) { return p.builtIn && p.name == name; });
        if (it == providers.end()) {
            providers.append(Provider{});
            it = providers.end() - 1;
            it->name = name;
        }
        readSection(settings, section, *it);
    }
    providers.removeIf([](const Provider &p) {
        return p.hosts.isEmpty() || !isSafeEndpoint(p.authorizationUrl) ||
               !isSafeEndpoint(p.tokenUrl);
    });
    return providers;
}

std::optional<Provider> providerForHost(const QList<Provider> &providers, const QString &host)
{
    const QString wanted = host.toLower();
    for (const Provider &p : providers)
        if (!wanted.isEmpty() && p.hosts.contains(wanted))
            return p;
    return std::nullopt;
}

} // namespace auth
