// The tool against the private Dovecot servers (maildir and fs layouts): what it finds must be
// what the server's own SEARCH finds, with the headers the sample mailbox was written with.

#include "app/mainwindow.h"
#include "app/messagewindow.h"
#include "folders/folderpicker.h"
#include "imap/session.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/searchengine.h"
#include "search/searchkey.h"
#include "support/testhelpers.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <optional>

using search::SearchEngine;
using Rows = QList<QPair<QString, quint32>>;

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
        auto read = [&](const char *name) {
            QFile f(dir + QLatin1Char('/') + QLatin1String(name));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
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

// One search, its hits in a results model as the window keeps them, and what each connection
// wrote ("(clear) " before what went out unencrypted).
struct Run
{
    SearchEngine engine;
    results::ResultsModel model;
    std::optional<SearchEngine::Summary> summary;
    QMap<int, QByteArray> wire;

    Run()
    {
        QObject::connect(&engine, &SearchEngine::hitsFound, &model,
                         &results::ResultsModel::addHits);
        QObject::connect(&engine, &SearchEngine::finished, &engine,
                         [this](const SearchEngine::Summary &s) { summary = s; });
        QObject::connect(&engine, &SearchEngine::wrote, &engine, [this](int n, QByteArray b) {
            const auto sessions = engine.findChildren<imap::Session *>(Qt::FindDirectChildrenOnly);
            wire[n] +=
                (sessions.value(n) && sessions[n]->connection().isEncrypted() ? "" : "(clear) ") +
                b;
        });
    }
    bool start(const QString &server, const search::SearchCriteria &criteria, int connections,
               const QString &scope = {}, bool subfolders = false,
               const QString &password = QStringLiteral("demo"))
    {
        return engine.start({imap::Account::fromFields(server, QStringLiteral("demo"), password),
                             search::FolderScope::fromChoice(scope, subfolders),
                             search::buildSearchKey(criteria), connections}) &&
               QTest::qWaitFor([this] { return summary.has_value(); }, 60000);
    }
    Rows rows() const
    {
        Rows out;
        for (qsizetype i = 0; i < model.hitCount(); ++i)
            out.append({model.record(i).folder, model.record(i).number});
        return out;
    }
    QByteArray all() const { return wire.values().join().replace("(clear) ", ""); }
};

search::SearchCriteria subject(const QString &text)
{
    search::SearchCriteria c;
    c.subject = text;
    return c;
}

} // namespace

Q_DECLARE_METATYPE(search::SearchCriteria)

