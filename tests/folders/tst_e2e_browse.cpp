// Browse through the window: the short session that lists the folders, the folder picker it
// opens, and the scope it leaves for the next search — against the private Dovecot servers,
// and against the scripted server for sessions that break.

#include "app/mainwindow.h"
#include "folders/folderpicker.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/searchengine.h"
#include "support/dovecotfixture.h"
#include "support/fakeimapserver.h"
#include "support/tcpproxy.h"
#include "support/testhelpers.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <functional>

namespace {

template <typename T> T *child(const MainWindow &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

void fill(MainWindow &w, const QString &server)
{
    child<QLineEdit>(w, "serverEdit")->setText(server);
    child<QLineEdit>(w, "loginEdit")->setText(QStringLiteral("demo"));
    child<QLineEdit>(w, "passwordEdit")->setText(QStringLiteral("demo"));
}

// Clicks Browse and answers the picker once it is open: "ok:KEY" picks the node, "cancel",
// "close" (the title bar); `offered` gets the keys the tree offered. `meanwhile` runs while the
// picker is open.
void browse(MainWindow &w, const QString &answer, QStringList &offered,
            const std::function<void()> &meanwhile = {})
{
    auto *button = child<QPushButton>(w, "browseButton");
    button->click();
    folders::FolderPicker *picker = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(
        (picker = w.findChild<folders::FolderPicker *>()) && picker->isVisible(), 10000);
    QCOMPARE(button->text(), QStringLiteral("Please Wait"));
    if (meanwhile)
        meanwhile();
    auto *tree = picker->findChild<QTreeWidget *>(QStringLiteral("folderTree"));
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        offered.append((*it)->data(0, Qt::UserRole).toString());
        if (answer == QStringLiteral("ok:") + offered.last())
            tree->setCurrentItem(*it);
    }
    if (answer.startsWith(QLatin1String("ok:")))
        picker->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
    else if (answer == QLatin1String("cancel"))
        picker->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
    else
        picker->close();
}

} // namespace

