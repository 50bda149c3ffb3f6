#include "search/searchkey.h"

#include <QTest>

using search::buildSearchKey;
using search::SearchCriteria;

Q_DECLARE_METATYPE(SearchCriteria)

namespace {

// Which field of the criteria a table row fills.
enum class Field { Body, Subject, BodyOrSub, From, ToOrCC, ToOrFrom };

SearchCriteria withText(Field field, const QString &text)
{
    SearchCriteria c;
    switch (field) {
    case Field::Body:
        c.body = text;
        break;
    case Field::Subject:
        c.subject = text;
        break;
    case Field::BodyOrSub:
        c.bodyOrSubject = text;
        break;
    case Field::From:
        c.from = text;
        break;
    case Field::ToOrCC:
        c.toOrCc = text;
        break;
    case Field::ToOrFrom:
        c.toOrFrom = text;
        break;
    }
    return c;
}

SearchCriteria withDates(const QString &after, const QString &before)
{
    SearchCriteria c;
    c.after = after;
    c.before = before;
    return c;
}

// Checks that the wire bytes hold exactly one command: every piece but the last ends with a
// "{n}" CR LF whose n is at most the size of the next piece, which starts with those n literal
// bytes; outside the literals no CR or LF occurs except the final CR LF. Returns the literals.
QList<QByteArray> checkOneCommand(const imap::Command &cmd, QString *failure)
{
    QList<QByteArray> literals;
    qsizetype literalSize = 0; // leading bytes of the current piece that belong to a literal
    for (qsizetype i = 0; i < cmd.pieces.size(); ++i) {
        const QByteArray &piece = cmd.pieces[i];
        if (piece.size() < literalSize) {
            *failure = QStringLiteral("piece %1 is shorter than its literal").arg(i);
            return {};
        }
        if (i > 0)
            literals.append(piece.left(literalSize));
        QByteArray protocol = piece.mid(literalSize);
        const bool last = i == cmd.pieces.size() - 1;
        if (!protocol.endsWith("\r\n")) {
            *failure = QStringLiteral("piece %1 does not end with CR LF").arg(i);
            return {};
        }
        protocol.chop(2);
        if (!last) {
            const qsizetype open = protocol.lastIndexOf('{');
            bool ok = false;
            literalSize = open < 0 || !protocol.endsWith('}')
                              ? -1
                              : protocol.mid(open + 1, protocol.size() - open - 2).toLongLong(&ok);
            if (!ok || literalSize < 0) {
                *failure = QStringLiteral("piece %1 does not end with {n}").arg(i);
                return {};
            }
        }
        if (protocol.contains('\r') || protocol.contains('\n')) {
            *failure = QStringLiteral("line break outside a literal in piece %1").arg(i);
            return {};
        }
    }
    return literals;
}

} // namespace

class TestSearchKey : public QObject
{
    Q_OBJECT

private slots:
    void plainKeys_data();
    void plainKeys();
    void textClauses_data();
    void textClauses();
    void allCriteriaInFixedOrder();
    void hostileText_data();
    void hostileText();
};

void TestSearchKey::plainKeys_data()
{
    QTest::addColumn<SearchCriteria>("criteria");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("no criterion") << SearchCriteria{} << QByteArray();
    SearchCriteria attach;
    attach.hasAttachment = true;
    QTest::newRow("attachment only")
        << attach
        << QByteArray("1 SEARCH UNDELETED (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n");

    QTest::newRow("same day") << withDates("1/5/2006", "1/5/2006")
                              << QByteArray("1 SEARCH UNDELETED (SENTON 5-Jan-2006)\r\n");
    QTest::newRow("range, SENTBEFORE first")
        << withDates("1/5/2006", "1/31/2006")
        << QByteArray("1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006)\r\n");
    QTest::newRow("before only, year end")
        << withDates("", "12/31/2005")
        << QByteArray("1 SEARCH UNDELETED (SENTBEFORE 1-Jan-2006)\r\n");
    QTest::newRow("before only, leap day")
        << withDates("", "2/28/2004")
        << QByteArray("1 SEARCH UNDELETED (SENTBEFORE 29-Feb-2004)\r\n");
    QTest::newRow("after only, no leading zero")
        << withDates("10/9/2006", "")
        << QByteArray("1 SEARCH UNDELETED (SENTSINCE 9-Oct-2006)\r\n");
    QTest::newRow("before on the last IMAP day")
        << withDates("1/5/2006", "12/31/9999")
        << QByteArray("1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)\r\n");
    QTest::newRow("after not a date") << withDates("junk", "") << QByteArray();
    QTest::newRow("before not a date, after kept")
        << withDates("1/5/2006", "junk")
        << QByteArray("1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)\r\n");

    QTest::newRow("subject") << withText(Field::Subject, "Error")
                             << QByteArray("1 SEARCH UNDELETED (SUBJECT \"Error\")\r\n");
    QTest::newRow("body or subject")
        << withText(Field::BodyOrSub, "Folder")
        << QByteArray("1 SEARCH UNDELETED (OR SUBJECT \"Folder\" BODY \"Folder\")\r\n");
    QTest::newRow("single space") << withText(Field::Body, " ")
                                  << QByteArray("1 SEARCH UNDELETED (BODY \" \")\r\n");
    QTest::newRow("mixed case") << withText(Field::From, "John.Smith@Example.COM")
                                << QByteArray(
                                       "1 SEARCH UNDELETED (FROM \"John.Smith@Example.COM\")\r\n");
}

