#include "auth/oauthprotocol.h"
#include "imap/command.h"
#include "imap/fetchparser.h"
#include "imap/headers.h"
#include "imap/lexer.h"
#include "imap/listparser.h"
#include "imap/mutf7.h"
#include "imap/sasl.h"
#include "imap/searchparser.h"
#include "imap/serveraddress.h"

#include <QTest>

#include <optional>
#include <type_traits>

using namespace imap;
using namespace Qt::StringLiterals;
using ByteList = QList<QByteArray>;

namespace {

template <typename... T> ByteList lines(const T &...line)
{
    return {QByteArray(line)...};
}

// What a lexer reader makes of the line from `start`: "value@end", or "-@pos" when it fails.
// Strings stand as they are, NIL as NIL and other nstrings in quotes, lists as "(a|b)".
template <typename Read> QByteArray lex(Read read, const QByteArray &line, qsizetype start = 0)
{
    qsizetype pos = start;
    const auto v = read(line, pos);
    if (!v)
        return "-@" + QByteArray::number(pos);
    using T = std::remove_cvref_t<decltype(*v)>;
    QByteArray out;
    if constexpr (std::is_same_v<T, quint32>)
        out = QByteArray::number(*v);
    else if constexpr (std::is_same_v<T, NString>)
        out = v->isNil ? "NIL" : '"' + v->value + '"';
    else if constexpr (std::is_same_v<T, ByteList>)
        out = '(' + v->join('|') + ')';
    else
        out = *v;
    return out + '@' + QByteArray::number(pos);
}

std::optional<QByteArray> skip(const QByteArray &line, qsizetype &pos)
{
    return skipValue(line, pos) ? std::optional(QByteArray()) : std::nullopt;
}

// Folders as "server name|delimiter|display path" ("NIL" for no delimiter), joined by "; ".
QString describe(const FolderTable &folders)
{
    QStringList out;
    for (const FolderRow &row : folders) {
        const QString delimiter =
            row.delimiter == '\0' ? u"NIL"_s : QString(QLatin1Char(row.delimiter));
        out.append(QString::fromUtf8(row.serverName) + u'|' + delimiter + u'|' + row.displayPath);
    }
    return out.join(u"; ");
}

// Messages as "seq|from|subject|date", "-" for a field the header did not have, joined by "; ".
QString describe(const QList<FetchedHeader> &messages)
{
    QStringList out;
    const auto field = [](bool has, const QString &value) { return has ? value : u"-"_s; };
    for (const FetchedHeader &m : messages)
        out.append(QString::number(m.seq) + u'|' + field(m.hasFrom, m.from) + u'|' +
                   field(m.hasSubject, m.subject) + u'|' + field(m.hasDate, m.date));
    return out.join(u"; ");
}

// One FETCH line whose header block is a literal, as the reader hands it over.
QByteArray fetchLine(int seq, const QByteArray &header, const QByteArray &after = {})
{
    return "* " + QByteArray::number(seq) + " FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {" +
           QByteArray::number(header.size()) + "}\r\n" + header + after + ")";
}

} // namespace

