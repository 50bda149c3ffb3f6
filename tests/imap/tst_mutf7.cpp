#include "imap/mutf7.h"

#include <QTest>

using namespace imap;

class TestMutf7 : public QObject
{
    Q_OBJECT

private slots:
    // Well-formed names: decoding gives the text, and encoding the text gives the name back.
    void wellFormed_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain ASCII") << QByteArray("INBOX.Sent") << QStringLiteral("INBOX.Sent");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("Entwuerfe (Dovecot)")
            << QByteArray("Entw&APw-rfe") << QStringLiteral("Entw\u00fcrfe");
        QTest::newRow("ampersand") << QByteArray("Tom &- Jerry") << QStringLiteral("Tom & Jerry");
        QTest::newRow("only ampersands") << QByteArray("&-&-") << QStringLiteral("&&");
        QTest::newRow("RFC 3501 example")
            << QByteArray("~peter/mail/&U,BTFw-/&ZeVnLIqe-")
            << QStringLiteral("~peter/mail/\u53f0\u5317/\u65e5\u672c\u8a9e");
        QTest::newRow("run at the end")
            << QByteArray("Gr&APwA3w-") << QStringLiteral("Gr\u00fc\u00df");
        QTest::newRow("run at the start")
            << QByteArray("&AMQ-pfel") << QStringLiteral("\u00c4pfel");
        QTest::newRow("slash as comma") << QByteArray("&,,8-") << QStringLiteral("\uffff");
        QTest::newRow("surrogate pair")
            << QByteArray("&2D3eAA-") << QString::fromUcs4(U"\U0001F600");
        QTest::newRow("control character in run")
            << QByteArray("a&AAk-b") << QStringLiteral("a\tb");
        QTest::newRow("two runs") << QByteArray("&APw-.&APY-") << QStringLiteral("\u00fc.\u00f6");
    }
    void wellFormed()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(QString, text);
        QCOMPARE(decodeMailboxName(encoded), text);
        QCOMPARE(encodeMailboxName(text), encoded);
    }

    // Input no conforming server sends: decoding must not crash and must show something
    // recognisable, never lose the rest of the name.
    void malformed_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QString>("text");
        QTest::newRow("unterminated run") << QByteArray("a&APw") << QStringLiteral("a&APw");
        QTest::newRow("lone ampersand at end") << QByteArray("a&") << QStringLiteral("a&");
        QTest::newRow("bad base64 character") << QByteArray("&AP!w-x") << QStringLiteral("&AP!w-x");
        QTest::newRow("odd number of bytes") << QByteArray("&APwA-x") << QStringLiteral("&APwA-x");
        QTest::newRow("non-zero padding bits") << QByteArray("&APx-") << QStringLiteral("&APx-");
        QTest::newRow("needless base64 character")
            << QByteArray("&APwA3wD2A-") << QStringLiteral("&APwA3wD2A-");
        QTest::newRow("too short for one unit") << QByteArray("&A-") << QStringLiteral("&A-");
        QTest::newRow("lone high surrogate") << QByteArray("&2D0-") << QStringLiteral("&2D0-");
        QTest::newRow("lone low surrogate") << QByteArray("&3gA-") << QStringLiteral("&3gA-");
        QTest::newRow("reversed surrogates")
            << QByteArray("&3gDYPQ-") << QStringLiteral("&3gDYPQ-");
        QTest::newRow("bad run then good run")
            << QByteArray("&2D0-&APw-") << QStringLiteral("&2D0-\u00fc");
        QTest::newRow("raw UTF-8 from a non-conforming server")
            << QByteArray("Entw\xc3\xbcrfe") << QStringLiteral("Entw\u00fcrfe");
        QTest::newRow("raw Latin-1")
            << QByteArray("Entw\xfcrfe") << QStringLiteral("Entw\u00fcrfe");
        QTest::newRow("raw 8-bit inside a run")
            << QByteArray("&AP\xfc-") << QStringLiteral("&AP\u00fc-");
    }
    void malformed()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(QString, text);
        QCOMPARE(decodeMailboxName(encoded), text);
    }

    void encodeOnly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("lone surrogate becomes U+FFFD")
            << QString(QChar(0xd800)) + QStringLiteral("x") << QByteArray("&,,0-x");
        QTest::newRow("newline is encoded, not sent raw")
            << QStringLiteral("a\nb") << QByteArray("a&AAo-b");
        QTest::newRow("DEL is encoded") << QStringLiteral("a\x7f") << QByteArray("a&AH8-");
    }
    void encodeOnly()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, encoded);
        QCOMPARE(encodeMailboxName(text), encoded);
    }
};

QTEST_APPLESS_MAIN(TestMutf7)
#include "tst_mutf7.moc"
