// The main window's wiring, against the scripted server with one connection (the wire itself is
// the engine's tests' business).

#include "app/mainwindow.h"
#include "app/messagewindow.h"
#include "imap/command.h"
#include "imap/mutf7.h"
#include "results/csvexport.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/fakeimapserver.h"
#include "support/hostiletext.h"
#include "support/testhelpers.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <memory>
#include <utility>

namespace {

const QString kLogin = "S: * OK [CAPABILITY IMAP4rev1] hi\nC: 1 LOGIN demo demo\n";
const QString kLogout = "C: 1 LOGOUT\nS: 1 OK bye\n";

QString examine(const QString &folder)
{
    return "C: 1 EXAMINE \"" + folder + "\"\nC: 1 SEARCH UNDELETED (SUBJECT \"x\")\n";
}

QString fetched(int seq)
{
    return testsupport::fetchAnswer(seq, QByteArrayLiteral("Subject: x ") +
                                             QByteArray::number(seq) + "\r\n\r\n");
}

// Folders INBOX and Work; INBOX has messages 1 and 2.
const QString kInboxHits =
    kLogin +
    "S: 1 OK [CAPABILITY IMAP4rev1] in\nC: 1 LIST \"\" \"*\"\nS: * LIST () \"/\" INBOX\n"
    "S: * LIST () \"/\" Work\nS: 1 OK\n" +
    examine("INBOX") +
    "S: 1 OK ro\nS: * SEARCH 1 2\nS: 1 OK\n"
    "C: 1 FETCH 1,2 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n";

// Stands in for the web browser: notes the pages it is asked to open.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

template <typename T> T *child(const MainWindow &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;
    testsupport::FifoTrap m_trap;

    QString settingsFile() const { return m_config.path() + "/Fernquill/Fernquill.conf"; }

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void init() // one connection plays the whole script
    {
        QFile::remove(settingsFile());
        QSettings(settingsFile(), QSettings::IniFormat).setValue("Search/Connections", 1);
    }

    void search_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("actions");   // done once the first folder is being searched
        QTest::addColumn<QStringList>("trace"); // status | Search button ("-": disabled) progress
        QTest::addColumn<QString>("settings");  // of [Search], as "key=value ..."
        const QStringList start{"Connecting to ADDR... | Stop", "Logging in... | Stop",
                                "Getting Folder List... | Stop"};
        const auto row = [&](const char *name, const QString &script, const QStringList &trace,
                             const char *actions = "", const char *settings = "") {
            QTest::newRow(name) << script << actions << start + trace << settings;
        };
        const QString inbox = "Scanning Folder: INBOX | Stop 0/2";
        row("complete",
            kInboxHits + examine("Work") + fetched(1) + fetched(2) +
                "S: 1 OK\nS: 1 OK ro\nS: * SEARCH\nS: 1 OK\n" + kLogout,
            {inbox, "Scanning Folder: Work | Stop 0/2", "Logging out... | Stop 2/2",
             "Search Complete. 2 matching emails found in 2 folders. | Search"});
        // The fields retyped during the run: what is remembered is what the run logged in with.
        row("refused folder, unread message; Browse refused, fields retyped meanwhile",
            kInboxHits + examine("Work") + fetched(1) +
                "S: 1 OK\nS: 1 NO no such folder\nS: 1 BAD nothing selected\n" + kLogout,
            {inbox, "Error | Stop 0/2", "Scanning Folder: Work | Stop 0/2",
             "Logging out... | Stop 2/2",
             "Search Complete. 2 matching emails found in 2 folders. 1 folders could not be "
             "searched. 1 messages could not be read. | Search"},
            "browse retype");
        row("Esc stops after the folder under way; criteria cleared meanwhile",
            kInboxHits + fetched(1) + fetched(2) + "S: 1 OK\n" + kLogout,
            {inbox, "Scanning Folder: INBOX | Stopping 0/2", "Logging out... | Stopping 1/2",
             "Search Stopped. 2 matching emails found in 1 folders. | Search-"},
            "clear esc click");
        // INBOX: 9 is above its message count; Work refused; Junk's hit is past the limit of 2.
        // The server offers SEARCHRES, but extensions are off: the classic conversation.
        row("limit on hits passed, after the other sentences; extensions off",
            kLogin + "S: 1 OK [CAPABILITY IMAP4rev1 SEARCHRES] in\nC: 1 LIST \"\" \"*\"\n" +
                "S: * LIST () \"/\" INBOX\nS: * LIST () \"/\" Work\nS: * LIST () \"/\" Junk\n" +
                "S: 1 OK\n" + examine("INBOX") +
                "S: * 3 EXISTS\nS: 1 OK ro\nS: * SEARCH 1 9 2\nS: 1 OK\n" +
                "C: 1 FETCH 1,2 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\n" + examine("Work") +
                fetched(1) + fetched(2) +
                "S: 1 OK\nS: 1 NO no such folder\nS: 1 BAD nothing selected\n" + examine("Junk") +
                "S: 1 OK ro\nS: * SEARCH 5\nS: 1 OK\n" + kLogout,
            {"Scanning Folder: INBOX | Stop 0/3", "Scanning Folder: Work | Stop 0/3",
             "Scanning Folder: Junk | Stop 2/3", "Logging out... | Stop 3/3",
             "Search Complete. 4 matching emails found in 3 folders. 1 folders could not be "
             "searched. 1 messages could not be read. Only the first 2 matches are shown. | "
             "Search"},
            "", "MaxHits=2 Extensions=Off");
    }

