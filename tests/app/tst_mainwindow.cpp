// The main window's wiring, against the scripted server with one connection: what the Search
// button and the status line show while a search runs and after it ends, Enter and Esc, the
// remembered connection fields, and the date fields' rule for leaving them. How a search goes
// on the wire is the search engine's own tests' business.

#include "app/mainwindow.h"
#include "app/messagewindow.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/searchengine.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

namespace {

const QString kLogin = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\n");
const QString kListed =
    QStringLiteral("S: 1 OK in\nC: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" INBOX\n"
                   "S: * LIST () \"/\" Work\nS: 1 OK\n");
const QString kKey = QStringLiteral("1 SEARCH UNDELETED (SUBJECT \"x\")");
const QString kFetch =
    QStringLiteral("C: 1 FETCH 1,2 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: 1 OK bye\n");

QString examine(const QString &folder)
{
    return QStringLiteral("C: 1 EXAMINE \"%1\"\nC: %2\n").arg(folder, kKey);
}

QString fetched(int seq)
{
    return testsupport::fetchAnswer(seq, QByteArrayLiteral("Subject: x ") +
                                             QByteArray::number(seq) + "\r\n\r\n");
}

// INBOX has messages 1 and 2.
const QString kInboxHits = kLogin + kListed + examine("INBOX") +
                           QStringLiteral("S: 1 OK ro\nS: * SEARCH 1 2\nS: 1 OK\n") + kFetch;

template <typename T> T *child(const MainWindow &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

    QString settingsFile() const
    {
        return m_config.path() + QStringLiteral("/Fernquill/Fernquill.conf");
    }
    static void fill(MainWindow &w, const QString &server)
    {
        child<QLineEdit>(w, "serverEdit")->setText(server);
        child<QLineEdit>(w, "loginEdit")->setText(QStringLiteral("demo"));
        child<QLineEdit>(w, "passwordEdit")->setText(QStringLiteral("demo"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        testsupport::usePrivateConfig(m_config.path());
    }

    // One connection plays the whole script.
    void init()
    {
        QFile::remove(settingsFile());
        QSettings(settingsFile(), QSettings::IniFormat).setValue("Search/Connections", 1);
    }

    void search_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("actions");   // done once the first folder is being searched
        QTest::addColumn<QStringList>("trace"); // status line | Search button ("-": disabled)
        QTest::addColumn<int>("rows");          // hits left in the grid
        QTest::addColumn<bool>("saved");        // connection fields remembered

        const QStringList start{"Connecting to ADDR... | Stop", "Logging in... | Stop",
                                "Getting Folder List... | Stop"};
        const QString inbox = "Scanning Folder: INBOX | Stop";
        QTest::newRow("complete")
            << kInboxHits + examine("Work") + fetched(1) + fetched(2) +
                   "S: 1 OK\nS: 1 OK ro\nS: * SEARCH\nS: 1 OK\n" + kLogout
            << ""
            << start +
                   QStringList{inbox, "Scanning Folder: Work | Stop", "Logging out... | Stop",
                               "Search Complete. 2 matching emails found in 2 folders. | Search"}
            << 2 << true;
        QTest::newRow("refused folder, unread message; Browse refused meanwhile")
            << kInboxHits + examine("Work") + fetched(1) +
                   "S: 1 OK\nS: 1 NO no such folder\nS: 1 BAD nothing selected\n" + kLogout
            << "browse"
            << start +
                   QStringList{inbox, "Error | Stop", "Scanning Folder: Work | Stop",
                               "Logging out... | Stop",
                               "Search Complete. 2 matching emails found in 2 folders. 1 folders "
                               "could not be searched. 1 messages could not be read. | Search"}
            << 2 << true;
        const QString stopped = kInboxHits + fetched(1) + fetched(2) + "S: 1 OK\n" + kLogout;
        QTest::newRow("Esc stops after the folder under way; login edited meanwhile")
            << stopped << "esc retype retyped"
            << start + QStringList{inbox, "Scanning Folder: INBOX | Stopping",
                                   "Logging out... | Stopping",
                                   "Search Stopped. 2 matching emails found in 1 folders. | Search"}
            << 2 << true;
        QTest::newRow("criteria cleared: Stop still works")
            << stopped << "clear click"
            << start +
                   QStringList{inbox, "Scanning Folder: INBOX | Stopping",
                               "Logging out... | Stopping",
                               "Search Stopped. 2 matching emails found in 1 folders. | Search-"}
            << 2 << true;
        QTest::newRow("connection lost: rows kept")
            << kInboxHits + examine("Work") + fetched(1) + fetched(2) + "S: 1 OK\nCLOSE\n"
            << ""
            << start + QStringList{inbox, "Scanning Folder: Work | Stop",
                                   "Error: server closed the connection | Search"}
            << 2 << true;
        QTest::newRow("login refused")
            << kLogin + "S: 1 NO [AUTHENTICATIONFAILED] nope\n" + kLogout << ""
            << QStringList{start[0], start[1], "Error: login failed: nope | Search"} << 0 << true;
        QTest::newRow("turned away: nothing remembered")
            << "S: * BYE Too many connections\nCLOSE\n"
            << ""
            << QStringList{start[0],
                           "Error: server refused the connection: Too many connections | Search"}
            << 0 << false;
    }

    void search()
    {
        QFETCH(QString, script);
        QFETCH(QString, actions);
        QFETCH(QStringList, trace);
        QFETCH(int, rows);
        QFETCH(bool, saved);
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(script);
        MainWindow w;
        testsupport::useShortTimeouts(w);
        fill(w, fake.address());
        child<QLineEdit>(w, "subjectEdit")->setText(QStringLiteral("x"));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *status = child<QLabel>(w, "statusLabel");
        auto *button = child<QPushButton>(w, "searchButton");
        auto *browse = child<QPushButton>(w, "browseButton");
        auto *engine = w.findChild<search::SearchEngine *>();
        QVERIFY(engine);

        QStringList seen;
        const auto sample = [&] {
            const QString s =
                status->text() + " | " + button->text() + (button->isEnabled() ? "" : "-");
            if (seen.isEmpty() || seen.last() != s)
                seen.append(s);
        };
        connect(engine, &search::SearchEngine::stepChanged, &w, sample);
        connect(engine, &search::SearchEngine::hitsFound, &w, sample);
        connect(engine, &search::SearchEngine::scanning, &w, [&] {
            sample();
            if (actions.isEmpty())
                return;
            QMetaObject::invokeMethod(
                &w,
                [&, todo = std::exchange(actions, QString())] {
                    for (const QString &a : todo.split(' ')) {
                        if (a == "esc")
                            QTest::keyClick(&w, Qt::Key_Escape);
                        else if (a == "clear")
                            child<QLineEdit>(w, "subjectEdit")->clear();
                        else if (a == "click")
                            button->click();
                        else if (a == "browse")
                            browse->click();
                        else if (a == "retype") // the login, typed again
                            child<QLineEdit>(w, "loginEdit")->setText(QStringLiteral("demo "));
                        else if (a == "retyped")
                            child<QLineEdit>(w, "loginEdit")->setText(QStringLiteral("demo"));
                        sample();
                    }
                },
                Qt::QueuedConnection);
        });
        QSignalSpy finished(engine, &search::SearchEngine::finished);
        button->click();
        QVERIFY(finished.wait(10000));
        sample();
        QCOMPARE(fake.failure(), QString());
        QCOMPARE(seen.join('\n'), trace.join('\n').replace("ADDR", fake.address()));
        QCOMPARE(fake.connectionCount(), 1); // not one for a Browse
        QVERIFY(browse->isEnabled());
        QCOMPARE(w.findChild<results::ResultsView *>("resultsView")->resultsModel()->hitCount(),
                 rows);
        QSettings stored(settingsFile(), QSettings::IniFormat);
        QCOMPARE(stored.value("LastUse/Server").toString(), saved ? fake.address() : QString());
        QCOMPARE(stored.value("LastUse/pw").toString(), saved ? "demo" : "");
        if (saved) {
            MainWindow again; // a new window starts with them
            QCOMPARE(child<QLineEdit>(again, "serverEdit")->text(), fake.address());
            QCOMPARE(child<QLineEdit>(again, "loginEdit")->text(), QStringLiteral("demo"));
        }
    }

    // Enter on a hit opens it in a message window on a connection of its own, with the server
    // and login it was found with; Save Results writes the grid as shown.
    void openAndSaveHits()
    {
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(kInboxHits + fetched(1) + fetched(2) + QStringLiteral("S: 1 OK\n") +
                       examine("Work") + QStringLiteral("S: 1 OK ro\nS: * SEARCH\nS: 1 OK\n") +
                       kLogout);
        MainWindow w;
        testsupport::useShortTimeouts(w);
        fill(w, fake.address());
        child<QLineEdit>(w, "subjectEdit")->setText(QStringLiteral("x"));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *status = child<QLabel>(w, "statusLabel");
        child<QPushButton>(w, "searchButton")->click();
        QTRY_VERIFY(status->text().startsWith(QStringLiteral("Search Complete. 2 ")));
        // Typed after the search: the hit still opens where it was found.
        child<QLineEdit>(w, "loginEdit")->setText(QStringLiteral("someone else"));

        const QByteArray raw = "Subject: x 2\r\n\r\nHello\r\n";
        fake.setScript(
            kLogin + QStringLiteral("S: 1 OK in\nC: 1 EXAMINE \"INBOX\"\nS: 1 OK ro\n") +
            QStringLiteral("C: 1 FETCH 2 (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])\n"
                           "S: * 2 FETCH (UID 77 BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {16}\n"
                           "S+ Subject: x 2\\r\\n\\r\\n\nS: )\nS: 1 OK\n"
                           "C: 1 UID FETCH 77 BODY.PEEK[]\n") +
            QStringLiteral("S: * 2 FETCH (UID 77 BODY[] {%1}\nS+ %2\nS: )\nS: 1 OK\n")
                .arg(raw.size())
                .arg(testsupport::scriptEscape(raw)) +
            kLogout);
        auto *view = w.findChild<results::ResultsView *>("resultsView");
        view->setFocus();
        view->setCurrentIndex(view->model()->index(1, 0));
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_VERIFY(w.findChild<MessageWindow *>());
        auto *message = w.findChild<MessageWindow *>();
        QSignalSpy shown(message, &MessageWindow::messageShown);
        QVERIFY(shown.wait(10000));
        QCOMPARE(fake.failure(), QString());
        QCOMPARE(message->rawMessage(), raw);
        QCOMPARE(message->content().subject, QStringLiteral("x 2"));

        const QString path = m_config.path() + QStringLiteral("/hits.csv");
        child<QPushButton>(w, "saveResultsButton")->click();
        QTRY_VERIFY(w.findChild<QFileDialog *>("saveResultsDialog"));
        auto *dialog = w.findChild<QFileDialog *>("saveResultsDialog");
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept(); // as the Save button does
        QFile csv(path);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(), QByteArray("Folder,Date,Subject,From\r\n"
                                           "INBOX,,x 1,\r\n"
                                           "INBOX,,x 2,\r\n"));
    }

    void enterStartsSearch_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("starts");
        QTest::newRow("subject") << "subjectEdit"
                                 << "x" << true;
        QTest::newRow("to or from") << "toOrFromEdit"
                                    << "x" << true;
        QTest::newRow("date, checked at Enter") << "afterEdit"
                                                << "01/05/2006" << true;
        QTest::newRow("not a date") << "afterEdit"
                                    << "soon" << false;
        QTest::newRow("no criterion") << "bodyEdit"
                                      << "" << false;
    }

