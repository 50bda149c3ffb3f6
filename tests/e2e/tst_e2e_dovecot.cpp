// The tool against the private Dovecot servers (maildir and fs layouts): what it finds must be
// what the server's own SEARCH finds, with the headers the sample mailbox was written with.

#include "app/certificatesdialog.h"
#include "app/mainwindow.h"
#include "app/messagewindow.h"
#include "app/securitydialog.h"
#include "folders/folderpicker.h"
#include "platform/connectionlog.h"
#include "platform/servertrust.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/fakeimapserver.h"
#include "support/searchrun.h"
#include "support/testhelpers.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <memory>
#include <optional>

using search::SearchEngine;
using testsupport::Rows;

namespace {

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

// A server started by scripts/dovecot-fixture.sh and the manifest of its sample mailbox.
struct Server
{
    QString dir;
    quint16 port = 0, imapsPort = 0;
    QJsonObject manifest;

    static Server load(const QString &dir)
    {
        Server s;
        s.dir = dir;
        auto read = [&](const char *name) { return testsupport::readFile(dir + '/' + name); };
        s.port = quint16(read("port").trimmed().toUInt());
        s.imapsPort = quint16(read("imaps-port").trimmed().toUInt());
        s.manifest = QJsonDocument::fromJson(read("manifest.json")).object();
        return s;
    }
    static Server fixture(const QString &layout)
    {
        return load(qEnvironmentVariable(layout == QLatin1String("fs") ? "FQ_DOVECOT_FS"
                                                                       : "FQ_DOVECOT_MAILDIR"));
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    // scripts/dovecot-fixture.sh COMMAND DIR OPTIONS...; its exit code.
    static int script(const QString &command, const QString &dir, const QStringList &options = {})
    {
        const QString path = qEnvironmentVariable("FQ_SOURCE_DIR") + "/scripts/dovecot-fixture.sh";
        return QProcess::execute(QStringLiteral("bash"), QStringList{path, command, dir} + options);
    }
    // Another server beside the fixtures (they take the same sample mailbox).
    static QString besideFixtures(const QString &name)
    {
        return QFileInfo(qEnvironmentVariable("FQ_DOVECOT_MAILDIR")).dir().filePath(name);
    }
    // The SHA-256 of the certificate of DIR/tls it presents.
    QString fingerprint(const QString &name) const
    {
        return platform::ServerTrust::fingerprintText(
            QSslCertificate::fromPath(dir + "/tls/" + name + ".pem")
                .value(0)
                .digest(QCryptographicHash::Sha256));
    }
    QList<QJsonObject> list(const char *key) const
    {
        QList<QJsonObject> out;
        for (const QJsonValue &v : manifest.value(QLatin1String(key)).toArray())
            out.append(v.toObject());
        return out;
    }
    QJsonObject message(const QString &folder, quint32 seq) const
    {
        for (const QJsonObject &m : list("messages"))
            if (str(m, "folder") == folder && m.value(QLatin1String("seq")).toInteger() == seq)
                return m;
        return {};
    }
};

// A plain blocking IMAP client, none of the tool's code: it asks the server what the tool should
// find. Between two pieces of a command it waits for the "+" continuation.
class Raw
{
public:
    explicit Raw(quint16 port)
    {
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        line(); // greeting
        command({"1 LOGIN demo demo"});
    }

    QByteArrayList command(const QByteArrayList &pieces)
    {
        QByteArrayList lines;
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            m_socket.write(pieces[i] + "\r\n");
            if (i + 1 < pieces.size() && !line().startsWith('+'))
                return {};
        }
        while (lines.isEmpty() || !(lines.last().startsWith("1 ") || lines.last().isNull()))
            lines.append(line());
        return lines;
    }
    QByteArrayList examine(const QString &serverName, QByteArrayList pieces)
    {
        QByteArray name = serverName.toUtf8().replace("\\", "\\\\").replace("\"", "\\\"");
        command({"1 EXAMINE \"" + name + '"'});
        pieces.first().prepend("1 ");
        return command(pieces);
    }

private:
    // One response line; a literal's bytes and the rest of the line are part of it.
    QByteArray line()
    {
        qsizetype nl;
        while ((nl = m_buffer.indexOf("\r\n")) < 0) {
            if (!m_socket.waitForReadyRead(20000))
                return {};
            m_buffer += m_socket.readAll();
        }
        QByteArray l = m_buffer.left(nl);
        m_buffer.remove(0, nl + 2);
        if (l.endsWith('}')) {
            const qsizetype n = l.mid(l.lastIndexOf('{') + 1).chopped(1).toLongLong();
            while (m_buffer.size() < n && m_socket.waitForReadyRead(20000))
                m_buffer += m_socket.readAll();
            l += "\r\n" + m_buffer.left(n);
            m_buffer.remove(0, n);
            l += line();
        }
        return l;
    }
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

struct Run : testsupport::SearchRun
{
    bool start(const QString &server, const search::SearchCriteria &criteria, int connections,
               const QString &scope = {}, bool subfolders = false,
               const QString &password = QStringLiteral("demo"), bool extensions = true)
    {
        return run({imap::Account::fromFields(server, QStringLiteral("demo"), password),
                    search::FolderScope::fromChoice(scope, subfolders),
                    search::buildSearchKey(criteria), connections, 1'000'000, extensions});
    }
};

using Criteria = search::SearchCriteria;
using testsupport::criteria;

Criteria subject(const QString &text)
{
    return criteria({"subject=" + text});
}

} // namespace

Q_DECLARE_METATYPE(search::SearchCriteria)

class TestE2E : public QObject
{
    Q_OBJECT
    QTemporaryDir m_tmp;
    QStringList m_started; // servers started here, stopped at the end

