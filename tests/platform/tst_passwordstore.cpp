// The password store with a private GNOME Keyring (scripts/with-test-keyring.sh) and, for
// noService alone, with no D-Bus at all (CTest test tst_passwordstore_nokeyring).

#include "app/mainwindow.h"
#include "platform/passwordstore.h"
#include "platform/settingsstore.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

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
                         "S: 1 OK [CAPABILITY IMAP4rev1] in\nC: 1 LIST \"\" \"*\"\nS: 1 OK "
                         "none\nC: 1 LOGOUT\nS: 1 OK\n");
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

    // Each server and login has an entry of its own; a login without one gets no password.
    // Then a locked keyring (its unlock prompt cannot be shown) refuses reads and writes: the
    // file keeps the password it had and takes the one saved.
    void keyringEntriesAndLockedKeyring()
    {
        writeFile("", "", "");
        SettingsStore settings;
        {
            PasswordStore store(settings);
            // Before the keyring has answered, a server's answer writes no password to the file.
            QVERIFY(!store.rememberInFile("imap.example.org", "ann", "a"));
            QCOMPARE(filePassword(), QString());
            QSignalSpy stored(&store, &PasswordStore::stored);
            store.save("imap.example.org", "ann", "a");
            store.save("imap.example.org", "bob", "b");
            store.save("imaps://mail.example.net", "ann", "c");
            QTRY_COMPARE(stored.count(), 3);
            QCOMPARE(stored[2][2].value<Storage>(), Storage::Keyring);
        }
        PasswordStore store(settings);
        QCOMPARE(store.rememberedServer(), "imaps://mail.example.net");
        QSignalSpy found(&store, &PasswordStore::passwordFound);
        for (const auto &[server, login] : {std::pair{"imap.example.org", "ann"},
                                            {"imap.example.org", "bob"},
                                            {"imaps://mail.example.net", "ann"},
                                            {"imaps://mail.example.net", "bob"}})
            store.requestPassword(server, login);
        QTRY_COMPARE(found.count(), 4);
        QStringList passwords;
        for (const QList<QVariant> &answer : found)
            passwords.append(answer.at(2).toString());
        QCOMPARE(passwords, QStringList({"a", "b", "c", ""}));
        QCOMPARE(filePassword(), QString());

        QDBusMessage lock =
            QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                           "org.freedesktop.Secret.Service", "Lock");
        lock << QVariant::fromValue(
            QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
        QCOMPARE(QDBusConnection::sessionBus().call(lock).type(), QDBusMessage::ReplyMessage);
        writeFile("locked.example.org", "dave", "kept");
        SettingsStore lockedSettings;
        PasswordStore locked(lockedSettings);
        QSignalSpy stored(&locked, &PasswordStore::stored);
        QSignalSpy lockedFound(&locked, &PasswordStore::passwordFound);
        locked.requestPassword("locked.example.org", "dave");
        QTRY_COMPARE(stored.count(), 1);
        QCOMPARE(lockedFound.value(0).value(2).toString(), "kept");
        QCOMPARE(stored[0][2].value<Storage>(), Storage::SettingsFile);
        QCOMPARE(filePassword(), "kept");
        locked.save("locked.example.org", "dave", "new");
        QTRY_COMPARE(stored.count(), 2);
        QCOMPARE(stored[1][2].value<Storage>(), Storage::SettingsFile);
        QCOMPARE(filePassword(), "new");
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
        const auto ownerOnly =
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
        QCOMPARE(QFile::permissions(settings.fileName()), ownerOnly);
        QCOMPARE(store.storageDescription(),
                 "Passwords are kept in ~/Fernquill/Fernquill.conf (readable by you only).");

        // A file left readable by others is narrowed before the next password goes in.
        QFile::setPermissions(settings.fileName(), ownerOnly | QFile::ReadGroup | QFile::ReadOther);
        QVERIFY(store.rememberInFile("other.example.org", "frank", "newest"));
        QCOMPARE(QFile::permissions(settings.fileName()), ownerOnly);
        QCOMPARE(filePassword(), "newest");

        // A file of another user (who could read it whatever its mode) takes no password.
        QSignalSpy refused(&store, &PasswordStore::fileRefused);
        if (::geteuid() != 0 || ::chown(QFile::encodeName(settings.fileName()), 65534, 65534) != 0)
            QSKIP("making the file another user's needs root");
        QVERIFY(!store.rememberInFile("other.example.org", "frank", "not written"));
        QCOMPARE(refused.value(0).value(0).toString(),
                 settings.fileName() + " belongs to another user");
        QCOMPARE(filePassword(), "newest");
    }
};

QTEST_MAIN(TestPasswordStore)
#include "tst_passwordstore.moc"