class TestParsers : public QObject
{
    Q_OBJECT

private slots:
    void lexer()
    {
        QCOMPARE(lex(readAtom, "INBOX rest"), "INBOX@5");
        QCOMPARE(lex(readAtom, "(\\Noselect)", 1), "\\Noselect@10");
        QCOMPARE(lex(readAtom, "a]%*b\"c"), "a]%*b@5");
        QCOMPARE(lex(readAtom, "ab\x7f"), "ab@2");
        QCOMPARE(lex(readAtom, "Entw\xc3\xbc rfe"), "Entw\xc3\xbc@6");
        QCOMPARE(lex(readAtom, "abc", 3), "-@3");
        for (const char *line : {" a", "(a)", "{3}\r\nabc", ")"})
            QCOMPARE(lex(readAtom, line), "-@0");
        QCOMPARE(lex(readSectionAtom, "BODY[HEADER.FIELDS (DATE)] {5}"),
                 "BODY[HEADER.FIELDS (DATE)]@26");
        QCOMPARE(lex(readSectionAtom, "BODY[]<0> x"), "BODY[]<0>@9");
        QCOMPARE(lex(readSectionAtom, "BODY[HEADER (DATE)"), "-@0");
        QCOMPARE(lex(readQuoted, "\"My Stuff\" x"), "My Stuff@10");
        QCOMPARE(lex(readQuoted, "\"\""), "@2");
        QCOMPARE(lex(readQuoted, "\"a\\\\\\\\b\\\"\""), "a\\\\b\"@10");
        QCOMPARE(lex(readQuoted, "\"a\\b\""), "ab@5");
        for (const char *line :
             {"\"abc", "\"abc\\\"", "\"abc\\", "\"ab\rcd\"", "\"ab\ncd\"", "\"a\\\nb\"", "a"})
            QCOMPARE(lex(readQuoted, line), "-@0");
        QCOMPARE(lex(readLiteral, "{5}\r\nhello)"), "hello@10");
        QCOMPARE(lex(readLiteral, "{5+}\r\nhello"), "hello@11");
        QCOMPARE(lex(readLiteral, "{0}\r\n"), "@5");
        QCOMPARE(lex(readLiteral, "{13}\r\na\"b)\r\n* 9 (\r\n)"), "a\"b)\r\n* 9 (\r\n@19");
        QCOMPARE(lex(readLiteral, "x {1}\r\nz", 2), "z@8");
        for (const char *line : {"{4}\r\nabc", "{99999999999999999999999}\r\nabc", "{3}abcde",
                                 "{3}\r\tabc", "{3}\n\nabc", "{3}\r", "{}\r\n", "{3\r\nabc", "x"})
            QCOMPARE(lex(readLiteral, line), "-@0");
        QCOMPARE(lex(readAString, "INBOX.Sent"), "INBOX.Sent@10");
        QCOMPARE(lex(readAString, "\"a b\""), "a b@5");
        QCOMPARE(lex(readAString, "{3}\r\na b"), "a b@8");
        QCOMPARE(lex(readAString, "\"a b"), "-@0");
        QCOMPARE(lex(readAString, "(a)"), "-@0");
        QCOMPARE(lex(readNString, "nil)"), "NIL@3");
        QCOMPARE(lex(readNString, "\"NIL\""), "\"NIL\"@5");
        QCOMPARE(lex(readNString, "{2}\r\nab"), "\"ab\"@7");
        QCOMPARE(lex(readNString, "NILS"), "-@0");
        QCOMPARE(lex(readNString, ""), "-@0");
        QCOMPARE(lex(readNumber, "4294967295 x"), "4294967295@10");
        QCOMPARE(lex(readNumber, "12ab"), "12@2");
        QCOMPARE(lex(readNumber, "4294967296"), "-@0");
        QCOMPARE(lex(readNumber, "x1"), "-@0");
        QCOMPARE(lex(readParenthesizedList, "() \".\" INBOX"), "()@2");
        QCOMPARE(lex(readParenthesizedList, "(\\Noselect \\HasChildren) x"),
                 "(\\Noselect|\\HasChildren)@24");
        QCOMPARE(lex(readParenthesizedList, "( \"a b\"  {1}\r\nc d )"), "(a b|c|d)@19");
        for (const char *line : {"(\\Noselect \\HasChildren", "(a (b))", "(a\"b\")", "\\Noselect"})
            QCOMPARE(lex(readParenthesizedList, line), "-@0");
        QCOMPARE(lex(skip, "12345 FLAGS"), "@5");
        QCOMPARE(lex(skip, "((\"a\" NIL) ({3}\r\n)()) \"x)\") rest"), "@27");
        QCOMPARE(lex(skip, QByteArray(100000, '(') + QByteArray(100000, ')')), "@200000");
        for (const char *line : {"((a) b", ") x", "(a {10}\r\nabc)"})
            QCOMPARE(lex(skip, line), "-@0");
        // No reader starts before the line.
        for (const QByteArray &out :
             {lex(readAtom, "1", -1), lex(readSectionAtom, "1", -1), lex(readNumber, "1", -1),
              lex(readQuoted, "\"1\"", -1), lex(readLiteral, "{0}\r\n", -1), lex(skip, "1", -1)})
            QCOMPARE(out, "-@-1");
    }

