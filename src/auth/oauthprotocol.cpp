#include "auth/oauthprotocol.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

namespace auth {

namespace {

constexpr auto kUrlSafe = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

// A form body: each name and value percent-encoded, "+" and "&" too.
QByteArray formBody(const QList<std::pair<QByteArray, QByteArray>> &fields)
{
    QByteArray body;
    for (const auto &[name, value] : fields) {
        if (!body.isEmpty())
            body += '&';
        body += name + '=' + value.toPercentEncoding();
    }
    return body;
}

// Printable ASCII only, at most 300 characters: the server's words are shown, never obeyed.
QString plainWords(const QString &text)
{
    QString out;
    for (QChar c : text.left(300))
        out += (c.unicode() >= 0x20 && c.unicode() < 0x7f) ? c : QChar(u' ');
    return out.simplified();
}

} // namespace

QByteArray randomOctets(int count)
{
    QList<quint32> words((count + 3) / 4);
    QRandomGenerator::system()->generate(words.begin(), words.end());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), count);
}

QByteArray base64Url(QByteArrayView octets)
{
    return octets.toByteArray().toBase64(kUrlSafe);
}

QByteArray pkceChallenge(QByteArrayView verifier)
{
    return QCryptographicHash::hash(verifier, QCryptographicHash::Sha256).toBase64(kUrlSafe);
}

QUrl authorizationUrl(const Provider &provider, const QString &redirectUri, QByteArrayView state,
                      QByteArrayView challenge, const QString &loginHint)
{
    QList<std::pair<QByteArray, QByteArray>> fields{{"response_type", "code"},
                                                    {"client_id", provider.clientId.toUtf8()},
                                                    {"redirect_uri", redirectUri.toUtf8()},
                                                    {"scope", provider.scopes.toUtf8()},
                                                    {"state", state.toByteArray()},
                                                    {"code_challenge", challenge.toByteArray()},
                                                    {"code_challenge_method", "S256"}};
    if (!loginHint.isEmpty())
        fields.append({"login_hint", loginHint.toUtf8()});
    QByteArray query = provider.authorizationUrl.query(QUrl::FullyEncoded).toLatin1();
    if (!query.isEmpty())
        query += '&';
    QUrl url = provider.authorizationUrl;
    url.setQuery(QString::fromLatin1(query + formBody(fields)), QUrl::StrictMode);
    return url;
}

QByteArray codeExchangeBody(const Provider &provider, QByteArrayView code, QByteArrayView verifier,
                            const QString &redirectUri)
{
    QList<std::pair<QByteArray, QByteArray>> fields{{"grant_type", "authorization_code"},
                                                    {"code", code.toByteArray()},
                                                    {"redirect_uri", redirectUri.toUtf8()},
                                                    {"client_id", provider.clientId.toUtf8()},
                                                    {"code_verifier", verifier.toByteArray()}};
    if (!provider.clientSecret.isEmpty())
        fields.append({"client_secret", provider.clientSecret.toUtf8()});
    return formBody(fields);
}

QByteArray refreshBody(const Provider &provider, QByteArrayView refreshToken)
{
    QList<std::pair<QByteArray, QByteArray>> fields{{"grant_type", "refresh_token"},
                                                    {"refresh_token", refreshToken.toByteArray()},
                                                    {"client_id", provider.clientId.toUtf8()}};
    if (!provider.clientSecret.isEmpty())
        fields.append({"client_secret", provider.clientSecret.toUtf8()});
    return formBody(fields);
}

TokenAnswer parseTokenAnswer(int httpStatus, const QByteArray &body)
{
    TokenAnswer answer;
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    const QString error = json.value(QLatin1String("error")).toString();
    if (!error.isEmpty() || httpStatus != 200) {
        answer.error =
            error.isEmpty() ? QStringLiteral("HTTP status %1").arg(httpStatus) : plainWords(error);
        answer.errorDescription =
            plainWords(json.value(QLatin1String("error_description")).toString());
        return answer;
    }
    answer.accessToken = json.value(QLatin1String("access_token")).toString().toUtf8();
    answer.refreshToken = json.value(QLatin1String("refresh_token")).toString().toUtf8();
    const QJsonValue expires = json.value(QLatin1String("expires_in"));
    // Some servers send the number as a string.
    bool ok = expires.isDouble();
    const qint64 seconds =
        expires.isString() ? expires.toString().toLongLong(&ok) : qint64(expires.toDouble());
    if (ok)
        answer.expiresIn = qMax<qint64>(0, seconds);
    if (answer.accessToken.isEmpty())
        answer.error = QStringLiteral("the answer holds no access token");
    return answer;
}

} // namespace auth
