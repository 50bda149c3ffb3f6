// The Browse flow: a short session that lists the folders, the folder picker, and the scope it
// leaves for the next search — against the private Dovecot servers and the scripted server.

#include "app/form1.h"
#include "folders/dialog.h"
#include "results/resultsmodel.h"
#include "support/dovecotfixture.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"
#include "support/tcpproxy.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

using testsupport::DovecotFixture;

namespace {

enum class Answer { Ok, Cancel, Close };

// Answers the folder picker as soon as it opens: selects the node with the key (if any) and
// closes the dialog the given way. Records the paths the tree offered.
class PickerAnswer : public QObject
{
public:
    PickerAnswer(Form1 &form, const QString &key, Answer answer)
        : m_form(form), m_key(key), m_answer(answer)
    {
        connect(&m_timer, &QTimer::timeout, this, &PickerAnswer::poll);
        m_timer.start(5);
    }
    QStringList offered;
    bool opened = false;

private:
    void poll()
    {
        folders::Dialog *dialog = m_form.openDialog();
        if (!dialog || !dialog->isVisible())
            return;
        m_timer.stop();
        opened = true;
        QTreeWidgetItem *target = nullptr;
        for (QTreeWidgetItemIterator it(dialog->TreeView1); *it; ++it) {
            const QString key = (*it)->data(0, Qt::UserRole).toString();
            offered.append(key);
            if (key == m_key)
                target = *it;
        }
        if (target) {
            dialog->TreeView1->setCurrentItem(target);
            target->setSelected(true);
        }
        switch (m_answer) {
        case Answer::Ok:
            dialog->cmdOK->click();
            break;
        case Answer::Cancel:
            dialog->CancelButton->click();
            break;
        case Answer::Close:
            dialog->close();
            break;
        }
    }

    Form1 &m_form;
    QString m_key;
    Answer m_answer;
    QTimer m_timer;
};

void connectTo(Form1 &form, const QString &address)
{
    form.txtServer->setText(address);
    form.txtLogin->setText(QStringLiteral("demo"));
    form.txtPassword->setText(QStringLiteral("demo"));
}

} // namespace

