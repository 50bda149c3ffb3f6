// The message window: what it shows, what it refuses to load, saving, closing.

#include "app/messagewindow.h"
#include "message/safefilename.h"
#include "results/resultsmodel.h"
#include "search/dates.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

namespace {

QByteArray crlf(std::initializer_list<const char *> lines)
{
    QByteArray out;
    for (const char *line : lines)
        out += QByteArray(line) + "\r\n";
    return out;
}

const QByteArray kWithAttachments = crlf({
    "Date: Tue, 3 Jan 2006 10:15:00 -0500",
    "From: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>",
    "To: Bob <bob@example.com>",
    "Cc: carol@example.net",
    "Subject: Quarterly <b>report</b>",
    "Content-Type: multipart/mixed; boundary=b",
    "",
    "--b",
    "Content-Type: text/plain; charset=iso-8859-1",
    "",
    "Gr\xfc\xdf"
    "e",
    "--b",
    "Content-Type: application/pdf",
    "Content-Disposition: attachment; filename=\"scan.pdf\"",
    "Content-Transfer-Encoding: base64",
    "",
    "JVBERi0xLjQK",
    "--b",
    "Content-Type: text/plain",
    "Content-Disposition: attachment; filename=\"../../etc/passwd\"",
    "",
    "root:x:0:0",
    "--b",
    "Content-Type: application/pdf; name=scan.pdf",
    "",
    "second",
    "--b--",
});

QByteArray htmlMessage(const QByteArray &html)
{
    return crlf({"Subject: html", "Content-Type: text/html; charset=utf-8", ""}) + html + "\r\n";
}

// A one-pixel PNG.
const QByteArray kPng = QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUl"
                                               "EQVR42mP8z8DwHwAFBQIAX8jx0gAAAABJRU5ErkJggg==");

template <class T> T *child(QObject *parent, const char *name)
{
    T *c = parent->findChild<T *>(QLatin1String(name));
    if (!c)
        qWarning("no child %s", name);
    return c;
}

QString labelText(QObject *w, const char *name)
{
    QLabel *l = child<QLabel>(w, name);
    return l ? l->text() : QStringLiteral("<missing>");
}

// Shows the message and waits until it is read.
bool show(MessageWindow &w, const QByteArray &raw)
{
    QSignalSpy shown(&w, &MessageWindow::messageShown);
    w.showMessage(raw);
    return shown.wait();
}

