// The search run against the scripted server: the order of commands, Stop at each point of a
// run, refusals, a dropped connection and batched fetches.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/fakeimapserver.h"
#include "support/formdriver.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using testsupport::fetchAnswer;

namespace {

const QString kLogin =
    QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] ready\nC: 1 LOGIN demo demo\nS: 1 OK in\n");
const QString kList = QStringLiteral("C: 1 LIST \"\" \"*\"\n"
                                     "S: * LIST (\\\\HasNoChildren) \".\" Sent\n"
                                     "S: * LIST (\\\\HasNoChildren) \".\" INBOX\n"
                                     "S: 1 OK done\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n");
const QString kSearchLine = QStringLiteral("C: 1 SEARCH UNDELETED (SUBJECT \"report\")\n");

QByteArray headers(int n)
{
    return "Date: Tue, 3 Jan 2006 10:15:0" + QByteArray::number(n % 10) +
           " +0000\r\nFrom: Sender " + QByteArray::number(n) + " <s" + QByteArray::number(n) +
           "@example.org>\r\nSubject: report " + QByteArray::number(n) + "\r\n\r\n";
}

// EXAMINE, SEARCH with the given hits, and one FETCH for them (up to 500).
QString folderExchange(const char *name, const QList<int> &hits)
{
    QString s = QStringLiteral("C: 1 EXAMINE \"%1\"\nS: * %2 EXISTS\nS: 1 OK [READ-ONLY] done\n")
                    .arg(QLatin1String(name))
                    .arg(hits.size());
    s += kSearchLine;
    QString nums;
    for (int h : hits)
        nums += QLatin1Char(' ') + QString::number(h);
    s += hits.isEmpty() ? QStringLiteral("S: * SEARCH\n")
                        : QStringLiteral("S: * SEARCH") + nums + QLatin1Char('\n');
    s += QStringLiteral("S: 1 OK done\n");
    if (hits.isEmpty())
        return s;
    QString set;
    for (int h : hits)
        set += (set.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(h);
    s += QStringLiteral("C: 1 FETCH %1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n").arg(set);
    for (int h : hits)
        s += fetchAnswer(h, headers(h));
    s += QStringLiteral("S: 1 OK fetched\n");
    return s;
}

struct Run
{
    FakeImapServer server;
    Form1 form;

    explicit Run(const QString &script)
    {
        server.listen();
        server.setScript(script);
        testsupport::useShortTimeouts(form);
        form.txtServer->setText(server.address());
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtSubjectSearch->setText(QStringLiteral("report"));
    }

    // Clicks the button (as Stop) when the client writes a line beginning with `prefix`.
    void clickWhenSent(const QByteArray &prefix, int clicks = 1)
    {
        QObject::connect(&form.channel(), &imap::ImapChannel::wrote, &form,
                         [this, prefix, clicks](const QByteArray &b) {
                             if (b.startsWith(prefix))
                                 for (int i = 0; i < clicks; ++i)
                                     form.cmdSearch_Click();
                         });
    }

    QStringList folders() const
    {
        QStringList out;
        for (qsizetype i = 0; i < form.resultsModel()->hitCount(); ++i)
            out.append(form.resultsModel()->record(i).strFolder);
        return out;
    }
};

} // namespace

