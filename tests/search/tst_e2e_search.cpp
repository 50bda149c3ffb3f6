// Search runs against the private Dovecot servers, in both hierarchy layouts: the grid must hold,
// folder by folder, exactly what the server's own SEARCH finds, with the headers the mailbox was
// written with.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/dovecotfixture.h"
#include "support/formdriver.h"
#include "support/rawimap.h"
#include "support/tcpproxy.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using testsupport::DovecotFixture;

namespace {

struct Criteria
{
    QString body, subject, bodyOrSubject, from, toOrCc, toOrFrom, after, before;
    bool attachment = false;
};

void applyCriteria(Form1 &form, const Criteria &c)
{
    form.txtBodySearch->setText(c.body);
    form.txtSubjectSearch->setText(c.subject);
    form.txtBodyOrSub->setText(c.bodyOrSubject);
    form.txtFromSearch->setText(c.from);
    form.txtToOrCC->setText(c.toOrCc);
    form.txtToOrFrom->setText(c.toOrFrom);
    // Date fields take their text when they are left, as a user would.
    for (auto [field, text] :
         {std::pair{form.txtAfter, c.after}, std::pair{form.txtBefore, c.before}}) {
        field->setText(text);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(field, &out);
    }
    if (form.chkAttach->isChecked() != c.attachment)
        form.chkAttach->click();
}

// The folders a scope covers, worked out from the manifest.
QList<QJsonObject> foldersInScope(const DovecotFixture &fx, const QString &scope, bool sub)
{
    QList<QJsonObject> out;
    for (const QJsonValue &v : fx.folders()) {
        const QJsonObject f = v.toObject();
        if (!f.value(QStringLiteral("selectable")).toBool())
            continue;
        const QString path = f.value(QStringLiteral("display_path")).toString();
        if (scope.isEmpty() || scope.startsWith(QLatin1Char('{')) || path == scope ||
            (sub && path.startsWith(scope + QLatin1Char('/'))))
            out.append(f);
    }
    return out;
}

QJsonObject manifestMessage(const DovecotFixture &fx, const QString &folder, int seq)
{
    for (const QJsonValue &v : fx.messages()) {
        const QJsonObject m = v.toObject();
        if (m.value(QStringLiteral("folder")).toString() == folder &&
            m.value(QStringLiteral("seq")).toInt() == seq)
            return m;
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(Criteria)

class TestE2ESearch : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase()
    {
        testsupport::usePrivateConfig(m_config.path());
        for (const char *layout : {"maildir", "fs"})
            QVERIFY2(DovecotFixture::load(QLatin1String(layout)).isValid(),
                     "the Dovecot fixture is not running (run through ctest)");
    }

    void search_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("scope");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<Criteria>("criteria");
        // The same search as the server should see it, written out by hand.
        QTest::addColumn<QByteArrayList>("rawKey");

        for (const QString &layout : {QStringLiteral("maildir"), QStringLiteral("fs")}) {
            auto row = [&](const char *name) -> QTestData & {
                return QTest::newRow(qPrintable(layout + QLatin1Char(' ') + QLatin1String(name)))
                       << layout;
            };
            Criteria subject;
            subject.subject = QStringLiteral("report");
            const QByteArrayList subjectKey{"SEARCH UNDELETED SUBJECT \"report\""};
            row("all folders") << QStringLiteral("{Search All Folders}") << true << subject
                               << subjectKey;
            row("one folder") << QStringLiteral("Work/2005") << false << subject << subjectKey;
            row("folder with sub-folders")
                << QStringLiteral("Work") << true << subject << subjectKey;
            row("folder without sub-folders")
                << QStringLiteral("Work") << false << subject << subjectKey;
            row("implicit parent with sub-folders")
                << QStringLiteral("Archive") << true << subject << subjectKey;
            row("implicit parent alone")
                << QStringLiteral("Archive/2006") << false << subject << subjectKey;
            row("scope that no longer exists")
                << QStringLiteral("Gone/Away") << true << subject << subjectKey;
            Criteria body;
            body.body = QStringLiteral("zanzibar");
            row("non-ASCII folder") << QStringLiteral("Entw\u00fcrfe") << false << body
                                    << QByteArrayList{"SEARCH UNDELETED BODY \"zanzibar\""};

            Criteria c;
            c.body = QStringLiteral("zanzibar");
            row("body") << QString() << false << c
                        << QByteArrayList{"SEARCH UNDELETED BODY \"zanzibar\""};
            c = {};
            c.from = QStringLiteral("alice@example.org");
            row("from") << QString() << false << c
                        << QByteArrayList{"SEARCH UNDELETED FROM \"alice@example.org\""};
            c = {};
            c.bodyOrSubject = QStringLiteral("zanzibar");
            row("body or subject")
                << QString() << false << c
                << QByteArrayList{"SEARCH UNDELETED OR SUBJECT \"zanzibar\" BODY \"zanzibar\""};
            c = {};
            c.toOrCc = QStringLiteral("bob");
            row("to or cc") << QString() << false << c
                            << QByteArrayList{"SEARCH UNDELETED OR TO \"bob\" CC \"bob\""};
            c = {};
            c.toOrFrom = QStringLiteral("alice");
            row("to or from") << QString() << false << c
                              << QByteArrayList{"SEARCH UNDELETED OR TO \"alice\" FROM \"alice\""};
            c = {};
            c.attachment = true;
            row("has attachment") << QString() << false << c
                                  << QByteArrayList{
                                         "SEARCH UNDELETED HEADER Content-Type multipart/mixed"};
            c = {};
            c.after = QStringLiteral("01/01/2006");
            c.before = QStringLiteral("6/30/2006");
            row("date range") << QString() << false << c
                              << QByteArrayList{
                                     "SEARCH UNDELETED SENTSINCE 1-Jan-2006 SENTBEFORE 1-Jul-2006"};
            c = {};
            c.after = QStringLiteral("2/17/2006");
            c.before = QStringLiteral("2/17/2006");
            row("single day") << QString() << false << c
                              << QByteArrayList{"SEARCH UNDELETED SENTON 17-Feb-2006"};
            c = {};
            c.subject = QStringLiteral("Gr\u00fc\u00dfe");
            row("non-ASCII subject")
                << QString() << false << c
                << QByteArrayList{"SEARCH CHARSET UTF-8 UNDELETED SUBJECT {7}\r\n",
                                  "Gr\xc3\xbc\xc3\x9f"
                                  "e"};
            c = {};
            c.subject = QStringLiteral("\"hello\"");
            row("double quotes") << QString() << false << c
                                 << QByteArrayList{"SEARCH UNDELETED SUBJECT \"\\\"hello\\\"\""};
            c = {};
            c.subject = QStringLiteral("C:\\temp");
            row("backslash") << QString() << false << c
                             << QByteArrayList{"SEARCH UNDELETED SUBJECT \"C:\\\\temp\""};
            c = {};
            c.subject = QStringLiteral("report");
            c.body = QStringLiteral("zanzibar");
            c.bodyOrSubject = QStringLiteral("report");
            c.from = QStringLiteral("example");
            c.toOrCc = QStringLiteral("example");
            c.toOrFrom = QStringLiteral("example");
            c.after = QStringLiteral("1/1/2000");
            c.before = QStringLiteral("12/31/2030");
            c.attachment = true;
            row("every criterion")
                << QString() << false << c
                << QByteArrayList{"SEARCH UNDELETED SENTSINCE 1-Jan-2000 SENTBEFORE 1-Jan-2031 "
                                  "BODY zanzibar SUBJECT report FROM example "
                                  "OR SUBJECT report BODY report OR TO example CC example "
                                  "OR TO example FROM example HEADER Content-Type multipart/mixed"};
            c = {};
            c.subject = QStringLiteral("xyzzy-nothing-matches");
            row("no hits") << QString() << false << c
                           << QByteArrayList{"SEARCH UNDELETED SUBJECT xyzzy-nothing-matches"};
        }
    }

    void search()
    {
        QFETCH(QString, layout);
        QFETCH(QString, scope);
        QFETCH(bool, subfolders);
        QFETCH(Criteria, criteria);
        QFETCH(QByteArrayList, rawKey);
        const DovecotFixture fx = DovecotFixture::load(layout);

        // What the server itself finds, folder by folder.
        const QList<QJsonObject> folders = foldersInScope(fx, scope, subfolders);
        QMap<QString, QList<quint32>> expected;
        qsizetype expectedTotal = 0;
        {
            testsupport::RawImap raw(QStringLiteral("127.0.0.1"), fx.port);
            QVERIFY(raw.login("demo", "demo"));
            for (const QJsonObject &f : folders) {
                const QList<quint32> hits =
                    raw.search(f.value(QStringLiteral("server_name")).toString().toUtf8(), rawKey);
                expected[f.value(QStringLiteral("display_path")).toString()] = hits;
                expectedTotal += hits.size();
            }
        }

        Form1 form;
        form.txtServer->setText(fx.address());
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtOnlyFolder->setText(scope);
        form.chkExactly->setChecked(subfolders);
        applyCriteria(form, criteria);
        QVERIFY(form.cmdSearch->isEnabled());
        form.cmdSearch_Click();

        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Search Complete. %1 matching emails found in %2 folders.")
                     .arg(expectedTotal)
                     .arg(folders.size()));
        QCOMPARE(form.cmdSearch->text(), QStringLiteral("Search"));

        // The grid, folder by folder, in the server's order.
        const results::ResultsModel *model = form.resultsModel();
        QCOMPARE(model->hitCount(), expectedTotal);
        QCOMPARE(model->rowCount(), qMax<qsizetype>(1, expectedTotal));
        QMap<QString, QList<quint32>> shown;
        const QTimeZone local = QTimeZone::systemTimeZone();
        for (qsizetype i = 0; i < model->hitCount(); ++i) {
            const imap::ResultRecord &r = model->record(i);
            shown[r.strFolder].append(r.strMsgNum.toUInt());
            const QJsonObject m = manifestMessage(fx, r.strFolder, r.strMsgNum.toInt());
            QVERIFY2(!m.isEmpty(), qPrintable(r.strFolder + QLatin1Char(' ') + r.strMsgNum));
            QVERIFY(!m.value(QStringLiteral("deleted")).toBool());
            // The headers as the mailbox was written.
            QCOMPARE(r.strSubject, m.value(QStringLiteral("subject")).toString());
            QCOMPARE(r.strFrom, m.value(QStringLiteral("from")).toString());
            const QJsonValue utc = m.value(QStringLiteral("date_utc"));
            if (utc.isNull()) {
                QVERIFY2(!r.dtLocal.isValid(), qPrintable(r.strDateHeader));
                QCOMPARE(model->index(int(i), results::ResultsModel::Date).data().toString(),
                         QString());
            } else {
                QVERIFY2(r.dtLocal.isValid(), qPrintable(r.strDateHeader));
                QCOMPARE(r.dtLocal.toUTC(),
                         QDateTime::fromString(utc.toString(), Qt::ISODate).toUTC());
                QCOMPARE(r.dtLocal.timeZone(), local);
            }
        }
        // Guard against a vacuous comparison: these searches are chosen to find nothing.
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const bool expectNone = tag.endsWith(QLatin1String("no hits")) ||
                                tag.endsWith(QLatin1String("no longer exists")) ||
                                tag.endsWith(QLatin1String("implicit parent alone"));
        QCOMPARE(expectedTotal == 0, expectNone);
        for (auto it = expected.begin(); it != expected.end();)
            it = it->isEmpty() ? expected.erase(it) : std::next(it);
        QCOMPARE(shown, expected);
    }