    // The server `name` beside the fixtures, started with these options on first use.
    Server extraServer(const QString &name, const QStringList &options)
    {
        const QString dir = Server::besideFixtures(name);
        if (!m_started.contains(dir) && Server::script("start", dir, options) == 0)
            m_started.append(dir);
        return Server::load(dir);
    }

private slots:
    void initTestCase()
    {
        QStringList cas;
        for (const char *layout : {"maildir", "fs"}) {
            const Server fx = Server::fixture(QLatin1String(layout));
            QVERIFY2(fx.imapsPort != 0,
                     "the Dovecot fixture (with --tls) is not running: run through ctest");
            cas.append(fx.dir + "/ca.pem");
        }
        // The fixtures offer STARTTLS on their plain ports, so a bare host meets their
        // certificates.
        testsupport::trustCaFiles(cas);
        testsupport::usePrivateConfig(m_tmp.path());
    }

    void cleanupTestCase()
    {
        for (const QString &dir : std::as_const(m_started))
            Server::script("stop", dir);
    }

    void search_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("scope");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<search::SearchCriteria>("criteria");
        QTest::addColumn<QByteArrayList>("rawKey"); // the same search, written out by hand
        QTest::addColumn<QStringList>("folders");   // display paths of the folders in scope

        // The sample mailbox has the same folders in both layouts; Archive and Archive/2006 are
        // implicit parents.
        const QStringList all = QStringLiteral("INBOX|Sent|Drafts|Trash|Work|Work/2005|Work/2006|"
                                               "Workshop|Archive/2006/Q1|Archive/2005|"
                                               "Entw\u00fcrfe|My Stuff|Say \"hi\"|Back\\slash")
                                    .split('|');
        const QByteArrayList report{"SEARCH UNDELETED SUBJECT report"};
        for (const QString &layout : {QStringLiteral("maildir"), QStringLiteral("fs")}) {
            auto row = [&](const char *name, const QString &scope, bool subfolders,
                           const QStringList &folders, const Criteria &c = subject("report"),
                           const QByteArrayList &key = {}) {
                QTest::addRow("%s: %s", qPrintable(layout), name)
                    << layout << scope << subfolders << c << (key.isEmpty() ? report : key)
                    << folders;
            };
            row("all folders", {}, true, all);
            row("one folder", "Work/2005", false, {"Work/2005"});
            row("folder with sub-folders", "Work", true, {"Work", "Work/2005", "Work/2006"});
            row("implicit parent", "Archive", true, {"Archive/2006/Q1", "Archive/2005"});
            row("scope gone", "Gone/Away", true, {});
            row("non-ASCII folder", "Entw\u00fcrfe", false, {"Entw\u00fcrfe"},
                criteria({"body=zanzibar"}), {"SEARCH UNDELETED BODY zanzibar"});
            // Nearly every message: all header forms.
            row("body or subject", {}, false, all, criteria({"bodyOrSubject=e"}),
                {"SEARCH UNDELETED OR SUBJECT e BODY e"});
        }
        auto row = [&](const char *name, const Criteria &c, const QByteArrayList &key) {
            QTest::newRow(name) << QStringLiteral("maildir") << QString() << false << c << key
                                << all;
        };
        row("to or cc", criteria({"toOrCc=bob"}), {"SEARCH UNDELETED OR TO bob CC bob"});
        row("attachment", criteria({"attachment"}),
            {"SEARCH UNDELETED HEADER Content-Type multipart/mixed"});
        row("one day", criteria({"after=2/17/2006", "before=2/17/2006"}),
            {"SEARCH UNDELETED SENTON 17-Feb-2006"});
        row("non-ASCII subject", subject("Gr\u00fc\u00dfe"),
            {"SEARCH CHARSET UTF-8 UNDELETED SUBJECT {7}", "Gr\u00fc\u00dfe"});
        row("quote and backslash", subject("\"quoted\" and back\\slash"),
            {"SEARCH UNDELETED SUBJECT \"\\\"quoted\\\" and back\\\\slash\""});
        row("every criterion",
            criteria({"subject=report", "body=zanzibar", "bodyOrSubject=report", "from=example",
                      "toOrFrom=example", "after=1/1/2000", "before=12/31/2030"}),
            {"SEARCH UNDELETED SENTSINCE 1-Jan-2000 SENTBEFORE 1-Jan-2031 BODY zanzibar SUBJECT "
             "report FROM example OR SUBJECT report BODY report OR TO example FROM example"});
    }

