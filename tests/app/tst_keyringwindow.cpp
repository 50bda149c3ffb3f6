// The window and the keyring together, as a user upgrading from a version without one meets
// them: the password an old settings file holds moves to the keyring, is not written back to
// the file by a search, and fills the field at the next start. Runs inside the private keyring
// of scripts/with-test-keyring.sh.

#include "app/mainwindow.h"
#include "platform/passwordstore.h"
#include "platform/settingsstore.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString keyringEntry(const QString &server, const QString &login)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("lookup"), QStringLiteral("server"), QStringLiteral(FQ_APP_ID),
                QStringLiteral("user"), platform::PasswordStore::keyringKey(server, login)});
    if (!tool.waitForFinished() || tool.exitCode() != 0)
        return QString();
    return QString::fromUtf8(tool.readAllStandardOutput());
}

template <typename T> T *child(QWidget &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

} // namespace

class TestKeyringWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase()
    {
        testsupport::usePrivateConfig(m_config.path());
        if (!qEnvironmentVariableIsSet("FQ_TEST_KEYRING"))
            QSKIP("needs the private keyring of scripts/with-test-keyring.sh");
    }

    void oldPasswordMovesAndStays()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] ready\n"
                                        "C: 1 LOGIN demo secret\nS: 1 OK in\n"
                                        "C: 1 LIST \"\" \"*\"\nS: 1 OK none\n"
                                        "C: 1 LOGOUT\nS: 1 OK bye\n"));
        {
            platform::SettingsStore settings;
            const QString section = QStringLiteral("LastUse");
            settings.setValue(section, QStringLiteral("Server"), server.address());
            settings.setValue(section, QStringLiteral("Login"), QStringLiteral("demo"));
            settings.setValue(section, QStringLiteral("pw"), QStringLiteral("secret"));
            settings.setValue(QStringLiteral("Search"), QStringLiteral("Connections"),
                              QStringLiteral("1"));
        }
        {
            MainWindow window;
            auto *password = child<QLineEdit>(window, "passwordEdit");
            QTRY_COMPARE(password->text(), QStringLiteral("secret"));
            child<QLineEdit>(window, "subjectEdit")->setText(QStringLiteral("report"));
            child<QPushButton>(window, "searchButton")->click();
            QTRY_VERIFY(child<QLabel>(window, "statusLabel")
                            ->text()
                            .startsWith(QStringLiteral("Search Complete.")));
            QCOMPARE(server.failure(), QString());
            QTRY_COMPARE(keyringEntry(server.address(), QStringLiteral("demo")),
                         QStringLiteral("secret"));
        }
        platform::SettingsStore settings;
        QCOMPARE(settings.value(QStringLiteral("LastUse"), QStringLiteral("pw")), QString());
        QCOMPARE(settings.value(QStringLiteral("LastUse"), QStringLiteral("Server")),
                 server.address());

        MainWindow next;
        QTRY_COMPARE(child<QLineEdit>(next, "passwordEdit")->text(), QStringLiteral("secret"));
    }
};

QTEST_MAIN(TestKeyringWindow)
#include "tst_keyringwindow.moc"