    void listResponse()
    {
        // As Dovecot 2.3 answers with Maildir++ (unsorted, INBOX last, an implicit parent), and
        // other forms of names and delimiters.
        QCOMPARE(
            describe(parseListResponse(lines(
                "* LIST (\\Noselect \\HasChildren) \".\" Archive",
                "* LIST (\\HasNoChildren) \".\" Archive.2005",
                "* LIST (\\HasNoChildren) \".\" Entw&APw-rfe",
                "* LIST (\\HasNoChildren) \".\" \"Quo\\\"te\"",
                "* LIST (\\HasChildren) \".\" INBOX", "1 OK List completed (0.008 + 0.000 secs).",
                "* LIST () \"/\" {10}\r\nTwo\r\nLines", "* LIST () nil \"INBOX.x\"",
                "* LIST () \"\\\\\" INBOX\\Sent", "* list (\\NOSELECT) \".\" a",
                "* LIST (\\nonexistent) \".\" b", "* LIST (\\Marked) \".\" \\Noselect",
                "* LIST () \".\" .hidden", "* LIST () \"/\" \"\"",
                "* List () \"/\" e (\"OLDNAME\" (\"Old\"))"))),
            u"Archive.2005|.|Archive/2005; Entw&APw-rfe|.|Entw\u00fcrfe; Quo\"te|.|Quo\"te; "
            u"INBOX|.|INBOX; Two\r\nLines|/|Two\r\nLines; INBOX.x|NIL|INBOX.x; "
            u"INBOX\\Sent|\\|INBOX/Sent; \\Noselect|.|\\Noselect; e|/|e"_s);
        QCOMPARE(
            describe(parseListResponse(lines(
                "* LSUB () \".\" Sub", "* OK [ALERT] LIST () \".\" Fake", "1 LIST () \".\" x",
                "*LIST () \".\" x", "* LISTING () \".\" x", "* LIST", "* LIST (\\HasNoChildren",
                "* LIST () \".\"", "* LIST () \".\" {10}\r\nshort", "* LIST () \"..\" Two",
                "* LIST () \".\"Sent", "* LIST ()\".\" Sent", "* LIST \\Marked \".\" Sent",
                "* LIST () \".\" \"a\"b", "", "* LIST () \".\" Good"))),
            u"Good|.|Good"_s);
    }

    void displayPaths()
    {
        // Each name is "name|delimiter" with "NIL" for none; the paths come joined by "; ".
        const auto paths = [](const QStringList &names) {
            FolderTable folders;
            for (const QString &entry : names) {
                const QString delimiter = entry.section(u'|', 1);
                folders.append({entry.section(u'|', 0, 0).toUtf8(),
                                {},
                                delimiter == u"NIL" ? '\0' : delimiter.at(0).toLatin1()});
            }
            computeDisplayPaths(folders);
            QStringList shown;
            for (const FolderRow &row : folders)
                shown.append(row.displayPath);
            return shown.join(u"; ");
        };
        QCOMPARE(paths({"INBOX|.", "INBOX.Sent|.", "INBOX.a.b|."}), u"INBOX; Sent; a/b"_s);
        QCOMPARE(paths({"Sent|.", "Spam|.", "Archive/Old|/"}), u"Sent; Spam; Archive/Old"_s);
        QCOMPARE(paths({"INBOX.Work|.", "INBOX.Workshop|."}), u"Work; Workshop"_s);
        QCOMPARE(paths({"INBOX|.", "Important|.", "inbox.x|."}), u"INBOX; Important; inbox/x"_s);
        QCOMPARE(paths({"INBOX|/", "Inbox/x|/", "inbox/y|/"}), u"INBOX; x; y"_s);
        QCOMPARE(paths({"INBOX.L|.", "INBOX.L.qt|.", "INBOX.L.kde|."}), u"INBOX/L; qt; kde"_s);
        QCOMPARE(paths({"INBOX.Entw&APw-rfe.&AMQ-pfel|."}), u"INBOX/Entw\u00fcrfe/\u00c4pfel"_s);
        QCOMPARE(paths({"INBOX|NIL", "INBOX.x|NIL"}), u"INBOX; INBOX.x"_s);
        QCOMPARE(paths({"INBOX|.", "INBOX/Sent|/"}), u"INBOX; Sent"_s);
        QCOMPARE(paths({"/a|/", "/b|/", "/b//c|/"}), u"a; b; b//c"_s);
        QCOMPARE(paths({}), QString());
    }

