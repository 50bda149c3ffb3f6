// Everyday use of the main window: keyboard, busy indication, remembered geometry.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kSession = QStringLiteral(
    "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 OK in\nC: 1 LIST \"\" \"*\"\n"
    "S: * LIST () \"/\" INBOX\nS: * LIST () \"/\" Sent\nS: * LIST () \"/\" Work\nS: 1 OK\n");
const QString kEmptyFolder = QStringLiteral("C: 1 EXAMINE \"%1\"\nS: 1 OK ro\nC: 1 SEARCH "
                                            "UNDELETED (SUBJECT \"x\")\nS: * SEARCH\nS: 1 OK\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: 1 OK bye\n");

void connectTo(Form1 &form, const QString &address)
{
    form.txtServer->setText(address);
    form.txtLogin->setText(QStringLiteral("demo"));
    form.txtPassword->setText(QStringLiteral("demo"));
}
} // namespace

class TestEveryday : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void enterStartsSearch_data()
    {
        QTest::addColumn<QString>("field");
        QTest::newRow("subject") << "txtSubjectSearch";
        QTest::newRow("body") << "txtBodySearch";
        QTest::newRow("to or from") << "txtToOrFrom";
        QTest::newRow("date field") << "txtAfter";
    }

    void enterStartsSearch()
    {
        QFETCH(QString, field);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(kSession + kEmptyFolder.arg(QStringLiteral("INBOX")) +
                         kEmptyFolder.arg(QStringLiteral("Sent")) +
                         kEmptyFolder.arg(QStringLiteral("Work")) + kLogout);
        Form1 form;
        testsupport::useShortTimeouts(form);
        connectTo(form, server.address());
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        auto *edit = form.findChild<QLineEdit *>(field);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(server.failure(), QString());
        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Search Complete. 0 matching emails found in 3 folders."));
    }

    // Enter does nothing without criteria, and a refused date starts nothing.
    void enterWithoutSearch()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        Form1 form;
        connectTo(form, server.address());
        QTest::keyClick(form.txtSubjectSearch, Qt::Key_Return);
        form.txtBodySearch->setText(QStringLiteral("x"));
        form.txtAfter->setText(QStringLiteral("not a date"));
        QTest::keyClick(form.txtAfter, Qt::Key_Return);
        QCOMPARE(server.connectionCount(), 0);
        QCOMPARE(form.lblStatus->text(), QString());
    }

    // Esc asks a running search to stop; the busy cursor and the progress show during the run.
    void escapeStopsAndProgressShows()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(kSession + kEmptyFolder.arg(QStringLiteral("INBOX")) + kLogout);
        Form1 form;
        testsupport::useShortTimeouts(form);
        connectTo(form, server.address());
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        bool busy = false;
        bool progressShown = false;
        int progressMax = -1;
        connect(&form.channel(), &imap::ImapChannel::wrote, &form, [&](const QByteArray &b) {
            if (b.startsWith("1 EXAMINE")) {
                busy = form.MSHFlexGrid1->viewport()->cursor().shape() == Qt::BusyCursor;
                progressShown = form.prgFolders->isVisible();
                progressMax = form.prgFolders->maximum();
                QTest::keyClick(&form, Qt::Key_Escape);
            }
        });
        form.cmdSearch_Click();
        QCOMPARE(server.failure(), QString());
        QVERIFY(busy);
        QVERIFY(progressShown);
        QCOMPARE(progressMax, 3);
        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Search Stopped. 0 matching emails found in 1 folders."));
        QVERIFY(form.MSHFlexGrid1->viewport()->cursor().shape() != Qt::BusyCursor);
        QVERIFY(!form.prgFolders->isVisible());
        // Esc when no run is going does nothing.
        QTest::keyClick(&form, Qt::Key_Escape);
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));
    }

    // Window size and column widths the user chose come back at the next start.
    void geometryRemembered()
    {
        QList<int> widths;
        QSize size;
        {
            Form1 form;
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            form.resize(1013, 677);
            QTRY_COMPARE(form.size(), QSize(1013, 677));
            size = form.size();
            // As a user dragging the column edges.
            form.MSHFlexGrid1->horizontalHeader()->resizeSection(0, 123);
            form.MSHFlexGrid1->horizontalHeader()->resizeSection(2, 321);
            for (int c = 0; c < 4; ++c)
                widths.append(form.MSHFlexGrid1->columnWidth(c));
            form.close();
        }
        Form1 again;
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QCOMPARE(again.size(), size);
        for (int c = 0; c < 4; ++c)
            QCOMPARE(again.MSHFlexGrid1->columnWidth(c), widths[c]);
        // A new search keeps them.
        again.SetupGrid();
        for (int c = 0; c < 4; ++c)
            QCOMPARE(again.MSHFlexGrid1->columnWidth(c), widths[c]);
    }

    void aboutButton()
    {
        Form1 form;
        QVERIFY(form.cmdAbout);
        QCOMPARE(form.cmdAbout->text(), QStringLiteral("About..."));
    }
};

QTEST_MAIN(TestEveryday)
#include "tst_everyday.moc"