    // Folder by folder what the server's SEARCH finds, in the order of its LIST, with the
    // mailbox's headers; four connections give the same rows in the same order as one. The
    // folders in scope are the row's; their order is read off the server's own LIST lines.
    void search()
    {
        QFETCH(QString, layout);
        QFETCH(QString, scope);
        QFETCH(bool, subfolders);
        QFETCH(search::SearchCriteria, criteria);
        QFETCH(QByteArrayList, rawKey);
        QFETCH(QStringList, folders);
        const Server fx = Server::fixture(layout);

        Rows expected;
        {
            Raw raw(fx.port);
            // A folder's place is that of the one LIST line ending in its name, an atom or a
            // quoted string.
            const QByteArrayList listed = raw.command({"1 LIST \"\" *"});
            QMap<qsizetype, QJsonObject> inScope;
            for (const QJsonObject &o : fx.list("folders")) {
                if (!folders.contains(str(o, "display_path")))
                    continue;
                const QByteArray name = str(o, "server_name").toUtf8();
                const QByteArray quoted =
                    '"' + QByteArray(name).replace("\\", "\\\\").replace("\"", "\\\"") + '"';
                const auto named = [&](const QByteArray &l) {
                    return l.startsWith("* LIST ") &&
                           (l.endsWith(' ' + name) || l.endsWith(' ' + quoted));
                };
                QCOMPARE(std::count_if(listed.begin(), listed.end(), named), qsizetype(1));
                inScope.insert(std::find_if(listed.begin(), listed.end(), named) - listed.begin(),
                               o);
            }
            QCOMPARE(inScope.size(), folders.size());
            for (const QJsonObject &o : std::as_const(inScope))
                for (const QByteArray &l : raw.examine(str(o, "server_name"), rawKey))
                    for (const QByteArray &n :
                         l.startsWith("* SEARCH ") ? l.mid(9).split(' ') : QByteArrayList())
                        expected.append({str(o, "display_path"), n.toUInt()});
        }
        QCOMPARE(expected.isEmpty(), folders.isEmpty());

        Run one;
        QVERIFY(one.start(fx.address(), criteria, 1, scope, subfolders));
        QCOMPARE(one.summary->outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(one.summary->hits, expected.size());
        QCOMPARE(one.summary->folders, folders.size());
        QCOMPARE(one.summary->refusedFolders, 0);
        QCOMPARE(one.summary->unreadMessages, 0);
        QCOMPARE(one.rows(), expected);
        for (qsizetype i = 0; i < one.model.hitCount(); ++i) {
            const search::Hit &h = one.model.record(i);
            const QJsonObject m = fx.message(h.folder, h.number);
            QCOMPARE(QString::fromUtf8(h.mailbox), str(m, "server_name"));
            QCOMPARE(h.subject, str(m, "subject"));
            QCOMPARE(h.from, str(m, "from"));
            const QJsonObject headers = m.value(QLatin1String("headers")).toObject();
            QCOMPARE(h.dateHeader, str(headers, "Date").remove(QStringLiteral("\r\n")));
            const QDateTime utc = QDateTime::fromString(str(m, "date_utc"), Qt::ISODate);
            QCOMPARE(h.date.toUTC(), utc.toUTC());
            if (utc.isValid())
                QCOMPARE(h.date.timeZone(), QTimeZone::systemTimeZone());
        }

        Run four;
        QVERIFY(four.start(fx.address(), criteria, 4, scope, subfolders));
        QCOMPARE(four.summary->outcome, SearchEngine::Outcome::Complete);
        QCOMPARE(four.summary->folders, folders.size());
        QCOMPARE(four.rows(), expected);
        QVERIFY(four.engine.roundTrips().size() <= 4);
        QCOMPARE(one.engine.roundTrips().size(), 1);

        // The classic conversation finds the same. Dovecot offers SEARCHRES and LITERAL+, and
        // only the extended runs use them.
        Run classic;
        QVERIFY(classic.start(fx.address(), criteria, 4, scope, subfolders, "demo", false));
        QCOMPARE(classic.rows(), expected);
        // Only the upgrade to TLS and the capabilities asked again after it come before LOGIN
        // (Dovecot names them in its greeting); a one-folder search uses one connection.
        QVERIFY(classic.all().startsWith("1 STARTTLS\r\n1 CAPABILITY\r\n1 LOGIN demo demo\r\n"));
        if (folders.size() == 1)
            QCOMPARE(classic.wire.keys(), QList<int>{0});
        for (const Run *run : {&one, &four, &classic}) {
            const bool extended = run != &classic;
            QCOMPARE(run->all().contains("1 SEARCH RETURN (SAVE ALL) "),
                     extended && !folders.isEmpty());
            QCOMPARE(run->all().contains("1 FETCH $ "), extended && !folders.isEmpty());
            QVERIFY(!run->all().contains("1 SEARCH UNDELETED") || !extended);
            // A literal (non-ASCII text) goes without waiting exactly when extensions are on.
            QCOMPARE(run->all().contains("+}\r\n"), extended && rawKey.size() > 1);
        }
    }

    // A refused login: the upgrade to TLS, the LOGIN and a LOGOUT, and no other connection.
    void wrongPassword()
    {
        Run run;
        QVERIFY(run.start(Server::fixture(QStringLiteral("maildir")).address(), subject("report"),
                          4, {}, false, "wrong"));
        QTRY_COMPARE(run.all(), "1 STARTTLS\r\n1 CAPABILITY\r\n1 LOGIN demo wrong\r\n1 LOGOUT\r\n");
        QCOMPARE(run.wire.keys(), QList<int>{0});
        QCOMPARE(run.summary->reason, QStringLiteral("login failed: Authentication failed."));
    }

    // Browse lists the folders as the server has them (implicit parents too); the pick becomes
    // the scope of the next search.
    void browse_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("pick");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<QStringList>("searched");
        const auto row = [](const char *name, const char *layout, const char *pick, bool subfolders,
                            const QStringList &searched) {
            QTest::newRow(name) << layout << pick << subfolders << searched;
        };
        row("maildir: nested", "maildir", "Archive/2006/Q1", false, {"Archive/2006/Q1"});
        row("fs: implicit parent", "fs", "Archive", true, {"Archive/2005", "Archive/2006/Q1"});
        row("fs: folder alone", "fs", "Work", false, {"Work"});
    }

