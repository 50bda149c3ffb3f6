// Reading messages (headers, the text shown, attachments, hostile structures) and saving what
// they carry under safe, new file names.

#include "message/mimemessage.h"
#include "message/safefilename.h"
#include "support/testhelpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using message::parseMessage;

namespace {

const QByteArray kHead = "From: a@example.org\r\nSubject: Hello\r\nMIME-Version: 1.0\r\n";
const QByteArray kPlain = "Content-Type: text/plain\r\n\r\nplain";
const QByteArray kHtml = "Content-Type: text/html\r\n\r\n<p>rich</p>";

// A message whose body is one multipart of `parts` ("fields\r\n\r\ncontent" each).
QByteArray multipart(const char *subtype, const QByteArrayList &parts)
{
    QByteArray out = kHead + "Content-Type: multipart/" + subtype + "; boundary=b\r\n\r\n";
    for (const QByteArray &part : parts)
        out += "--b\r\n" + part + "\r\n";
    return out + "--b--\r\n";
}

// `levels` multiparts, mixed and alternative by turns, each inside the one before.
QByteArray nested(int levels)
{
    QByteArray out = kHead;
    for (int i = 0; i < levels; ++i)
        out += QString("Content-Type: multipart/%1; boundary=d%2\r\n\r\n--d%2\r\n")
                   .arg(QLatin1String(i % 2 ? "alternative" : "mixed"), QString::number(i))
                   .toLatin1();
    return out + "Content-Type: text/plain\r\n\r\ndeep\r\n";
}

// A text part and `leaves` - 1 attachments in one multipart.
QByteArray manyParts(int leaves)
{
    QByteArrayList parts(leaves, "Content-Type: application/octet-stream\r\n\r\nx");
    parts[0] = kPlain;
    return multipart("mixed", parts);
}

} // namespace

class TestMessage : public QObject
{
    Q_OBJECT

private slots:
    // The fields as the grid reads them: the last of each name, unfolded, encoded words decoded.
    void headers()
    {
        const auto c = parseMessage(
            "Date: 1 Jan 2001 00:00 +0000\r\nTo: t@x.de\r\nFrom: =?ISO-8859-1?Q?J=F6rg?= <j@x>\r\n"
            "Cc: c@x.de,\r\n d@x.de\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n aus K\xf6ln\r\n"
            "Date: Tue, 3 Jan 2006\r\n 10:15:00 -0500\r\n\r\nx",
            QTimeZone(2 * 3600));
        QCOMPARE((QStringList{c.from, c.to, c.cc, c.subject, c.dateHeader,
                              c.date.toString(Qt::ISODate)}),
                 (QStringList{"Jörg <j@x>", "t@x.de", "c@x.de, d@x.de", "Grüße aus Köln",
                              "Tue, 3 Jan 2006 10:15:00 -0500", "2006-01-03T17:15:00+02:00"}));
    }

    // What is shown: ["html: "] text, one "name|type|size|data" per attachment, and how many
    // parts were left out.
    void parse_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QStringList>("shown");