void TestSearchKey::plainKeys()
{
    QFETCH(SearchCriteria, criteria);
    QFETCH(QByteArray, wire);

    const imap::Command key = buildSearchKey(criteria);
    QCOMPARE(key.isEmpty(), wire.isEmpty());
    if (!wire.isEmpty())
        QCOMPARE(key.pieces.size(), 1);
    QCOMPARE(key.wireBytes(), wire);
}

void TestSearchKey::textClauses_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QByteArray>>("pieces");

    const auto row = [](const char *name, Field f, const QString &text,
                        const QList<QByteArray> &pieces) {
        QTest::newRow(name) << int(f) << text << pieces;
    };
    row("body", Field::Body, "x", {"1 SEARCH UNDELETED (BODY \"x\")\r\n"});
    row("from", Field::From, "bob", {"1 SEARCH UNDELETED (FROM \"bob\")\r\n"});
    row("to or cc", Field::ToOrCC, "ann", {"1 SEARCH UNDELETED (OR TO \"ann\" CC \"ann\")\r\n"});
    row("to or from", Field::ToOrFrom, "ann",
        {"1 SEARCH UNDELETED (OR TO \"ann\" FROM \"ann\")\r\n"});
    row("quote escaped", Field::Subject, "say \"hi\"",
        {"1 SEARCH UNDELETED (SUBJECT \"say \\\"hi\\\"\")\r\n"});
    row("backslash escaped", Field::Body, "C:\\temp\\",
        {"1 SEARCH UNDELETED (BODY \"C:\\\\temp\\\\\")\r\n"});
    row("quote in an OR form", Field::BodyOrSub, "a\"b",
        {"1 SEARCH UNDELETED (OR SUBJECT \"a\\\"b\" BODY \"a\\\"b\")\r\n"});
    row("parentheses and braces stay quoted", Field::Subject, ") {5}",
        {"1 SEARCH UNDELETED (SUBJECT \") {5}\")\r\n"});

    // Non-ASCII text: CHARSET UTF-8 and the UTF-8 bytes as a literal.
    row("non-ASCII", Field::Subject,
        QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                          "e"),
        {"1 SEARCH CHARSET UTF-8 UNDELETED (SUBJECT {7}\r\n", "Gr\xc3\xbc\xc3\x9f"
                                                              "e)\r\n"});
    row("non-ASCII outside the BMP", Field::Body, QString::fromUtf8("\xf0\x9f\x98\x80"),
        {"1 SEARCH CHARSET UTF-8 UNDELETED (BODY {4}\r\n", "\xf0\x9f\x98\x80)\r\n"});
    row("non-ASCII OR form, two literals", Field::ToOrFrom, QString::fromUtf8("J\xc3\xb6rg"),
        {"1 SEARCH CHARSET UTF-8 UNDELETED (OR TO {5}\r\n", "J\xc3\xb6rg FROM {5}\r\n",
         "J\xc3\xb6rg)\r\n"});
    row("non-ASCII with a quote", Field::Subject, QString::fromUtf8("\xc3\xa9\""),
        {"1 SEARCH CHARSET UTF-8 UNDELETED (SUBJECT {3}\r\n", "\xc3\xa9\")\r\n"});

    // Line breaks: a literal, without CHARSET when the text is ASCII.
    row("CR LF injection", Field::Subject, "x\r\n2 DELETE INBOX",
        {"1 SEARCH UNDELETED (SUBJECT {17}\r\n", "x\r\n2 DELETE INBOX)\r\n"});
    row("LF injection in OR form", Field::ToOrCC, "a\n1 LOGOUT",
        {"1 SEARCH UNDELETED (OR TO {10}\r\n", "a\n1 LOGOUT CC {10}\r\n", "a\n1 LOGOUT)\r\n"});
    row("lone CR", Field::From, "a\rb", {"1 SEARCH UNDELETED (FROM {3}\r\n", "a\rb)\r\n"});
}

