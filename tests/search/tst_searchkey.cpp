#include "search/folderscope.h"
#include "search/searchkey.h"

#include <QTest>

using search::SearchCriteria;

namespace {

// The command's pieces joined by "|", "" when no command is built.
QByteArray key(const SearchCriteria &c)
{
    const imap::Command cmd = search::buildSearchKey(c);
    return cmd.isEmpty() ? QByteArray() : cmd.pieces.join('|');
}

const QStringList kFolders{
    "INBOX",  "Work",     "Work/2005",    "Work/2005/Q1",          "Workshop",
    "Work 2", "{Drafts}", "{Drafts}/old", "{Search All Folders}x", "Archive/2006"};

QByteArray dates(const char *after, const char *before)
{
    SearchCriteria c;
    c.after = QString::fromLatin1(after);
    c.before = QString::fromLatin1(before);
    return key(c);
}

QByteArray text(QString SearchCriteria::*field, const char *utf8)
{
    SearchCriteria c;
    c.*field = QString::fromUtf8(utf8);
    return key(c);
}

} // namespace

class TestSearchKey : public QObject
{
    Q_OBJECT

private slots:
    void dateClauses()
    {
        QCOMPARE(key({}), QByteArray());
        QCOMPARE(dates("junk", ""), QByteArray());
        QCOMPARE(dates("1/5/2006", "01/05/2006"), "1 SEARCH UNDELETED (SENTON 5-Jan-2006)\r\n");
        QCOMPARE(dates("", "12/31/2005"), "1 SEARCH UNDELETED (SENTBEFORE 1-Jan-2006)\r\n");
        QCOMPARE(dates("junk", "12/30/9999"), "1 SEARCH UNDELETED (SENTBEFORE 31-Dec-9999)\r\n");
        // There is no IMAP date after 31-Dec-9999: such a range has no upper end.
        QCOMPARE(dates("1/5/2006", "12/31/9999"), "1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)\r\n");
    }

    void allClausesInFixedOrder()
    {
        SearchCriteria c;
        c.hasAttachment = true;
        c.toOrFrom = QStringLiteral("f");
        c.toOrCc = QStringLiteral("e");
        c.bodyOrSubject = QStringLiteral("d");
        c.from = QStringLiteral("c");
        c.subject = QStringLiteral("b");
        c.body = QStringLiteral("a");
        c.before = QStringLiteral("1/31/2006");
        c.after = QStringLiteral("1/5/2006");
        const QByteArray rest =
            " (OR SUBJECT \"d\" BODY \"d\") (OR TO \"e\" CC \"e\") (OR TO \"f\" "
            "FROM \"f\") (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n";
        QCOMPARE(key(c), "1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006) (BODY "
                         "\"a\") (SUBJECT \"b\") (FROM \"c\")" +
                             rest);
        // One non-ASCII text makes the whole command UTF-8; the ASCII texts stay quoted.
        c.from = QString::fromUtf8("\xc3\xa7");
        QCOMPARE(key(c), "1 SEARCH CHARSET UTF-8 UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE "
                         "5-Jan-2006) (BODY \"a\") (SUBJECT \"b\") (FROM {2}\r\n|\xc3\xa7)" +
                             rest);
        c = {};
        c.hasAttachment = true;
        QCOMPARE(key(c), "1 SEARCH UNDELETED (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n");
    }

    // Texts go as quoted strings, or as literals when they cannot be quoted.
    void textEncoding()
    {
        QCOMPARE(text(&SearchCriteria::subject, " \"C:\\\" ) {5}"),
                 "1 SEARCH UNDELETED (SUBJECT \" \\\"C:\\\\\\\" ) {5}\")\r\n");
        QCOMPARE(text(&SearchCriteria::body, "a\x7f"), "1 SEARCH UNDELETED (BODY \"a\x7f\")\r\n");
        QCOMPARE(text(&SearchCriteria::subject, "\xf0\x9f\x98\x80\""),
                 "1 SEARCH CHARSET UTF-8 UNDELETED (SUBJECT {5}\r\n|\xf0\x9f\x98\x80\")\r\n");
        QCOMPARE(text(&SearchCriteria::toOrFrom, "J\xc3\xb6rg"),
                 "1 SEARCH CHARSET UTF-8 UNDELETED (OR TO {5}\r\n|J\xc3\xb6rg FROM {5}\r\n|"
                 "J\xc3\xb6rg)\r\n");
        QCOMPARE(text(&SearchCriteria::subject, "x\r\n2 DELETE INBOX"),
                 "1 SEARCH UNDELETED (SUBJECT {17}\r\n|x\r\n2 DELETE INBOX)\r\n");
        QCOMPARE(text(&SearchCriteria::toOrCc, "a\n1 LOGOUT"),
                 "1 SEARCH UNDELETED (OR TO {10}\r\n|a\n1 LOGOUT CC {10}\r\n|a\n1 LOGOUT)\r\n");
    }

    // The folders a scope choice covers, out of a folder list with a sibling sharing a prefix,
    // an implicit parent (Archive) and names beginning with "{".
    void folderScope_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<QString>("covered");
        const QString all = kFolders.join("; ");
        for (bool subfolders : {false, true}) {
            auto row = [&](const char *name, const QString &text) -> QTestData & {
                return QTest::addRow("%s%s", name, subfolders ? ", sub-folders" : "")
                       << text << subfolders;
            };
            row("empty", "") << all;
            row("all folders", "{Search All Folders}") << all;
            row("exact folder", "Work") << (subfolders ? "Work; Work/2005; Work/2005/Q1" : "Work");
            row("sub-folder", "Work/2005")
                << (subfolders ? "Work/2005; Work/2005/Q1" : "Work/2005");
            row("name beginning with {", "{Drafts}")
                << (subfolders ? "{Drafts}; {Drafts}/old" : "{Drafts}");
            row("{ alone", "{") << "";
            row("all folders and more", "{Search All Folders}x") << "{Search All Folders}x";
            row("implicit parent", "Archive") << (subfolders ? "Archive/2006" : "");
            row("gone", "Gone") << "";
        }
    }

    void folderScope()
    {
        QFETCH(QString, text);
        QFETCH(bool, subfolders);
        QFETCH(QString, covered);
        const search::FolderScope scope = search::FolderScope::fromChoice(text, subfolders);
        QStringList in;
        for (const QString &path : kFolders)
            if (scope.contains(path))
                in.append(path);
        QCOMPARE(in.join("; "), covered);
    }
};

QTEST_GUILESS_MAIN(TestSearchKey)
#include "tst_searchkey.moc"