    void searchResponse()
    {
        const auto search = [](const ByteList &lines) {
            return parseSearchResponse(lines).join(u' ');
        };
        QCOMPARE(search(lines("* SEARCH 9 2 5", "3 OK Search completed.")), u"9 2 5"_s);
        QCOMPARE(search(lines("* SEARCH", "* SEARCH ")), QString());
        QCOMPARE(search(lines("* SEARCH 4 7 4", "* 3 EXISTS", "* search  9  7 ")), u"4 7 9"_s);
        // Only sequence numbers are taken, so no other text can reach a later command.
        QCOMPARE(search(lines("* SEARCH 1 abc 5x 2:4 1,2 -1 +1 (MODSEQ 917162500) 0 007 1\t2 "
                              "4294967296 99999999999 4294967295 8")),
                 u"1 4294967295 8"_s);
        QCOMPARE(search(lines("* SEARCHED 1", "* SEARCH1 2", "*  SEARCH 3", "1 SEARCH 4", "* SEAR",
                              "* ESEARCH (TAG \"1\") ALL 2:5", "* OK SEARCH 6", "1 NO SEARCH 8")),
                 QString());

        // Bounded by the highest EXISTS of the EXAMINE and the SEARCH; without one, not at all.
        // Zero is no message whatever the count.
        const auto bounded = [](const ByteList &examine, const ByteList &answer) {
            const FolderHits hits = parseFolderSearch(examine, answer, 1 << 20);
            return hits.numbers.join(u' ') + u'|' + QString::number(hits.beyondCount);
        };
        const ByteList answer = lines("* SEARCH 4 1 0 3 5 3 2");
        QCOMPARE(bounded(lines("* 3 EXISTS", "1 OK"), answer), u"1 3 2|3"_s);
        QCOMPARE(bounded(lines("* 2 exists", "* 1 EXISTS"), answer + lines("* 4 EXISTS")),
                 u"4 1 3 2|2"_s);
        QCOMPARE(bounded(lines("* 0 EXISTS"), answer), u"|6"_s);
        QCOMPARE(bounded(lines("* 3 EXISTS"), answer + lines("* 4294967295 EXISTS")),
                 u"4 1 3 5 2|1"_s);
        QCOMPARE(bounded(lines("* 2 EXISTS now", "* 2  EXISTS", "*  2 EXISTS", "* +2 EXISTS",
                               "* 99999999999 EXISTS", "* 2 RECENT", "* OK [UIDNEXT 3] x",
                               "* 1 FETCH (BODY[] {10}\r\n* 2 EXISTS)"),
                         answer),
                 u"4 1 3 5 2|1"_s);

        // The extended answer's ALL result: ranges either way round, other results and the
        // correlator passed over, a UID result not taken; a range costs what it lists.
        const auto extended = [](const char *line, qsizetype max = 1 << 20) {
            const FolderHits hits = parseFolderSearch(lines("* 8 EXISTS"), lines(line), max);
            return hits.numbers.join(u' ') + u'|' + QString::number(hits.beyondCount) + u'|' +
                   QString::number(hits.notKept);
        };
        QCOMPARE(extended("* ESEARCH (TAG \"1\") ALL 1:3,5,9:7"), u"1 2 3 5 7 8|1|0"_s);
        QCOMPARE(extended("* esearch (TAG \"a) b\") MIN 2 ALL 2,4 COUNT 2"), u"2 4|0|0"_s);
        QCOMPARE(extended("* ESEARCH (TAG \"1\") UID ALL 1:3"), u"|0|0"_s);
        QCOMPARE(extended("* ESEARCH ALL 0,x,3:,2:0"), u"|0|0"_s);
        QCOMPARE(extended("* ESEARCH ALL 1:4294967295"), u"1 2 3 4 5 6 7 8|4294967287|0"_s);
        QCOMPARE(extended("* ESEARCH ALL 6:2,1", 2), u"2 3|0|4"_s);
    }

