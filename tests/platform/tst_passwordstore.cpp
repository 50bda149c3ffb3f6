#include "platform/passwordstore.h"
#include "platform/settingsstore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using platform::PasswordStore;
using platform::SettingsStore;
using Storage = PasswordStore::Storage;

namespace {

const QString kSection = QStringLiteral("LastUse");

// Writes the last-use entries the way versions without a keyring left them.
void writeFile(const QString &server, const QString &login, const QString &password)
{
    QFile::remove(SettingsStore().fileName());
    SettingsStore settings;
    settings.setValue(kSection, QStringLiteral("Server"), server);
    settings.setValue(kSection, QStringLiteral("Login"), login);
    if (!password.isEmpty())
        settings.setValue(kSection, QStringLiteral("pw"), password);
}

QString filePassword()
{
    return SettingsStore().value(kSection, QStringLiteral("pw"));
}

// The keyring entry as secret-tool (libsecret) sees it, past PasswordStore and QtKeychain.
QString keyringEntry(const QString &server, const QString &login)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("lookup"), QStringLiteral("server"), QStringLiteral(FQ_APP_ID),
                QStringLiteral("user"), PasswordStore::keyringKey(server, login)});
    if (!tool.waitForFinished() || tool.exitCode() != 0)
        return QString();
    return QString::fromUtf8(tool.readAllStandardOutput());
}

} // namespace