// Picks `path` in the window's file dialog called `name`, as a user would.
bool acceptDialog(QObject *window, const char *name, const QString &path)
{
    QFileDialog *dialog = window->findChild<QFileDialog *>(QLatin1String(name));
    if (!dialog)
        return false;
    dialog->selectFile(path);
    static_cast<QDialog *>(dialog)->accept();
    return true;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestMessageWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void shows()
    {
        MessageWindow w;
        QCOMPARE(labelText(&w, "loadingLabel"), QStringLiteral("Loading message…"));
        QVERIFY(show(w, kWithAttachments));
        QCOMPARE(child<QStackedWidget>(&w, "pages")->currentIndex(), 2);
        QCOMPARE(labelText(&w, "fromLabel"), QStringLiteral("Jörg <joerg@example.de>"));
        QCOMPARE(labelText(&w, "toLabel"), QStringLiteral("Bob <bob@example.com>"));
        QCOMPARE(labelText(&w, "ccLabel"), QStringLiteral("carol@example.net"));
        // The date exactly as the grid shows it.
        QCOMPARE(labelText(&w, "dateLabel"),
                 results::ResultsModel::formatDate(
                     search::headerDateToLocal(u"Tue, 3 Jan 2006 10:15:00 -0500")));
        QVERIFY(!labelText(&w, "dateLabel").isEmpty());
        // Header text is never markup.
        QCOMPARE(labelText(&w, "subjectLabel"), QStringLiteral("Quarterly <b>report</b>"));
        QCOMPARE(child<QLabel>(&w, "subjectLabel")->textFormat(), Qt::PlainText);
        QCOMPARE(w.windowTitle(), QStringLiteral("Quarterly <b>report</b>"));
        QCOMPARE(child<QTextBrowser>(&w, "textView")->toPlainText(), QStringLiteral("Grüße"));

        QTreeWidget *list = child<QTreeWidget>(&w, "attachmentList");
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("scan.pdf"));
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("application/pdf"));
        QCOMPARE(list->topLevelItem(0)->text(2), QLocale().formattedDataSize(9));
        QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("../../etc/passwd"));
        QVERIFY(child<QPushButton>(&w, "saveAttachment2"));
        QVERIFY(child<QPushButton>(&w, "saveAllButton")->isEnabled());
        QVERIFY(child<QPushButton>(&w, "saveMessageButton")->isEnabled());
        QVERIFY(!child<QLabel>(&w, "omittedLabel")->isVisibleTo(&w));
    }

    void errorInsteadOfMessage()
    {
        MessageWindow w;
        w.showProgress(QStringLiteral("Logging in…"));
        QCOMPARE(labelText(&w, "progressLabel"), QStringLiteral("Logging in…"));
        w.showError(QStringLiteral("Error: login failed: no"));
        QCOMPARE(child<QStackedWidget>(&w, "pages")->currentIndex(), 1);
        QCOMPARE(labelText(&w, "errorLabel"), QStringLiteral("Error: login failed: no"));
        QVERIFY(!child<QPushButton>(&w, "saveMessageButton")->isEnabled());
        QVERIFY(!child<QPushButton>(&w, "saveAllButton")->isEnabled());
    }

    // Nothing but images inside the message itself is ever loaded: not from the network, not
    // from this computer's files.
    void htmlLoadsNothing_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("loaded");

        const QString file = m_dir.filePath(QStringLiteral("pixel.png"));
        const int image = QTextDocument::ImageResource;
        QTest::newRow("file URL") << QUrl::fromLocalFile(file).toString() << image << false;
        QTest::newRow("absolute path") << file << image << false;
        QTest::newRow("relative path") << QStringLiteral("pixel.png") << image << false;
        QTest::newRow("style sheet file") << QUrl::fromLocalFile(file).toString()
                                          << int(QTextDocument::StyleSheetResource) << false;
        QTest::newRow("remote") << QStringLiteral("http://127.0.0.1:9/pixel.png") << image << false;
        QTest::newRow("data URL") << "data:image/png;base64," + QString::fromLatin1(kPng.toBase64())
                                  << image << true;
    }
    void htmlLoadsNothing()
    {
        QFETCH(QString, url);
        QFETCH(int, type);
        QFETCH(bool, loaded);
        QFile png(m_dir.filePath(QStringLiteral("pixel.png")));
        QVERIFY(png.open(QIODevice::WriteOnly));
        png.write(kPng);
        png.close();

        MessageWindow w;
        QVERIFY(show(w, htmlMessage("<p>x<img src=\"" + url.toUtf8() + "\"></p>")));
        QVERIFY(w.content().isHtml);
        QTextBrowser *view = child<QTextBrowser>(&w, "textView");
        view->setSearchPaths({m_dir.path()});
        QVERIFY(!view->openLinks());
        QVERIFY(!view->openExternalLinks());
        // What the document gets for the URL (asked through the document, which would read
        // local files itself when the view gives it nothing).
        const QVariant r = view->document()->resource(type, QUrl(url));
        const bool gotImage =
            (r.canConvert<QByteArray>() && !QImage::fromData(r.toByteArray()).isNull()) ||
            (r.canConvert<QImage>() && !r.value<QImage>().isNull());
        QCOMPARE(gotImage, loaded);
        QVERIFY(!r.toString().contains(QLatin1String("PNG")));
    }

    void longTextIsCut()
    {
        MessageWindow w;
        QVERIFY(show(w, crlf({"Subject: long", ""}) + QByteArray(3 << 20, 'x')));
        QVERIFY(child<QLabel>(&w, "textCutLabel")->isVisibleTo(&w));
        QCOMPARE(child<QTextBrowser>(&w, "textView")->toPlainText().size(), 1 << 20);
        QCOMPARE(w.content().text.size(), 3 << 20);
    }

    void saveOne_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("proposed");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("pdf") << 0 << "scan.pdf" << QByteArray("%PDF-1.4\n");
        QTest::newRow("hostile name cleaned") << 1 << "passwd" << QByteArray("root:x:0:0");
    }
    void saveOne()
    {
        QFETCH(int, index);
        QFETCH(QString, proposed);
        QFETCH(QByteArray, data);
        MessageWindow w;
        QVERIFY(show(w, kWithAttachments));
        child<QPushButton>(&w, qPrintable(QStringLiteral("saveAttachment%1").arg(index)))->click();
        QFileDialog *dialog = w.findChild<QFileDialog *>(QStringLiteral("saveAttachmentDialog"));
        QVERIFY(dialog);
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), proposed);
        const QString path = m_dir.filePath(QStringLiteral("one-%1").arg(index));
        QVERIFY(acceptDialog(&w, "saveAttachmentDialog", path));
        QTRY_COMPARE(readAll(path), data);
        QVERIFY(labelText(&w, "statusLabel").startsWith(QLatin1String("Saved ")));
    }

    void saveAll()
    {
        QTemporaryDir folder;
        QFile taken(folder.filePath(QStringLiteral("scan.pdf")));
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.write("mine");
        taken.close();

        MessageWindow w;
        QVERIFY(show(w, kWithAttachments));
        child<QPushButton>(&w, "saveAllButton")->click();
        QVERIFY(acceptDialog(&w, "saveAllDialog", folder.path()));
        QTRY_COMPARE(labelText(&w, "statusLabel"),
                     QStringLiteral("Saved 3 attachments in %1.")
                         .arg(QDir::toNativeSeparators(folder.path())));
        QDir dir(folder.path());
        QCOMPARE(dir.entryList(QDir::Files, QDir::Name),
                 QStringList({"passwd", "scan (2).pdf", "scan (3).pdf", "scan.pdf"}));
        QCOMPARE(readAll(dir.filePath("scan.pdf")), QByteArray("mine"));
        QCOMPARE(readAll(dir.filePath("scan (2).pdf")), QByteArray("%PDF-1.4\n"));
        QCOMPARE(readAll(dir.filePath("passwd")), QByteArray("root:x:0:0"));
        QCOMPARE(readAll(dir.filePath("scan (3).pdf")), QByteArray("second"));
    }

    // The message as the server sent it, byte for byte.
    void saveMessage()
    {
        const QByteArray raw = kWithAttachments + QByteArray("\x00\xff tail\n\r", 8);
        MessageWindow w;
        QVERIFY(show(w, raw));
        child<QPushButton>(&w, "saveMessageButton")->click();
        QFileDialog *dialog = w.findChild<QFileDialog *>(QStringLiteral("saveMessageDialog"));
        QVERIFY(dialog);
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(),
                 QStringLiteral("Quarterly _b_report__b_.eml"));
        const QString path = m_dir.filePath(QStringLiteral("message.eml"));
        QVERIFY(acceptDialog(&w, "saveMessageDialog", path));
        QTRY_COMPARE(readAll(path), raw);
    }

    void escapeCloses()
    {
        QPointer<MessageWindow> w = new MessageWindow;
        QPointer<MessageWindow> other = new MessageWindow;
        w->show();
        other->show();
        QVERIFY(show(*w, kWithAttachments));
        QVERIFY(show(*other, htmlMessage("<p>other</p>")));
        QTest::keyClick(child<QTextBrowser>(w, "textView"), Qt::Key_Escape);
        QTRY_VERIFY(w.isNull());
        // The other window is untouched.
        QVERIFY(other);
        QCOMPARE(other->windowTitle(), QStringLiteral("html"));
        delete other;
    }
};

QTEST_MAIN(TestMessageWindow)
#include "tst_messagewindow.moc"