    void enterStartsSearch()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(bool, starts);
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(kLogin + "S: 1 NO nope\n" + kLogout);
        MainWindow w;
        fill(w, fake.address());
        auto *edit = w.findChild<QLineEdit *>(field);
        edit->setText(text);
        QTest::keyClick(edit, Qt::Key_Return);
        auto *status = child<QLabel>(w, "statusLabel");
        if (starts) {
            QTRY_COMPARE(status->text(), QStringLiteral("Error: login failed: nope"));
        } else {
            QCOMPARE(status->text(), QString());
            QCOMPARE(fake.connectionCount(), 0);
        }
        // Esc with no search running changes nothing.
        QTest::keyClick(&w, Qt::Key_Escape);
        QCOMPARE(child<QPushButton>(w, "searchButton")->text(), QStringLiteral("Search"));
    }

    void dateFields_data()
    {
        // "a=text": type into On/After and leave it with Tab; "b=": On/Before; "a~": type, stay.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("focus");

        QTest::newRow("normalised on leaving") << "a=01/05/2006"
                                               << "1/5/2006"
                                               << ""
                                               << "1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)"
                                               << "beforeEdit";
        QTest::newRow("typing alone changes nothing") << "a~1/5/2006"
                                                      << "1/5/2006"
                                                      << ""
                                                      << ""
                                                      << "afterEdit";
        QTest::newRow("range")
            << "a=1/5/2006 b=1/31/2006"
            << "1/5/2006"
            << "1/31/2006"
            << "1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006)"
            << "attachmentCheck";
        QTest::newRow("On/Before earlier gives way") << "a=3/1/2006 b=2/1/2006"
                                                     << "3/1/2006"
                                                     << "3/1/2006"
                                                     << "1 SEARCH UNDELETED (SENTON 1-Mar-2006)"
                                                     << "attachmentCheck";
        QTest::newRow("not a date: focus and key stay")
            << "a=1/5/2006 a=next tuesday"
            << "next tuesday"
            << ""
            << "1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)"
            << "afterEdit";
        QTest::newRow("emptied: the clause goes") << "a=1/5/2006 a="
                                                  << ""
                                                  << ""
                                                  << ""
                                                  << "beforeEdit";
    }

    void dateFields()
    {
        QFETCH(QString, steps);
        QFETCH(QString, after);
        QFETCH(QString, before);
        QFETCH(QString, key);
        QFETCH(QString, focus);
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        for (const QString &step : steps.split(QRegularExpression(" (?=[ab][=~])"))) {
            auto *field = child<QLineEdit>(w, step.startsWith('a') ? "afterEdit" : "beforeEdit");
            field->setFocus(Qt::TabFocusReason);
            QTRY_COMPARE(QApplication::focusWidget(), field);
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Delete);
            QTest::keyClicks(field, step.mid(2));
            if (step.at(1) == '=')
                QTest::keyClick(field, Qt::Key_Tab);
        }
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), focus);
        QCOMPARE(child<QLineEdit>(w, "afterEdit")->text(), after);
        QCOMPARE(child<QLineEdit>(w, "beforeEdit")->text(), before);
        QCOMPARE(child<QLabel>(w, "searchKeyLabel")->text(), key);
        QCOMPARE(child<QPushButton>(w, "searchButton")->isEnabled(), !key.isEmpty());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