    void search()
    {
        QFETCH(QString, script);
        QFETCH(QString, actions);
        QFETCH(QStringList, trace);
        QFETCH(QString, settings);
        for (const QString &setting : settings.split(' ', Qt::SkipEmptyParts))
            QSettings(settingsFile(), QSettings::IniFormat)
                .setValue("Search/" + setting.section('=', 0, 0), setting.section('=', 1));
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(script);
        MainWindow w;
        w.setConnectionTimeouts(testsupport::shortTimeouts());
        testsupport::fillFields(w, fake.address(), "demo", "demo", "x");
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *status = child<QLabel>(w, "statusLabel");
        auto *button = child<QPushButton>(w, "searchButton");
        auto *progress = child<QProgressBar>(w, "folderProgress");
        auto *engine = w.findChild<search::SearchEngine *>();
        QStringList seen;
        const auto sample = [&] {
            QString s = status->text() + " | " + button->text() + (button->isEnabled() ? "" : "-");
            if (progress->isVisible())
                s += QStringLiteral(" %1/%2").arg(progress->value()).arg(progress->maximum());
            if (seen.value(seen.size() - 1) != s)
                seen.append(s);
        };
        connect(engine, &search::SearchEngine::stepChanged, &w, sample);
        connect(engine, &search::SearchEngine::hitsFound, &w, sample);
        connect(engine, &search::SearchEngine::scanning, &w, [&] {
            sample();
            const QStringList todo = std::exchange(actions, QString()).split(' ');
            QMetaObject::invokeMethod(
                &w,
                [&, todo] {
                    for (const QString &a : todo) {
                        if (a == "esc") // then "click" does nothing more
                            QTest::keyClick(&w, Qt::Key_Escape);
                        else if (a == "clear")
                            child<QLineEdit>(w, "subjectEdit")->clear();
                        else if (a == "click")
                            button->click();
                        else if (a == "browse")
                            child<QPushButton>(w, "browseButton")->click();
                        else if (a == "retype")
                            for (const char *field : {"serverEdit", "passwordEdit"})
                                child<QLineEdit>(w, field)->setText("typed.meanwhile");
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
        QCOMPARE(fake.connectionCount(), 1); // none for the Browse
        QVERIFY(child<QPushButton>(w, "browseButton")->isEnabled());
        QCOMPARE(QSettings(settingsFile(), QSettings::IniFormat).value("LastUse/pw"), "demo");
        {
            MainWindow next; // starts with the fields of this one
            QCOMPARE(child<QLineEdit>(next, "serverEdit")->text(), fake.address());
            QCOMPARE(child<QLineEdit>(next, "loginEdit")->text(), "demo");
        }

        // Hidden and shown again, the window keeps its rows.
        const int rows = w.findChild<results::ResultsModel *>()->rowCount();
        w.hide();
        w.show();
        QCOMPARE(w.findChild<results::ResultsModel *>()->rowCount(), rows);

        // Save Results writes the grid as shown.
        const QString path = m_config.path() + QStringLiteral("/hits.csv");
        QFile::remove(path); // no question whether to overwrite it
        testsupport::saveAs(w, "saveResultsButton", "saveResultsDialog", path);
        QCOMPARE(status->text(), "Results saved to " + path + ".");
        QCOMPARE(testsupport::readFile(path),
                 results::modelToCsv(*w.findChild<results::ResultsModel *>()));

        // Enter on a hit opens it with the server and login it was found with.
        child<QLineEdit>(w, "loginEdit")->setText(QStringLiteral("someone else"));
        fake.setScript(kLogin +
                       "S: 1 OK [CAPABILITY IMAP4rev1] in\nC: 1 EXAMINE \"INBOX\"\nS: 1 OK ro\n" +
                       "C: 1 FETCH 1 (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])\n"
                       "S: * 1 FETCH (UID 7 BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {16}\n"
                       "S+ Subject: x 1\\r\\n\\r\\n\nS: )\nS: 1 OK\nC: 1 UID FETCH 7 BODY.PEEK[]\n"
                       "S: * 1 FETCH (UID 7 BODY[] {4}\nS+ Hi\\r\\n\nS: )\nS: 1 OK\n" +
                       kLogout);
        auto *view = w.findChild<results::ResultsView *>("resultsView");
        view->setCurrentIndex(view->model()->index(0, 0));
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_VERIFY(w.findChild<MessageWindow *>());
        QSignalSpy shown(w.findChild<MessageWindow *>(), &MessageWindow::messageShown);
        QVERIFY(shown.wait(10000));
        QCOMPARE(fake.failure(), QString());
        QCOMPARE(w.findChild<MessageWindow *>()->rawMessage(), "Hi\r\n");
    }

    // Folder names while scanning, a server's refusal and the search key are shown in the status
    // line and under the criteria as they are: never read as markup, nothing loaded.
    void hostileText_data() { testsupport::addHostileTextRows(m_trap.path()); }
    void hostileText()
    {
        QFETCH(QString, text);
        const QString name = testsupport::scriptEscape(imap::quoted(imap::encodeMailboxName(text)));
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(
            kLogin + "S: 1 OK [CAPABILITY IMAP4rev1] in\nC: 1 LIST \"\" \"*\"\nS: * LIST () NIL " +
            name + "\nS: 1 OK\nC: 1 EXAMINE " + name +
            "\nC: 1 SEARCH UNDELETED (SUBJECT \"x\")\nS: 1 NO x\nS: 1 BAD x\n" + kLogout);
        MainWindow w;
        testsupport::fillFields(w, fake.address(), "demo", "demo", "x");
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *status = child<QLabel>(w, "statusLabel");
        auto *engine = w.findChild<search::SearchEngine *>();
        QStringList shown;
        connect(engine, &search::SearchEngine::scanning, &w,
                [&] { shown << testsupport::shownText(status); });
        QSignalSpy finished(engine, &search::SearchEngine::finished);
        child<QPushButton>(w, "searchButton")->click();
        QVERIFY(finished.wait(10000));
        QCOMPARE(fake.failure(), QString());

        fake.setScript(kLogin + "S: 1 NO " + testsupport::scriptEscape(text.toUtf8()) + '\n' +
                       kLogout);
        child<QPushButton>(w, "browseButton")->click();
        QTRY_COMPARE(status->text(), "Error: login failed: " + text);
        shown << testsupport::shownText(status);
        child<QLineEdit>(w, "subjectEdit")->setText(text);
        shown << testsupport::shownText(child<QLabel>(w, "searchKeyLabel"));
        QCOMPARE(m_trap.takeOpens(), 0);
        search::SearchCriteria typed;
        typed.subject = text;
        QCOMPARE(shown, QStringList({"Scanning Folder: " + text, "Error: login failed: " + text,
                                     search::buildSearchKey(typed).text()}));
    }

    void criteriaFields_data()
    {
        // Steps: "a=text" types into On/After and leaves it with Tab, "b=" the same for
        // On/Before, "a~" types and stays, "a>" / "s>" / "o>" types into On/After, Subject or
        // Body and presses Enter.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("dates"); // On/After | On/Before as shown afterwards
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("focus"); // or, after Enter, the status line
        const auto row = [](const char *name, const char *steps, const char *dates,
                            const QString &key, const QString &focus) {
            QTest::newRow(name) << steps << dates << key << focus;
        };
        const QString since = "1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)";
        row("normalised on leaving", "a=01/05/2006", "1/5/2006|", since, "beforeEdit");
        row("typing alone", "a~1/5/2006", "1/5/2006|", "", "afterEdit");
        row("range", "a=1/5/2006 b=1/31/2006", "1/5/2006|1/31/2006",
            "1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006)", "attachmentCheck");
        row("On/Before earlier gives way", "a=3/1/2006 b=2/1/2006", "3/1/2006|3/1/2006",
            "1 SEARCH UNDELETED (SENTON 1-Mar-2006)", "attachmentCheck");
        row("not a date keeps the focus", "a=1/5/2006 a=next tuesday", "next tuesday|", since,
            "afterEdit");
        row("emptied", "a=1/5/2006 a=", "|", "", "beforeEdit");
        const QString failed = "Error: login failed: nope";
        row("Enter in a date field", "a>01/05/2006", "1/5/2006|", since, failed);
        row("Enter on not a date", "a>soon", "soon|", "", "");
        row("Enter in Subject", "s>x", "|", "1 SEARCH UNDELETED (SUBJECT \"x\")", failed);
        row("Enter with no criterion", "o>", "|", "", "");
    }

    void criteriaFields()
    {
        QFETCH(QString, steps);
        QFETCH(QString, dates);
        QFETCH(QString, key);
        QFETCH(QString, focus);
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(kLogin + "S: 1 NO nope\n" + kLogout);
        MainWindow w;
        testsupport::fillFields(w, fake.address(), "demo", "demo");
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        bool entered = false;
        for (const QString &step : steps.split(QRegularExpression(" (?=[abso][=~>])"))) {
            const char *name = step[0] == 'a'   ? "afterEdit"
                               : step[0] == 'b' ? "beforeEdit"
                               : step[0] == 's' ? "subjectEdit"
                                                : "bodyEdit";
            auto *field = child<QLineEdit>(w, name);
            field->setFocus(Qt::TabFocusReason);
            QTRY_COMPARE(QApplication::focusWidget(), field);
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Delete);
            QTest::keyClicks(field, step.mid(2));
            if (step[1] != '~')
                QTest::keyClick(field, step[1] == '=' ? Qt::Key_Tab : Qt::Key_Return);
            entered = step[1] == '>';
        }
        auto *status = child<QLabel>(w, "statusLabel");
        if (!entered)
            QTRY_COMPARE(QApplication::focusWidget()->objectName(), focus);
        else if (focus.isEmpty())
            QVERIFY(status->text().isEmpty() && fake.connectionCount() == 0);
        else
            QTRY_COMPARE(status->text(), focus);
        QCOMPARE(child<QLineEdit>(w, "afterEdit")->text() + '|' +
                     child<QLineEdit>(w, "beforeEdit")->text(),
                 dates);
        QCOMPARE(child<QLabel>(w, "searchKeyLabel")->text(), key);
    }

    void refusedStart_data()
    {
        QTest::addColumn<QString>("emptied"); // or "browse": Search / "browse2": Browse again
        for (const char *row : {"serverEdit", "loginEdit", "passwordEdit", "browse", "browse2"})
            QTest::newRow(row) << row;
    }

    // A search needs the three connection fields and no Browse under way; a second Browse waits
    // for the first. Either answers "Error".
    void refusedStart()
    {
        QFETCH(QString, emptied);
        FakeImapServer fake;
        QVERIFY(fake.listen());
        fake.setScript(kLogin); // Browse waits for the answer to its LOGIN
        MainWindow w;
        testsupport::fillFields(w, fake.address(), "demo", "demo", "demo");
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *browse = child<QPushButton>(w, "browseButton");
        if (emptied.startsWith("browse")) {
            browse->click();
            QTRY_VERIFY(fake.finished());
        } else {
            child<QLineEdit>(w, emptied.toLatin1().constData())->clear();
        }
        auto *button = emptied == "browse2" ? browse : child<QPushButton>(w, "searchButton");
        button->click();
        QCOMPARE(child<QLabel>(w, "statusLabel")->text(), "Error");
        QCOMPARE(button->text(), emptied == "browse2" ? "Browse..." : "Search");
        QCOMPARE(fake.connectionCount(), emptied.startsWith("browse") ? 1 : 0);
    }

    // With a provider that can sign in for the server's host, the Password field gives way to
    // the sign-in; Search then starts it in the browser instead of answering "Error". A
    // built-in provider without a client id says how to add one (more in tst_e2e_oauth).
    void signInPanel_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("shown"); // "password", "note" (and password) or the button
        const auto row = [](const char *name, const char *server, const char *shown) {
            QTest::newRow(name) << server << shown;
        };
        row("no provider", "imaps://mail.example.net", "password");
        row("provider from the settings", "imaps://mail.example.org", "Sign in with Example\u2026");
        row("its second host, in capitals", "OTHER.example.org:143", "Sign in with Example\u2026");
        row("sign-in page in clear: ignored", "plain.example.org", "password");
        row("built-in, no client id", "imaps://imap.gmail.com", "note");
    }

    void signInPanel()
    {
        QFETCH(QString, server);
        QFETCH(QString, shown);
        {
            QSettings file(settingsFile(), QSettings::IniFormat);
            file.setValue("OAuth2Provider.Example/Hosts", "mail.example.org other.example.org");
            file.setValue("OAuth2Provider.Example/AuthorizationUrl", "https://sso.example.org/a");
            file.setValue("OAuth2Provider.Example/TokenUrl", "https://sso.example.org/t");
            file.setValue("OAuth2Provider.Example/ClientId", "fernquill");
            file.setValue("OAuth2Provider.Plain/Hosts", "plain.example.org");
            file.setValue("OAuth2Provider.Plain/AuthorizationUrl", "http://sso.example.org/a");
            file.setValue("OAuth2Provider.Plain/TokenUrl", "https://sso.example.org/t");
            file.setValue("OAuth2Provider.Plain/ClientId", "fernquill");
            file.setValue("OAuth2Provider.Google/ClientId", "");
        }
        UrlRecorder browser;
        QDesktopServices::setUrlHandler("https", &browser, "open");
        auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler("https"); });
        MainWindow w;
        testsupport::fillFields(w, server, "ann", {}, "x");
        w.show();
        auto *button = child<QPushButton>(w, "signInButton");
        auto *note = child<QLabel>(w, "signInNote");
        QTRY_COMPARE(button->isVisible() ? button->text()
                     : note->isVisible() ? "note"
                                         : "password",
                     shown);
        QCOMPARE(child<QLineEdit>(w, "passwordEdit")->isVisible(), !button->isVisible());
        QCOMPARE(child<QPushButton>(w, "browseButton")->isEnabled(), button->isVisible());
        if (shown == "note")
            QVERIFY(note->text().contains("no client id for Google"));
        child<QPushButton>(w, "searchButton")->click();
        if (!button->isVisible()) {
            QCOMPARE(child<QLabel>(w, "statusLabel")->text(), "Error");
            return;
        }
        QTRY_COMPARE(browser.opened.size(), 1);
        const QUrlQuery query(browser.opened[0]);
        QCOMPARE(browser.opened[0].toString(QUrl::RemoveQuery), "https://sso.example.org/a");
        QCOMPARE(query.queryItemValue("login_hint"), "ann");
        QCOMPARE(query.queryItemValue("code_challenge_method"), "S256");
        QVERIFY(query.queryItemValue("redirect_uri", QUrl::FullyDecoded)
                    .startsWith("http://127.0.0.1:"));
        QCOMPARE(child<QLabel>(w, "signInLabel")->text(), "Finish signing in in the web browser");
        button->click(); // Cancel
        QTRY_COMPARE(child<QLabel>(w, "statusLabel")->text(), "Error: signed out");
        QCOMPARE(button->text(), "Sign in with Example\u2026");
    }

    void windowSettings_data()
    {
        QTest::addColumn<QString>("stored"); // "": as the last window left them
        QTest::addColumn<bool>("restored");
        QTest::newRow("saved by a window") << "" << true;
        QTest::newRow("smallest and largest") << "10,10000,150,90" << true;
        QTest::newRow("too narrow") << "9,100,150,90" << false;
        QTest::newRow("too wide") << "10,10001,150,90" << false;
        QTest::newRow("too few") << "10,100,150" << false;
    }

    // Column widths and the window's size come back at the next start; damaged widths do not.
    // Esc with no search running does nothing.
    void windowSettings()
    {
        QFETCH(QString, stored);
        QFETCH(bool, restored);
        const auto widths = [](MainWindow &w) {
            QList<int> out;
            for (int c = 0; c < results::ResultsModel::ColumnCount; ++c)
                out.append(w.findChild<results::ResultsView *>()->columnWidth(c));
            return out;
        };
        auto first = std::make_unique<MainWindow>();
        first->resize(700, 520);
        first->show();
        QVERIFY(QTest::qWaitForWindowExposed(first.get()));
        const QList<int> defaults = widths(*first);
        first->findChild<results::ResultsView *>()->horizontalHeader()->resizeSection(2, 211);
        QList<int> wanted = widths(*first);
        first->close();
        first.reset();
        if (!stored.isEmpty()) {
            QSettings(settingsFile(), QSettings::IniFormat).setValue("Window/ColumnWidths", stored);
            wanted.clear();
            for (const QString &v : stored.split(',')) // the header's minimum at least
                wanted.append(qMax(v.toInt(), QHeaderView(Qt::Horizontal).minimumSectionSize()));
        }
        MainWindow next;
        child<QLineEdit>(next, "subjectEdit")->setText(QStringLiteral("x"));
        next.show();
        QVERIFY(QTest::qWaitForWindowActive(&next));
        QCOMPARE(next.size(), QSize(700, 520));
        QCOMPARE(widths(next), restored ? wanted : defaults);
        QVERIFY(wanted[2] != defaults[2]);
        QTest::keyClick(&next, Qt::Key_Escape);
        QCOMPARE(child<QLabel>(next, "statusLabel")->text(), QString());
        QCOMPARE(child<QPushButton>(next, "searchButton")->text(), QStringLiteral("Search"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