class TestE2E : public QObject
{
    Q_OBJECT
    QTemporaryDir m_tmp;

private slots:
    void initTestCase()
    {
        for (const char *layout : {"maildir", "fs"})
            QVERIFY2(Server::fixture(QLatin1String(layout)).imapsPort != 0,
                     "the Dovecot fixture (with --tls) is not running: run through ctest");
        testsupport::usePrivateConfig(m_tmp.path());
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
            auto row = [&](const char *name) -> QTestData & {
                return QTest::addRow("%s: %s", qPrintable(layout), name) << layout;
            };
            row("all folders") << QString() << true << subject("report") << report << all;
            row("one folder") << "Work/2005" << false << subject("report") << report
                              << QStringList{"Work/2005"};
            row("folder with sub-folders") << "Work" << true << subject("report") << report
                                           << QStringList{"Work", "Work/2005", "Work/2006"};
            row("implicit parent") << "Archive" << true << subject("report") << report
                                   << QStringList{"Archive/2006/Q1", "Archive/2005"};
            row("scope gone") << "Gone/Away" << true << subject("report") << report
                              << QStringList();
            search::SearchCriteria c;
            c.body = QStringLiteral("zanzibar");
            row("non-ASCII folder") << QStringLiteral("Entw\u00fcrfe") << false << c
                                    << QByteArrayList{"SEARCH UNDELETED BODY zanzibar"}
                                    << QStringList{QStringLiteral("Entw\u00fcrfe")};
            c = {};
            c.bodyOrSubject = QStringLiteral("e"); // nearly every message: all header forms
            row("body or subject") << QString() << false << c
                                   << QByteArrayList{"SEARCH UNDELETED OR SUBJECT e BODY e"} << all;
        }
        auto row = [](const char *name) -> QTestData & {
            return QTest::newRow(name) << QStringLiteral("maildir") << QString() << false;
        };
        search::SearchCriteria c;
        c.toOrCc = QStringLiteral("bob");
        row("to or cc") << c << QByteArrayList{"SEARCH UNDELETED OR TO bob CC bob"} << all;
        c = {};
        c.hasAttachment = true;
        row("attachment") << c
                          << QByteArrayList{"SEARCH UNDELETED HEADER Content-Type multipart/mixed"}
                          << all;
        c = {};
        c.after = QStringLiteral("1/1/2006");
        c.before = QStringLiteral("6/30/2006");
        row("date range") << c
                          << QByteArrayList{"SEARCH UNDELETED SENTSINCE 1-Jan-2006 "
                                            "SENTBEFORE 1-Jul-2006"}
                          << all;
        c = {};
        c.after = c.before = QStringLiteral("2/17/2006");
        row("one day") << c << QByteArrayList{"SEARCH UNDELETED SENTON 17-Feb-2006"} << all;
        c = {};
        c.subject = QStringLiteral("Gr\u00fc\u00dfe");
        row("non-ASCII subject") << c
                                 << QByteArrayList{"SEARCH CHARSET UTF-8 UNDELETED SUBJECT {7}",
                                                   "Gr\xc3\xbc\xc3\x9f"
                                                   "e"}
                                 << all;
        c = {};
        c.subject = QStringLiteral("\"quoted\" and back\\slash");
        row("quote and backslash") << c
                                   << QByteArrayList{"SEARCH UNDELETED SUBJECT "
                                                     "\"\\\"quoted\\\" and back\\\\slash\""}
                                   << all;
        c = {};
        c.subject = QStringLiteral("report");
        c.body = QStringLiteral("zanzibar");
        c.bodyOrSubject = QStringLiteral("report");
        c.from = c.toOrFrom = QStringLiteral("example");
        c.after = QStringLiteral("1/1/2000");
        c.before = QStringLiteral("12/31/2030");
        row("every criterion") << c
                               << QByteArrayList{"SEARCH UNDELETED SENTSINCE 1-Jan-2000 "
                                                 "SENTBEFORE 1-Jan-2031 BODY zanzibar SUBJECT "
                                                 "report FROM example OR SUBJECT report BODY "
                                                 "report OR TO example FROM example"}
                               << all;
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
            const results::Hit &h = one.model.record(i);
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
    }

    // The exact lines of a run: a one-folder search uses one of its four connections, nothing is
    // added to a server that announces its capabilities, and a refused login opens no other.
    void wire_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("lines");
        QTest::newRow("one folder") << QStringLiteral("demo")
                                    << QByteArray("1 LOGIN demo demo\r\n"
                                                  "1 LIST \"\" \"*\"\r\n"
                                                  "1 EXAMINE \"Work.2005\"\r\n"
                                                  "1 SEARCH UNDELETED (SUBJECT \"report\")\r\n"
                                                  "1 FETCH 6 BODY.PEEK[HEADER.FIELDS "
                                                  "(DATE FROM SUBJECT)]\r\n1 LOGOUT\r\n");
        QTest::newRow("wrong password")
            << QStringLiteral("wrong") << QByteArray("1 LOGIN demo wrong\r\n1 LOGOUT\r\n");
    }

    void wire()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, lines);
        Run run;
        QVERIFY(run.start(Server::fixture(QStringLiteral("maildir")).address(), subject("report"),
                          4, QStringLiteral("Work/2005"), false, password));
        QTRY_COMPARE(run.all(), lines);
        QCOMPARE(run.wire.keys(), QList<int>{0});
        if (password != QLatin1String("demo"))
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
        QTest::newRow("maildir: nested")
            << "maildir"
            << "Archive/2006/Q1" << false << QStringList{"Archive/2006/Q1"};
        QTest::newRow("fs: implicit parent")
            << "fs"
            << "Archive" << true << QStringList{"Archive/2005", "Archive/2006/Q1"};
        QTest::newRow("fs: folder alone") << "fs"
                                          << "Work" << false << QStringList{"Work"};
    }

    void browse()
    {
        QFETCH(QString, layout);
        QFETCH(QString, pick);
        QFETCH(bool, subfolders);
        QFETCH(QStringList, searched);
        const Server fx = Server::fixture(layout);
        MainWindow w;
        auto edit = [&](const char *name) { return w.findChild<QLineEdit *>(name); };
        auto button = [&](const char *name) { return w.findChild<QPushButton *>(name); };
        edit("serverEdit")->setText(fx.address());
        edit("loginEdit")->setText("demo");
        edit("passwordEdit")->setText("demo");
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
        QCOMPARE(edit("folderEdit")->text(), pick);
        QTRY_COMPARE(button("browseButton")->text(), QStringLiteral("Browse..."));

        w.findChild<QCheckBox *>(QStringLiteral("includeSubfoldersCheck"))->setChecked(subfolders);
        edit("bodyOrSubjectEdit")->setText(QStringLiteral("e"));
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

    // Over implicit TLS and STARTTLS the rows of the plain port, and nothing in clear after
    // STARTTLS; an untrusted certificate, or TLS to the plain port, is refused before LOGIN.
    void tls_data()
    {
        QTest::addColumn<QString>("address"); // %1 the plain port, %2 the implicit TLS one
        QTest::addColumn<bool>("trust");
        QTest::addColumn<QString>("reason");  // empty: the search completes
        QTest::addColumn<QByteArray>("sent"); // the first connection's first line
        QTest::newRow("imaps") << "imaps://127.0.0.1:%2" << true << QString()
                               << QByteArray("1 LOGIN demo demo\r\n");
        QTest::newRow("STARTTLS") << "imap://localhost:%1" << true << QString()
                                  << QByteArray("(clear) 1 STARTTLS\r\n1 LOGIN demo demo\r\n");
        QTest::newRow("imaps, CA not trusted")
            << "imaps://127.0.0.1:%2" << false << "certificate is not trusted" << QByteArray();
        QTest::newRow("STARTTLS, CA not trusted")
            << "imap://127.0.0.1:%1" << false << "certificate is not trusted"
            << QByteArray("(clear) 1 STARTTLS\r\n");
        QTest::newRow("imaps to the plain port")
            << "imaps://127.0.0.1:%1" << true << "server does not speak TLS on this port"
            << QByteArray();
    }

    void tls()
    {
        QFETCH(QString, address);
        QFETCH(bool, trust);
        QFETCH(QString, reason);
        QFETCH(QByteArray, sent);
        const Server fx = Server::fixture(QStringLiteral("maildir"));
        Run run;
        if (trust)
            run.engine.addTrustedCaCertificates(QSslCertificate::fromPath(fx.dir + "/ca.pem"));
        QVERIFY(run.start(address.replace("%1", QString::number(fx.port))
                              .replace("%2", QString::number(fx.imapsPort)),
                          subject("report"), 4));
        QCOMPARE(run.summary->reason, reason);
        QVERIFY(run.wire.value(0).startsWith(sent));
        if (!reason.isEmpty()) {
            QCOMPARE(run.wire.value(0), sent);
            QCOMPARE(run.model.hitCount(), 0);
            return;
        }
        Run plain;
        QVERIFY(plain.start(fx.address(), subject("report"), 1));
        QCOMPARE(run.rows(), plain.rows());
        for (QByteArray w : std::as_const(run.wire)) {
            w.replace("(clear) 1 STARTTLS\r\n", "");
            QVERIFY2(!w.contains("(clear)"), w.constData());
            QVERIFY(w.isEmpty() || (w.startsWith("1 LOGIN ") && w.endsWith("1 LOGOUT\r\n")));
        }
    }

    // A server that takes two connections per user: the other two are refused at LOGIN, and
    // every folder is still searched exactly once.
    void connectionLimit()
    {
        const QString dir =
            QFileInfo(qEnvironmentVariable("FQ_DOVECOT_MAILDIR")).dir().filePath("limited");
        auto script = [&](const QStringList &args) {
            const QString path =
                qEnvironmentVariable("FQ_SOURCE_DIR") + "/scripts/dovecot-fixture.sh";
            return QProcess::execute(QStringLiteral("bash"),
                                     QStringList{path, args[0], dir} + args.mid(1));
        };
        QCOMPARE(script({"start", "maildir", "--max-connections", "2"}), 0);
        auto stop = qScopeGuard([&] { script({"stop"}); });
        const Server fx = Server::load(dir);
        Run one, four;
        QVERIFY(one.start(fx.address(), subject("report"), 1));
        QVERIFY(four.start(fx.address(), subject("report"), 4));
        QCOMPARE(four.summary->outcome, SearchEngine::Outcome::Complete);
        QVERIFY(!one.rows().isEmpty());
        QCOMPARE(four.rows(), one.rows());
        QCOMPARE(four.summary->folders, one.summary->folders);
        QCOMPARE(four.all().count("1 EXAMINE "), one.summary->folders);
        QCOMPARE(four.all().count("1 LOGIN "), 4);
    }

    // Opening a hit: headers, text and attachment as written, the .eml the server's bytes, and
    // no flag changed (the message stays unread). A number that now shows another message
    // shows nothing of it.
    void message_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("replaced"); // the row's number now shows another message
        QTest::newRow("maildir") << "maildir" << false;
        QTest::newRow("fs") << "fs" << false;
        QTest::newRow("message replaced") << "maildir" << true;
    }

    void message()
    {
        QFETCH(QString, layout);
        QFETCH(bool, replaced);
        const Server fx = Server::fixture(layout);
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
        ref.seq = !replaced ? seq : seq > 1 ? seq - 1 : seq + 1;
        ref.from = str(m, "from");
        ref.subject = str(m, "subject");
        ref.dateHeader = str(m.value(QLatin1String("headers")).toObject(), "Date")
                             .remove(QStringLiteral("\r\n"));
        MessageWindow w;
        QSignalSpy shown(&w, &MessageWindow::messageShown);
        w.fetch(
            imap::Account::fromFields(fx.address(), QStringLiteral("demo"), QStringLiteral("demo")),
            ref);
        QTRY_VERIFY_WITH_TIMEOUT(shown.size() || w.findChild<QLabel *>("errorLabel")->text().size(),
                                 30000);
        QTRY_VERIFY(!w.findChild<message::MessageFetchJob *>());
        if (replaced) {
            QCOMPARE(w.findChild<QLabel *>("errorLabel")->text(),
                     message::MessageFetchJob::kChangedText);
            QVERIFY(shown.isEmpty() && w.rawMessage().isEmpty());
        } else {
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
            w.findChild<QPushButton *>("saveMessageButton")->click();
            auto *dialog = w.findChild<QFileDialog *>("saveMessageDialog");
            QVERIFY(dialog);
            const QString path = m_tmp.filePath(layout + QStringLiteral(".eml"));
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept();
            QFile saved(path);
            QTRY_VERIFY(saved.exists());
            QVERIFY(saved.open(QIODevice::ReadOnly));
            QCOMPARE(saved.readAll(), bytes);
        }
        QCOMPARE(server("1:* FLAGS"), flags);
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