class TestBrowse : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void pick_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("answers"); // one Browse each; "all": the All Folders button
        QTest::addColumn<QString>("scope");   // the folder field afterwards
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<QStringList>("searched"); // folders a search then covers, if any

        QTest::newRow("maildir: nested folder")
            << "maildir"
            << "ok:Archive/2006/Q1"
            << "Archive/2006/Q1" << false << QStringList{"Archive/2006/Q1"};
        QTest::newRow("fs: implicit parent with sub-folders")
            << "fs"
            << "ok:Archive"
            << "Archive" << true << QStringList{"Archive/2005", "Archive/2006/Q1"};
        QTest::newRow("fs: folder alone") << "fs"
                                          << "ok:Work"
                                          << "Work" << false << QStringList{"Work"};
        QTest::newRow("Cancel keeps the field") << "maildir"
                                                << "cancel"
                                                << "{Search All Folders}" << true << QStringList{};
        QTest::newRow("title bar brings the earlier choice back")
            << "maildir"
            << "ok:Sent all close"
            << "Sent" << true << QStringList{};
        QTest::newRow("Cancel forgets the earlier choice")
            << "maildir"
            << "ok:Sent all cancel close"
            << "{Search All Folders}" << true << QStringList{};
    }

    void pick()
    {
        QFETCH(QString, layout);
        QFETCH(QString, answers);
        QFETCH(QString, scope);
        QFETCH(bool, subfolders);
        QFETCH(QStringList, searched);
        const testsupport::DovecotFixture fx = testsupport::DovecotFixture::load(layout);
        QVERIFY2(fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());
        MainWindow w;
        fill(w, QStringLiteral("127.0.0.1:%1").arg(proxy.port()));
        w.show();
        auto *status = child<QLabel>(w, "statusLabel");
        int sessions = 0;
        for (const QString &answer : answers.split(QLatin1Char(' '))) {
            if (answer == QLatin1String("all")) {
                child<QPushButton>(w, "allFoldersButton")->click();
                continue;
            }
            QStringList offered;
            browse(w, answer, offered);
            if (QTest::currentTestFailed())
                return;
            ++sessions;
            // Every folder and every implicit parent is offered.
            for (const QJsonValue &v : fx.folders()) {
                const QString path = v.toObject().value(QStringLiteral("display_path")).toString();
                QVERIFY2(offered.contains(path), qPrintable(path));
            }
            QVERIFY(offered.contains(QStringLiteral("Archive")));
            QTRY_COMPARE(child<QPushButton>(w, "browseButton")->text(),
                         QStringLiteral("Browse..."));
            QCOMPARE(status->text(), QString());
            QTRY_COMPARE(proxy.clientBytes(),
                         QByteArray("1 LOGIN demo demo\r\n1 LIST \"\" \"*\"\r\n1 LOGOUT\r\n")
                             .repeated(sessions));
        }
        QCOMPARE(child<QLineEdit>(w, "folderEdit")->text(), scope);
        if (searched.isEmpty())
            return;

        // The next search covers only what was picked.
        child<QCheckBox>(w, "includeSubfoldersCheck")->setChecked(subfolders);
        child<QLineEdit>(w, "bodyOrSubjectEdit")->setText(QStringLiteral("e"));
        QSignalSpy finished(w.findChild<search::SearchEngine *>(), &search::SearchEngine::finished);
        child<QPushButton>(w, "searchButton")->click();
        QVERIFY(finished.wait(20000));
        QVERIFY2(
            status->text().startsWith(QStringLiteral("Search Complete. ")) &&
                status->text().endsWith(
                    QStringLiteral(" matching emails found in %1 folders.").arg(searched.size())),
            qPrintable(status->text()));
        const results::ResultsModel *model =
            child<results::ResultsView>(w, "resultsView")->resultsModel();
        QVERIFY(model->hitCount() > 0);
        for (qsizetype i = 0; i < model->hitCount(); ++i)
            QVERIFY2(searched.contains(model->record(i).folder),
                     qPrintable(model->record(i).folder));
    }

    void brokenSession_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("scope");
        const QString listed =
            QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 OK in\n"
                           "C: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" Sent\nS: 1 OK\n");
        QTest::newRow("dropped while the picker is open")
            << listed + "S: * BYE Autologout; idle for too long\nCLOSE\n"
            << "Error: server closed the connection: Autologout; idle for too long"
            << "Sent";
        QTest::newRow("login refused: no picker")
            << "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\n"
               "S: 1 NO [AUTHENTICATIONFAILED] Authentication failed.\nC: 1 LOGOUT\nS: 1 OK bye\n"
            << "Error: login failed: Authentication failed."
            << "{Search All Folders}";
    }

    void brokenSession()
    {
        QFETCH(QString, script);
        QFETCH(QString, status);
        QFETCH(QString, scope);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        MainWindow w;
        testsupport::useShortTimeouts(w);
        fill(w, server.address());
        child<QLineEdit>(w, "subjectEdit")->setText(QStringLiteral("x"));
        w.show();
        auto *label = child<QLabel>(w, "statusLabel");
        if (scope == QLatin1String("Sent")) {
            // While the picker is open no search can start.
            QStringList offered;
            browse(w, QStringLiteral("ok:Sent"), offered, [&] {
                child<QPushButton>(w, "searchButton")->click();
                QCOMPARE(label->text(), QStringLiteral("Error"));
            });
            QCOMPARE(offered, QStringList{QStringLiteral("Sent")});
        } else {
            child<QPushButton>(w, "browseButton")->click();
        }
        QTRY_COMPARE(label->text(), status);
        QCOMPARE(child<QPushButton>(w, "browseButton")->text(), QStringLiteral("Browse..."));
        QCOMPARE(child<QPushButton>(w, "searchButton")->text(), QStringLiteral("Search"));
        QCOMPARE(child<QLineEdit>(w, "folderEdit")->text(), scope);
        QTRY_COMPARE(w.findChild<folders::FolderPicker *>(), nullptr);
        QCOMPARE(server.failure(), QString());
        QCOMPARE(server.connectionCount(), 1);
    }
};

QTEST_MAIN(TestBrowse)
#include "tst_e2e_browse.moc"
