#include "imap/command.h"
#include "imap/serveraddress.h"

#include <QTest>

using imap::CommandBuilder;
using imap::ServerAddress;

class TestCommand : public QObject
{
    Q_OBJECT
private slots:
    void login_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArrayList>("pieces");

        QTest::newRow("plain values as atoms") << QStringLiteral("demo") << QStringLiteral("demo")
                                               << QByteArrayList{"1 LOGIN demo demo\r\n"};
        QTest::newRow("space") << QStringLiteral("john smith") << QStringLiteral("pa ss")
                               << QByteArrayList{"1 LOGIN \"john smith\" \"pa ss\"\r\n"};
        QTest::newRow("quote and backslash") << QStringLiteral("a\"b") << QStringLiteral("c\\d")
                                             << QByteArrayList{"1 LOGIN \"a\\\"b\" \"c\\\\d\"\r\n"};
        QTest::newRow("empty password")
            << QStringLiteral("u") << QString() << QByteArrayList{"1 LOGIN u \"\"\r\n"};
        QTest::newRow("atom specials") << QStringLiteral("a(b)") << QStringLiteral("%*]{")
                                       << QByteArrayList{"1 LOGIN \"a(b)\" \"%*]{\"\r\n"};
        QTest::newRow("non-ASCII as literal")
            << QStringLiteral("jürgen") << QStringLiteral("x")
            << QByteArrayList{"1 LOGIN {7}\r\n", "j\xc3\xbcrgen x\r\n"};
        QTest::newRow("CR LF injection as literal")
            << QStringLiteral("u") << QStringLiteral("p\r\n2 DELETE INBOX")
            << QByteArrayList{"1 LOGIN u {17}\r\n", "p\r\n2 DELETE INBOX\r\n"};
        QTest::newRow("both literals")
            << QStringLiteral("\xe9") << QStringLiteral("\n")
            << QByteArrayList{"1 LOGIN {2}\r\n", "\xc3\xa9 {1}\r\n", "\n\r\n"};
    }

    void login()
    {
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(QByteArrayList, pieces);
        const imap::Command cmd = CommandBuilder("1 LOGIN ")
                                      .astring(login.toUtf8())
                                      .raw(" ")
                                      .astring(password.toUtf8())
                                      .finish();
        QCOMPARE(cmd.pieces, pieces);
        // Every piece but the last announces exactly the literal that follows it.
        for (qsizetype i = 0; i + 1 < cmd.pieces.size(); ++i) {
            const QByteArray &p = cmd.pieces[i];
            QVERIFY(p.endsWith("}\r\n"));
            const qsizetype open = p.lastIndexOf('{');
            const qsizetype n = p.mid(open + 1, p.size() - open - 4).toLongLong();
            QVERIFY(cmd.pieces[i + 1].size() >= n);
            // Outside the literal there is no line end until the piece's own end.
            QVERIFY(!cmd.pieces[i + 1].mid(n).chopped(2).contains('\n'));
        }
    }

    void string_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("plain") << QByteArray("INBOX") << QByteArray("1 X \"INBOX\"\r\n");
        QTest::newRow("empty") << QByteArray() << QByteArray("1 X \"\"\r\n");
        QTest::newRow("escapes") << QByteArray("a\\\"b") << QByteArray("1 X \"a\\\\\\\"b\"\r\n");
        QTest::newRow("nul as literal")
            << QByteArray("a\0b", 3) << QByteArray("1 X {3}\r\na\0b\r\n", 14);
    }

    void string()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, wire);
        QCOMPARE(CommandBuilder("1 X ").string(value).finish().wireBytes(), wire);
    }

    void text()
    {
        const imap::Command cmd = CommandBuilder("1 SEARCH CHARSET UTF-8 UNDELETED (BODY ")
                                      .string("Gr\xc3\xbc\xc3\x9f"
                                              "e")
                                      .raw(")")
                                      .finish();
        QCOMPARE(cmd.text(),
                 QStringLiteral("1 SEARCH CHARSET UTF-8 UNDELETED (BODY {7}\r\nGrüße)"));
        QVERIFY(imap::Command().isEmpty());
    }

    void address_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("security");
        const int plain = int(ServerAddress::Security::Plain);
        const int starttls = int(ServerAddress::Security::StartTls);
        const int tls = int(ServerAddress::Security::ImplicitTls);

        QTest::newRow("host") << "mail.example.org" << true << "mail.example.org" << 143 << plain;
        QTest::newRow("host:port") << "127.0.0.1:10143" << true << "127.0.0.1" << 10143 << plain;
        QTest::newRow("v6 with port") << "[::1]:1143" << true << "::1" << 1143 << plain;
        QTest::newRow("v6 in brackets") << "[fe80::1]" << true << "fe80::1" << 143 << plain;
        QTest::newRow("bare v6") << "::1" << true << "::1" << 143 << plain;
        QTest::newRow("surrounding blanks") << "  host  " << true << "host" << 143 << plain;
        QTest::newRow("imaps") << "imaps://mail.example.org" << true << "mail.example.org" << 993
                               << tls;
        QTest::newRow("imaps port") << "IMAPS://h:1993/" << true << "h" << 1993 << tls;
        QTest::newRow("imap starttls") << "imap://h" << true << "h" << 143 << starttls;
        QTest::newRow("empty") << "" << false << "" << 0 << plain;
        QTest::newRow("port zero") << "h:0" << false << "" << 0 << plain;
        QTest::newRow("port too big") << "h:65536" << false << "" << 0 << plain;
        QTest::newRow("port not a number") << "h:abc" << false << "" << 0 << plain;
        QTest::newRow("empty port") << "h:" << false << "" << 0 << plain;
        QTest::newRow("unclosed bracket") << "[::1:143" << false << "" << 0 << plain;
        QTest::newRow("space inside") << "mail example" << false << "" << 0 << plain;
        QTest::newRow("only scheme") << "imaps://" << false << "" << 0 << tls;
    }

    void address()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(int, security);
        const ServerAddress a = imap::parseServerAddress(text);
        QCOMPARE(a.valid, valid);
        QCOMPARE(int(a.security), security);
        if (valid) {
            QCOMPARE(a.host, host);
            QCOMPARE(int(a.port), port);
        } else {
            QVERIFY(!a.error.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_command.moc"
