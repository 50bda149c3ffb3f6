// The password store with a private GNOME Keyring (scripts/with-test-keyring.sh) and, for
// noService alone, with no D-Bus at all (CTest test tst_passwordstore_nokeyring).

#include "app/mainwindow.h"
#include "platform/passwordstore.h"
#include "platform/settingsstore.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using platform::PasswordStore;
using platform::SettingsStore;
using Storage = PasswordStore::Storage;

namespace {

// Writes the last-use entries the way versions without a keyring left them.
void writeFile(const QString &server, const QString &login, const QString &password)
{
    QFile::remove(SettingsStore().fileName());
    SettingsStore settings;
    settings.setValue("LastUse", "Server", server);
    settings.setValue("LastUse", "Login", login);
    settings.setValue("LastUse", "pw", password);
    settings.setValue("Search", "Connections", "1");
}

QString filePassword()
{
    return SettingsStore().value("LastUse", "pw");
}

} // namespace

class TestPasswordStore : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void init()
    {
        if (QByteArray(QTest::currentTestFunction()) != "noService" &&
            !qEnvironmentVariableIsSet("FQ_TEST_KEYRING"))
            QFAIL("needs a private keyring: run under scripts/with-test-keyring.sh");
    }

    // A password an older version left in the file moves to the keyring, fills the field, is
    // not written back by a search, and fills the field at the next start.
    void filePasswordMoves()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript("S: * OK [CAPABILITY IMAP4rev1] ready\nC: 1 LOGIN demo secret\n"
                         "S: 1 OK in\nC: 1 LIST \"\" \"*\"\nS: 1 OK none\nC: 1 LOGOUT\nS: 1 OK\n");
        writeFile(server.address(), "demo", "secret");
        {
            MainWindow window;
            QSignalSpy stored(window.findChild<PasswordStore *>(), &PasswordStore::stored);
            QTRY_COMPARE(window.findChild<QLineEdit *>("passwordEdit")->text(), "secret");
            QTRY_COMPARE(stored.count(), 1);
            QCOMPARE(stored[0], QVariantList({server.address(), "demo",
                                              QVariant::fromValue(Storage::Keyring)}));
            QCOMPARE(filePassword(), QString());
            QCOMPARE(window.findChild<PasswordStore *>()->storageDescription(),
                     "Passwords are kept in the system keyring.");
            window.findChild<QLineEdit *>("subjectEdit")->setText("report");
            window.findChild<QPushButton *>("searchButton")->click();
            QTRY_VERIFY(
                window.findChild<QLabel *>("statusLabel")->text().startsWith("Search Complete."));
            QCOMPARE(server.failure(), QString());
            QTRY_COMPARE(stored.count(), 2);
        }
        QCOMPARE(filePassword(), QString());
        QCOMPARE(SettingsStore().value("LastUse", "Server"), server.address());
        MainWindow next;
        QTRY_COMPARE(next.findChild<QLineEdit *>("passwordEdit")->text(), "secret");
    }

    // No session bus at all: the settings file is the store, as it was before keyrings.
    void noService()
    {
        if (qEnvironmentVariableIsSet("FQ_TEST_KEYRING"))
            QSKIP("runs alone without a keyring (CTest test tst_passwordstore_nokeyring)");
        writeFile("plain.example.org", "frank", "file secret");
        SettingsStore settings;
        PasswordStore store(settings);
        QSignalSpy stored(&store, &PasswordStore::stored);
        QSignalSpy found(&store, &PasswordStore::passwordFound);
        store.requestPassword("plain.example.org", "frank");
        QTRY_COMPARE(stored.count(), 1);
        QCOMPARE(found.value(0), QVariantList({"plain.example.org", "frank", "file secret"}));
        QCOMPARE(stored[0][2].value<Storage>(), Storage::SettingsFile);
        store.save("other.example.org", "frank", "newer");
        QTRY_COMPARE(stored.count(), 3); // the old password's move, then the save
        QCOMPARE(stored[2], QVariantList({"other.example.org", "frank",
                                          QVariant::fromValue(Storage::SettingsFile)}));
        QCOMPARE(filePassword(), "newer");
        QCOMPARE(store.rememberedServer(), "other.example.org");
        QCOMPARE(QFile::permissions(settings.fileName()),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(store.storageDescription(),
                 "Passwords are kept in ~/Fernquill/Fernquill.conf (readable by you only).");
    }
};

QTEST_MAIN(TestPasswordStore)
#include "tst_passwordstore.moc"
