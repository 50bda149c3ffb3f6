// Signing in with OAuth 2.0, end to end: the Dovecot fixture checking tokens itself (started
// with --oauth2), the authorization server of tests/support/oauthserver.py, and the private
// keyring of scripts/with-test-keyring.sh. The test plays the user's browser: it follows the
// authorization URL the program opens, and the server sends it back to the program's loopback
// listener.

#include "app/mainwindow.h"
#include "app/messagewindow.h"
#include "auth/desktopaccounts.h"
#include "auth/oauthaccount.h"
#include "auth/redirectlistener.h"
#include "folders/folderpicker.h"
#include "imap/session.h"
#include "platform/settingsstore.h"
#include "results/resultsmodel.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/searchrun.h"
#include "support/testhelpers.h"

#include <QAbstractItemView>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using search::SearchEngine;
using State = auth::OAuthAccount::State;

namespace {

const QString kKey = QStringLiteral("oauth2:demo@127.0.0.1");

// The refresh token the keyring holds for kKey, read with libsecret's own tool.
QByteArray keyringSecret()
{
    QProcess tool;
    tool.start("secret-tool", {"lookup", "server", "io.github.fernquill.Fernquill", "user", kKey});
    tool.waitForFinished(10000);
    return tool.readAllStandardOutput();
}

// The authorization server of the fixture, and its test endpoints.
struct AuthServer
{
    QUrl base;
    QNetworkAccessManager network;

    QJsonObject call(const QString &path, const QByteArray &form = {})
    {
        QNetworkRequest request(base.resolved(QUrl(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QNetworkReply *reply =
            path == "/test/stats" ? network.get(request) : network.post(request, form);
        QSignalSpy done(reply, &QNetworkReply::finished);
        done.wait(10000);
        reply->deleteLater();
        return QJsonDocument::fromJson(reply->readAll()).object();
    }
    int count(const char *what) { return call("/test/stats").value(what).toInt(); }
};

// Plays the user's browser: follows the authorization URL through the server's redirect to the
// program's listener. `user` picks another account than the one hinted at.
class Browser : public QObject
{
    Q_OBJECT
public:
    int opened = 0;
    QString user;
    QByteArray page; // what the program's listener showed last

public slots:
    void open(const QUrl &url)
    {
        ++opened;
        QUrl target = url;
        if (!user.isEmpty())
            target.setQuery(url.query(QUrl::FullyEncoded) + "&test_user=" + user);
        QNetworkRequest request(target);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        QNetworkReply *reply = m_network.get(request);
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            page = reply->readAll();
            reply->deleteLater();
        });
    }

private:
    QNetworkAccessManager m_network;
};

// Stands in for GNOME Online Accounts (org.gnome.OnlineAccounts) on the private session bus,
// as no real provider is reachable here: one mail account whose token the test's authorization
// server issued, the way the real service holds one.
class OnlineAccountsStandIn : public QDBusVirtualObject
{
public:
    QString imapHost, imapUser;
    QString token;
    int ensured = 0, fetched = 0;

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &bus) override
    {
        const QString account = "/org/gnome/OnlineAccounts/Accounts/account_1";
        QVariantList reply;
        if (message.member() == "GetManagedObjects") {
            auth::DBusManagedObjects objects;
            if (!imapHost.isEmpty())
                objects[QDBusObjectPath(account)] = {
                    {"org.gnome.OnlineAccounts.Account", {{"MailDisabled", false}}},
                    {"org.gnome.OnlineAccounts.Mail",
                     {{"ImapHost", imapHost}, {"ImapUserName", imapUser}}},
                    {"org.gnome.OnlineAccounts.OAuth2Based", {}}};
            reply = {QVariant::fromValue(objects)};
        } else if (message.path() == account && message.member() == "EnsureCredentials") {
            reply = {3600};
            ++ensured;
        } else if (message.path() == account && message.member() == "GetAccessToken") {
            reply = {token, 3600};
            ++fetched;
        } else {
            return false;
        }
        return bus.send(message.createReply(reply));
    }
};

// One search for "report" and what it found and wrote.
struct Run : testsupport::SearchRun
{
    explicit Run(const imap::Account &account, int connections = 1, const QString &scope = {})
    {
        QVERIFY(
            run({account, search::FolderScope::fromChoice(scope, scope.isEmpty()),
                 search::buildSearchKey(testsupport::criteria({"subject=report"})), connections}));
    }
    // Everything written, the tokens left out.
    QByteArray redacted() const
    {
        static const QRegularExpression token("(AUTHENTICATE \\w+ )[A-Za-z0-9+/=]{20,}");
        return QString::fromUtf8(all()).replace(token, "\\1<token>").toUtf8();
    }
};

} // namespace

