// Reading messages: headers, the text shown, the attachments, and hostile structures.

#include "message/mimemessage.h"
#include "search/dates.h"

#include <QElapsedTimer>
#include <QTest>

using message::MessageContent;
using message::parseMessage;

namespace {

// Lines joined with CR LF, as a server sends them.
QByteArray crlf(std::initializer_list<const char *> lines)
{
    QByteArray out;
    for (const char *line : lines)
        out += QByteArray(line) + "\r\n";
    return out;
}

// "name|type|data" per attachment; data "*" when the test does not look at it.
QStringList describe(const MessageContent &c, bool withData)
{
    QStringList out;
    for (const message::Attachment &a : c.attachments)
        out.append(a.name + QLatin1Char('|') + a.mimeType + QLatin1Char('|') +
                   (withData ? QString::fromLatin1(a.data) : QStringLiteral("*")));
    return out;
}

const QByteArray kHead =
    crlf({"From: Alice Example <alice@example.org>", "To: Bob <bob@example.com>, carol@example.net",
          "Subject: Hello", "MIME-Version: 1.0"});

QByteArray mixed(const QByteArray &parts)
{
    return kHead + crlf({"Content-Type: multipart/mixed; boundary=\"b1\"", ""}) + parts +
           "--b1--\r\n";
}

const QByteArray kTextPart =
    crlf({"--b1", "Content-Type: text/plain; charset=us-ascii", "", "See attached."});

} // namespace

class TestMimeMessage : public QObject
{
    Q_OBJECT

private slots:
    void headers_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("cc");
        QTest::addColumn<QString>("subject");

