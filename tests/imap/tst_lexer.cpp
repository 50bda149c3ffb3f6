#include "imap/lexer.h"

#include <QTest>

using namespace imap;

using ByteList = QList<QByteArray>;

// Every reader is checked the same way: from `start`, it either reads `value` and stops at
// `end`, or fails and leaves the position at `start`.
class TestLexer : public QObject
{
    Q_OBJECT

private:
    template <typename Reader, typename Value>
    void check(Reader reader, const QByteArray &line, qsizetype start, bool ok, const Value &value,
               qsizetype end)
    {
        qsizetype pos = start;
        const auto result = reader(line, pos);
        QCOMPARE(result.has_value(), ok);
        if (ok) {
            QCOMPARE(*result, value);
            QCOMPARE(pos, end);
        } else {
            QCOMPARE(pos, start);
        }
    }

    static void addColumns()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qsizetype>("start");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qsizetype>("end");
    }

private slots:
    void atom_data()
    {
        addColumns();
        QTest::newRow("plain") << QByteArray("INBOX rest") << qsizetype(0) << true
                               << QByteArray("INBOX") << qsizetype(5);
        QTest::newRow("flag with backslash") << QByteArray("(\\Noselect)") << qsizetype(1) << true
                                             << QByteArray("\\Noselect") << qsizetype(10);
        QTest::newRow("mutf7 name") << QByteArray("Entw&APw-rfe") << qsizetype(0) << true
                                    << QByteArray("Entw&APw-rfe") << qsizetype(12);
        QTest::newRow("stops at quote")
            << QByteArray("ab\"c\"") << qsizetype(0) << true << QByteArray("ab") << qsizetype(2);
        QTest::newRow("stops at CR")
            << QByteArray("ab\r\n") << qsizetype(0) << true << QByteArray("ab") << qsizetype(2);
        QTest::newRow("8-bit kept") << QByteArray("Entw\xc3\xbc rfe") << qsizetype(0) << true
                                    << QByteArray("Entw\xc3\xbc") << qsizetype(6);
        QTest::newRow("space first")
            << QByteArray(" a") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("paren first")
            << QByteArray("(a)") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("brace first")
            << QByteArray("{3}\r\nabc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("at end") << QByteArray("abc") << qsizetype(3) << false << QByteArray()
                                << qsizetype(3);
        QTest::newRow("past end") << QByteArray("abc") << qsizetype(7) << false << QByteArray()
                                  << qsizetype(7);
        QTest::newRow("negative position")
            << QByteArray("abc") << qsizetype(-1) << false << QByteArray() << qsizetype(-1);
        QTest::newRow("empty line")
            << QByteArray() << qsizetype(0) << false << QByteArray() << qsizetype(0);
    }
    void atom()
    {
        QFETCH(QByteArray, line);
        QFETCH(qsizetype, start);
        QFETCH(bool, ok);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        check(readAtom, line, start, ok, value, end);
    }

    void sectionAtom_data()
    {
        addColumns();
        QTest::newRow("header fields")
            << QByteArray("BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {5}") << qsizetype(0) << true
            << QByteArray("BODY[HEADER.FIELDS (DATE FROM SUBJECT)]") << qsizetype(39);
        QTest::newRow("partial range") << QByteArray("BODY[]<0> x") << qsizetype(0) << true
                                       << QByteArray("BODY[]<0>") << qsizetype(9);
        QTest::newRow("no section") << QByteArray("FLAGS (\\Seen)") << qsizetype(0) << true
                                    << QByteArray("FLAGS") << qsizetype(5);
        QTest::newRow("unclosed section") << QByteArray("BODY[HEADER (DATE)") << qsizetype(0)
                                          << false << QByteArray() << qsizetype(0);
    }
    void sectionAtom()
    {
        QFETCH(QByteArray, line);
        QFETCH(qsizetype, start);
        QFETCH(bool, ok);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        check(readSectionAtom, line, start, ok, value, end);
    }

    void quoted_data()
    {
        addColumns();
        QTest::newRow("simple") << QByteArray("\"My Stuff\" x") << qsizetype(0) << true
                                << QByteArray("My Stuff") << qsizetype(10);
        QTest::newRow("empty") << QByteArray("\"\"") << qsizetype(0) << true << QByteArray()
                               << qsizetype(2);
        QTest::newRow("escaped quote") << QByteArray("\"Quo\\\"te\"") << qsizetype(0) << true
                                       << QByteArray("Quo\"te") << qsizetype(9);
        QTest::newRow("escaped backslash") << QByteArray("\"Back\\\\slash\"") << qsizetype(0)
                                           << true << QByteArray("Back\\slash") << qsizetype(13);
        // Four backslashes on the wire are two escapes: two backslashes, not one and not four.
        QTest::newRow("double escaped backslash") << QByteArray("\"a\\\\\\\\b\"") << qsizetype(0)
                                                  << true << QByteArray("a\\\\b") << qsizetype(8);
        QTest::newRow("backslash then quote at end")
            << QByteArray("\"a\\\\\"") << qsizetype(0) << true << QByteArray("a\\") << qsizetype(5);
        QTest::newRow("other escape keeps byte")
            << QByteArray("\"a\\b\"") << qsizetype(0) << true << QByteArray("ab") << qsizetype(5);
        QTest::newRow("8-bit kept") << QByteArray("\"Gr\xc3\xbc\xc3\x9f\"") << qsizetype(0) << true
                                    << QByteArray("Gr\xc3\xbc\xc3\x9f") << qsizetype(8);
        QTest::newRow("unterminated")
            << QByteArray("\"abc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("escaped closing quote")
            << QByteArray("\"abc\\\"") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("lone backslash at end")
            << QByteArray("\"abc\\") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("CR LF inside")
            << QByteArray("\"ab\r\ncd\"") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("not a quote")
            << QByteArray("abc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
    }
    void quoted()
    {
        QFETCH(QByteArray, line);
        QFETCH(qsizetype, start);
        QFETCH(bool, ok);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        check(readQuoted, line, start, ok, value, end);
    }

    void literal_data()
    {
        addColumns();
        QTest::newRow("simple") << QByteArray("{5}\r\nhello)") << qsizetype(0) << true
                                << QByteArray("hello") << qsizetype(10);
        QTest::newRow("non-synchronizing") << QByteArray("{5+}\r\nhello") << qsizetype(0) << true
                                           << QByteArray("hello") << qsizetype(11);
        QTest::newRow("empty") << QByteArray("{0}\r\n x") << qsizetype(0) << true << QByteArray()
                               << qsizetype(5);
        QTest::newRow("holds CR LF, quotes and parens")
            << QByteArray("{13}\r\na\"b)\r\n* 9 (\r\n)") << qsizetype(0) << true
            << QByteArray("a\"b)\r\n* 9 (\r\n") << qsizetype(19);
        QTest::newRow("from the middle")
            << QByteArray("x {1}\r\nz") << qsizetype(2) << true << QByteArray("z") << qsizetype(8);
        QTest::newRow("exactly to the end") << QByteArray("{3}\r\nabc") << qsizetype(0) << true
                                            << QByteArray("abc") << qsizetype(8);
        QTest::newRow("one byte short")
            << QByteArray("{4}\r\nabc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("huge size") << QByteArray("{99999999999999999999999}\r\nabc") << qsizetype(0)
                                   << false << QByteArray() << qsizetype(0);
        QTest::newRow("missing CR LF")
            << QByteArray("{3}abc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("announcement at line end")
            << QByteArray("{3}") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("no digits")
            << QByteArray("{}\r\n") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("negative size")
            << QByteArray("{-1}\r\nabc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("unclosed brace")
            << QByteArray("{3\r\nabc") << qsizetype(0) << false << QByteArray() << qsizetype(0);
    }
    void literal()
    {
        QFETCH(QByteArray, line);
        QFETCH(qsizetype, start);
        QFETCH(bool, ok);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        check(readLiteral, line, start, ok, value, end);
    }

    void astring_data()
    {
        addColumns();
        QTest::newRow("atom") << QByteArray("INBOX.Sent") << qsizetype(0) << true
                              << QByteArray("INBOX.Sent") << qsizetype(10);
        QTest::newRow("atom with bracket")
            << QByteArray("a]b c") << qsizetype(0) << true << QByteArray("a]b") << qsizetype(3);
        QTest::newRow("quoted") << QByteArray("\"a b\"") << qsizetype(0) << true
                                << QByteArray("a b") << qsizetype(5);
        QTest::newRow("literal") << QByteArray("{3}\r\na b") << qsizetype(0) << true
                                 << QByteArray("a b") << qsizetype(8);
        QTest::newRow("broken quoted is no atom")
            << QByteArray("\"a b") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("broken literal is no atom")
            << QByteArray("{9}\r\na b") << qsizetype(0) << false << QByteArray() << qsizetype(0);
        QTest::newRow("list is no astring")
            << QByteArray("(a)") << qsizetype(0) << false << QByteArray() << qsizetype(0);
    }
    void astring()
    {
        QFETCH(QByteArray, line);
        QFETCH(qsizetype, start);
        QFETCH(bool, ok);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        check(readAString, line, start, ok, value, end);
    }

    void nstring_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("isNil");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qsizetype>("end");
        QTest::newRow("NIL") << QByteArray("NIL)") << true << true << QByteArray() << qsizetype(3);
        QTest::newRow("nil lower case")
            << QByteArray("nil") << true << true << QByteArray() << qsizetype(3);
        QTest::newRow("quoted NIL is a string")
            << QByteArray("\"NIL\"") << true << false << QByteArray("NIL") << qsizetype(5);
        QTest::newRow("empty quoted is not NIL")
            << QByteArray("\"\"") << true << false << QByteArray() << qsizetype(2);
        QTest::newRow("literal") << QByteArray("{2}\r\nab") << true << false << QByteArray("ab")
                                 << qsizetype(7);
        QTest::newRow("NILS is no NIL")
            << QByteArray("NILS") << false << false << QByteArray() << qsizetype(0);
        QTest::newRow("other atom")
            << QByteArray("abc") << false << false << QByteArray() << qsizetype(0);
        QTest::newRow("empty") << QByteArray() << false << false << QByteArray() << qsizetype(0);
    }
    void nstring()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        QFETCH(bool, isNil);
        QFETCH(QByteArray, value);
        QFETCH(qsizetype, end);
        qsizetype pos = 0;
        const auto result = readNString(line, pos);
        QCOMPARE(result.has_value(), ok);
        QCOMPARE(pos, ok ? end : 0);
        if (ok) {
            QCOMPARE(result->isNil, isNil);
            QCOMPARE(result->value, value);
        }
    }

    void number_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint32>("value");
        QTest::addColumn<qsizetype>("end");
        QTest::newRow("small") << QByteArray("3 FETCH") << true << 3u << qsizetype(1);
        QTest::newRow("largest") << QByteArray("4294967295") << true << 4294967295u
                                 << qsizetype(10);
        QTest::newRow("overflow") << QByteArray("4294967296") << false << 0u << qsizetype(0);
        QTest::newRow("very long") << QByteArray(200, '9') << false << 0u << qsizetype(0);
        QTest::newRow("not digits") << QByteArray("x1") << false << 0u << qsizetype(0);
        QTest::newRow("stops at non-digit") << QByteArray("12ab") << true << 12u << qsizetype(2);
    }
    void number()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        QFETCH(quint32, value);
        QFETCH(qsizetype, end);
        check(readNumber, line, 0, ok, value, end);
    }

    void parenthesizedList_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<ByteList>("items");
        QTest::addColumn<qsizetype>("end");
        QTest::newRow("empty") << QByteArray("() \".\" INBOX") << true << ByteList{}
                               << qsizetype(2);
        QTest::newRow("dovecot attributes")
            << QByteArray("(\\Noselect \\HasChildren) \".\" Archive") << true
            << ByteList{"\\Noselect", "\\HasChildren"} << qsizetype(24);
        QTest::newRow("strings and literal") << QByteArray("(\"a b\" {1}\r\nc d)") << true
                                             << ByteList{"a b", "c", "d"} << qsizetype(16);
        QTest::newRow("extra spaces")
            << QByteArray("( a  b )") << true << ByteList{"a", "b"} << qsizetype(8);
        QTest::newRow("unclosed") << QByteArray("(\\Noselect \\HasChildren") << false << ByteList{}
                                  << qsizetype(0);
        QTest::newRow("nested") << QByteArray("(a (b))") << false << ByteList{} << qsizetype(0);
        QTest::newRow("items not separated")
            << QByteArray("(a\"b\")") << false << ByteList{} << qsizetype(0);
        QTest::newRow("no paren") << QByteArray("\\Noselect") << false << ByteList{}
                                  << qsizetype(0);
    }
    void parenthesizedList()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        QFETCH(ByteList, items);
        QFETCH(qsizetype, end);
        check(readParenthesizedList, line, 0, ok, items, end);
    }

    void skip_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qsizetype>("end");
        QTest::newRow("atom") << QByteArray("12345 FLAGS") << true << qsizetype(5);
        QTest::newRow("flags list")
            << QByteArray("(\\Seen \\Answered) UID 4") << true << qsizetype(17);
        QTest::newRow("nested with strings, NIL and literal")
            << QByteArray("((\"a\" NIL) ({3}\r\n)()) \"x)\") rest") << true << qsizetype(27);
        QTest::newRow("empty list") << QByteArray("() x") << true << qsizetype(2);
        QTest::newRow("quoted paren") << QByteArray("\")\" x") << true << qsizetype(3);
        QTest::newRow("unbalanced") << QByteArray("((a) b") << false << qsizetype(0);
        QTest::newRow("closing paren") << QByteArray(") x") << false << qsizetype(0);
        QTest::newRow("truncated literal in list")
            << QByteArray("(a {10}\r\nabc)") << false << qsizetype(0);
        QTest::newRow("deep nesting")
            << QByteArray(200000, '(') + QByteArray(200000, ')') << true << qsizetype(400000);
        QTest::newRow("deep nesting unclosed") << QByteArray(200000, '(') << false << qsizetype(0);
    }
    void skip()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        QFETCH(qsizetype, end);
        qsizetype pos = 0;
        QCOMPARE(skipValue(line, pos), ok);
        QCOMPARE(pos, end);
    }

    void spaces()
    {
        QByteArray line("a   b");
        qsizetype pos = 1;
        skipSpaces(line, pos);
        QCOMPARE(pos, 4);
        skipSpaces(line, pos);
        QCOMPARE(pos, 4);
        pos = 5;
        skipSpaces(line, pos);
        QCOMPARE(pos, 5);
    }
};

QTEST_APPLESS_MAIN(TestLexer)
#include "tst_lexer.moc"