void TestSearchKey::textClauses()
{
    QFETCH(int, field);
    QFETCH(QString, text);
    QFETCH(QList<QByteArray>, pieces);

    const imap::Command key = buildSearchKey(withText(Field(field), text));
    QCOMPARE(key.pieces, pieces);
}

void TestSearchKey::allCriteriaInFixedOrder()
{
    SearchCriteria c;
    // Filled in an order unlike the clause order; the key's order is fixed.
    c.hasAttachment = true;
    c.toOrFrom = QStringLiteral("f");
    c.toOrCc = QStringLiteral("e");
    c.bodyOrSubject = QStringLiteral("d");
    c.from = QStringLiteral("c");
    c.subject = QStringLiteral("b");
    c.body = QStringLiteral("a");
    c.before = QStringLiteral("1/31/2006");
    c.after = QStringLiteral("1/5/2006");

    const QByteArray expected = "1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006)"
                                " (BODY \"a\") (SUBJECT \"b\") (FROM \"c\")"
                                " (OR SUBJECT \"d\" BODY \"d\") (OR TO \"e\" CC \"e\")"
                                " (OR TO \"f\" FROM \"f\")"
                                " (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n";
    QCOMPARE(buildSearchKey(c).wireBytes(), expected);

    // One non-ASCII field switches the whole command to UTF-8; ASCII fields stay quoted.
    c.from = QString::fromUtf8("\xc3\xa7");
    const imap::Command key = buildSearchKey(c);
    QCOMPARE(key.pieces,
             (QList<QByteArray>{
                 "1 SEARCH CHARSET UTF-8 UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006)"
                 " (BODY \"a\") (SUBJECT \"b\") (FROM {2}\r\n",
                 "\xc3\xa7) (OR SUBJECT \"d\" BODY \"d\") (OR TO \"e\" CC \"e\")"
                 " (OR TO \"f\" FROM \"f\")"
                 " (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")\r\n"}));
}

void TestSearchKey::hostileText_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("CR LF command") << "x\r\n2 DELETE INBOX";
    QTest::newRow("LF command") << "x\n2 LOGOUT";
    QTest::newRow("quote then CR LF") << "\")\r\n2 DELETE INBOX\r\n";
    QTest::newRow("fake literal then CR LF") << "{5}\r\nhello";
    QTest::newRow("backslash before CR LF") << "a\\\r\n2 NOOP";
    QTest::newRow("only CR LF") << "\r\n";
    QTest::newRow("NUL") << QString(QChar(0)) + "2 NOOP";
    QTest::newRow("non-ASCII and CR LF") << QString::fromUtf8("\xc3\xa4\r\n2 DELETE INBOX");
    QTest::newRow("quote and backslash") << "\\\"\\\"\"";
    QTest::newRow("Unicode line separator") << QString::fromUtf8("a\xe2\x80\xa8"
                                                                 "2 NOOP");
}

void TestSearchKey::hostileText()
{
    QFETCH(QString, text);

    // Every text field, and all of them at once.
    QList<SearchCriteria> cases;
    for (Field f : {Field::Body, Field::Subject, Field::BodyOrSub, Field::From, Field::ToOrCC,
                    Field::ToOrFrom})
        cases.append(withText(f, text));
    SearchCriteria all = withText(Field::Body, text);
    all.subject = all.bodyOrSubject = all.from = all.toOrCc = all.toOrFrom = text;
    cases.append(all);

    const QByteArray utf8 = text.toUtf8();
    for (const SearchCriteria &c : cases) {
        const imap::Command key = buildSearchKey(c);
        QString failure;
        const QList<QByteArray> literals = checkOneCommand(key, &failure);
        QVERIFY2(failure.isEmpty(),
                 qPrintable(failure + ": " + key.wireBytes().toPercentEncoding()));
        QVERIFY(key.wireBytes().startsWith("1 SEARCH "));
        QVERIFY(key.wireBytes().endsWith(")\r\n"));
        // Text that cannot be quoted travels whole, as its UTF-8 bytes, in the literals.
        const bool mustBeLiteral = imap::needsLiteral(utf8);
        QCOMPARE(!literals.isEmpty(), mustBeLiteral);
        for (const QByteArray &literal : literals)
            QCOMPARE(literal, utf8);
    }
}

QTEST_GUILESS_MAIN(TestSearchKey)
#include "tst_searchkey.moc"
