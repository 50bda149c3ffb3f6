#include "imap/listparser.h"

#include <QTest>

using namespace imap;

using ByteList = QList<QByteArray>;

// A table as "server name|delimiter|display path" lines ("NIL" for no delimiter).
static QStringList describe(const FolderTable &folders)
{
    QStringList out;
    for (const FolderRow &row : folders) {
        const QString delimiter =
            row.delimiter == '\0' ? QStringLiteral("NIL") : QString(QLatin1Char(row.delimiter));
        out.append(QString::fromUtf8(row.serverName) + u'|' + delimiter + u'|' + row.displayPath);
    }
    return out;
}

class TestListParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<ByteList>("lines");
        QTest::addColumn<QStringList>("folders");

        // Recorded from Dovecot 2.3, Maildir++ layout: unsorted, INBOX last, an implicit
        // parent, names quoted only when needed, escapes in quoted names.
        QTest::newRow("dovecot maildir++")
            << ByteList{"* LIST (\\Noselect \\HasChildren) \".\" Archive",
                        "* LIST (\\HasNoChildren) \".\" Archive.2005",
                        "* LIST (\\HasNoChildren) \".\" Entw&APw-rfe",
                        "* LIST (\\HasNoChildren) \".\" Trash",
                        "* LIST (\\HasNoChildren) \".\" \"Back\\\\slash\"",
                        "* LIST (\\HasNoChildren) \".\" Sent",
                        "* LIST (\\HasNoChildren) \".\" \"My Stuff\"",
                        "* LIST (\\HasNoChildren) \".\" \"Quo\\\"te\"",
                        "* LIST (\\HasNoChildren) \".\" INBOX",
                        "1 OK List completed (0.008 + 0.000 + 0.007 secs)."}
            << QStringList{"Archive.2005|.|Archive/2005",
                           "Entw&APw-rfe|.|Entw\u00fcrfe",
                           "Trash|.|Trash",
                           "Back\\slash|.|Back\\slash",
                           "Sent|.|Sent",
                           "My Stuff|.|My Stuff",
                           "Quo\"te|.|Quo\"te",
                           "INBOX|.|INBOX"};
        // Recorded from Dovecot 2.3 with LAYOUT=fs: "/" delimiter, dots are plain characters.
        QTest::newRow("dovecot layout=fs")
            << ByteList{"* LIST (\\Noselect \\HasChildren) \"/\" \"My Stuff\"",
                        "* LIST (\\HasNoChildren) \"/\" \"My Stuff/a.b\"",
                        "* LIST (\\HasNoChildren) \"/\" INBOX/Sub",
                        "* LIST (\\HasNoChildren) \"/\" Entw&APw-rfe",
                        "* LIST (\\Noselect \\HasChildren) \"/\" Archive",
                        "* LIST (\\HasNoChildren) \"/\" Archive/2005",
                        "* LIST (\\HasChildren) \"/\" INBOX",
                        "5 OK List completed (0.001 + 0.000 secs)."}
            << QStringList{"My Stuff/a.b|/|My Stuff/a.b", "INBOX/Sub|/|INBOX/Sub",
                           "Entw&APw-rfe|/|Entw\u00fcrfe", "Archive/2005|/|Archive/2005",
                           "INBOX|/|INBOX"};
        QTest::newRow("maildir++ under INBOX")
            << ByteList{"* LIST (\\HasChildren) \".\" INBOX",
                        "* LIST (\\HasNoChildren) \".\" INBOX.Sent",
                        "* LIST (\\HasNoChildren) \".\" \"INBOX.Sent Items\"",
                        "* LIST (\\HasNoChildren) \".\" INBOX.Entw&APw-rfe.2005", "1 OK done"}
            << QStringList{"INBOX|.|INBOX", "INBOX.Sent|.|Sent", "INBOX.Sent Items|.|Sent Items",
                           "INBOX.Entw&APw-rfe.2005|.|Entw\u00fcrfe/2005"};
        QTest::newRow("literal name inside the line")
            << ByteList{"* LIST () \"/\" {10}\r\nTwo\r\nLines", "* LIST () \"/\" {3}\r\na\"b",
                        "* LIST () \"/\" {5+}\r\nx y z"}
            << QStringList{"Two\r\nLines|/|Two\r\nLines", "a\"b|/|a\"b", "x y z|/|x y z"};
        QTest::newRow("NIL delimiter is one level")
            << ByteList{"* LIST () NIL INBOX", "* LIST () nil \"INBOX.x\""}
            << QStringList{"INBOX|NIL|INBOX", "INBOX.x|NIL|INBOX.x"};
        QTest::newRow("backslash delimiter")
            << ByteList{"* LIST () \"\\\\\" INBOX", "* LIST () \"\\\\\" INBOX\\Sent"}
            << QStringList{"INBOX|\\|INBOX", "INBOX\\Sent|\\|Sent"};
        QTest::newRow("keyword and attributes in any case")
            << ByteList{"* list (\\NOSELECT) \".\" a",
                        "* List (\\noselect) \".\" b",
                        "* LIST (\\NonExistent) \".\" c",
                        "* LIST (\\nonexistent) \".\" d",
                        "* LIST (\\Marked \\HasNoChildren) \".\" e",
                        "* list () \".\" f"}
            << QStringList{"e|.|e", "f|.|f"};
        QTest::newRow("Noselect only counts as an attribute")
            << ByteList{"* LIST () \".\" \\NOSELECT-folder", "* LIST () \".\" \"x\\\\Noselect\""}
            << QStringList{"\\NOSELECT-folder|.|\\NOSELECT-folder", "x\\Noselect|.|x\\Noselect"};
        QTest::newRow("dot names and empty names skipped")
            << ByteList{"* LIST () \".\" .hidden", "* LIST () \"/\" \".Trash\"",
                        "* LIST () \"/\" \"\"", "* LIST () \"/\" Keep"}
            << QStringList{"Keep|/|Keep"};
        QTest::newRow("extended data after the name")
            << ByteList{"* LIST (\\HasNoChildren) \"/\" Sent (\"OLDNAME\" (\"Old\"))"}
            << QStringList{"Sent|/|Sent"};
        QTest::newRow("LSUB and other untagged data ignored")
            << ByteList{"* LSUB () \".\" Sub",
                        "* STATUS INBOX (MESSAGES 2)",
                        "* OK [ALERT] LIST (\\HasNoChildren) \".\" Fake",
                        "* LISTING () \".\" x",
                        "1 LIST () \".\" Tagged",
                        "+ LIST"}
            << QStringList{};
        QTest::newRow("malformed and truncated lines skipped")
            << ByteList{"* LIST",
                        "* LIST ",
                        "* LIST (\\HasNoChildren",
                        "* LIST (\\HasNoChildren) \".\"",
                        "* LIST (\\HasNoChildren) \".\" \"INBOX.Se",
                        "* LIST (\\HasNoChildren) \".\" {10}\r\nshort",
                        "* LIST (\\HasNoChildren) \".\" {10}",
                        "* LIST (\\HasNoChildren) \"..\" Two",
                        "* LIST (\\HasNoChildren) . Unquoted",
                        "* LIST (\\HasNoChildren) \".\"Sent",
                        "* LIST \\HasNoChildren \".\" Sent",
                        "* LIST ((x)) \".\" Nested",
                        "* LIST () \".\" \"a\"b",
                        "*LIST () \".\" NoSpace",
                        "",
                        "*",
                        "* LIST (\\HasNoChildren) \".\" Good"}
            << QStringList{"Good|.|Good"};
        QTest::newRow("empty response") << ByteList{} << QStringList{};
        QTest::newRow("only the tagged line") << ByteList{"1 NO LIST failed"} << QStringList{};
    }
    void parse()
    {
        QFETCH(ByteList, lines);
        QFETCH(QStringList, folders);
        QCOMPARE(describe(parseListResponse(lines)), folders);
    }

    // Display paths alone. Each name is "name|delimiter" with delimiter "NIL" for none; the
    // common part is made of whole levels shared by all names.
    void displayPaths_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("paths");
        QTest::newRow("INBOX with children")
            << QStringList{"INBOX|.", "INBOX.Sent|.", "INBOX.Trash|."}
            << QStringList{"INBOX", "Sent", "Trash"};
        QTest::newRow("nothing shared")
            << QStringList{"INBOX|.", "Sent|.", "Trash|.", "Archive/Old|/"}
            << QStringList{"INBOX", "Sent", "Trash", "Archive/Old"};
        QTest::newRow("slash delimiter never leaves a leading slash")
            << QStringList{"INBOX|/", "INBOX/Sent|/"} << QStringList{"INBOX", "Sent"};
        QTest::newRow("levels below the shared one")
            << QStringList{"INBOX|.", "INBOX.a.b|."} << QStringList{"INBOX", "a/b"};
        QTest::newRow("shared first letter is no shared level")
            << QStringList{"Sent|.", "Spam|."} << QStringList{"Sent", "Spam"};
        QTest::newRow("shared text that is no whole level")
            << QStringList{"INBOX.Work|.", "INBOX.Workshop|."} << QStringList{"Work", "Workshop"};
        // INBOX is the one name IMAP compares without regard to case, so "Inbox.x" lies under
        // INBOX; "Important" shares no level with either, so nothing is removed here.
        QTest::newRow("INBOX, Important, Inbox.x")
            << QStringList{"INBOX|.", "Important|.", "Inbox.x|."}
            << QStringList{"INBOX", "Important", "Inbox/x"};
        QTest::newRow("INBOX matches in any case")
            << QStringList{"INBOX|.", "Inbox.x|.", "inbox.y|."} << QStringList{"INBOX", "x", "y"};
        QTest::newRow("other levels match exactly")
            << QStringList{"Work.a|.", "work.b|."} << QStringList{"Work/a", "work/b"};
        QTest::newRow("deeper levels match exactly")
            << QStringList{"INBOX.Work.a|.", "INBOX.work.b|."} << QStringList{"Work/a", "work/b"};
        QTest::newRow("two shared levels")
            << QStringList{"INBOX.Lists.qt|.", "INBOX.Lists.kde|."} << QStringList{"qt", "kde"};
        QTest::newRow("name equal to the shared levels keeps them")
            << QStringList{"INBOX.Lists|.", "INBOX.Lists.qt|.", "INBOX.Lists.kde|."}
            << QStringList{"INBOX/Lists", "qt", "kde"};
        QTest::newRow("one folder keeps its name")
            << QStringList{"INBOX|."} << QStringList{"INBOX"};
        QTest::newRow("one nested folder keeps all levels")
            << QStringList{"INBOX.Sub.Deep|."} << QStringList{"INBOX/Sub/Deep"};
        QTest::newRow("one folder decoded")
            << QStringList{"Entw&APw-rfe|."} << QStringList{"Entw\u00fcrfe"};
        QTest::newRow("decoded per level")
            << QStringList{"INBOX|.", "INBOX.Entw&APw-rfe.&AMQ-pfel|."}
            << QStringList{"INBOX", "Entw\u00fcrfe/\u00c4pfel"};
        QTest::newRow("slash server keeps dots")
            << QStringList{"INBOX|/", "INBOX/a.b|/", "INBOX/c|/"}
            << QStringList{"INBOX", "a.b", "c"};
        QTest::newRow("NIL delimiter is one level")
            << QStringList{"INBOX|NIL", "INBOX.x|NIL"} << QStringList{"INBOX", "INBOX.x"};
        QTest::newRow("mixed delimiters") << QStringList{"INBOX|.", "INBOX/Sent|/", "INBOX.Trash|."}
                                          << QStringList{"INBOX", "Sent", "Trash"};
        QTest::newRow("empty level") << QStringList{"a|.", "a..b|."} << QStringList{"a", "/b"};
        QTest::newRow("empty table") << QStringList{} << QStringList{};
    }
    void displayPaths()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, paths);
        FolderTable folders;
        for (const QString &entry : names) {
            const QString name = entry.section(u'|', 0, 0);
            const QString delimiter = entry.section(u'|', 1);
            FolderRow row;
            row.serverName = name.toUtf8();
            row.delimiter = delimiter == u"NIL" ? '\0' : delimiter.at(0).toLatin1();
            folders.append(row);
        }
        computeDisplayPaths(folders);
        QStringList shown;
        for (qsizetype i = 0; i < folders.size(); ++i) {
            shown.append(folders.at(i).displayPath);
            QCOMPARE(folders.at(i).serverName, names.at(i).section(u'|', 0, 0).toUtf8());
        }
        QCOMPARE(shown, paths);
    }

    // Many folders: no row limit, and the rows keep the response order.
    void noRowLimit()
    {
        ByteList lines;
        for (int i = 0; i < 40000; ++i)
            lines.append("* LIST (\\HasNoChildren) \".\" INBOX.f" + QByteArray::number(i));
        lines.append("1 OK List completed.");
        const FolderTable folders = parseListResponse(lines);
        QCOMPARE(folders.size(), 40000);
        QCOMPARE(folders.at(0).displayPath, QStringLiteral("f0"));
        QCOMPARE(folders.at(39999).serverName, QByteArray("INBOX.f39999"));
        QCOMPARE(folders.at(39999).displayPath, QStringLiteral("f39999"));
    }
};

QTEST_APPLESS_MAIN(TestListParser)
#include "tst_listparser.moc"