// The store against a real Secret Service: a private GNOME Keyring that
// scripts/with-test-keyring.sh starts around this program (CTest test tst_passwordstore), and,
// in a run of noService alone, no D-Bus at all (tst_passwordstore_nokeyring).
class TestPasswordStore : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_config;
    bool m_keyring = false;

    // The answer to requestPassword(server, login): server, login, password.
    QStringList request(PasswordStore &store, const QString &server, const QString &login)
    {
        QSignalSpy found(&store, &PasswordStore::passwordFound);
        store.requestPassword(server, login);
        if (!found.wait() || found.count() != 1)
            return {};
        const QList<QVariant> args = found.first();
        return {args[0].toString(), args[1].toString(), args[2].toString()};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        // The settings file in a private folder (only the platform layer is linked here).
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
        qputenv("HOME", QFile::encodeName(m_config.path()));
        m_keyring = qEnvironmentVariableIsSet("FQ_TEST_KEYRING");
    }

    void init()
    {
        if (QByteArray(QTest::currentTestFunction()) != "noService" && !m_keyring)
            QFAIL("needs a private keyring: run under scripts/with-test-keyring.sh");
    }

    // Each server and login keeps its own password in the keyring; none is left in the file.
    void savesToKeyring_data()
    {
        QTest::addColumn<QString>("serverB");
        QTest::addColumn<QString>("loginB");
        QTest::newRow("other login") << "imap.example.org"
                                     << "bob";
        QTest::newRow("other server") << "imaps://mail.example.net"
                                      << "ann";
    }

    void savesToKeyring()
    {
        QFETCH(QString, serverB);
        QFETCH(QString, loginB);
        const QString serverA = QStringLiteral("imap.example.org");
        const QString loginA = QStringLiteral("ann");
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const QString passwordA = QStringLiteral("a: ") + tag;
        const QString passwordB = QStringLiteral("b: ") + tag;
        writeFile(QString(), QString(), QString());
        {
            SettingsStore settings;
            PasswordStore store(settings);
            QSignalSpy stored(&store, &PasswordStore::stored);
            store.save(serverA, loginA, passwordA);
            store.save(serverB, loginB, passwordB);
            QTRY_COMPARE(stored.count(), 2);
            QCOMPARE(stored[0][2].value<Storage>(), Storage::Keyring);
            QCOMPARE(stored[1][2].value<Storage>(), Storage::Keyring);
            QCOMPARE(store.storage(), Storage::Keyring);
            QCOMPARE(store.storageDescription(),
                     QStringLiteral("Passwords are kept in the system keyring."));
        }
        QCOMPARE(keyringEntry(serverA, loginA), passwordA);
        QCOMPARE(keyringEntry(serverB, loginB), passwordB);
        QFile file(SettingsStore().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains(tag.toUtf8()));

        // What a later start finds.
        SettingsStore settings;
        PasswordStore store(settings);
        QCOMPARE(store.rememberedServer(), serverB);
        QCOMPARE(store.rememberedLogin(), loginB);
        QCOMPARE(request(store, serverA, loginA), QStringList({serverA, loginA, passwordA}));
        QCOMPARE(request(store, serverB, loginB), QStringList({serverB, loginB, passwordB}));
        QCOMPARE(request(store, serverB, QStringLiteral("nobody")),
                 QStringList({serverB, QStringLiteral("nobody"), QString()}));
    }

    // A password in the settings file goes to the keyring and leaves the file once the keyring
    // has it.
    void movesFilePassword()
    {
        const QString server = QStringLiteral("legacy.example.org");
        const QString login = QStringLiteral("carol");
        writeFile(server, login, QStringLiteral("old secret"));
        SettingsStore settings;
        PasswordStore store(settings);
        QSignalSpy stored(&store, &PasswordStore::stored);
        QCOMPARE(request(store, server, login), QStringList({server, login, "old secret"}));
        QTRY_COMPARE(stored.count(), 1);
        QCOMPARE(stored[0],
                 QList<QVariant>({server, login, QVariant::fromValue(Storage::Keyring)}));
        QCOMPARE(keyringEntry(server, login), QStringLiteral("old secret"));
        QCOMPARE(filePassword(), QString());
        QCOMPARE(SettingsStore().value(kSection, QStringLiteral("Login")), login);
    }

    // A locked keyring whose unlock prompt cannot be shown refuses reads and writes: the file
    // keeps the password it had and takes the one saved. Locks the keyring for good, so it runs
    // last of those that need it.
    void keepsFilePasswordWhenRefused()
    {
        const QString server = QStringLiteral("locked.example.org");
        const QString login = QStringLiteral("dave");
        writeFile(server, login, QStringLiteral("kept secret"));
        QDBusMessage lock = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
            QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
        lock << QVariant::fromValue(QList<QDBusObjectPath>{
            QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
        const QDBusMessage locked = QDBusConnection::sessionBus().call(lock);
        QCOMPARE(locked.type(), QDBusMessage::ReplyMessage);

        SettingsStore settings;
        PasswordStore store(settings);
        QSignalSpy stored(&store, &PasswordStore::stored);
        QCOMPARE(request(store, server, login), QStringList({server, login, "kept secret"}));
        QTRY_COMPARE(stored.count(), 1);
        QCOMPARE(stored[0][2].value<Storage>(), Storage::SettingsFile);
        QCOMPARE(filePassword(), QStringLiteral("kept secret"));

        store.save(server, login, QStringLiteral("new secret"));
        QTRY_COMPARE(stored.count(), 2);
        QCOMPARE(stored[1][2].value<Storage>(), Storage::SettingsFile);
        QCOMPARE(filePassword(), QStringLiteral("new secret"));
        QCOMPARE(store.storage(), Storage::SettingsFile);
    }

    // No session bus at all: the settings file is the store, as it was before keyrings.
    void noService()
    {
        if (m_keyring)
            QSKIP("runs alone without a keyring (CTest test tst_passwordstore_nokeyring)");
        const QString server = QStringLiteral("plain.example.org");
        const QString login = QStringLiteral("frank");
        writeFile(server, login, QStringLiteral("file secret"));
        SettingsStore settings;
        PasswordStore store(settings);
        QSignalSpy stored(&store, &PasswordStore::stored);
        QCOMPARE(request(store, server, login), QStringList({server, login, "file secret"}));
        QTRY_COMPARE(stored.count(), 1);
        QCOMPARE(stored[0][2].value<Storage>(), Storage::SettingsFile);
        QCOMPARE(filePassword(), QStringLiteral("file secret"));

        const QString other = QStringLiteral("other.example.org");
        store.save(other, login, QStringLiteral("newer"));
        QTRY_COMPARE(stored.count(), 3); // the old password's move, then the save
        QCOMPARE(stored[2],
                 QList<QVariant>({other, login, QVariant::fromValue(Storage::SettingsFile)}));
        QCOMPARE(filePassword(), QStringLiteral("newer"));
        QCOMPARE(store.rememberedServer(), other);
        QCOMPARE(QFile::permissions(settings.fileName()),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(store.storage(), Storage::SettingsFile);
        QCOMPARE(store.storageDescription(),
                 QStringLiteral("Passwords are kept in ~/Fernquill/Fernquill.conf (readable by "
                                "you only)."));
    }
};

QTEST_GUILESS_MAIN(TestPasswordStore)
#include "tst_passwordstore.moc"