    void browse()
    {
        QFETCH(QString, layout);
        QFETCH(QString, pick);
        QFETCH(bool, subfolders);
        QFETCH(QStringList, searched);
        const Server fx = Server::fixture(layout);
        MainWindow w;
        auto button = [&](const char *name) { return w.findChild<QPushButton *>(name); };
        testsupport::fillFields(w, fx.address(), "demo", "demo");
        w.show();
        button("browseButton")->click();
        folders::FolderPicker *picker = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (picker = w.findChild<folders::FolderPicker *>()) && picker->isVisible(), 30000);
        QStringList offered, expected;
        auto *tree = picker->findChild<QTreeWidget *>(QStringLiteral("folderTree"));
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            offered.append((*it)->data(0, Qt::UserRole).toString());
            if (offered.last() == pick)
                tree->setCurrentItem(*it);
        }
        for (const QJsonObject &f : fx.list("folders"))
            expected.append(str(f, "display_path"));
        offered.sort();
        expected.sort();
        QCOMPARE(offered, expected);
        picker->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
        QCOMPARE(w.findChild<QLineEdit *>("folderEdit")->text(), pick);
        QTRY_COMPARE(button("browseButton")->text(), QStringLiteral("Browse..."));

        w.findChild<QCheckBox *>(QStringLiteral("includeSubfoldersCheck"))->setChecked(subfolders);
        w.findChild<QLineEdit *>("bodyOrSubjectEdit")->setText(QStringLiteral("e"));
        QSignalSpy finished(w.findChild<SearchEngine *>(), &SearchEngine::finished);
        button("searchButton")->click();
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished[0][0].value<SearchEngine::Summary>().folders, searched.size());
        const auto *model = w.findChild<results::ResultsView *>("resultsView")->resultsModel();
        QSet<QString> folders;
        for (qsizetype i = 0; i < model->hitCount(); ++i)
            folders.insert(model->record(i).folder);
        QCOMPARE(folders, QSet<QString>(searched.cbegin(), searched.cend()));
    }

    // Run after run through the window, on one settings file: over implicit TLS and over STARTTLS
    // with a bare host, the rows of a run in clear, and nothing in clear after STARTTLS.
    // A certificate that does not verify (a self-signed one), or a server elsewhere that offers
    // no encryption, is asked about before any LOGIN, and the answer holds for the runs, the
    // Browse and the opened hits that follow.
    void tls_data()
    {
        // %1, %2: the plain and implicit TLS ports of the fixture; %3, %4: those of a server
        // with a self-signed certificate; %5: a server without TLS on an address of this
        // machine that is not loopback.
        QTest::addColumn<QString>("address");
        // One run each, named by the answer to its question ("" when none is asked): "trust",
        // "cancel", "send", "send always". Between runs: "replace" the self-signed certificate,
        // "forget" its pin (About, Certificates…), "restart" the program.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("reason");  // of the last run; empty: it completes
        QTest::addColumn<QByteArray>("sent"); // by the last run's first connection, to its LOGIN
        const QByteArray login = "1 LOGIN demo demo\r\n";
        const QByteArray upgraded = "(clear) 1 STARTTLS\r\n1 CAPABILITY\r\n" + login;
        const QString unencrypted = "the server offers no encryption";
        auto row = [](const char *name, const char *address, const QStringList &steps,
                      const QString &reason, const QByteArray &sent) {
            QTest::newRow(name) << address << steps << reason << sent;
        };
        row("imaps", "imaps://127.0.0.1:%2", {""}, {}, login);
        row("bare host: STARTTLS, CAPABILITY, then LOGIN", "127.0.0.1:%1", {""}, {}, upgraded);
        row("imaps to the plain port", "imaps://127.0.0.1:%1", {""},
            "server does not speak TLS on this port", {});
        row("self-signed: Cancel", "127.0.0.1:%3", {"cancel"}, "certificate is not trusted",
            "(clear) 1 STARTTLS\r\n");
        row("self-signed: Trust pins it; forgotten, asked again", "127.0.0.1:%3",
            {"trust", "", "forget", "trust"}, {}, "(clear) 1 STARTTLS\r\n" + upgraded);
        row("self-signed, imaps: Trust pins it", "imaps://127.0.0.1:%4", {"trust", ""}, {}, login);
        row("certificate replaced: both fingerprints", "127.0.0.1:%3",
            {"trust", "replace", "cancel"},
            "certificate has changed since it was trusted (SHA-256 was %old, is now %new)",
            "(clear) 1 STARTTLS\r\n");
        row("elsewhere: Send holds until the program ends", "%5", {"send", "", "restart", "cancel"},
            unencrypted, {});
        row("elsewhere: Send, don't ask again", "%5", {"send always", "restart", ""}, {},
            "(clear) " + login);
    }

    void tls()
    {
        QFETCH(QString, address);
        QFETCH(QStringList, steps);
        QFETCH(QString, reason);
        QFETCH(QByteArray, sent);
        const Server fx = Server::fixture(QStringLiteral("maildir"));
        Server selfSigned, clear;
        if (address.contains("%3") || address.contains("%4")) {
            selfSigned = extraServer("selfsigned", {"maildir", "--tls", "--cert", "selfsigned"});
            QVERIFY(selfSigned.imapsPort != 0);
        }
        const QHostAddress elsewhere = testsupport::otherAddress();
        if (address.contains("%5")) {
            if (elsewhere.isNull())
                QSKIP("this machine has no address but loopback ones");
            clear = extraServer("cleartext", {"maildir", "--listen", elsewhere.toString()});
            QVERIFY(clear.port != 0);
        }
        const QString host = elsewhere.protocol() == QAbstractSocket::IPv6Protocol
                                 ? '[' + elsewhere.toString() + ']'
                                 : elsewhere.toString();
        address.replace("%1", QString::number(fx.port))
            .replace("%2", QString::number(fx.imapsPort))
            .replace("%3", QString::number(selfSigned.port))
            .replace("%4", QString::number(selfSigned.imapsPort))
            .replace("%5", host + ':' + QString::number(clear.port));
        const bool encrypted = !address.contains(host + ':');
        const QString server = imap::parseServerAddress(address).hostAndPort();
        Run plain;
        QVERIFY(plain.start("imap+plain://" + fx.address(), subject("report"), 1));
        QVERIFY(!plain.rows().isEmpty());

        const QString settingsFile = m_tmp.filePath("Fernquill/Fernquill.conf");
        const auto setting = [&](const QString &section) {
            return QSettings(settingsFile, QSettings::IniFormat).value(section + '/' + server);
        };
        QFile::remove(settingsFile);
        auto window = std::make_unique<MainWindow>();
        auto dialog = [&]() -> QDialog * {
            for (auto *d : window->findChildren<QDialog *>("securityDialog"))
                if (d->isVisible())
                    return d;
            return nullptr;
        };
        QMap<int, QByteArray> wire;
        QString status;
        for (const QString &step : steps) {
            if (step == "restart") {
                window = std::make_unique<MainWindow>();
                continue;
            }
            if (step == "replace") {
                const QString before = selfSigned.fingerprint("selfsigned");
                QCOMPARE(Server::script("recert", selfSigned.dir), 0);
                reason.replace("%old", before)
                    .replace("%new", selfSigned.fingerprint("selfsigned"));
                continue;
            }
            if (step == "forget") {
                window->findChild<QPushButton *>("aboutButton")->click();
                auto *about = window->findChild<QMessageBox *>("aboutBox");
                QVERIFY(about);
                about->findChild<QPushButton *>("certificatesButton")->click();
                auto *list = window->findChild<CertificatesDialog *>();
                QVERIFY(list);
                auto *tree = list->findChild<QTreeWidget *>("certificateList");
                QCOMPARE(tree->topLevelItemCount(), 1);
                QCOMPARE(tree->topLevelItem(0)->text(0), server);
                QCOMPARE(tree->topLevelItem(0)->text(1), setting("Certificates").toString());
                tree->setCurrentItem(tree->topLevelItem(0));
                list->findChild<QPushButton *>("forgetCertificateButton")->click();
                list->close();
                QVERIFY(!setting("Certificates").isValid());
                continue;
            }
            const QString pinned = setting("Certificates").toString();
            testsupport::fillFields(*window, address, "demo", "demo", "report");
            auto *engine = window->findChild<SearchEngine *>();
            wire.clear();
            const auto recording = testsupport::recordWire(*engine, wire);
            QSignalSpy finished(engine, &SearchEngine::finished);
            window->findChild<QPushButton *>("searchButton")->click();
            QTRY_VERIFY_WITH_TIMEOUT(finished.size() || dialog(), 30000);
            QCOMPARE(dialog() != nullptr, !step.isEmpty());
            if (QDialog *d = dialog()) {
                QStringList texts;
                for (const QLabel *label : d->findChildren<QLabel *>())
                    texts.append(label->text());
                const QString shown = texts.join('\n');
                if (d->findChild<QPushButton *>("sendButton")) {
                    QVERIFY2(shown.contains(server + " does not offer encryption. Send the "
                                                     "password unencrypted?"),
                             qPrintable(shown));
                    d->findChild<QCheckBox *>("dontAskAgainCheck")
                        ->setChecked(step.endsWith("always"));
                } else {
                    // The server, the certificate's fingerprint, the one trusted before.
                    QVERIFY2(shown.contains(server) && shown.contains("localhost") &&
                                 shown.contains(selfSigned.fingerprint("selfsigned")) &&
                                 shown.contains(pinned) &&
                                 shown.contains("has changed") == !pinned.isEmpty(),
                             qPrintable(shown));
                    QVERIFY(d->findChild<QPushButton *>("trustButton"));
                }
                d->findChild<QPushButton *>(step == "cancel"  ? "cancelButton"
                                            : step == "trust" ? "trustButton"
                                                              : "sendButton")
                    ->click();
            }
            QVERIFY(finished.size() || finished.wait(60000));
            QVERIFY(!dialog()); // one question a run
            QObject::disconnect(recording);
            status = window->findChild<QLabel *>("statusLabel")->text();
            if (step == "trust")
                QCOMPARE(setting("Certificates").toString(), selfSigned.fingerprint("selfsigned"));
            if (step.startsWith("send"))
                QCOMPARE(setting("Unencrypted").isValid(), step == "send always");
            if (status.startsWith("Error"))
                continue;
            // Every connection of the run encrypted but for STARTTLS, and the rows of a run in
            // clear.
            for (QByteArray w : std::as_const(wire)) {
                w.replace("(clear) 1 STARTTLS\r\n", "");
                QVERIFY2(!encrypted || !w.contains("(clear)"), w.constData());
            }
            auto *grid = window->findChild<results::ResultsView *>("resultsView");
            QCOMPARE(testsupport::modelRows(*grid->resultsModel()), plain.rows());
            if (!step.isEmpty() || steps.size() == 1)
                continue;
            // After the answer, a Browse and an opened hit ask nothing either.
            window->findChild<QPushButton *>("browseButton")->click();
            folders::FolderPicker *picker = nullptr;
            QTRY_VERIFY_WITH_TIMEOUT(
                (picker = window->findChild<folders::FolderPicker *>()) || dialog(), 30000);
            QVERIFY(picker && !dialog());
            picker->reject();
            QTRY_COMPARE(window->findChild<QPushButton *>("browseButton")->text(), "Browse...");
            grid->setCurrentIndex(grid->model()->index(0, 0));
            QTest::keyClick(grid, Qt::Key_Return);
            MessageWindow *opened = nullptr;
            QTRY_VERIFY((opened = window->findChild<MessageWindow *>()));
            QSignalSpy shown(opened, &MessageWindow::messageShown);
            QVERIFY2(shown.wait(30000),
                     qPrintable(opened->findChild<QLabel *>("errorLabel")->text()));
            QVERIFY(!opened->findChild<SecurityDialog *>());
            opened->close();
        }
        QCOMPARE(status, reason.isEmpty() ? status : "Error: " + reason);
        QVERIFY2(reason.isEmpty() == status.startsWith("Search Complete."), qPrintable(status));
        // Up to its LOGIN when the run completes; all of it when it failed.
        QCOMPARE(reason.isEmpty() ? wire.value(0).left(sent.size()) : wire.value(0), sent);
        if (!reason.isEmpty())
            QVERIFY(!wire.values().join().contains("LOGIN"));
    }

    // A server that takes two connections per user: the other two are refused at LOGIN, and
    // every folder is still searched exactly once.
    void connectionLimit()
    {
        const QString dir = Server::besideFixtures("limited");
        QCOMPARE(Server::script("start", dir, {"maildir", "--max-connections", "2"}), 0);
        auto stop = qScopeGuard([&] { Server::script("stop", dir); });
        const Server fx = Server::load(dir);
        // The classic conversation takes a folder at a time, so that the extra connections come
        // in while there is work left for them.
        Run one, four;
        QVERIFY(one.start(fx.address(), subject("report"), 1));
        QVERIFY(four.start(fx.address(), subject("report"), 4, {}, false, "demo", false));
        QCOMPARE(four.summary->outcome, SearchEngine::Outcome::Complete);
        QVERIFY(!one.rows().isEmpty());
        QCOMPARE(four.rows(), one.rows());
        QCOMPARE(four.summary->folders, one.summary->folders);
        QCOMPARE(four.all().count("1 EXAMINE "), one.summary->folders);
        QCOMPARE(four.all().count("1 LOGIN "), 4);
    }

    // Opening a hit: headers, text and attachment as written, the .eml the server's bytes, and
    // no flag changed (the message stays unread).
    void message()
    {
        const Server fx = Server::fixture(QStringLiteral("maildir"));
        QJsonObject m;
        for (const QJsonObject &o : fx.list("messages"))
            if (m.isEmpty() && o.value(QLatin1String("attachment")).isObject() &&
                !o.value(QLatin1String("seen")).toBool() && !str(o, "date_utc").isEmpty())
                m = o;
        QVERIFY(!m.isEmpty());
        const quint32 seq = quint32(m.value(QLatin1String("seq")).toInt());
        auto server = [&](const QByteArray &fetch) {
            QByteArrayList lines = Raw(fx.port).examine(str(m, "server_name"), {"FETCH " + fetch});
            lines.removeLast(); // the tagged line, with its timings
            return lines;
        };
        const QByteArrayList flags = server("1:* FLAGS");
        QVERIFY(!flags.isEmpty());
        const QByteArray first = server(QByteArray::number(seq) + " BODY.PEEK[]").value(0);
        const QByteArray bytes = first.mid(first.indexOf("}\r\n") + 3).chopped(1); // up to ")"
        QVERIFY(!bytes.isEmpty());

        message::MessageRef ref;
        ref.mailbox = str(m, "server_name").toUtf8();
        ref.seq = seq;
        ref.from = str(m, "from");
        ref.subject = str(m, "subject");
        ref.dateHeader = str(m.value(QLatin1String("headers")).toObject(), "Date")
                             .remove(QStringLiteral("\r\n"));
        MessageWindow w;
        QSignalSpy shown(&w, &MessageWindow::messageShown);
        w.fetch(
            imap::Account::fromFields(fx.address(), QStringLiteral("demo"), QStringLiteral("demo")),
            ref);
        QVERIFY2(shown.wait(30000), qPrintable(w.findChild<QLabel *>("errorLabel")->text()));
        QTRY_VERIFY(!w.findChild<message::MessageFetchJob *>());
        QCOMPARE(w.rawMessage(), bytes);
        const message::MessageContent &c = w.content();
        QCOMPARE(c.subject, str(m, "subject"));
        QCOMPARE(w.findChild<QLabel *>("subjectLabel")->text(), c.subject);
        QCOMPARE(c.from, str(m, "from"));
        QCOMPARE(c.date.toUTC().toString(Qt::ISODate), str(m, "date_utc"));
        QCOMPARE(c.text, str(m, "body"));
        const QJsonObject a = m.value(QLatin1String("attachment")).toObject();
        QCOMPARE(c.attachments.size(), 1);
        QCOMPARE(c.attachments[0].name, str(a, "filename"));
        QCOMPARE(c.attachments[0].mimeType, str(a, "content_type"));
        QCOMPARE(c.attachments[0].size(), a.value(QLatin1String("size")).toInteger());
        const QString path = m_tmp.filePath(QStringLiteral("message.eml"));
        testsupport::saveAs(w, "saveMessageButton", "saveMessageDialog", path);
        QTRY_VERIFY(QFile::exists(path));
        QCOMPARE(testsupport::readFile(path), bytes);
        QCOMPARE(server("1:* FLAGS"), flags);
    }

    // With FERNQUILL_LOG the file records Browse, a search over four connections and an opened
    // message, with neither the password nor the message's text, and is the user's only; "Save
    // connection log…" writes the same lines after a note. A one-connection search recorded in
    // clear plays back on the scripted server with the same rows.
    void connectionLog()
    {
        const Server fx = Server::fixture(QStringLiteral("maildir"));
        const QString file = m_tmp.filePath("connection.log"), saved = m_tmp.filePath("saved.log");
        const QByteArray password = "open sesame";
        qputenv("FERNQUILL_LOG", QFile::encodeName(file));
        MainWindow w;
        qunsetenv("FERNQUILL_LOG");
        auto button = [&](const char *name) { return w.findChild<QPushButton *>(name); };
        testsupport::fillFields(w, fx.address(), "ann", password, "report");
        w.show();
        button("browseButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(w.findChild<folders::FolderPicker *>(), 30000);
        w.findChild<folders::FolderPicker *>()->reject();
        QTRY_COMPARE(button("browseButton")->text(), QStringLiteral("Browse..."));
        QSignalSpy finished(w.findChild<SearchEngine *>(), &SearchEngine::finished);
        button("searchButton")->click();
        QVERIFY(finished.wait(60000));
        auto *view = w.findChild<results::ResultsView *>("resultsView");
        view->setCurrentIndex(view->model()->index(0, 0));
        w.findChild<QAction *>("openAction")->trigger();
        MessageWindow *opened = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (opened = w.findChild<MessageWindow *>()) && !opened->rawMessage().isEmpty(), 30000);
        QTRY_VERIFY(!w.findChild<message::MessageFetchJob *>());
        const QByteArray log = testsupport::readFile(file);
        QVERIFY(log.contains(" -- Search (up to 4 connections) on " + fx.address().toUtf8() +
                             " as ann\n"));
        // Browse, the search's four (the extra ones may be closed before they log in), the message.
        QCOMPARE(log.count(" -- connecting to "), 6);
        QCOMPARE(log.count(" C: 1 LOGIN "), log.count(" C: 1 LOGIN ann ***\n"));
        QVERIFY(log.count(" C: 1 LOGIN ") >= 3);
        const QByteArray raw = opened->rawMessage();
        QVERIFY(log.contains('{' + QByteArray::number(raw.size()) + "}\\r\\n***)"));
        for (const QByteArray &secret :
             {password, imap::quoted(password), password.toBase64(),
              platform::ConnectionLog::escaped(raw.sliced(raw.indexOf("\r\n\r\n")))})
            QVERIFY2(!log.contains(secret), secret.constData());

        button("aboutButton")->click();
        auto *about = w.findChild<QMessageBox *>("aboutBox");
        QVERIFY(about && about->findChild<QCheckBox *>("recordLogCheck")->isChecked());
        about->findChild<QPushButton *>("saveLogButton")->click();
        auto *note = w.findChild<QMessageBox *>("logNote");
        QVERIFY(note &&
                note->text().contains("folder names, senders, subjects and the search text"));
        note->findChild<QPushButton *>("logNoteSaveButton")->click();
        auto *dialog = w.findChild<QFileDialog *>("saveLogDialog");
        QVERIFY(dialog);
        dialog->selectFile(saved);
        static_cast<QDialog *>(dialog)->accept();
        QTRY_VERIFY(QFile::exists(saved));
        QCOMPARE(testsupport::readFile(saved), log);
        for (const QString &name : {file, saved})
            QCOMPARE(QFile::permissions(name) & 0x777,
                     QFileDevice::ReadUser | QFileDevice::WriteUser);

        platform::ConnectionLog recorded;
        recorded.start();
        Run one;
        one.engine.setConnectionLog(&recorded);
        QVERIFY(one.start("imap+plain://" + fx.address(), subject("Gr\u00fc\u00dfe"), 1));
        QVERIFY(!one.rows().isEmpty());
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(FakeImapServer::scriptFromLog(QString::fromUtf8(recorded.text())));
        Run replay;
        QVERIFY(replay.start("imap+plain://" + server.address(), subject("Gr\u00fc\u00dfe"), 1));
        QCOMPARE(server.failure(), QString());
        QCOMPARE(replay.rows(), one.rows());
        QVERIFY(server.finished());
    }

    // Stop with four connections: each finishes the folders it has under way (all their rows)
    // and logs out.
    void stop()
    {
        const Server fx = Server::fixture(QStringLiteral("maildir"));
        Run all, run;
        QVERIFY(all.start(fx.address(), subject("report"), 1));
        connect(&run.engine, &SearchEngine::scanning, &run.engine, [&] { run.engine.stop(); });
        QVERIFY(run.start(fx.address(), subject("report"), 4));
        QCOMPARE(run.summary->outcome, SearchEngine::Outcome::Stopped);
        QVERIFY(run.summary->folders >= 1);
        QVERIFY(run.summary->folders < all.summary->folders);
        Rows expected;
        for (const auto &row : all.rows())
            if (run.all().contains("1 EXAMINE \"" + row.first.toUtf8().replace('/', '.') + '"'))
                expected.append(row);
        QCOMPARE(run.rows(), expected);
        QTRY_COMPARE(run.all().count("1 LOGOUT"), run.all().count("1 LOGIN "));
    }
};

QTEST_MAIN(TestE2E)
#include "tst_e2e_dovecot.moc"