class TestBrowse : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void pickThenSearch_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("pick");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<QStringList>("searched"); // folders whose rows may appear
        QTest::addColumn<int>("folderCount");
        for (const QString &layout : {QStringLiteral("maildir"), QStringLiteral("fs")}) {
            QTest::newRow(qPrintable(layout + QStringLiteral(" nested folder")))
                << layout << QStringLiteral("Archive/2006/Q1") << false
                << QStringList{QStringLiteral("Archive/2006/Q1")} << 1;
            QTest::newRow(qPrintable(layout + QStringLiteral(" folder with sub-folders")))
                << layout << QStringLiteral("Work") << true
                << QStringList{QStringLiteral("Work"), QStringLiteral("Work/2005"),
                               QStringLiteral("Work/2006")}
                << 3;
            QTest::newRow(qPrintable(layout + QStringLiteral(" folder alone")))
                << layout << QStringLiteral("Work") << false << QStringList{QStringLiteral("Work")}
                << 1;
            QTest::newRow(qPrintable(layout + QStringLiteral(" implicit parent")))
                << layout << QStringLiteral("Archive") << true
                << QStringList{QStringLiteral("Archive/2005"), QStringLiteral("Archive/2006/Q1")}
                << 2;
        }
    }

    void pickThenSearch()
    {
        QFETCH(QString, layout);
        QFETCH(QString, pick);
        QFETCH(bool, subfolders);
        QFETCH(QStringList, searched);
        QFETCH(int, folderCount);
        const DovecotFixture fx = DovecotFixture::load(layout);
        QVERIFY2(fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());

        Form1 form;
        connectTo(form, QStringLiteral("127.0.0.1:%1").arg(proxy.port()));
        QStringList captions;
        connect(&form.channel(), &imap::ImapChannel::wrote, this,
                [&] { captions.append(form.cmdBrowse->text()); });
        PickerAnswer answer(form, pick, Answer::Ok);
        form.cmdBrowse_Click();
        QVERIFY(answer.opened);
        QVERIFY(captions.contains(QStringLiteral("Please Wait")));
        QCOMPARE(form.txtOnlyFolder->text(), pick);
        QCOMPARE(form.lblStatus->text(), QString());
        QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
        QVERIFY(!form.channel().isOpen());
        // Every selectable folder and every implicit parent was offered.
        for (const QJsonValue &v : fx.folders())
            QVERIFY(answer.offered.contains(
                v.toObject().value(QStringLiteral("display_path")).toString()));
        QTRY_COMPARE(proxy.clientBytes(),
                     QByteArray("1 LOGIN demo demo\r\n1 LIST \"\" \"*\"\r\n1 LOGOUT\r\n"));

        // The next search covers only what was picked.
        form.chkExactly->setChecked(subfolders);
        form.txtBodyOrSub->setText(QStringLiteral("e"));
        form.cmdSearch_Click();
        QVERIFY2(form.lblStatus->text().startsWith(QStringLiteral("Search Complete. ")),
                 qPrintable(form.lblStatus->text()));
        QVERIFY(form.lblStatus->text().endsWith(
            QStringLiteral(" matching emails found in %1 folders.").arg(folderCount)));
        const results::ResultsModel *model = form.resultsModel();
        QVERIFY(model->hitCount() > 0);
        for (qsizetype i = 0; i < model->hitCount(); ++i)
            QVERIFY2(searched.contains(model->record(i).strFolder),
                     qPrintable(model->record(i).strFolder));
    }

    void answers_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("earlier");  // scope text before the Browse
        QTest::addColumn<QString>("expected"); // scope text after it
        QTest::newRow("OK") << int(Answer::Ok) << QStringLiteral("{Search All Folders}")
                            << QStringLiteral("Sent");
        QTest::newRow("Cancel keeps the scope")
            << int(Answer::Cancel) << QStringLiteral("{Search All Folders}")
            << QStringLiteral("{Search All Folders}");
        QTest::newRow("title bar keeps the scope")
            << int(Answer::Close) << QStringLiteral("Drafts") << QStringLiteral("Drafts");
    }

    void answers()
    {
        QFETCH(int, answer);
        QFETCH(QString, earlier);
        QFETCH(QString, expected);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral(
            "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 OK in\nC: 1 LIST \"\" "
            "\"*\"\n"
            "S: * LIST (\\\\HasNoChildren) \"/\" Sent\nS: * LIST () \"/\" INBOX\nS: 1 OK\n"
            "C: 1 LOGOUT\nS: 1 OK bye\n"));
        Form1 form;
        testsupport::useShortTimeouts(form);
        connectTo(form, server.address());
        form.txtOnlyFolder->setText(earlier);
        PickerAnswer picker(form, QStringLiteral("Sent"), Answer(answer));
        form.cmdBrowse_Click();
        QVERIFY(picker.opened);
        QCOMPARE(form.txtOnlyFolder->text(), expected);
        QCOMPARE(server.failure(), QString());
        QCOMPARE(form.lblStatus->text(), QString());
    }

    // An OK from an earlier Browse is given again when a later one is closed from the title bar.
    void earlierChoiceComesBack()
    {
        const QString script = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo "
                                              "demo\nS: 1 OK in\nC: 1 LIST \"\" \"*\"\n"
                                              "S: * LIST () \".\" Sent\nS: * LIST () \".\" "
                                              "INBOX\nS: 1 OK\nC: 1 LOGOUT\nS: 1 OK bye\n");
        FakeImapServer server;
        QVERIFY(server.listen());
        Form1 form;
        testsupport::useShortTimeouts(form);
        connectTo(form, server.address());
        server.setScript(script);
        {
            PickerAnswer ok(form, QStringLiteral("Sent"), Answer::Ok);
            form.cmdBrowse_Click();
        }
        form.Command1->click();
        QCOMPARE(form.txtOnlyFolder->text(), QStringLiteral("{Search All Folders}"));
        QTRY_VERIFY(!server.clientConnected());
        server.setScript(script);
        {
            PickerAnswer close(form, QString(), Answer::Close);
            form.cmdBrowse_Click();
            QVERIFY(close.opened);
        }
        QCOMPARE(form.txtOnlyFolder->text(), QStringLiteral("Sent"));
    }

    // The server drops the idle session while the picker is open: noticed at logout.
    void droppedWhileOpen()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(QStringLiteral(
            "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 OK in\nC: 1 LIST \"\" "
            "\"*\"\n"
            "S: * LIST () \".\" Sent\nS: 1 OK\nS: * BYE Autologout; idle for too long\nCLOSE\n"));
        Form1 form;
        testsupport::useShortTimeouts(form);
        connectTo(form, server.address());
        PickerAnswer picker(form, QStringLiteral("Sent"), Answer::Ok);
        form.cmdBrowse_Click();
        QVERIFY(picker.opened);
        QCOMPARE(form.txtOnlyFolder->text(), QStringLiteral("Sent"));
        QVERIFY2(form.lblStatus->text().startsWith(
                     QStringLiteral("Error: server closed the connection")),
                 qPrintable(form.lblStatus->text()));
        QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
        QVERIFY(!form.channel().isOpen());
        QVERIFY(!form.flowRunning());
    }

    // A refused login shows the error and opens no dialog.
    void refusedLogin()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(
            QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 NO "
                           "[AUTHENTICATIONFAILED] Authentication failed.\n"
                           "C: 1 LOGOUT\nS: 1 OK bye\n"));
        Form1 form;
        testsupport::useShortTimeouts(form);
        connectTo(form, server.address());
        PickerAnswer picker(form, QString(), Answer::Cancel);
        form.cmdBrowse_Click();
        QVERIFY(!picker.opened);
        QCOMPARE(server.failure(), QString());
        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Error: login failed: Authentication failed."));
        QCOMPARE(form.cmdBrowse->text(), QStringLiteral("Browse..."));
    }
};

QTEST_MAIN(TestBrowse)
#include "tst_e2e_browse.moc"