class TestSearchRun : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void completeRun()
    {
        Run run(kLogin + kList + folderExchange("Sent", {}) + folderExchange("INBOX", {2, 5, 9}) +
                kLogout);
        run.form.cmdSearch_Click();
        QCOMPARE(run.server.failure(), QString());
        QCOMPARE(run.form.lblStatus->text(),
                 QStringLiteral("Search Complete. 3 matching emails found in 2 folders."));
        QCOMPARE(run.form.cmdSearch->text(), QStringLiteral("Search"));
        const results::ResultsModel *model = run.form.resultsModel();
        QCOMPARE(model->hitCount(), 3);
        QCOMPARE(model->rowCount(), 3);
        const QStringList nums = {QStringLiteral("2"), QStringLiteral("5"), QStringLiteral("9")};
        for (int i = 0; i < 3; ++i) {
            const imap::ResultRecord &r = model->record(i);
            QCOMPARE(r.strFolder, QStringLiteral("INBOX"));
            QCOMPARE(r.strMsgNum, nums[i]);
            QCOMPARE(r.strSubject, QStringLiteral("report ") + nums[i]);
            QCOMPARE(r.strFrom, QStringLiteral("Sender %1 <s%1@example.org>").arg(nums[i]));
            QCOMPARE(r.dtLocal.toUTC(),
                     QDateTime(QDate(2006, 1, 3), QTime(10, 15, nums[i].toInt() % 10), Qt::UTC));
        }
    }

    void noHits()
    {
        Run run(kLogin + kList + folderExchange("Sent", {}) + folderExchange("INBOX", {}) +
                kLogout);
        run.form.cmdSearch_Click();
        QCOMPARE(run.form.lblStatus->text(),
                 QStringLiteral("Search Complete. 0 matching emails found in 2 folders."));
        QCOMPARE(run.form.resultsModel()->rowCount(), 1);
        QCOMPARE(run.form.resultsModel()->hitCount(), 0);
    }

    void stop_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("clickOn");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("rows");

        const QString both = folderExchange("Sent", {1}) + folderExchange("INBOX", {2, 5, 9});
        QTest::newRow("before the first folder")
            << kLogin + kList + kLogout << QByteArray("1 LIST") << 1
            << QStringLiteral("Search Stopped. 0 matching emails found in 0 folders.") << 0;
        QTest::newRow("during a folder's fetches: the folder is finished")
            << kLogin + kList + folderExchange("Sent", {1}) + kLogout << QByteArray("1 FETCH") << 1
            << QStringLiteral("Search Stopped. 1 matching emails found in 1 folders.") << 1;
        QTest::newRow("during the last folder's fetches")
            << kLogin + kList + both + kLogout << QByteArray("1 FETCH 2,5,9") << 1
            << QStringLiteral("Search Stopped. 4 matching emails found in 2 folders.") << 4;
        QTest::newRow("during logout")
            << kLogin + kList + both + kLogout << QByteArray("1 LOGOUT") << 1
            << QStringLiteral("Search Stopped. 4 matching emails found in 2 folders.") << 4;
        QTest::newRow("a second click on Stopping changes nothing")
            << kLogin + kList + folderExchange("Sent", {1}) + kLogout << QByteArray("1 EXAMINE")
            << 2 << QStringLiteral("Search Stopped. 1 matching emails found in 1 folders.") << 1;
    }

    void stop()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, clickOn);
        QFETCH(int, clicks);
        QFETCH(QString, status);
        QFETCH(int, rows);
        Run run(script);
        run.clickWhenSent(clickOn, clicks);
        // The caption right after each command went out (after any click on it).
        QStringList captionsSeen;
        connect(&run.form.channel(), &imap::ImapChannel::wrote, this,
                [&](const QByteArray &) { captionsSeen.append(run.form.cmdSearch->text()); });
        run.form.cmdSearch_Click();
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(run.server.finished());
        QCOMPARE(run.form.lblStatus->text(), status);
        QCOMPARE(run.form.resultsModel()->hitCount(), rows);
        QCOMPARE(run.form.cmdSearch->text(), QStringLiteral("Search"));
        QVERIFY(captionsSeen.contains(QStringLiteral("Stop")));
        QCOMPARE(captionsSeen.last(), QStringLiteral("Stopping"));
        // The next run starts afresh: the stop request does not linger.
        Run again(kLogin + kList + folderExchange("Sent", {}) + folderExchange("INBOX", {}) +
                  kLogout);
        again.form.cmdSearch_Click();
        QVERIFY(again.form.lblStatus->text().startsWith(QStringLiteral("Search Complete.")));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("rows");

        QTest::newRow("refused EXAMINE")
            << kLogin + kList + QStringLiteral("C: 1 EXAMINE \"Sent\"\n") + kSearchLine +
                   QStringLiteral("S: 1 NO Mailbox doesn't exist\nS: * SEARCH 1 2\nS: 1 BAD No "
                                  "mailbox selected\n") +
                   folderExchange("INBOX", {4}) + kLogout
            << QStringLiteral("Search Complete. 1 matching emails found in 2 folders. 1 folders "
                              "could not be searched.")
            << 1;
        QTest::newRow("refused SEARCH")
            << kLogin + kList + QStringLiteral("C: 1 EXAMINE \"Sent\"\nS: 1 OK ro\n") +
                   kSearchLine + QStringLiteral("S: 1 BAD bad search\n") +
                   QStringLiteral("C: 1 EXAMINE \"INBOX\"\n") + kSearchLine +
                   QStringLiteral("S: 1 NO gone\nS: 1 BAD no mailbox\n") + kLogout
            << QStringLiteral("Search Complete. 0 matching emails found in 2 folders. 2 folders "
                              "could not be searched.")
            << 0;
    }

    void refusals()
    {
        QFETCH(QString, script);
        QFETCH(QString, status);
        QFETCH(int, rows);
        Run run(script);
        run.form.cmdSearch_Click();
        QCOMPARE(run.server.failure(), QString());
        QCOMPARE(run.form.lblStatus->text(), status);
        QCOMPARE(run.form.resultsModel()->hitCount(), rows);
    }

    // A refused login ends the run: nothing after LOGIN but the goodbye.
    void refusedLogin()
    {
        Run run(QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\nS: 1 NO "
                               "[AUTHENTICATIONFAILED] Authentication failed.\n") +
                kLogout);
        run.form.cmdSearch_Click();
        QCOMPARE(run.form.lblStatus->text(),
                 QStringLiteral("Error: login failed: Authentication failed."));
        QTRY_COMPARE(run.server.received(), QByteArray("1 LOGIN demo demo\r\n1 LOGOUT\r\n"));
        QCOMPARE(run.form.resultsModel()->hitCount(), 0);
    }

    // The server drops the connection in the middle of the second folder's fetch: the first
    // folder's rows stay.
    void droppedMidFetch()
    {
        const QString partial =
            QStringLiteral("C: 1 EXAMINE \"INBOX\"\nS: 1 OK ro\n") + kSearchLine +
            QStringLiteral("S: * SEARCH 1 2\nS: 1 OK\nC: 1 FETCH 1,2 BODY.PEEK[HEADER.FIELDS (DATE "
                           "FROM SUBJECT)]\n") +
            fetchAnswer(1, headers(1)) +
            QStringLiteral(
                "S+ * 2 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {40}\\r\\nDate:\nCLOSE\n");
        Run run(kLogin + kList + folderExchange("Sent", {7}) + partial);
        run.form.cmdSearch_Click();
        QCOMPARE(run.form.lblStatus->text(), QStringLiteral("Error: server closed the connection"));
        QCOMPARE(run.form.cmdSearch->text(), QStringLiteral("Search"));
        QCOMPARE(run.folders(), QStringList{QStringLiteral("Sent")});
        QCOMPARE(run.form.resultsModel()->record(0).strSubject, QStringLiteral("report 7"));
        QVERIFY(!run.form.channel().isOpen());
        QVERIFY(!run.form.flowRunning());
    }

    // More than 500 hits in a folder: one FETCH per 500, rows shown as each batch completes.
    void batches()
    {
        QList<int> hits;
        for (int i = 1; i <= 1203; ++i)
            hits.append(i);
        QString script =
            kLogin + QStringLiteral("C: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" INBOX\nS: 1 OK\n") +
            QStringLiteral("C: 1 EXAMINE \"INBOX\"\nS: 1 OK ro\n") + kSearchLine;
        QString nums;
        for (int h : hits)
            nums += QLatin1Char(' ') + QString::number(h);
        script += QStringLiteral("S: * SEARCH") + nums + QStringLiteral("\nS: 1 OK\n");
        for (int first = 1; first <= 1203; first += 500) {
            const int last = qMin(first + 499, 1203);
            QString set;
            for (int h = first; h <= last; ++h)
                set += (h == first ? QString() : QStringLiteral(",")) + QString::number(h);
            script += QStringLiteral("C: 1 FETCH %1 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n")
                          .arg(set);
            // Answers out of order, as a server may send them.
            for (int h = last; h >= first; --h)
                script += fetchAnswer(h, headers(h));
            script += QStringLiteral("S: 1 OK\n");
        }
        script += kLogout;
        Run run(script);
        QList<int> rowsWhenFetching;
        connect(&run.form.channel(), &imap::ImapChannel::wrote, this, [&](const QByteArray &b) {
            if (b.startsWith("1 FETCH"))
                rowsWhenFetching.append(int(run.form.resultsModel()->hitCount()));
        });
        run.form.cmdSearch_Click();
        QCOMPARE(run.server.failure(), QString());
        QCOMPARE(run.form.lblStatus->text(),
                 QStringLiteral("Search Complete. 1203 matching emails found in 1 folders."));
        QCOMPARE(rowsWhenFetching, (QList<int>{0, 500, 1000}));
        const results::ResultsModel *model = run.form.resultsModel();
        QCOMPARE(model->hitCount(), 1203);
        for (int i = 0; i < 1203; ++i) {
            QCOMPARE(model->record(i).strMsgNum, QString::number(i + 1));
            QCOMPARE(model->record(i).strSubject, QStringLiteral("report %1").arg(i + 1));
        }
    }

    // The key is taken when the run starts; Stop stays usable whatever the criteria hold.
    void keyTakenOnce()
    {
        Run run(kLogin + kList + folderExchange("Sent", {}) + folderExchange("INBOX", {}) +
                kLogout);
        bool stopEnabled = true;
        connect(&run.form.channel(), &imap::ImapChannel::wrote, this, [&](const QByteArray &b) {
            if (b.startsWith("1 EXAMINE \"Sent\"")) {
                run.form.txtSubjectSearch->setText(QStringLiteral("other"));
                run.form.txtSubjectSearch->clear();
                stopEnabled = run.form.cmdSearch->isEnabled();
            }
        });
        run.form.cmdSearch_Click();
        QCOMPARE(run.server.failure(), QString());
        QVERIFY(stopEnabled);
        QVERIFY(run.form.lblStatus->text().startsWith(QStringLiteral("Search Complete.")));
        // After the run the button follows the (now empty) criteria again.
        QCOMPARE(run.form.cmdSearch->text(), QStringLiteral("Search"));
        QVERIFY(!run.form.cmdSearch->isEnabled());
    }
};

QTEST_MAIN(TestSearchRun)
#include "tst_searchrun.moc"