        QTest::newRow("plain") << kHead + "\r\nbody\r\n"
                               << "Alice Example <alice@example.org>"
                               << "Bob <bob@example.com>, carol@example.net"
                               << ""
                               << "Hello";
        QTest::newRow("encoded words")
            << crlf({"From: =?ISO-8859-1?Q?J=F6rg_M=FCller?= <joerg@example.de>",
                     "To: =?UTF-8?B?0JjQstCw0L0=?= <ivan@example.ru>", "Cc: a@example.org,",
                     "  =?utf-8?q?Zo=C3=AB?= <zoe@example.se>",
                     "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?= =?UTF-8?Q?_aus_K=C3=B6ln?=", "", "x"})
            << "Jörg Müller <joerg@example.de>"
            << "Иван <ivan@example.ru>"
            << "a@example.org,  Zoë <zoe@example.se>"
            << "Grüße aus Köln";
        // Each encoded word on its own: GMime would stop after the first padded one.
        QTest::newRow("base64 words with padding")
            << crlf({"From: \"Castle, Frank\" <frank@example.net>",
                     "Subject: =?UTF-8?B?U23DtnJnw6VzYm9yZA==?= =?UTF-8?B?IFN0YXR1cyByZQ==?=", "",
                     "x"})
            << "\"Castle, Frank\" <frank@example.net>"
            << ""
            << ""
            << "Smörgåsbord Status re";
        QTest::newRow("folded subject, raw Latin-1")
            << crlf({"From: x@example.org", "Subject: Preis: K\xe4se", " und Brot", "", "x"})
            << "x@example.org"
            << ""
            << ""
            << "Preis: Käse und Brot";
        QTest::newRow("raw UTF-8 subject")
            << crlf({"From: x@example.org", "Subject: Fwd: \xe6\x97\xa5\xe6\x9c\xac", "", "x"})
            << "x@example.org"
            << ""
            << ""
            << "Fwd: 日本";
        QTest::newRow("missing fields") << crlf({"X-Other: 1", "", "x"}) << ""
                                        << ""
                                        << ""
                                        << "";
        QTest::newRow("no header at all") << QByteArray("just a line\r\n") << ""
                                          << ""
                                          << ""
                                          << "";
        QTest::newRow("empty") << QByteArray() << ""
                               << ""
                               << ""
                               << "";
    }
    void headers()
    {
        QFETCH(QByteArray, raw);
        const MessageContent c = parseMessage(raw);
        QTEST(c.from, "from");
        QTEST(c.to, "to");
        QTEST(c.cc, "cc");
        QTEST(c.subject, "subject");
    }

    // The date is the grid's: the last Date field, unfolded, read by headerDateToLocal.
    void date_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("dateHeader");
        QTest::addColumn<QString>("localIso"); // in UTC+02:00; "" for no date

        QTest::newRow("rfc 5322") << crlf({"Date: Tue, 3 Jan 2006 10:15:00 -0500", "", "x"})
                                  << "Tue, 3 Jan 2006 10:15:00 -0500"
                                  << "2006-01-03T17:15:00";
        QTest::newRow("folded") << crlf({"Date: Tue, 3 Jan 2006", " 10:15:00 +0000", "", "x"})
                                << "Tue, 3 Jan 2006 10:15:00 +0000"
                                << "2006-01-03T12:15:00";
        QTest::newRow("last of two wins")
            << crlf({"Date: 1 Jan 2001 00:00 +0000", "Date: 2 Feb 2002 00:00 +0000", "", "x"})
            << "2 Feb 2002 00:00 +0000"
            << "2002-02-02T02:00:00";
        QTest::newRow("unreadable") << crlf({"Date: sometime", "", "x"}) << "sometime"
                                    << "";
        QTest::newRow("missing") << crlf({"From: a@b", "", "x"}) << ""
                                 << "";
    }
    void date()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, localIso);
        const QTimeZone zone(2 * 3600);
        const MessageContent c = parseMessage(raw, zone);
        QTEST(c.dateHeader, "dateHeader");
        QCOMPARE(c.date, search::headerDateToLocal(c.dateHeader, zone));
        QCOMPARE(c.date.toString(Qt::ISODate).left(19), localIso);
    }

    void body_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isHtml");
        QTest::addColumn<QStringList>("attachments");

        QTest::newRow("7bit, CR LF made LF") << kHead + "\r\nfirst line\r\nsecond line\r\n"
                                             << "first line\nsecond line\n"
                                             << false << QStringList();
        QTest::newRow("quoted-printable Latin-1")
            << kHead +
                   crlf({"Content-Type: text/plain; charset=ISO-8859-1",
                         "Content-Transfer-Encoding: quoted-printable", "",
                         "Gr=FC=DFe aus K=F6ln, ein sehr langer Satz, der =", "umbrochen wurde."})
            << "Grüße aus Köln, ein sehr langer Satz, der umbrochen wurde.\n"
            << false << QStringList();
        QTest::newRow("base64 UTF-8")
            << kHead + crlf({"Content-Type: text/plain; charset=utf-8",
                             "Content-Transfer-Encoding: base64", "", "zrrOsc67zrfOvM6tz4HOsQ=="})
            << "καλημέρα" << false << QStringList();
        QTest::newRow("windows-1252")
            << kHead + crlf({"Content-Type: text/plain; charset=windows-1252", "",
                             "\x80 50 \x93quoted\x94"})
            << "€ 50 “quoted”\n"
            << false << QStringList();
        QTest::newRow("unknown charset, UTF-8 bytes")
            << kHead +
                   crlf({"Content-Type: text/plain; charset=x-no-such-charset", "", "caf\xc3\xa9"})
            << "café\n"
            << false << QStringList();
        QTest::newRow("unknown charset, Latin-1 bytes")
            << kHead + crlf({"Content-Type: text/plain; charset=x-no-such-charset", "", "caf\xe9"})
            << "café\n"
            << false << QStringList();
        QTest::newRow("no charset, UTF-8 bytes")
            << kHead + crlf({"Content-Type: text/plain", "", "\xe2\x82\xac"}) << "€\n"
            << false << QStringList();
        QTest::newRow("html only")
            << kHead + crlf({"Content-Type: text/html; charset=utf-8", "", "<p><b>bold</b></p>"})
            << "<p><b>bold</b></p>\n"
            << true << QStringList();
        QTest::newRow("alternative: plain preferred, html dropped")
            << kHead + crlf({"Content-Type: multipart/alternative; boundary=alt", "", "--alt",
                             "Content-Type: text/html", "", "<p>rich</p>", "--alt",
                             "Content-Type: text/plain", "", "plain", "--alt--"})
            << "plain" << false << QStringList();
        QTest::newRow("related html with an inline image")
            << kHead + crlf({"Content-Type: multipart/related; boundary=rel", "", "--rel",
                             "Content-Type: text/html", "", "<img src=\"cid:logo\">", "--rel",
                             "Content-Type: image/png; name=logo.png", "Content-ID: <logo>",
                             "Content-Transfer-Encoding: base64", "", "UE5H", "--rel--"})
            << "<img src=\"cid:logo\">" << true << QStringList{"logo.png|image/png|PNG"};
        QTest::newRow("base64 attachment")
            << mixed(kTextPart + crlf({"--b1", "Content-Type: application/pdf; name=\"scan.pdf\"",
                                       "Content-Disposition: attachment; filename=\"scan.pdf\"",
                                       "Content-Transfer-Encoding: base64", "", "JVBERi0xLjQK"}))
            << "See attached." << false << QStringList{"scan.pdf|application/pdf|%PDF-1.4\n"};
        QTest::newRow("RFC 2231 name")
            << mixed(
                   kTextPart +
                   crlf({"--b1", "Content-Type: text/csv",
                         "Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20rates.csv",
                         "", "a,b"}))
            << "See attached." << false << QStringList{"€ rates.csv|text/csv|a,b"};
        QTest::newRow("RFC 2231 continuations")
            << mixed(kTextPart +
                     crlf({"--b1", "Content-Type: application/octet-stream",
                           "Content-Disposition: attachment;",
                           " filename*0*=UTF-8''Gr%C3%BC; filename*1=\"sse.bin\"", "", "x"}))
            << "See attached." << false << QStringList{"Grüsse.bin|application/octet-stream|x"};
        QTest::newRow("encoded-word name")
            << mixed(
                   kTextPart +
                   crlf({"--b1",
                         "Content-Type: application/pdf; name=\"=?UTF-8?B?w5xiZXJzaWNodC5wZGY=?=\"",
                         "", "x"}))
            << "See attached." << false << QStringList{"Übersicht.pdf|application/pdf|x"};
        QTest::newRow("hostile name is kept for safeFileName to clean")
            << mixed(kTextPart +
                     crlf({"--b1", "Content-Type: text/plain",
                           "Content-Disposition: attachment; filename=\"../../.bashrc\"", "",
                           "rm -rf ~"}))
            << "See attached." << false << QStringList{"../../.bashrc|text/plain|rm -rf ~"};
        QTest::newRow("second inline text part is listed, not lost")
            << mixed(kTextPart + crlf({"--b1", "Content-Type: text/plain", "", "footer"}))
            << "See attached." << false << QStringList{"|text/plain|footer"};
        QTest::newRow("broken base64 decodes what it can")
            << mixed(kTextPart + crlf({"--b1", "Content-Type: application/octet-stream; name=a",
                                       "Content-Transfer-Encoding: base64", "", "SGVs!!bG8=@@"}))
            << "See attached." << false << QStringList{"a|application/octet-stream|Hello"};
        QTest::newRow("missing boundary shows the body as text")
            << kHead + crlf({"Content-Type: multipart/mixed", "", "--b1",
                             "Content-Type: text/plain", "", "inside"})
            << "--b1\nContent-Type: text/plain\n\ninside\n"
            << false << QStringList();
        QTest::newRow("unterminated multipart")
            << kHead + crlf({"Content-Type: multipart/mixed; boundary=b1", "", "--b1",
                             "Content-Type: text/plain", "", "cut off here"})
            << "cut off here\n"
            << false << QStringList();
    }
    void body()
    {
        QFETCH(QByteArray, raw);
        const MessageContent c = parseMessage(raw);
        QTEST(c.text, "text");
        QTEST(c.isHtml, "isHtml");
        QTEST(describe(c, true), "attachments");
        QCOMPARE(c.omittedParts, 0);
    }

    void attachedMessage()
    {
        const QByteArray inner =
            crlf({"From: inner@example.org", "Subject: Inner/outer news", "", "inner text"});
        const MessageContent c = parseMessage(
            mixed(kTextPart + crlf({"--b1", "Content-Type: message/rfc822", ""}) + inner));
        QCOMPARE(c.text, QStringLiteral("See attached."));
        QCOMPARE(describe(c, false), QStringList{"Inner_outer news.eml|message/rfc822|*"});
        // The attached message as a whole, to be opened as an .eml file.
        const MessageContent again = parseMessage(c.attachments.at(0).data);
        QCOMPARE(again.subject, QStringLiteral("Inner/outer news"));
        QCOMPARE(again.text.trimmed(), QStringLiteral("inner text"));
    }

    // Structures meant to exhaust a reader: all are read in bounded time and memory, with what
    // can be shown.
    void hostile_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("attachments");
        QTest::addColumn<bool>("omitted");

        QByteArray nested = crlf({"Subject: level 100", "", "innermost"});
        for (int level = 99; level >= 1; --level)
            nested = "Subject: level " + QByteArray::number(level) +
                     "\r\nContent-Type: message/rfc822\r\n\r\n" + nested;
        QTest::newRow("100 nested message/rfc822")
            << crlf({"From: a@b"}) + "Content-Type: message/rfc822\r\n\r\n" + nested << "" << 1
            << false;

        QByteArray many = kHead + crlf({"Content-Type: multipart/mixed; boundary=m", "", "--m",
                                        "Content-Type: text/plain", "", "first"});
        for (int i = 0; i < 10000; ++i)
            many += "--m\r\nContent-Type: application/octet-stream\r\n\r\nx\r\n";
        many += "--m--\r\n";
        QTest::newRow("10 000 parts") << many << "first" << message::kMaxParts - 2 << true;

        QByteArray deep = kHead;
        for (int i = 0; i < 5000; ++i)
            deep += "Content-Type: multipart/mixed; boundary=d" + QByteArray::number(i) +
                    "\r\n\r\n--d" + QByteArray::number(i) + "\r\n";
        deep += "Content-Type: text/plain\r\n\r\ntoo deep\r\n";
        QTest::newRow("5 000 nested multiparts") << deep << "" << 0 << true;

        QByteArray wide =
            kHead + "Content-Type: text/plain\r\n\r\n" + QByteArray(8 * 1024 * 1024, 'a') + "\r\n";
        QTest::newRow("8 MB line") << wide << QString(8 * 1024 * 1024, QLatin1Char('a')) + "\n"
                                   << 0 << false;
    }
    void hostile()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, attachments);
        QFETCH(bool, omitted);
        const MessageContent c = parseMessage(raw);
        QTEST(c.text, "text");
        QCOMPARE(c.attachments.size(), attachments);
        QCOMPARE(c.omittedParts > 0, omitted);
    }
};

QTEST_GUILESS_MAIN(TestMimeMessage)
#include "tst_mimemessage.moc"
