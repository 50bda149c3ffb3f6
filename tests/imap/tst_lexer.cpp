#include "imap/lexer.h"

#include <QTest>

#include <optional>

using namespace imap;

namespace {

// Runs the named reader and renders its result as bytes: strings as they are, NIL as NIL and
// other nstrings in quotes, numbers in decimal, lists as "(a|b)", a skipped value as "".
std::optional<QByteArray> run(const QByteArray &reader, const QByteArray &line, qsizetype &pos)
{
    if (reader == "atom")
        return readAtom(line, pos);
    if (reader == "section")
        return readSectionAtom(line, pos);
    if (reader == "quoted")
        return readQuoted(line, pos);
    if (reader == "literal")
        return readLiteral(line, pos);
    if (reader == "astring")
        return readAString(line, pos);
    if (reader == "nstring") {
        const auto s = readNString(line, pos);
        if (!s)
            return std::nullopt;
        return s->isNil ? QByteArray("NIL") : '"' + s->value + '"';
    }
    if (reader == "number") {
        const auto n = readNumber(line, pos);
        return n ? std::optional(QByteArray::number(*n)) : std::nullopt;
    }
    if (reader == "list") {
        const auto items = readParenthesizedList(line, pos);
        return items ? std::optional('(' + items->join('|') + ')') : std::nullopt;
    }
    if (reader == "skip")
        return skipValue(line, pos) ? std::optional(QByteArray()) : std::nullopt;
    qFatal("unknown reader %s", reader.constData());
}

// A row where the reader succeeds, returns `value` and stops at `end`.
void good(const char *reader, const char *name, const QByteArray &line, const QByteArray &value,
          qsizetype end, qsizetype start = 0)
{
    QTest::addRow("%s: %s", reader, name)
        << QByteArray(reader) << line << start << true << value << end;
}

// A row where the reader fails; the position must stay at `start`.
void bad(const char *reader, const char *name, const QByteArray &line, qsizetype start = 0)
{
    QTest::addRow("%s: %s", reader, name)
        << QByteArray(reader) << line << start << false << QByteArray() << start;
}

} // namespace