        const auto row = [](const char *tag, const QByteArray &raw, const QStringList &shown) {
            QTest::newRow(tag) << raw << shown;
        };
        row("CR LF made LF, a lone CR kept", kHead + "\r\nfirst line\r\nsecond\rline\r\nend\r",
            {"first line\nsecond\rline\nend\r"});
        row("known charset", kHead + "Content-Type: text/plain; charset=windows-1252\r\n\r\n\x80 5",
            {"€ 5"});
        row("unknown charset, Latin-1 bytes",
            kHead + "Content-Type: text/plain; charset=x-no-such\r\n\r\ncaf\xe9", {"café"});
        row("html, another part beside it",
            multipart("related", {kHtml, "Content-Type: image/png; name=logo.png\r\n"
                                         "Content-Transfer-Encoding: base64\r\n\r\nUE5H"}),
            {"html: <p>rich</p>", "logo.png|image/png|3|PNG"});
        row("alternative: plain preferred", multipart("alternative", {kHtml, kPlain}), {"plain"});
        row("alternative: plain first", multipart("alternative", {kPlain, kHtml}), {"plain"});
        row("alternative without text: the last",
            multipart("alternative", {"Content-Type: application/pdf\r\n\r\npdf",
                                      "Content-Type: image/png\r\n\r\npng"}),
            {"", "|image/png|3|png"});
        row("attachments, and a second text part",
            multipart("mixed", {kPlain,
                                "Content-Type: application/pdf; name=\"scan.pdf\"\r\n"
                                "Content-Disposition: attachment; filename=\"scan.pdf\"\r\n"
                                "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK",
                                "Content-Type: text/plain\r\n\r\nfooter"}),
            {"plain", "scan.pdf|application/pdf|9|%PDF-1.4\n", "|text/plain|6|footer"});
        row("RFC 2231 name in pieces",
            multipart("mixed", {kPlain, "Content-Type: application/octet-stream\r\n"
                                        "Content-Disposition: attachment;\r\n filename*0*="
                                        "UTF-8''Gr%C3%BC; filename*1=\"sse.bin\"\r\n\r\nx"}),
            {"plain", "Grüsse.bin|application/octet-stream|1|x"});
        row("broken base64 decodes what it can",
            multipart("mixed", {kPlain, "Content-Type: application/octet-stream; name=a\r\n"
                                        "Content-Transfer-Encoding: base64\r\n\r\nSGVs!!bG8=@@"}),
            {"plain", "a|application/octet-stream|5|Hello"});
        row("attached message, saved whole and named after its subject",
            multipart("mixed",
                      {kPlain, "Content-Type: message/rfc822\r\n\r\nSubject: a/b\r\n\r\nc"}),
            {"plain", "a_b.eml|message/rfc822|15|Subject: a/b\n\nc"});
        row("100 nested messages, not opened",
            kHead + QByteArray("Content-Type: message/rfc822\r\n\r\n").repeated(100) + "x",
            {"",
             "message.eml|message/rfc822|2970|" +
                 QString::fromLatin1(QByteArray("Content-Type: message/rfc822\n\n").repeated(99))});
        row("missing boundary shows the body as text",
            kHead + "Content-Type: multipart/mixed\r\n\r\n--b\r\n" + kPlain,
            {"--b\nContent-Type: text/plain\n\nplain"});
        // Structures meant to exhaust a reader, up to the limits and past them.
        row("64 nested multiparts", nested(64), {"deep\n"});
        row("65 nested multiparts", nested(65), {"", "omitted 1"});
        row("5 000 nested multiparts", nested(5000), {"", "omitted 1"});
        const QStringList leaves(message::kMaxParts - 2, "|application/octet-stream|1|x");
        row("999 parts", manyParts(message::kMaxParts - 1), QStringList{"plain"} + leaves);
        row("1 000 parts", manyParts(message::kMaxParts),
            QStringList{"plain"} + leaves + QStringList{"omitted 1"});
    }
    void parse()
    {
        QFETCH(QByteArray, raw);
        const auto c = parseMessage(raw);
        QStringList shown{(c.isHtml ? "html: " : "") + c.text};
        for (const message::Attachment &a : c.attachments)
            shown.append(QStringList{a.name, a.mimeType, QString::number(a.size()),
                                     QString::fromLatin1(a.data)}
                             .join(QLatin1Char('|')));
        if (c.omittedParts != 0)
            shown.append("omitted " + QString::number(c.omittedParts));
        QTEST(shown, "shown");
    }

    void safeFileName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("safe");

        const auto nameRow = [](const char *tag, const QString &name, const QString &safe) {
            QTest::newRow(tag) << name << safe;
        };
        const QString ext16 = "." + QString(16, QLatin1Char('e'));
        nameRow("separators, unicode kept", "a/b\\..\\Ü € 2006.txt", "Ü € 2006.txt");
        nameRow("trailing slash", "folder/", "attachment");
        nameRow("hidden file", ".profile", "profile");
        nameRow("dots and spaces", " . .. ", "attachment");
        nameRow("trailing dots and spaces", "name.txt. . ", "name.txt");
        nameRow("control and invisible characters",
                QStringLiteral("in\x01v\n") + QChar(0x202e) + QChar(0x200b) + QChar(0x2028) +
                    QChar(0) + QChar(0x7f) + "oice.pdf",
                "invoice.pdf");
        nameRow("reserved characters", "what?<a>:\"b\"|*.txt", "what__a___b___.txt");
        nameRow("exactly at the cap, kept as it is", QString(195, 'n') + " .pdf",
                QString(195, 'n') + " .pdf");
        nameRow("too long keeps its extension", QString(300, 'n') + ".pdf",
                QString(196, 'n') + ".pdf");
        nameRow("too long, no extension", QString(500, 'x'), QString(200, 'x'));
        nameRow("too long, U+0800 is three bytes", QString(67, QChar(0x800)) + ".txt",
                QString(65, QChar(0x800)) + ".txt");
        nameRow("too long, U+10000 is four bytes, pair not split",
                QString::fromUcs4(U"\U00010000").repeated(51) + ".png",
                QString::fromUcs4(U"\U00010000").repeated(49) + ".png");
        nameRow("too long, 16-character extension kept", QString(250, 'y') + ext16,
                QString(183, 'y') + ext16);
        nameRow("too long, 17-character extension dropped", QString(250, 'y') + ext16 + "e",
                QString(200, 'y'));
    }
    void safeFileName()
    {
        QFETCH(QString, name);
        QTEST(message::safeFileName(name), "safe");
    }

    // Saves into one folder: a name already there (a dangling link counts), or taken by an
    // earlier save, gets a number; no file is replaced.
    void saveNewFile()
    {
        QTemporaryDir dir;
        const auto contents = [&](const QString &name) {
            return testsupport::readFile(dir.filePath(name));
        };
        QFile old(dir.filePath(".profile"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        for (const char *link : {"link", "link (2)"})
            QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath(link)));
        const QList<std::pair<QString, QString>> saves{
            {"a.pdf", "a.pdf"},   {"a.pdf", "a (2).pdf"},       {"scan", "scan"},
            {"scan", "scan (2)"}, {".profile", ".profile (2)"}, {"link", "link (3)"}};
        for (qsizetype i = 0; i < saves.size(); ++i) {
            QString error;
            const QByteArray data = QByteArray::number(i);
            QCOMPARE(message::saveNewFile(dir.path(), saves.at(i).first, data, &error),
                     dir.filePath(saves.at(i).second));
            QCOMPARE(contents(saves.at(i).second), data);
        }
        QCOMPARE(contents(".profile"), QByteArray("old"));
        QString error;
        QVERIFY(message::saveNewFile(dir.filePath("missing"), "a", "x", &error).isEmpty());
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMessage)
#include "tst_message.moc"