    void fetchResponse()
    {
        // Items of every shape around the header; later header blocks win; FLAGS alone do not
        // count; a literal may hold what looks like another response.
        QCOMPARE(
            describe(parseFetchedHeaders(
                {"* 6 FETCH (X-GM-LABELS (\"a b\" {2}\r\n)(\\Inbox) ENVELOPE (NIL \"s)\" "
                 "((NIL NIL \"u\" \"h\"))) BODY[1]<0> {2}\r\n)( BODY[HEADER] {9}\r\nFrom: f\r\n "
                 "FLAGS (\\Seen) UID 9)",
                 fetchLine(3, "Subject: a ) b\r\n* 9 FETCH (BODY[HEADER] {5}\r\n\r\n"),
                 fetchLine(5, "Subject: old\r\n\r\n"), fetchLine(6, "Subject: new\r\n\r\n"),
                 "* 3 FETCH (FLAGS (\\Seen))", "* 7 FETCH (FLAGS (\\Seen))"})),
            u"6|-|new|-; 3|-|a ) b|-; 5|-|old|-"_s);
        QCOMPARE(
            describe(parseFetchedHeaders(lines(
                "* 8 FETCH (BODY[HEADER.FIELDS (DATE)] NIL)",
                "* 9 FETCH (BODY[HEADER] \"Subject: q\")", "* 10 FETCH (BODY[HEADER] {2}\r\n\r\n)",
                "* 2 FETCH (RFC822.HEADER {12}\r\nSubject: b\r\n)",
                "* 3 fetch (body[header.fields (\"DATE\")] {12}\r\nSubject: c\r\n)",
                "* 4 FETCH (BODY.PEEK[HEADER]<0> {12}\r\nSubject: d\r\n)",
                "* 1 FETCH (BODY[1.HEADER] {12}\r\nSubject: a\r\n BODY[TEXT] {1}\r\nb)"))),
            u"8|-|-|-; 9|-|q|-; 10|-|-|-; 2|-|b|-; 3|-|c|-; 4|-|d|-"_s);
        // Fields in any case, the last one wins, folded, raw 8-bit.
        QCOMPARE(describe(parseFetchedHeaders(
                     {fetchLine(1, "SUBJECT:first\r\nfrom:   J\xc3\xb6rg  \r\nDATE: d1\r\n"
                                   "Subject: \r\ndate:Mon,\r\n 2 Jan\r\n\r\n"),
                      fetchLine(70000, "Subject: Gr\xfc\xdf"
                                       "e\r\nX-Other: x\r\n\r\n")})),
                 u"1|J\u00f6rg||Mon, 2 Jan; 70000|-|Gr\u00fc\u00dfe|-"_s);
        // Malformed lines give nothing; a good header survives what follows it.
        QCOMPARE(describe(parseFetchedHeaders(lines(
                     "* 1 FETCH (BODY[HEADER] {99}\r\nSubject: x\r\n",
                     "* 2 FETCH (BODY[HEADER] \"Subject: x", "* 3 FETCH (BODY[HEADER]",
                     "* 4 FETCH (BODY[HEADER (DATE {3}\r\nabc)",
                     "* 5 FETCH (FLAGS (\\Seen BODY[HEADER] {3}\r\nabc)",
                     "* 6 FETCH BODY[HEADER] {3}\r\nabc", "* 0 FETCH (BODY[HEADER] {3}\r\nabc)",
                     "* x FETCH (BODY[HEADER] {3}\r\nabc)", "* 7 FETCHED (BODY[HEADER] {1}\r\na)",
                     "7 FETCH (BODY[HEADER] {1}\r\na)", "*7 FETCH (BODY[HEADER] {1}\r\na)",
                     "* 7FETCH (BODY[HEADER] {1}\r\na)", "* 7 FETCH(BODY[HEADER] {1}\r\na)",
                     "* 9 FETCH (", fetchLine(10, "Subject: kept\r\n\r\n", " FLAGS (\\Seen"),
                     fetchLine(11, "Subject: also\r\n\r\n", " UID")))),
                 u"10|-|kept|-; 11|-|also|-"_s);
        // The items under the headers, gathered over a message's lines: the last UID, every
        // section in order as sent; a UID or a section of another shape is passed over.
        QStringList items;
        for (const FetchedItems &m : readFetchResponse(lines(
                 "* 4 FETCH (UID 12abc BODY[1] (x) BODY[] {3}\r\na)b)", "* 2 FETCH (UID 7)",
                 "* 4 FETCH (uid 9 body[] NIL FLAGS ())", "* 2 FETCH (UID 8 RFC822 \"\\\"\")"))) {
            QByteArray text =
                QByteArray::number(m.seq) + '|' + QByteArray::number(m.uid.value_or(0));
            for (const FetchedSection &section : m.sections)
                text +=
                    '|' + section.name + '=' + (section.value.isNil ? "NIL" : section.value.value);
            items.append(QString::fromLatin1(text));
        }
        QCOMPARE(items.join(u"; "), u"4|9|BODY[]=a)b|body[]=NIL; 2|8|RFC822=\""_s);
    }

    void headerBlock()
    {
        const std::pair<const char *, const char *> cases[] = {
            {"Date:Mon, 2 Jan\r\nFrom: a@b\r\nSubject:   two  spaces \t\r\n\r\nX: body",
             "Date=Mon, 2 Jan|From=a@b|Subject=two  spaces"},
            {"Subject: \r\nFrom:\r\n", "Subject=|From="},
            {"Subject: a\r\n b\r\n\tc\r\nFrom: x", "Subject=a b\tc|From=x"},
            {"Subject:\n text\nFrom: a\n", "Subject=text|From=a"},
            {"Subject : old style\r\nX: Re: x\r\n", "Subject=old style|X=Re: x"},
            {"garbage\r\n continued\r\nFrom a@b 10:00\r\n: x\r\nFrom: a", "From=a"},
            {" stray\r\n!: a\r\nA\x7f: b\r\nB\x01: c\r\n", "!=a"},
            {"\r\nFrom: a", ""},
        };
        for (const auto &[block, fields] : cases) {
            QByteArrayList got;
            for (const HeaderField &f : parseHeaderBlock(block))
                got.append(f.name + '=' + f.value);
            QCOMPARE(got.join('|'), QByteArray(fields));
        }
    }