class TestLexer : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QByteArray>("reader");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qsizetype>("start");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qsizetype>("end");

        good("atom", "plain", "INBOX rest", "INBOX", 5);
        good("atom", "flag", "(\\Noselect)", "\\Noselect", 10, 1);
        good("atom", "modified UTF-7 name", "Entw&APw-rfe", "Entw&APw-rfe", 12);
        good("atom", "bracket", "a]b c", "a]b", 3);
        good("atom", "stops at quote", "ab\"c\"", "ab", 2);
        good("atom", "stops at CR", "ab\r\n", "ab", 2);
        good("atom", "8-bit kept", "Entw\xc3\xbc rfe", "Entw\xc3\xbc", 6);
        bad("atom", "space first", " a");
        bad("atom", "paren first", "(a)");
        bad("atom", "brace first", "{3}\r\nabc");
        bad("atom", "at end", "abc", 3);
        bad("atom", "past end", "abc", 7);
        bad("atom", "negative position", "abc", -1);
        bad("atom", "empty line", "");

        good("section", "header fields", "BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {5}",
             "BODY[HEADER.FIELDS (DATE FROM SUBJECT)]", 39);
        good("section", "partial range", "BODY[]<0> x", "BODY[]<0>", 9);
        good("section", "no section", "FLAGS (\\Seen)", "FLAGS", 5);
        bad("section", "unclosed", "BODY[HEADER (DATE)");

        good("quoted", "simple", "\"My Stuff\" x", "My Stuff", 10);
        good("quoted", "empty", "\"\"", "", 2);
        good("quoted", "escaped quote", "\"Quo\\\"te\"", "Quo\"te", 9);
        good("quoted", "escaped backslash", "\"Back\\\\slash\"", "Back\\slash", 13);
        // Four backslashes on the wire are two escapes: two backslashes, not one and not four.
        good("quoted", "two escaped backslashes", "\"a\\\\\\\\b\"", "a\\\\b", 8);
        good("quoted", "escaped backslash before the end", "\"a\\\\\"", "a\\", 5);
        good("quoted", "other escape keeps the byte", "\"a\\b\"", "ab", 5);
        good("quoted", "8-bit kept", "\"Gr\xc3\xbc\xc3\x9f\"", "Gr\xc3\xbc\xc3\x9f", 8);
        bad("quoted", "unterminated", "\"abc");
        bad("quoted", "escaped closing quote", "\"abc\\\"");
        bad("quoted", "backslash at the end", "\"abc\\");
        bad("quoted", "CR LF inside", "\"ab\r\ncd\"");
        bad("quoted", "no quote", "abc");

        good("literal", "simple", "{5}\r\nhello)", "hello", 10);
        good("literal", "non-synchronizing", "{5+}\r\nhello", "hello", 11);
        good("literal", "empty", "{0}\r\n x", "", 5);
        good("literal", "holds CR LF, quotes and parens", "{13}\r\na\"b)\r\n* 9 (\r\n)",
             "a\"b)\r\n* 9 (\r\n", 19);
        good("literal", "from the middle", "x {1}\r\nz", "z", 8, 2);
        good("literal", "exactly to the end", "{3}\r\nabc", "abc", 8);
        bad("literal", "one byte short", "{4}\r\nabc");
        bad("literal", "huge size", "{99999999999999999999999}\r\nabc");
        bad("literal", "missing CR LF", "{3}abc");
        bad("literal", "announcement at the end", "{3}");
        bad("literal", "no digits", "{}\r\n");
        bad("literal", "negative size", "{-1}\r\nabc");
        bad("literal", "unclosed brace", "{3\r\nabc");

        good("astring", "atom", "INBOX.Sent", "INBOX.Sent", 10);
        good("astring", "quoted", "\"a b\"", "a b", 5);
        good("astring", "literal", "{3}\r\na b", "a b", 8);
        bad("astring", "broken quoted is no atom", "\"a b");
        bad("astring", "broken literal is no atom", "{9}\r\na b");
        bad("astring", "list", "(a)");

        good("nstring", "NIL", "NIL)", "NIL", 3);
        good("nstring", "nil in lower case", "nil", "NIL", 3);
        good("nstring", "quoted NIL is a string", "\"NIL\"", "\"NIL\"", 5);
        good("nstring", "empty string is not NIL", "\"\"", "\"\"", 2);
        good("nstring", "literal", "{2}\r\nab", "\"ab\"", 7);
        bad("nstring", "NILS", "NILS");
        bad("nstring", "other atom", "abc");
        bad("nstring", "empty", "");

        good("number", "small", "3 FETCH", "3", 1);
        good("number", "largest", "4294967295", "4294967295", 10);
        good("number", "stops at a non-digit", "12ab", "12", 2);
        bad("number", "overflow", "4294967296");
        bad("number", "very long", QByteArray(200, '9'));
        bad("number", "no digits", "x1");

        good("list", "empty", "() \".\" INBOX", "()", 2);
        good("list", "dovecot attributes", "(\\Noselect \\HasChildren) \".\" Archive",
             "(\\Noselect|\\HasChildren)", 24);
        good("list", "strings and literal", "(\"a b\" {1}\r\nc d)", "(a b|c|d)", 16);
        good("list", "extra spaces", "( a  b )", "(a|b)", 8);
        bad("list", "unclosed", "(\\Noselect \\HasChildren");
        bad("list", "nested", "(a (b))");
        bad("list", "items not separated", "(a\"b\")");
        bad("list", "no paren", "\\Noselect");

        good("skip", "atom", "12345 FLAGS", "", 5);
        good("skip", "flags", "(\\Seen \\Answered) UID 4", "", 17);
        good("skip", "nested with strings, NIL and literal",
             "((\"a\" NIL) ({3}\r\n)()) \"x)\") rest", "", 27);
        good("skip", "empty list", "() x", "", 2);
        good("skip", "quoted paren", "\")\" x", "", 3);
        good("skip", "deep nesting", QByteArray(200000, '(') + QByteArray(200000, ')'), "", 400000);
        bad("skip", "unbalanced", "((a) b");
        bad("skip", "closing paren", ") x");
        bad("skip", "truncated literal in a list", "(a {10}\r\nabc)");
        bad("skip", "deep nesting unclosed", QByteArray(200000, '('));
    }
    void read()
    {
        QFETCH(QByteArray, reader);
        QFETCH(QByteArray, line);
        QFETCH(qsizetype, start);
        QFETCH(bool, ok);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        qsizetype pos = start;
        const auto result = run(reader, line, pos);
        QCOMPARE(result.has_value(), ok);
        if (ok)
            QCOMPARE(*result, value);
        QCOMPARE(pos, end);
    }
};

QTEST_APPLESS_MAIN(TestLexer)
#include "tst_lexer.moc"