    // The folder list as the server gives it: every selectable folder with the name the server
    // uses and the path the user sees; implicit parents are not folders.
    void folderTable_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("maildir") << QStringLiteral("maildir");
        QTest::newRow("fs") << QStringLiteral("fs");
    }

    void folderTable()
    {
        QFETCH(QString, layout);
        const DovecotFixture fx = DovecotFixture::load(layout);
        Form1 form;
        form.txtServer->setText(fx.address());
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtOnlyFolder->setText(QStringLiteral("No/Such/Folder"));
        form.txtSubjectSearch->setText(QStringLiteral("report"));
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Search Complete. 0 matching emails found in 0 folders."));
        QSet<QPair<QByteArray, QString>> got, expected;
        for (const imap::FolderRow &row : form.folderTable()) {
            got.insert({row.ServerName, row.DisplayPath});
            QCOMPARE(row.delimiter,
                     fx.manifest.value(QStringLiteral("delimiter")).toString().at(0).toLatin1());
        }
        for (const QJsonValue &v : fx.folders()) {
            const QJsonObject f = v.toObject();
            if (f.value(QStringLiteral("selectable")).toBool())
                expected.insert({f.value(QStringLiteral("server_name")).toString().toUtf8(),
                                 f.value(QStringLiteral("display_path")).toString()});
        }
        QCOMPARE(form.folderTable().size(), expected.size());
        QCOMPARE(got, expected);
    }

    // The exact lines a real server receives for a session.
    void wire()
    {
        const DovecotFixture fx = DovecotFixture::load(QStringLiteral("maildir"));
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());
        Form1 form;
        form.txtServer->setText(QStringLiteral("127.0.0.1:%1").arg(proxy.port()));
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        form.txtOnlyFolder->setText(QStringLiteral("Work/2005"));
        form.chkExactly->setChecked(false);
        form.txtSubjectSearch->setText(QStringLiteral("report"));
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Search Complete. 1 matching emails found in 1 folders."));
        QTRY_COMPARE(proxy.clientBytes(),
                     QByteArray("1 LOGIN demo demo\r\n"
                                "1 LIST \"\" \"*\"\r\n"
                                "1 EXAMINE \"Work.2005\"\r\n"
                                "1 SEARCH UNDELETED (SUBJECT \"report\")\r\n"
                                "1 FETCH 6 BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)]\r\n"
                                "1 LOGOUT\r\n"));
    }

    void wrongPassword()
    {
        const DovecotFixture fx = DovecotFixture::load(QStringLiteral("fs"));
        TcpProxy proxy(QHostAddress::LocalHost, fx.port);
        QVERIFY(proxy.listen());
        Form1 form;
        form.txtServer->setText(QStringLiteral("127.0.0.1:%1").arg(proxy.port()));
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("not the password"));
        form.txtSubjectSearch->setText(QStringLiteral("report"));
        form.cmdSearch_Click();
        QCOMPARE(form.lblStatus->text(),
                 QStringLiteral("Error: login failed: Authentication failed."));
        QTRY_COMPARE(proxy.clientBytes(),
                     QByteArray("1 LOGIN demo \"not the password\"\r\n1 LOGOUT\r\n"));
    }
};

QTEST_MAIN(TestE2ESearch)
#include "tst_e2e_search.moc"
