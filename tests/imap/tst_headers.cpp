#include "imap/headers.h"

#include <QTest>

using namespace imap;

// A field list as "name=value" lines, for readable comparisons.
static QStringList describe(const QList<HeaderField> &fields)
{
    QStringList out;
    for (const HeaderField &f : fields)
        out.append(QString::fromLatin1(f.name + '=' + f.value));
    return out;
}

class TestHeaders : public QObject
{
    Q_OBJECT

private slots:
    void parseBlock_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("dovecot header fields")
            << QByteArray(
                   "Date: Mon, 2 Jan 2006 10:00:00 +0100\r\nFrom: a@b\r\nSubject: hi\r\n\r\n")
            << QStringList{"Date=Mon, 2 Jan 2006 10:00:00 +0100", "From=a@b", "Subject=hi"};
        QTest::newRow("no space after colon")
            << QByteArray("Date:Mon, 2 Jan 2006\r\n") << QStringList{"Date=Mon, 2 Jan 2006"};
        QTest::newRow("extra spaces trimmed")
            << QByteArray("Subject:   two  spaces \t\r\n") << QStringList{"Subject=two  spaces"};
        QTest::newRow("empty value")
            << QByteArray("Subject: \r\nFrom:\r\n") << QStringList{"Subject=", "From="};
        QTest::newRow("folded with space keeps the space")
            << QByteArray("Subject: first\r\n second\r\nFrom: x\r\n")
            << QStringList{"Subject=first second", "From=x"};
        QTest::newRow("folded with tab keeps the tab")
            << QByteArray("Subject: first\r\n\tsecond\r\n") << QStringList{"Subject=first\tsecond"};
        QTest::newRow("folded over three lines")
            << QByteArray("Subject: a\r\n b\r\n  c\r\n") << QStringList{"Subject=a b  c"};
        QTest::newRow("value only on the folded line")
            << QByteArray("Subject:\r\n text\r\n") << QStringList{"Subject=text"};
        QTest::newRow("bare LF line ends")
            << QByteArray("From: a\nSubject: b\n c\n") << QStringList{"From=a", "Subject=b c"};
        QTest::newRow("no final line break") << QByteArray("From: a") << QStringList{"From=a"};
        QTest::newRow("stops at empty line")
            << QByteArray("From: a\r\n\r\nSubject: body text\r\n") << QStringList{"From=a"};
        QTest::newRow("space before colon")
            << QByteArray("Subject : old style\r\n") << QStringList{"Subject=old style"};
        QTest::newRow("line without colon skipped with its continuation")
            << QByteArray("garbage line\r\n continued\r\nFrom: a\r\n") << QStringList{"From=a"};
        QTest::newRow("continuation before any field")
            << QByteArray(" stray\r\nFrom: a\r\n") << QStringList{"From=a"};
        QTest::newRow("name with a space is no field")
            << QByteArray("From a@b Mon Jan 2\r\nSubject: s\r\n") << QStringList{"Subject=s"};
        QTest::newRow("colon first is no field")
            << QByteArray(": x\r\nFrom: a\r\n") << QStringList{"From=a"};
        QTest::newRow("colon inside value")
            << QByteArray("Subject: Re: Re: x\r\n") << QStringList{"Subject=Re: Re: x"};
        QTest::newRow("empty block") << QByteArray() << QStringList{};
        QTest::newRow("only CR LF") << QByteArray("\r\n") << QStringList{};
    }
    void parseBlock()
    {
        QFETCH(QByteArray, block);
        QFETCH(QStringList, fields);
        QCOMPARE(describe(parseHeaderBlock(block)), fields);
    }

    void lastValue()
    {
        const auto fields = parseHeaderBlock(
            "Date: first\r\nsubject: lower\r\nDATE: second\r\nX-Date: not this\r\n");
        QCOMPARE(lastHeaderValue(fields, "Date"), std::optional<QByteArray>("second"));
        QCOMPARE(lastHeaderValue(fields, "SUBJECT"), std::optional<QByteArray>("lower"));
        QCOMPARE(lastHeaderValue(fields, "From"), std::nullopt);
        QCOMPARE(lastHeaderValue(fields, "Dat"), std::nullopt);
    }

    void decodeText_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain ASCII") << QByteArray("Hello world") << QStringLiteral("Hello world");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("Q with underscores") << QByteArray("=?iso-8859-1?q?J=F6rg_M=FCller?=")
                                            << QStringLiteral("J\u00f6rg M\u00fcller");
        QTest::newRow("Q upper case hex and encoding letter")
            << QByteArray("=?UTF-8?Q?=C3=A4?=") << QStringLiteral("\u00e4");
        QTest::newRow("Q lower case hex")
            << QByteArray("=?utf-8?q?=c3=a4?=") << QStringLiteral("\u00e4");
        QTest::newRow("B in ISO-8859-1")
            << QByteArray("=?ISO-8859-1?B?SvZyZw==?=") << QStringLiteral("J\u00f6rg");
        QTest::newRow("B in UTF-8 (dovecot sample)")
            << QByteArray("=?UTF-8?B?R3LDvMOfZQ==?=") << QStringLiteral("Gr\u00fc\u00dfe");
        QTest::newRow("B without padding")
            << QByteArray("=?UTF-8?B?R3LDvMOfZQ?=") << QStringLiteral("Gr\u00fc\u00dfe");
        QTest::newRow("ISO-8859-2 through ICU")
            << QByteArray("=?ISO-8859-2?Q?=B1=E6?=") << QStringLiteral("\u0105\u0107");
        QTest::newRow("windows-1252 euro")
            << QByteArray("=?windows-1252?Q?=80?=") << QStringLiteral("\u20ac");
        QTest::newRow("charset with language")
            << QByteArray("=?utf-8*de?q?=C3=A4?=") << QStringLiteral("\u00e4");
        QTest::newRow("space between words dropped")
            << QByteArray("=?utf-8?q?a?= =?utf-8?q?b?=") << QStringLiteral("ab");
        QTest::newRow("several words in a row")
            << QByteArray("=?utf-8?q?one_?=  =?utf-8?q?two_?=\t=?iso-8859-1?q?three?=")
            << QStringLiteral("one two three");
        QTest::newRow("word folded across lines (unfolded)")
            << QByteArray("=?utf-8?q?Gr=C3=BC?=\r\n =?utf-8?q?=C3=9Fe?=")
            << QStringLiteral("Gr\u00fc\u00dfe");
        QTest::newRow("character split across words")
            << QByteArray("=?UTF-8?B?w6Q=?= =?UTF-8?Q?=C3?= =?UTF-8?Q?=B6?=")
            << QStringLiteral("\u00e4\u00f6");
        QTest::newRow("adjacent words without space")
            << QByteArray("=?utf-8?q?a?==?utf-8?q?b?=") << QStringLiteral("ab");
        QTest::newRow("space to plain text kept")
            << QByteArray("Re: =?utf-8?q?Gr=C3=BC=C3=9Fe?= aus Wien")
            << QStringLiteral("Re: Gr\u00fc\u00dfe aus Wien");
        QTest::newRow("display name in From") << QByteArray("=?ISO-8859-1?Q?J=F6rg?= <j@x.de>")
                                              << QStringLiteral("J\u00f6rg <j@x.de>");
        QTest::newRow("word inside text")
            << QByteArray("x=?utf-8?q?=C3=A4?=y") << QStringLiteral("x\u00e4y");
        QTest::newRow("unknown charset left as is")
            << QByteArray("=?x-no-such-charset?q?abc?= =?utf-8?q?d?=")
            << QStringLiteral("=?x-no-such-charset?q?abc?= d");
        QTest::newRow("unknown encoding left as is")
            << QByteArray("=?utf-8?x?abc?=") << QStringLiteral("=?utf-8?x?abc?=");
        QTest::newRow("bad base64 left as is")
            << QByteArray("=?utf-8?b?!!!?=") << QStringLiteral("=?utf-8?b?!!!?=");
        QTest::newRow("bad Q escape left as is")
            << QByteArray("=?utf-8?q?a=Zb?=") << QStringLiteral("=?utf-8?q?a=Zb?=");
        QTest::newRow("Q escape cut short left as is")
            << QByteArray("=?utf-8?q?a=C?=") << QStringLiteral("=?utf-8?q?a=C?=");
        QTest::newRow("unterminated word left as is")
            << QByteArray("=?utf-8?q?abc") << QStringLiteral("=?utf-8?q?abc");
        QTest::newRow("space inside word left as is")
            << QByteArray("=?utf-8?q?a b?=") << QStringLiteral("=?utf-8?q?a b?=");
        QTest::newRow("empty charset left as is")
            << QByteArray("=??q?a?=") << QStringLiteral("=??q?a?=");
        QTest::newRow("broken word then good word")
            << QByteArray("=?utf-8?q?a=Z?= =?utf-8?q?b?=") << QStringLiteral("=?utf-8?q?a=Z?= b");
        QTest::newRow("lone markers") << QByteArray("=? ?= =?") << QStringLiteral("=? ?= =?");
        QTest::newRow("empty encoded text")
            << QByteArray("a =?utf-8?q?\?= b") << QStringLiteral("a  b");
        QTest::newRow("raw UTF-8") << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                 "e")
                                   << QStringLiteral("Gr\u00fc\u00dfe");
        QTest::newRow("raw Latin-1") << QByteArray("Gr\xfc\xdf"
                                                   "e")
                                     << QStringLiteral("Gr\u00fc\u00dfe");
        QTest::newRow("raw Latin-1 next to a word")
            << QByteArray("\xe4 =?utf-8?q?=C3=B6?=") << QStringLiteral("\u00e4 \u00f6");
        QTest::newRow("truncated UTF-8 falls back to Latin-1")
            << QByteArray("ab\xc3") << QStringLiteral("ab\u00c3");
    }
    void decodeText()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, text);
        QCOMPARE(decodeHeaderText(raw), text);
    }
};

QTEST_APPLESS_MAIN(TestHeaders)
#include "tst_headers.moc"