    void headerText()
    {
        const std::pair<const char *, QString> cases[] = {
            {"=?iso-8859-1?q?J=F6rg_M=FCller?=", u"J\u00f6rg M\u00fcller"_s},
            {"=?UTF-8?Q?=C3=A0=C3=A9=3F?=", u"\u00e0\u00e9?"_s},
            {"=?iso-8859-1?Q?=e4=fa?=", u"\u00e4\u00fa"_s},
            {"=?ISO-8859-2?b?seY=?=", u"\u0105\u0107"_s},
            {"=?utf-8*de?q?=C3=A4?=", u"\u00e4"_s},
            {"=?utf-8?q?one_?=  =?utf-8?q?two_?=\r\n\t=?iso-8859-1?q?three?==?utf-8?q?!?=",
             u"one two three!"_s},
            {"=?UTF-8?B?w6Q=?= =?UTF-8?Q?=C3?= =?UTF-8?Q?=B6?=", u"\u00e4\u00f6"_s},
            {"=?utf-8?q?a?= x =?utf-8?q?b?=", u"a x b"_s},
            {"Re: x=?utf-8?q?=C3=A4?=y aus Wien", u"Re: x\u00e4y aus Wien"_s},
            {"=?x-no-such-charset?q?abc?= =?utf-8?q?d?=", u"=?x-no-such-charset?q?abc?= d"_s},
            {"=?utf-8?q?a=Z?= =?utf-8?q?b?=", u"=?utf-8?q?a=Z?= b"_s},
            {"a =?utf-8?q?\?= b", u"a  b"_s},
            {"\xe4 =?utf-8?q?=C3=B6?=", u"\u00e4 \u00f6"_s},
            {"ab\xc3", u"ab\u00c3"_s},
        };
        for (const auto &[raw, text] : cases)
            QCOMPARE(decodeHeaderText(raw), text);
        // Words that are not well-formed stay as they stand.
        for (const char *kept :
             {"=?utf-8?x?abc?=", "=?utf-8?b?!!!?=", "=?utf-8?q?a=Zb?=", "=?utf-8?q?a=C?=",
              "=?utf-8?q?abc", "=?utf-8?q?a?", "=?utf-8?q?a?b",
              "=?utf-8?q?a b?=", "=??q?a?=", "=?utf-8?qq?a?=", "=?utf-8?", "=? ?= =?"})
            QCOMPARE(decodeHeaderText(kept), QString::fromLatin1(kept));
    }

    void mailboxName()
    {
        // Names that decode to the text and come back from it unchanged.
        const std::pair<const char *, QString> cases[] = {
            {"", {}},
            {"Tom &- Jerry&-", u"Tom & Jerry&"_s},
            {"~peter/mail/&U,BTFw-/&ZeVnLIqe-", u"~peter/mail/\u53f0\u5317/\u65e5\u672c\u8a9e"_s},
            {"&AMQ-pfel Gr&APwA3w-", u"\u00c4pfel Gr\u00fc\u00df"_s},
            {"&09+,AZaz-", u"\ud3df\ubf01\u96b3"_s},
            {"&2D3eAA-", QString::fromUcs4(U"\U0001F600")},
            {"a&AAkAHw-b", u"a\t\u001fb"_s},
        };
        for (const auto &[encoded, text] : cases) {
            QCOMPARE(decodeMailboxName(encoded), text);
            QCOMPARE(encodeMailboxName(text), QByteArray(encoded));
        }
        // Malformed runs are shown as their bytes, raw 8-bit as UTF-8 or else Latin-1.
        for (const char *raw : {"a&APw", "a&", "&AP!w-x", "&APwA-x", "&APx-", "&APwA3wD2A-", "&A-",
                                "&2D0-", "&3gA-", "&3gDYPQ-"})
            QCOMPARE(decodeMailboxName(raw), QString::fromLatin1(raw));
        QCOMPARE(decodeMailboxName("&2D0-&APw-"), u"&2D0-\u00fc"_s);
        QCOMPARE(decodeMailboxName("Entw\xc3\xbcrfe"), u"Entw\u00fcrfe"_s);
        QCOMPARE(decodeMailboxName("&AP\xfc-"), u"&AP\u00fc-"_s);
        // Lone surrogates become U+FFFD; DEL and line breaks are never sent raw.
        QCOMPARE(encodeMailboxName(QChar(0xdc00) + u"x"_s + QChar(0xd800)),
                 QByteArray("&,,0-x&,,0-"));
        QCOMPARE(encodeMailboxName(u"a\n\x7f"), QByteArray("a&AAoAfw-"));
    }