class TestOAuth : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;
    AuthServer m_server;
    Browser m_browser;
    OnlineAccountsStandIn m_desktop;
    QString m_imap; // the plain port of the Dovecot fixture
    testsupport::Rows m_passwordRows;

    imap::Account account(std::shared_ptr<imap::TokenSource> source) const
    {
        imap::Account a = imap::Account::fromFields(m_imap, "demo", {});
        a.tokenSource = std::move(source);
        return a;
    }
    // The sign-in of demo at the fixture's host, once it has looked at the keyring and the
    // desktop's accounts.
    std::shared_ptr<auth::OAuthAccount> signInOf(const QString &clientId = "fernquill-test")
    {
        auto provider =
            *auth::providerForHost(auth::loadProviders(platform::SettingsStore()), "127.0.0.1");
        provider.clientId = clientId;
        auto signIn = std::make_shared<auth::OAuthAccount>(provider, "127.0.0.1", "demo");
        return QTest::qWaitFor([&] { return signIn->state() != State::Checking; }, 10000) ? signIn
                                                                                          : nullptr;
    }
    // Signs in anew in the browser, with the lifetimes given for the first tokens.
    std::shared_ptr<auth::OAuthAccount> freshSignIn(int claimed = 3600, int actual = 3600)
    {
        auto signIn = signInOf();
        signIn->signOut();
        m_server.call("/test/settings", "access_lifetime=" + QByteArray::number(actual) +
                                            "&claimed_lifetime=" + QByteArray::number(claimed));
        QSignalSpy ready(signIn.get(), &imap::TokenSource::tokenReady);
        signIn->requestToken(false);
        if (!ready.wait(20000))
            return nullptr;
        m_server.call("/test/settings", "access_lifetime=3600");
        return signIn;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("FQ_TEST_KEYRING"),
                 "needs a private keyring: run through ctest (scripts/with-test-keyring.sh)");
        const QString dovecot = qEnvironmentVariable("FQ_DOVECOT_MAILDIR");
        const QString server = qEnvironmentVariable("FQ_OAUTH_SERVER");
        QVERIFY2(QFile::exists(dovecot + "/oauth2/signing.key") && QFile::exists(server + "/port"),
                 "the Dovecot (--oauth2) and authorization server fixtures are not running: run "
                 "through ctest");
        m_imap = "127.0.0.1:" + testsupport::readFile(dovecot + "/port").trimmed();
        m_server.base =
            QUrl("http://127.0.0.1:" + testsupport::readFile(server + "/port").trimmed());
        testsupport::usePrivateConfig(m_config.path());
        testsupport::trustCaFiles({dovecot + "/ca.pem"}); // its STARTTLS certificate
        const QString base = m_server.base.toString();
        for (const auto &[key, value] : {std::pair<QString, QString>{"Hosts", "127.0.0.1"},
                                         {"AuthorizationUrl", base + "/authorize"},
                                         {"TokenUrl", base + "/token"},
                                         {"ClientId", "fernquill-test"},
                                         {"Scopes", "mail offline_access"}})
            platform::SettingsStore().setValue("OAuth2Provider.Test", key, value);
        QDesktopServices::setUrlHandler("http", &m_browser, "open");
        // (The program registers the D-Bus types before it asks the stand-in anything.)
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "goa");
        QVERIFY(bus.registerVirtualObject("/org/gnome/OnlineAccounts", &m_desktop,
                                          QDBusConnection::SubPath));
        QVERIFY(bus.registerService("org.gnome.OnlineAccounts"));

        Run password(imap::Account::fromFields(m_imap, "demo", "demo"));
        QCOMPARE(password.summary->outcome, SearchEngine::Outcome::Complete);
        m_passwordRows = password.rows();
        QVERIFY(!m_passwordRows.isEmpty());
    }

    void init() { m_browser.user.clear(); }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("http"); }

    // Signed in once in the browser, a search on four connections finds the rows of a password
    // login, with one token for all; the refresh token is in the keyring and nowhere in the
    // settings file, and the next start signs in with it, without the browser, on one connection.
    void searchAsWithPassword()
    {
        auto signIn = freshSignIn();
        QVERIFY(signIn);
        QCOMPARE(m_browser.opened, 1);
        QTRY_VERIFY(m_browser.page.contains("go back to Fernquill"));
        const QByteArray refreshToken = keyringSecret();
        QVERIFY(!refreshToken.isEmpty());
        const int refreshes = m_server.count("refresh_token");

        Run folder(account(signIn), 4, "Work/2005");
        QCOMPARE(folder.redacted(),
                 QByteArray("1 STARTTLS\r\n1 CAPABILITY\r\n1 AUTHENTICATE OAUTHBEARER <token>\r\n"
                            "1 LIST \"\" \"*\"\r\n"
                            "1 EXAMINE \"Work.2005\"\r\n"
                            "1 SEARCH RETURN (SAVE ALL) UNDELETED (SUBJECT \"report\")\r\n"
                            "1 FETCH $ BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\r\n"
                            "1 LOGOUT\r\n"));
        Run four(account(signIn), 4);
        QCOMPARE(four.rows(), m_passwordRows);
        QVERIFY(four.wire.size() <= 4);
        QVERIFY(!four.redacted().contains("LOGIN"));
        QCOMPARE(m_server.count("refresh_token"), refreshes);
        QVERIFY(
            !testsupport::readFile(platform::SettingsStore().fileName()).contains(refreshToken));

        Run nextStart(account(signInOf()));
        QCOMPARE(nextStart.rows(), m_passwordRows);
        QCOMPARE(m_browser.opened, 1);
        QCOMPARE(m_server.count("refresh_token"), refreshes + 1);
        QVERIFY(keyringSecret() != refreshToken); // rotated
    }

    // Tokens that stop working: what the next search costs and how it ends.
    void tokenTrouble_data()
    {
        QTest::addColumn<int>("claimed");  // the first tokens' expires_in
        QTest::addColumn<int>("actual");   // and their real lifetime
        QTest::addColumn<bool>("revoke");  // the refresh token is revoked before the search
        QTest::addColumn<QString>("user"); // signed in as in the browser
        QTest::addColumn<int>("signIns");
        QTest::addColumn<QString>("reason");
        QTest::newRow("access token expired") << 0 << 3600 << false << "" << 0 << "";
        QTest::newRow("refused by the server as expired") << 3600 << -60 << false << "" << 0 << "";
        QTest::newRow("refresh token revoked: signed in again")
            << 0 << 3600 << true << "" << 1 << "";
        QTest::newRow("token of another user")
            << 3600 << 3600 << false << "bob" << 0 << "login failed: Authentication failed.";
    }

    void tokenTrouble()
    {
        QFETCH(int, claimed);
        QFETCH(int, actual);
        QFETCH(bool, revoke);
        QFETCH(QString, user);
        QFETCH(int, signIns);
        QFETCH(QString, reason);
        m_browser.user = user;
        auto signIn = freshSignIn(claimed, actual);
        QVERIFY(signIn);
        if (revoke)
            m_server.call("/test/revoke");
        const QByteArray refreshToken = keyringSecret();
        const int refreshed = m_server.count("refresh_token");
        const int opened = m_browser.opened;
        Run run(account(signIn));
        QCOMPARE(run.summary->reason, reason);
        QCOMPARE(m_server.count("refresh_token") - refreshed, 1); // each case costs one refresh
        QCOMPARE(m_browser.opened - opened, signIns);
        // A token the server refused had its error challenge answered.
        QCOMPARE(run.redacted().contains("AQ==\r\n"), actual < 0 || !user.isEmpty());
        if (reason.isEmpty())
            QCOMPARE(run.rows(), m_passwordRows);
        QVERIFY(keyringSecret() != refreshToken);
    }

    // Four connections starting at once with an expired token: one refresh serves them all.
    void fourConnectionsOneRefresh()
    {
        auto signIn = freshSignIn(0);
        QVERIFY(signIn);
        const int refreshes = m_server.count("refresh_token");
        const int invalid = m_server.count("invalid_grant");
        QList<imap::Session *> sessions;
        for (int i = 0; i < 4; ++i)
            sessions.append(new imap::Session(this));
        for (imap::Session *s : sessions)
            s->open(account(signIn));
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(sessions.cbegin(), sessions.cend(),
                                             [](auto *s) { return s->isLoggedIn(); }),
                                 20000);
        QCOMPARE(m_server.count("refresh_token"), refreshes + 1);
        QCOMPARE(m_server.count("invalid_grant"), invalid);
        qDeleteAll(sessions);
    }

    // The desktop's own account gives the token; no client id and no browser are needed. A login
    // it has no account for has no way to sign in.
    void desktopAccount()
    {
        m_desktop.imapHost = "127.0.0.1:993";
        m_desktop.imapUser = "Demo";
        m_desktop.token = m_server.call("/test/mint", "user=demo").value("access_token").toString();
        auto clean = qScopeGuard([this] { m_desktop.imapHost.clear(); });
        auto signIn = signInOf("");
        QCOMPARE(signIn->state(), State::SignedIn);
        QVERIFY(signIn->usesDesktopAccount());
        const int opened = m_browser.opened;
        Run one(account(signIn));
        QCOMPARE(one.rows(), m_passwordRows);
        QCOMPARE(m_desktop.ensured, 1);
        QCOMPARE(m_desktop.fetched, 1);
        QCOMPARE(m_browser.opened, opened);

        m_desktop.imapUser = "bob";
        QCOMPARE(signInOf("")->state(), State::Unavailable);
    }

    // The window: with a provider for the server the Password field gives way to the sign-in;
    // Enter in a criterion signs in first and searches; Browse works the same; Sign out forgets
    // the refresh token.
    void window()
    {
        signInOf()->signOut();
        QTRY_VERIFY(keyringSecret().isEmpty());
        const int opened = m_browser.opened;
        MainWindow w;
        testsupport::fillFields(w, m_imap, "demo", {});
        w.show();
        auto *button = w.findChild<QPushButton *>("signInButton");
        auto *label = w.findChild<QLabel *>("signInLabel");
        QTRY_VERIFY(button->isVisible());
        QCOMPARE(button->text(), QString("Sign in with Test\u2026"));
        QVERIFY(!w.findChild<QLineEdit *>("passwordEdit")->isVisible());
        auto *subject = w.findChild<QLineEdit *>("subjectEdit");
        subject->setText("report");
        QTest::keyClick(subject, Qt::Key_Return);
        auto *status = w.findChild<QLabel *>("statusLabel");
        QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith("Search Complete."), 30000);
        QVERIFY2(status->text().startsWith(
                     QStringLiteral("Search Complete. %1 matching").arg(m_passwordRows.size())),
                 qPrintable(status->text()));
        QCOMPARE(m_browser.opened, opened + 1);
        QCOMPARE(label->text(), QString("Signed in as demo"));
        QCOMPARE(button->text(), QString("Sign out"));

        w.findChild<QPushButton *>("browseButton")->click();
        folders::FolderPicker *picker = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((picker = w.findChild<folders::FolderPicker *>()), 20000);
        picker->reject();
        QTRY_COMPARE(w.findChild<QPushButton *>("browseButton")->text(), QString("Browse..."));
        // A hit opens with the same token.
        const int refreshes = m_server.count("refresh_token");
        auto *grid = w.findChild<QAbstractItemView *>("resultsView");
        emit grid->activated(grid->model()->index(0, 0));
        MessageWindow *message = nullptr;
        QTRY_VERIFY((message = w.findChild<MessageWindow *>()) && !message->rawMessage().isEmpty());
        QCOMPARE(m_server.count("refresh_token"), refreshes);
        QCOMPARE(m_browser.opened, opened + 1);
        QCOMPARE(platform::SettingsStore().value("LastUse", "Login"), QString("demo"));

        button->click();
        QCOMPARE(button->text(), QString("Sign in with Test\u2026"));
        QTRY_VERIFY(keyringSecret().isEmpty());
    }

    // The loopback listener takes one answer with its state, turns every other request away.
    void redirectListener_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("outcome"); // "code: ..." or "failed: ..."; "" goes on waiting
        const QByteArray http = " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        QTest::newRow("code") << "GET /?code=a%2Fb&state=s1" + http << QByteArray("200")
                              << "code: a/b";
        QTest::newRow("refused") << "GET /?error=access_denied&state=s1" + http << QByteArray("200")
                                 << "failed: the sign-in was not completed (access_denied)";
        QTest::newRow("other state") << "GET /?code=x&state=s2" + http << QByteArray("400") << "";
        QTest::newRow("POST") << "POST /?code=x&state=s1" + http << QByteArray("400") << "";
        QTest::newRow("endless head")
            << "GET /?code=x&state=s1 HTTP/1.1\r\nX: " + QByteArray(9000, 'a') << QByteArray("431")
            << "";
    }

    void redirectListener()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QFETCH(QString, outcome);
        auth::RedirectListener listener;
        QStringList outcomes;
        connect(&listener, &auth::RedirectListener::codeReceived, this,
                [&](const QByteArray &code) { outcomes.append("code: " + code); });
        connect(&listener, &auth::RedirectListener::failed, this,
                [&](const QString &reason) { outcomes.append("failed: " + reason); });
        QVERIFY(listener.listen("s1"));
        QVERIFY(listener.redirectUri().startsWith("http://127.0.0.1:"));
        QTcpSocket browser;
        browser.connectToHost("127.0.0.1", QUrl(listener.redirectUri()).port());
        browser.write(request);
        QTRY_VERIFY(browser.state() == QAbstractSocket::UnconnectedState);
        QVERIFY(browser.readAll().startsWith("HTTP/1.1 " + status));
        QCOMPARE(outcomes, outcome.isEmpty() ? QStringList() : QStringList{outcome});
        // Still waiting: a second browser gets through.
        QTcpSocket second;
        second.connectToHost("127.0.0.1", QUrl(listener.redirectUri()).port());
        QCOMPARE(second.waitForConnected(2000), outcome.isEmpty());
    }
};

QTEST_MAIN(TestOAuth)
#include "tst_e2e_oauth.moc"
