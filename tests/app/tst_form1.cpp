#include "app/form1.h"
#include "platform/settingsstore.h"
#include "results/resultsmodel.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"

#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
const char kLoginOk[] =
    "S: * OK [CAPABILITY IMAP4rev1] ready\nC: 1 LOGIN demo demo\nS: 1 OK Logged in\n";

void fillConnection(Form1 &form, const QString &server,
                    const QString &login = QStringLiteral("demo"),
                    const QString &password = QStringLiteral("demo"))
{
    form.txtServer->setText(server);
    form.txtLogin->setText(login);
    form.txtPassword->setText(password);
}
} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_config;

    QString settingsFile() const
    {
        return m_config.path() + QStringLiteral("/Fernquill/Fernquill.conf");
    }
    void clearSettings() { QFile::remove(settingsFile()); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        testsupport::usePrivateConfig(m_config.path());
    }

    void init() { clearSettings(); }

    void initialState()
    {
        Form1 form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Fernquill Tool"));
        QCOMPARE(form.txtOnlyFolder->text(), QStringLiteral("{Search All Folders}"));
        QVERIFY(form.txtOnlyFolder->isReadOnly());
        QCOMPARE(form.txtPassword->echoMode(), QLineEdit::Password);
        QCOMPARE(form.Command1->text(), QStringLiteral("All Folders"));
        QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
        QVERIFY(form.cmdBrowse->isEnabled());
        QCOMPARE(form.chkExactly->text(), QStringLiteral("Include Subfldrs"));
        QCOMPARE(form.chkAttach->text(), QStringLiteral("Has Attachment"));
        QVERIFY(!form.chkAttach->isChecked());
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
        QVERIFY(!form.cmdSearch->isEnabled());
        QCOMPARE(form.lblStatus->text(), QString());
        QCOMPARE(form.Label6->text(), QStringLiteral("Search Results"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.lblSearchString->isVisible());
        for (QLineEdit *field :
             {form.txtServer, form.txtLogin, form.txtPassword, form.txtBodySearch,
              form.txtSubjectSearch, form.txtBodyOrSub, form.txtFromSearch, form.txtToOrCC,
              form.txtToOrFrom, form.txtAfter, form.txtBefore})
            QCOMPARE(field->text(), QString());

        // Labels name their fields.
        const QList<QPair<const char *, QWidget *>> labels = {
            {"Server:", form.txtServer},
            {"Login:", form.txtLogin},
            {"Password:", form.txtPassword},
            {"Only Search Folders Named:", form.txtOnlyFolder},
            {"Body:", form.txtBodySearch},
            {"Subject:", form.txtSubjectSearch},
            {"Body or Subject:", form.txtBodyOrSub},
            {"From:", form.txtFromSearch},
            {"To or CC:", form.txtToOrCC},
            {"To or From:", form.txtToOrFrom},
            {"On/After:", form.txtAfter},
            {"On/Before:", form.txtBefore}};
        const QList<QLabel *> all = form.findChildren<QLabel *>();
        for (const auto &[caption, buddy] : labels) {
            const auto it = std::find_if(all.begin(), all.end(), [&](QLabel *l) {
                return l->text() == QLatin1String(caption);
            });
            QVERIFY2(it != all.end(), caption);
            QCOMPARE((*it)->buddy(), buddy);
        }
        QVERIFY(std::any_of(all.begin(), all.end(),
                            [](QLabel *l) { return l->text() == QStringLiteral("Received"); }));
    }

    void grid()
    {
        Form1 form;
        form.resize(900, 600);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto *model = form.resultsModel();
        QCOMPARE(model->columnCount(), 4);
        QCOMPARE(model->rowCount(), 1);
        const QStringList headers = {QStringLiteral("Folder"), QStringLiteral("Date"),
                                     QStringLiteral("Subject"), QStringLiteral("From")};
        for (int c = 0; c < 4; ++c) {
            QCOMPARE(model->headerData(c, Qt::Horizontal).toString(), headers[c]);
            QCOMPARE(model->index(0, c).data().toString(), QString());
        }
        form.SetupGrid();
        // The columns share the grid's width 3:5:7:5, leaving room for a vertical scroll bar.
        const int viewport = form.MSHFlexGrid1->viewport()->width();
        const int bar = form.MSHFlexGrid1->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        const int shares[] = {3, 5, 7, 5};
        int total = 0;
        for (int c = 0; c < 4; ++c)
            total += form.MSHFlexGrid1->columnWidth(c);
        QVERIFY(total <= viewport - bar + 2);
        QVERIFY(total >= viewport - bar - 2);
        for (int c = 0; c < 4; ++c)
            QVERIFY(qAbs(form.MSHFlexGrid1->columnWidth(c) - (viewport - bar) * shares[c] / 20.0) <=
                    1.0);
        // The grid grows with the window.
        const int before = form.MSHFlexGrid1->width();
        form.resize(1100, 700);
        QTRY_VERIFY(form.MSHFlexGrid1->width() > before);
    }

    void tabOrder()
    {
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const QList<QWidget *> order = {
            form.txtServer,     form.txtLogin,      form.txtPassword,      form.txtOnlyFolder,
            form.chkExactly,    form.txtBodySearch, form.txtSubjectSearch, form.txtBodyOrSub,
            form.txtFromSearch, form.txtToOrCC,     form.txtToOrFrom,      form.txtAfter,
            form.txtBefore,     form.chkAttach,     form.MSHFlexGrid1,     form.cmdBrowse,
            form.Command1};
        // The disabled Search button is passed over; enable it to see its place.
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        QVERIFY(form.cmdSearch->isEnabled());
        QList<QWidget *> expected = order;
        expected.insert(14, form.cmdSearch);
        form.txtSubjectSearch->clear();
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        expected.first()->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), expected.first());
        for (qsizetype i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), expected[i]);
        }
    }

    void allFolders()
    {
        Form1 form;
        form.txtOnlyFolder->setText(QStringLiteral("Work/2005"));
        QTest::mouseClick(form.Command1, Qt::LeftButton);
        QCOMPARE(form.txtOnlyFolder->text(), QStringLiteral("{Search All Folders}"));
    }

    void browseRule_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("all three") << "h"
                                   << "u"
                                   << "p" << true;
        QTest::newRow("no password") << "h"
                                     << "u"
                                     << "" << false;
        QTest::newRow("no login") << "h"
                                  << ""
                                  << "p" << false;
        QTest::newRow("no server") << ""
                                   << "u"
                                   << "p" << false;
    }

    // Remembered values are loaded at start and the Browse button follows them.
    void browseRule()
    {
        QFETCH(QString, server);
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(bool, enabled);
        {
            platform::SettingsStore store;
            store.SaveSetting(QStringLiteral("LastUse"), QStringLiteral("Server"), server);
            store.SaveSetting(QStringLiteral("LastUse"), QStringLiteral("Login"), login);
            store.SaveSetting(QStringLiteral("LastUse"), QStringLiteral("pw"), password);
        }
        Form1 form;
        QCOMPARE(form.txtServer->text(), server);
        QCOMPARE(form.txtLogin->text(), login);
        QCOMPARE(form.txtPassword->text(), password);
        QCOMPARE(form.cmdBrowse->isEnabled(), enabled);
        // Typing the missing value enables it, clearing any disables it.
        fillConnection(form, QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(form.cmdBrowse->isEnabled());
        form.txtLogin->clear();
        QVERIFY(!form.cmdBrowse->isEnabled());
    }

    void preconditions_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("subject");
        QTest::newRow("no server") << ""
                                   << "u"
                                   << "p"
                                   << "x";
        QTest::newRow("no login") << "h"
                                  << ""
                                  << "p"
                                  << "x";
        QTest::newRow("no password") << "h"
                                     << "u"
                                     << ""
                                     << "x";
        QTest::newRow("no criterion") << "h"
                                      << "u"
                                      << "p"
                                      << "";
    }

    void preconditions()
    {
        QFETCH(QString, server);
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(QString, subject);
        FakeImapServer fake;
        QVERIFY(fake.listen());
        Form1 form;
        testsupport::useShortTimeouts(form);
        fillConnection(form, server.isEmpty() ? server : fake.address(), login, password);
        form.txtSubjectSearch->setText(subject);
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(), QStringLiteral("Error"));
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
        form.cmdBrowse_Click();
        if (subject.isEmpty()) {
            // Browse needs no criterion: it connects (and the silent server gives an error).
            QVERIFY(form.lblStatus->text().startsWith(QStringLiteral("Error")));
        } else {
            QCOMPARE(form.lblStatus->text(), QStringLiteral("Error"));
            QCOMPARE(fake.connectionCount(), 0);
        }
        QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
    }

    void sessionFailures_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QByteArray>("received");

        QTest::newRow("never greets")
            << QStringLiteral("STALL\n") << QStringLiteral("Error: server did not answer")
            << QByteArray();
        QTest::newRow("BYE greeting")
            << QStringLiteral("S: * BYE Too many connections\nCLOSE\n")
            << QStringLiteral("Error: server refused the connection: Too many connections")
            << QByteArray();
        QTest::newRow("login refused")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\n"
                              "S: 1 NO [AUTHENTICATIONFAILED] Authentication failed.\n"
                              "C: 1 LOGOUT\nS: 1 OK bye\n")
            << QStringLiteral("Error: login failed: Authentication failed.")
            << QByteArray("1 LOGIN demo demo\r\n1 LOGOUT\r\n");
        QTest::newRow("login BAD")
            << QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 BAD "
                              "syntax\nC: 1 LOGOUT\nCLOSE\n")
            << QStringLiteral("Error: login failed: syntax")
            << QByteArray("1 LOGIN demo demo\r\n1 LOGOUT\r\n");
        QTest::newRow("dropped during the folder list")
            << QString::fromLatin1(kLoginOk) +
                   QStringLiteral("C: 1 LIST \"\" \"*\"\nS: * LIST () \".\" INBOX\nS+ * LIST () "
                                  "\".\" Se\nCLOSE\n")
            << QStringLiteral("Error: server closed the connection")
            << QByteArray("1 LOGIN demo demo\r\n1 LIST \"\" \"*\"\r\n");
        QTest::newRow("silent after login")
            << QString::fromLatin1(kLoginOk) + QStringLiteral("C: 1 LIST \"\" \"*\"\nSTALL\n")
            << QStringLiteral("Error: server did not answer")
            << QByteArray("1 LOGIN demo demo\r\n1 LIST \"\" \"*\"\r\n");
        QTest::newRow("byte by byte, then a refused login")
            << QStringLiteral("CHUNK 1\nS: * OK [CAPABILITY IMAP4rev1] hi there\nC: 1 LOGIN demo "
                              "demo\nS: 1 NO nope\n"
                              "C: 1 LOGOUT\nS: * BYE\nS: 1 OK bye\n")
            << QStringLiteral("Error: login failed: nope")
            << QByteArray("1 LOGIN demo demo\r\n1 LOGOUT\r\n");
    }

    // Each failure ends with a reason, the buttons restored, and nothing more on the wire.
    void sessionFailures()
    {
        QFETCH(QString, script);
        QFETCH(QString, status);
        QFETCH(QByteArray, received);
        for (bool browse : {false, true}) {
            FakeImapServer fake;
            QVERIFY(fake.listen());
            fake.setScript(script);
            Form1 form;
            testsupport::useShortTimeouts(form);
            fillConnection(form, fake.address());
            form.txtSubjectSearch->setText(QStringLiteral("report"));
            if (browse)
                form.cmdBrowse_Click();
            else
                form.cmdSearch_Click();
            QCOMPARE(form.lblStatus->text(), status);
            QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
            QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
            QVERIFY(!form.channel().isOpen());
            QVERIFY(!form.flowRunning());
            QVERIFY(form.openDialog() == nullptr);
            QTRY_COMPARE(fake.received(), received);
            QCOMPARE(fake.failure(), QString());
        }
    }

    void refusedPort()
    {
        quint16 port = 0;
        {
            FakeImapServer probe;
            QVERIFY(probe.listen());
            port = probe.port();
        }
        Form1 form;
        fillConnection(form, QStringLiteral("127.0.0.1:%1").arg(port));
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(), QStringLiteral("Error: Connection refused"));
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
    }

    void unresolvableHost()
    {
        Form1 form;
        testsupport::useShortTimeouts(form);
        fillConnection(form, QStringLiteral("no-such-host.invalid"));
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        form.cmdSearch_Click();
        QVERIFY(form.lblStatus->text().startsWith(QStringLiteral("Error: ")));
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
    }

    void loginArguments_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("exchange");

        QTest::newRow("space") << QStringLiteral("john smith") << QStringLiteral("a b")
                               << QStringLiteral("C: 1 LOGIN \"john smith\" \"a b\"\n");
        QTest::newRow("quote") << QStringLiteral("u") << QStringLiteral("p\"q")
                               << QStringLiteral("C: 1 LOGIN u \"p\\\\\"q\"\n");
        QTest::newRow("backslash") << QStringLiteral("dom\\user") << QStringLiteral("p")
                                   << QStringLiteral("C: 1 LOGIN \"dom\\\\\\\\user\" p\n");
        QTest::newRow("non-ASCII") << QStringLiteral("u") << QStringLiteral("p\u00e4")
                                   << QStringLiteral("C: 1 LOGIN u {3}\nS: + OK\nC: p\\xc3\\xa4\n");
        QTest::newRow("CR LF") << QStringLiteral("u") << QStringLiteral("p\r\n1 DELETE INBOX")
                               << QStringLiteral(
                                      "C: 1 LOGIN u {17}\nS: + OK\nC: p\\r\\n1 DELETE INBOX\n");
    }

    // No login or password can put a second command on the wire.
    void loginArguments()
    {
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(QString, exchange);
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\n") + exchange +
                       QStringLiteral("S: 1 NO no\nC: 1 LOGOUT\nS: 1 OK bye\n"));
        Form1 form;
        testsupport::useShortTimeouts(form);
        fillConnection(form, fake.address(), login, password);
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(), QStringLiteral("Error: login failed: no"));
        QCOMPARE(fake.failure(), QString());
        QTRY_VERIFY(fake.finished());
    }

    void settingsSavedPrivately()
    {
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(
            QString::fromLatin1(kLoginOk) +
            QStringLiteral("C: 1 LIST \"\" \"*\"\nS: 1 OK none\nC: 1 LOGOUT\nS: 1 OK bye\n"));
        {
            Form1 form;
            fillConnection(form, fake.address(), QStringLiteral("demo"), QStringLiteral("demo"));
            form.txtSubjectSearch->setText(QStringLiteral("x"));
            form.cmdSearch_Click();
            QCOMPARE(form.lblStatus->text(),
                     QStringLiteral("Search Complete. 0 matching emails found in 0 folders."));
        }
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(settingsFile()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QSettings stored(settingsFile(), QSettings::IniFormat);
        QCOMPARE(stored.value(QStringLiteral("LastUse/Server")).toString(), fake.address());
        QCOMPARE(stored.value(QStringLiteral("LastUse/Login")).toString(), QStringLiteral("demo"));
        QCOMPARE(stored.value(QStringLiteral("LastUse/pw")).toString(), QStringLiteral("demo"));
        // A new window starts with them.
        Form1 again;
        QCOMPARE(again.txtServer->text(), fake.address());
        QCOMPARE(again.txtPassword->text(), QStringLiteral("demo"));
    }

    // Closing the window while a flow waits: one LOGOUT, the socket closed, no crash.
    void closeDuringFlow()
    {
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(QString::fromLatin1(kLoginOk) +
                       QStringLiteral("C: 1 LIST \"\" \"*\"\nSTALL\n"));
        Form1 form;
        fillConnection(form, fake.address());
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        form.show();
        bool runningAtClose = false;
        // Close once the folder list is pending (from inside the run's wait).
        connect(&form.channel(), &imap::ImapChannel::wrote, &form, [&](const QByteArray &b) {
            if (b.startsWith("1 LIST"))
                QTimer::singleShot(20, &form, [&] {
                    runningAtClose = form.flowRunning();
                    form.close();
                });
        });
        form.cmdSearch_Click();
        QVERIFY(runningAtClose);
        QVERIFY(!form.flowRunning());
        QVERIFY(!form.channel().isOpen());
        QTRY_COMPARE(fake.received(),
                     QByteArray("1 LOGIN demo demo\r\n1 LIST \"\" \"*\"\r\n1 LOGOUT\r\n"));
        QTRY_VERIFY(!fake.clientConnected());
        QCOMPARE(fake.received().count("LOGOUT"), 1);
    }

    // While one flow runs, neither button starts another.
    void oneFlowAtATime()
    {
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(QString::fromLatin1(kLoginOk) +
                       QStringLiteral("C: 1 LIST \"\" \"*\"\nSTALL\n"));
        Form1 form;
        testsupport::useShortTimeouts(form);
        fillConnection(form, fake.address());
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        QString browseStatus, browseCaption;
        connect(&form.channel(), &imap::ImapChannel::wrote, &form, [&](const QByteArray &b) {
            if (b.startsWith("1 LIST"))
                QTimer::singleShot(20, &form, [&] {
                    form.cmdBrowse_Click();
                    browseStatus = form.lblStatus->text();
                    browseCaption = form.cmdBrowse->text();
                });
        });
        form.cmdSearch_Click();
        QCOMPARE(browseStatus, QStringLiteral("Error"));
        QCOMPARE(browseCaption, QStringLiteral("Browse..."));
        QCOMPARE(fake.connectionCount(), 1);
        // The run went on and ended by itself when the server stayed silent.
        QVERIFY(!form.flowRunning());
        QCOMPARE(form.lblStatus->text(), QStringLiteral("Error: server did not answer"));
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