    // How builder values go on the wire: atom, quoted string or synchronizing literal.
    void commandArguments()
    {
        const auto wire = [](bool astring, const QByteArray &value) {
            CommandBuilder b("1 X ");
            return (astring ? b.astring(value) : b.string(value)).raw(" y").finish().pieces;
        };
        QCOMPARE(wire(true, "demo!~"), lines("1 X demo!~ y\r\n"));
        QCOMPARE(wire(true, "john smith"), lines("1 X \"john smith\" y\r\n"));
        QCOMPARE(wire(true, "a\"b\\"), lines("1 X \"a\\\"b\\\\\" y\r\n"));
        QCOMPARE(wire(true, ""), lines("1 X \"\" y\r\n"));
        QCOMPARE(wire(true, "a(b)%*]{"), lines("1 X \"a(b)%*]{\" y\r\n"));
        QCOMPARE(wire(true, "a\x7f"), lines("1 X \"a\x7f\" y\r\n"));
        QCOMPARE(wire(true, "j\xc3\xbcrgen"), lines("1 X {7}\r\n", "j\xc3\xbcrgen y\r\n"));
        QCOMPARE(wire(true, "p\r\n2 DELETE INBOX"),
                 lines("1 X {17}\r\n", "p\r\n2 DELETE INBOX y\r\n"));
        QCOMPARE(wire(false, "INBOX"), lines("1 X \"INBOX\" y\r\n"));
        QCOMPARE(wire(false, "\x80"), lines("1 X {1}\r\n", "\x80 y\r\n"));
        QCOMPARE(wire(false, "\r"), lines("1 X {1}\r\n", "\r y\r\n"));
        QCOMPARE(wire(false, QByteArray("a\0b", 3)),
                 lines("1 X {3}\r\n", QByteArray("a\0b y\r\n", 7)));

        const Command cmd =
            CommandBuilder("1 LOGIN ").astring("\xc3\xa9").raw(" ").string("\n").finish();
        QCOMPARE(cmd.pieces, lines("1 LOGIN {2}\r\n", "\xc3\xa9 {1}\r\n", "\n\r\n"));
        QCOMPARE(cmd.wireBytes(), cmd.pieces.join());
        QCOMPARE(cmd.text(), u"1 LOGIN {2}\r\n\u00e9 {1}\r\n\n"_s);
        QVERIFY(Command().isEmpty());

        // AUTHENTICATE: RFC 7628 section 4.1's OAUTHBEARER example and Google's XOAUTH2 one,
        // with SASL-IR and after the continuation; then the answer to an error challenge.
        const QByteArray rfc7628 =
            "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhc"
            "mVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB";
        const QByteArray bearer = oauthBearerResponse("user@example.com", "server.example.com", 143,
                                                      "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==");
        QCOMPARE(authenticateCommand(SaslMechanism::OAuthBearer, bearer, true).pieces,
                 lines("1 AUTHENTICATE OAUTHBEARER " + rfc7628 + "\r\n", "AQ==\r\n"));
        QCOMPARE(authenticateCommand(SaslMechanism::OAuthBearer, bearer, false).pieces,
                 lines("1 AUTHENTICATE OAUTHBEARER\r\n", rfc7628 + "\r\n", "AQ==\r\n"));
        QCOMPARE(
            authenticateCommand(SaslMechanism::XOAuth2,
                                xoauth2Response("someuser@example.com",
                                                "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
                                true)
                .pieces,
            lines("1 AUTHENTICATE XOAUTH2 dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5"
                  "LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==\r\n",
                  "\r\n"));
        // The user as an RFC 5801 saslname: "," and "=" escaped, nothing else.
        QCOMPARE(oauthBearerResponse("a,b=c@d", "h", 993, "t"),
                 QByteArray("n,a=a=2Cb=3Dc@d,\x01host=h\x01port=993\x01"
                            "auth=Bearer t\x01\x01"));
    }

    // The authorization code grant: PKCE against RFC 7636 appendix B, the browser's URL and the
    // token endpoint's bodies and answers.
    void authorizationGrant()
    {
        const QByteArray octets(
            "\x74\x18\xdf\xb4\x97\x99\xe0\x25\x4f\xfa\x60\x7d\xd8\xad\xbb\xba\x16\xd4"
            "\x25\x4d\x69\xd6\xbf\xf0\x5b\x58\x05\x58\x53\x84\x8d\x79",
            32);
        QCOMPARE(auth::base64Url(octets), "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
        QCOMPARE(auth::pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
                 "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");

        auth::Provider p;
        p.authorizationUrl = QUrl(u"https://sso.example.org/authorize?tenant=a%20b"_s);
        p.clientId = u"fq+1"_s;
        p.scopes = u"email offline_access"_s;
        QCOMPARE(auth::authorizationUrl(p, u"http://127.0.0.1:5/"_s, "st", "ch", u"ann@x.org"_s)
                     .toString(QUrl::FullyEncoded),
                 u"https://sso.example.org/authorize?tenant=a%20b&response_type=code&client_id="
                 "fq%2B1&redirect_uri=http%3A%2F%2F127.0.0.1%3A5%2F&scope=email%20offline_access&"
                 "state=st&code_challenge=ch&code_challenge_method=S256&login_hint=ann%40x.org"_s);
        QCOMPARE(auth::refreshBody(p, "r/+&"),
                 "grant_type=refresh_token&refresh_token=r%2F%2B%26&client_id=fq%2B1");
        p.clientSecret = u"s"_s;
        QCOMPARE(auth::codeExchangeBody(p, "c", "v", u"http://127.0.0.1:5/"_s),
                 "grant_type=authorization_code&code=c&redirect_uri=http%3A%2F%2F127.0.0.1%3A5%2F&"
                 "client_id=fq%2B1&code_verifier=v&client_secret=s");

        // status, body -> "access|refresh|expires_in" or "error|description"
        const auto answer = [](int status, const char *body) {
            const auth::TokenAnswer a = auth::parseTokenAnswer(status, body);
            return a.error.isEmpty() ? a.accessToken + '|' + a.refreshToken + '|' +
                                           QByteArray::number(a.expiresIn)
                                     : (a.error + u'|' + a.errorDescription).toUtf8();
        };
        QCOMPARE(answer(200, R"({"access_token":"a","refresh_token":"r","expires_in":3599})"),
                 "a|r|3599");
        QCOMPARE(answer(200, R"({"access_token":"a","expires_in":"60"})"), "a||60");
        QCOMPARE(answer(200, R"({"access_token":"a"})"), "a||-1");
        QCOMPARE(answer(400, R"({"error":"invalid_grant","error_description":"Bad\nrequest"})"),
                 "invalid_grant|Bad request");
        QCOMPARE(answer(200, R"({"token_type":"Bearer"})"), "the answer holds no access token|");
        QCOMPARE(answer(502, "<html>gateway</html>"), "HTTP status 502|");
    }

    void serverAddress()
    {
        // "host port security", or "invalid security"
        const auto parsed = [](const char *text) {
            const ServerAddress a = parseServerAddress(QString::fromUtf8(text));
            if (a.error.isEmpty() != a.valid)
                return u"error text does not match"_s;
            const QString security = QString::number(int(a.security));
            return a.valid ? a.host + u' ' + QString::number(a.port) + u' ' + security
                           : u"invalid "_s + security;
        };
        QCOMPARE(parsed("  mail.example.org "), u"mail.example.org 143 0"_s);
        QCOMPARE(parsed("127.0.0.1:10143"), u"127.0.0.1 10143 0"_s);
        QCOMPARE(parsed("h:1"), u"h 1 0"_s);
        QCOMPARE(parsed("h:65535"), u"h 65535 0"_s);
        QCOMPARE(parsed("[::1]:1143"), u"::1 1143 0"_s);
        QCOMPARE(parsed("::1"), u"::1 143 0"_s);
        QCOMPARE(parsed("IMAPS://h:1993/"), u"h 1993 2"_s);
        QCOMPARE(parsed("imaps://[fe80::1]"), u"fe80::1 993 2"_s);
        QCOMPARE(parsed("imap://h"), u"h 143 1"_s);
        QCOMPARE(parsed("Imap+Plain://h:2143/"), u"h 2143 3"_s);
        QCOMPARE(parsed("imaps://"), u"invalid 2"_s);
        for (const char *text : {"", "h:0", "h:65536", "h:010143", "h:abc", "h:", "[::1:143",
                                 "[::1]x", "[::1]:0", "mail example", "h\x01", "a/b", "h/"})
            QCOMPARE(parsed(text), u"invalid 0"_s);
        // What is remembered of a server is filed under one name however it was typed.
        QCOMPARE(parseServerAddress(u"imap://Mail.Example.ORG"_s).hostAndPort(),
                 u"mail.example.org:143"_s);
        QCOMPARE(parseServerAddress(u"[FD00::2]:1143"_s).hostAndPort(), u"[fd00::2]:1143"_s);
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"
