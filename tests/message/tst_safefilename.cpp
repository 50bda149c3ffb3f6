// Names from messages made fit to save, and saving that never replaces a file.

#include "message/safefilename.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using message::safeFileName;

class TestSafeFileName : public QObject
{
    Q_OBJECT

private slots:
    void hostileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("safe");

        QTest::newRow("ordinary") << "report.pdf"
                                  << "report.pdf";
        QTest::newRow("unicode kept") << "Übersicht € 2006.xlsx"
                                      << "Übersicht € 2006.xlsx";
        QTest::newRow("parent directories") << "../../etc/passwd"
                                            << "passwd";
        QTest::newRow("absolute path") << "/home/user/.bashrc"
                                       << "bashrc";
        QTest::newRow("windows path") << "C:\\Windows\\System32\\evil.dll"
                                      << "evil.dll";
        QTest::newRow("mixed separators") << "a/b\\..\\c.txt"
                                          << "c.txt";
        QTest::newRow("trailing slash") << "folder/"
                                        << "attachment";
        QTest::newRow("dot") << "."
                             << "attachment";
        QTest::newRow("dot dot") << ".."
                                 << "attachment";
        QTest::newRow("dots and spaces") << " . .. "
                                         << "attachment";
        QTest::newRow("hidden file") << ".profile"
                                     << "profile";
        QTest::newRow("empty") << ""
                               << "attachment";
        QTest::newRow("only white space") << " \t "
                                          << "attachment";
        QTest::newRow("control characters") << QString::fromUtf8("a\x01"
                                                                 "b\nc\rd\x7f"
                                                                 "e.txt")
                                            << "abcde.txt";
        QTest::newRow("NUL") << QString(QStringLiteral("x.txt") + QChar(0) + ".exe") << "x.txt.exe";
        QTest::newRow("right-to-left override")
            << QString(QStringLiteral("invoice") + QChar(0x202e) + "fdp.exe") << "invoicefdp.exe";
        QTest::newRow("zero-width space")
            << QString(QStringLiteral("a") + QChar(0x200b) + "b") << "ab";
        QTest::newRow("line separator")
            << QString(QStringLiteral("a") + QChar(0x2028) + "b") << "ab";
        QTest::newRow("reserved characters") << "what?<a>:\"b\"|*.txt"
                                             << "what__a___b___.txt";
        QTest::newRow("trailing dots and spaces") << "name.txt. . "
                                                  << "name.txt";
        QTest::newRow("encoded slash stays text") << "a%2F..%2Fb"
                                                  << "a%2F..%2Fb";
        QTest::newRow("too long keeps its extension")
            << QString(300, QLatin1Char('n')) + ".pdf" << QString(196, QLatin1Char('n')) + ".pdf";
        QTest::newRow("too long, multi-byte cut on a character")
            << QString(150, QChar(0x00fc)) + ".txt" << QString(98, QChar(0x00fc)) + ".txt";
        QTest::newRow("too long, emoji not split")
            << QString(QString::fromUtf8("\xf0\x9f\x98\x80").repeated(60)) + ".png"
            << QString::fromUtf8("\xf0\x9f\x98\x80").repeated(49) + ".png";
        QTest::newRow("too long, no extension")
            << QString(500, QLatin1Char('x')) << QString(200, QLatin1Char('x'));
        QTest::newRow("too long, extension too long to keep")
            << QString(250, QLatin1Char('y')) + "." + QString(40, QLatin1Char('e'))
            << QString(200, QLatin1Char('y'));
    }
    void hostileNames()
    {
        QFETCH(QString, name);
        const QString safe = safeFileName(name);
        QTEST(safe, "safe");
        // Whatever the input, the result is one plain name in the folder it is saved in.
        QVERIFY(!safe.contains(QLatin1Char('/')) && !safe.contains(QLatin1Char('\\')));
        QVERIFY(!safe.startsWith(QLatin1Char('.')));
        QVERIFY(safe.toUtf8().size() <= message::kMaxFileNameBytes);
        QCOMPARE(QDir::cleanPath(QDir(QStringLiteral("/x")).filePath(safe)),
                 QStringLiteral("/x/") + safe);
    }

    // Saving all attachments into one folder: names already there, or taken by an earlier
    // attachment, get a number; no file is replaced.
    void saveNewFiles_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("written");

        QTest::newRow("free") << QStringList() << QStringList{"a.pdf"} << QStringList{"a.pdf"};
        QTest::newRow("taken") << QStringList{"a.pdf"} << QStringList{"a.pdf"}
                               << QStringList{"a (2).pdf"};
        QTest::newRow("taken twice") << QStringList{"a.pdf", "a (2).pdf"} << QStringList{"a.pdf"}
                                     << QStringList{"a (3).pdf"};
        QTest::newRow("same name in one message")
            << QStringList() << QStringList{"scan", "scan", "scan"}
            << QStringList{"scan", "scan (2)", "scan (3)"};
        QTest::newRow("dangling link counts as taken")
            << QStringList{"@link"} << QStringList{"link"} << QStringList{"link (2)"};
    }
    void saveNewFiles()
    {
        QFETCH(QStringList, existing);
        QFETCH(QStringList, names);
        QFETCH(QStringList, written);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QString &e : existing) {
            if (e.startsWith(QLatin1Char('@'))) {
                QVERIFY(
                    QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(e.mid(1))));
                continue;
            }
            QFile f(dir.filePath(e));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old");
        }
        for (qsizetype i = 0; i < names.size(); ++i) {
            QString error;
            const QByteArray data = "data " + QByteArray::number(i);
            const QString path = message::saveNewFile(dir.path(), names.at(i), data, &error);
            QCOMPARE(path, dir.filePath(written.at(i)));
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), data);
        }
        for (const QString &e : existing) {
            if (e.startsWith(QLatin1Char('@')))
                continue;
            QFile f(dir.filePath(e));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("old"));
        }
    }

    void saveNewFileError()
    {
        QString error;
        QVERIFY(message::saveNewFile(QStringLiteral("/nonexistent/folder"), QStringLiteral("a"),
                                     "x", &error)
                    .isEmpty());
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSafeFileName)
#include "tst_safefilename.moc"
