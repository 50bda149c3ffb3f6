#include "search/folderscope.h"
#include "search/searchkey.h"
#include "support/searchrun.h"

#include <QTest>

namespace {

const QStringList kFolders{
    "INBOX",  "Work",     "Work/2005",    "Work/2005/Q1",          "Workshop",
    "Work 2", "{Drafts}", "{Drafts}/old", "{Search All Folders}x", "Archive/2006"};

} // namespace

class TestSearchKey : public QObject
{
    Q_OBJECT

private slots:
    // The command for the criteria ("field=text" each), its pieces joined by "|"; "" when none
    // is built. Texts go as quoted strings, or as literals when they cannot be quoted.
    void searchKey_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("key");
        const auto row = [](const char *name, const QStringList &fields, const QByteArray &key) {
            QTest::newRow(name) << fields << key;
        };
        row("none", {}, "");
        row("not a date", {"after=junk"}, "");
        row("one day", {"after=1/5/2006", "before=01/05/2006"},
            "1 SEARCH UNDELETED (SENTON 5-Jan-2006)\r\n");
        row("before", {"before=12/31/2005"}, "1 SEARCH UNDELETED (SENTBEFORE 1-Jan-2006)\r\n");
        row("not a date, the day before the last", {"after=junk", "before=12/30/9999"},
            "1 SEARCH UNDELETED (SENTBEFORE 31-Dec-9999)\r\n");
        // There is no IMAP date after 31-Dec-9999: such a range has no upper end.
        row("up to the last day", {"after=1/5/2006", "before=12/31/9999"},
            "1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)\r\n");
        const QStringList all{"attachment", "toOrFrom=f", "toOrCc=e",         "bodyOrSubject=d",
                              "subject=b",  "body=a",     "before=1/31/2006", "after=1/5/2006"};
        const QByteArray rest =
            " (OR SUBJECT \"d\" BODY \"d\") (OR TO \"e\" CC \"e\") (OR TO \"f\" "
            "FROM \"f\") (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n";
        row("every clause, in a fixed order", all + QStringList{"from=c"},
            "1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006) (BODY \"a\") "
            "(SUBJECT \"b\") (FROM \"c\")" +
                rest);
        // One non-ASCII text makes the whole command UTF-8; the ASCII texts stay quoted.
        row("one non-ASCII text", all + QStringList{"from=\u00e7"},
            "1 SEARCH CHARSET UTF-8 UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006) (BODY "
            "\"a\") (SUBJECT \"b\") (FROM {2}\r\n|\xc3\xa7)" +
                rest);
        row("attachment", {"attachment"},
            "1 SEARCH UNDELETED (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n");
        row("quote, backslash, brace", {"subject= \"C:\\\" ) {5}"},
            "1 SEARCH UNDELETED (SUBJECT \" \\\"C:\\\\\\\" ) {5}\")\r\n");
        row("DEL", {"body=a\x7f"}, "1 SEARCH UNDELETED (BODY \"a\x7f\")\r\n");
        row("four-byte character", {"subject=\U0001F600\""},
            "1 SEARCH CHARSET UTF-8 UNDELETED (SUBJECT {5}\r\n|\xf0\x9f\x98\x80\")\r\n");
        row("non-ASCII in an OR", {"toOrFrom=J\u00f6rg"},
            "1 SEARCH CHARSET UTF-8 UNDELETED (OR TO {5}\r\n|J\xc3\xb6rg FROM {5}\r\n|"
            "J\xc3\xb6rg)\r\n");
        row("line break", {"subject=x\r\n2 DELETE INBOX"},
            "1 SEARCH UNDELETED (SUBJECT {17}\r\n|x\r\n2 DELETE INBOX)\r\n");
        row("line feed in an OR", {"toOrCc=a\n1 LOGOUT"},
            "1 SEARCH UNDELETED (OR TO {10}\r\n|a\n1 LOGOUT CC {10}\r\n|a\n1 LOGOUT)\r\n");
    }

    void searchKey()
    {
        QFETCH(QStringList, fields);
        const imap::Command cmd = search::buildSearchKey(testsupport::criteria(fields));
        QTEST(cmd.isEmpty() ? QByteArray() : cmd.pieces.join('|'), "key");
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
