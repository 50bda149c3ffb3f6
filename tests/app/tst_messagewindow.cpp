// The message window: what it shows, what it refuses to load, saving, closing.

#include "app/messagewindow.h"
#include "support/hostiletext.h"
#include "support/testhelpers.h"

#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

namespace {

const QByteArray kMessage =
    "Date: Tue, 3 Jan 2006 10:15:00 -0500\r\n"
    "From: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>\r\n"
    "Subject: Quarterly <b>report</b>\r\n"
    "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
    "--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\n\r\nGr\xfc\xdf"
    "e\r\n--b\r\nContent-Type: application/pdf\r\n"
    "Content-Disposition: attachment; filename=\"scan.pdf\"\r\n\r\n"
    "%PDF\r\n--b\r\nContent-Disposition: attachment; "
    "filename=\"../../etc/passwd\"\r\n\r\nroot:x\r\n--b\r\n"
    "Content-Type: application/pdf; name=scan.pdf\r\n\r\nsecond\r\n--b--\r\n";
const QByteArray kPng =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8DwHwAFBQIAX8jx0gA"
    "AAABJRU5ErkJggg==";

template <class T = QLabel> T *child(QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

bool show(MessageWindow &w, const QByteArray &raw)
{
    QSignalSpy shown(&w, &MessageWindow::messageShown);
    w.showMessage(raw);
    return shown.wait();
}

} // namespace

class TestMessageWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    testsupport::FifoTrap m_trap;

private slots:
    void shows()
    {
        MessageWindow w;
        w.showProgress(QStringLiteral("Logging in…"));
        QCOMPARE(child(&w, "progressLabel")->text(), QStringLiteral("Logging in…"));
        QVERIFY(!child<QPushButton>(&w, "saveMessageButton")->isEnabled());
        QVERIFY(show(w, kMessage));
        QCOMPARE(child(&w, "fromLabel")->text(), QStringLiteral("Jörg <joerg@example.de>"));
        QCOMPARE(child(&w, "dateLabel")->text(), QStringLiteral("3 Jan 2006 15:15:00"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Quarterly <b>report</b>"));
        QCOMPARE(child<QTextBrowser>(&w, "textView")->toPlainText(), QStringLiteral("Grüße"));
        auto *list = child<QTreeWidget>(&w, "attachmentList");
        QVERIFY(list->isVisibleTo(&w));
        QCOMPARE(list->topLevelItemCount(), 3);
        QVERIFY(child<QPushButton>(&w, "saveAllButton")->isEnabled());
        QVERIFY(!child(&w, "omittedLabel")->isVisibleTo(&w));
        QVERIFY(!child(&w, "textCutLabel")->isVisibleTo(&w));

        // A long subject wraps rather than widening the window past the screen.
        MessageWindow wide;
        QVERIFY(show(wide, "Subject: " + QByteArray("word ").repeated(300) + "\r\n\r\nx"));
        QCOMPARE_LT(wide.minimumSizeHint().width(), 1000);
    }

    // Only images inside the message itself are loaded, no files of this computer (the
    // document reads them itself when the view gives it nothing).
    void htmlLoadsNothing()
    {
        QFile png(m_dir.filePath("pixel.png"));
        QVERIFY(png.open(QIODevice::WriteOnly) && png.write(QByteArray::fromBase64(kPng)) > 0);
        png.close();
        for (const QString &url : {QUrl::fromLocalFile(png.fileName()).toString(),
                                   QString("data:image/png;base64," + kPng)}) {
            MessageWindow w;
            QVERIFY(show(w, "Content-Type: text/html\r\n\r\n<img src=\"" + url.toUtf8() + "\">"));
            auto *view = child<QTextBrowser>(&w, "textView");
            view->setSearchPaths({m_dir.path()});
            QVERIFY(!view->openLinks() && !view->openExternalLinks());
            const QVariant r = view->document()->resource(QTextDocument::ImageResource, QUrl(url));
            QCOMPARE(!QImage::fromData(r.toByteArray()).isNull() || !r.value<QImage>().isNull(),
                     url.startsWith("data:"));
            QVERIFY(!child<QTreeWidget>(&w, "attachmentList")->isVisibleTo(&w));
            QVERIFY(!child<QPushButton>(&w, "saveAllButton")->isEnabled());
        }
    }

    // One attachment under a cleaned name; all of them without overwriting; the message as
    // received, byte for byte, named after its subject.
    void saving()
    {
        MessageWindow w;
        const QByteArray raw = kMessage + QByteArray("\x00\xff", 2);
        QVERIFY(show(w, raw));
        QCOMPARE(testsupport::saveAs(w, "saveAttachment1", "saveAttachmentDialog",
                                     m_dir.filePath("one")),
                 "passwd");
        QTRY_COMPARE(testsupport::readFile(m_dir.filePath("one")), QByteArray("root:x"));
        QCOMPARE(child(&w, "statusLabel")->text(), "Saved " + m_dir.filePath("one") + ".");

        QTemporaryDir folder;
        QFile taken(folder.filePath("scan.pdf")); // a name already taken
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.close();
        testsupport::saveAs(w, "saveAllButton", "saveAllDialog", folder.path());
        QTRY_COMPARE(child(&w, "statusLabel")->text(),
                     "Saved 3 attachments in " + folder.path() + ".");
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files, QDir::Name),
                 QStringList({"passwd", "scan (2).pdf", "scan (3).pdf", "scan.pdf"}));
        QCOMPARE(testsupport::readFile(folder.filePath("scan (3).pdf")), QByteArray("second"));

        QCOMPARE(testsupport::saveAs(w, "saveMessageButton", "saveMessageDialog",
                                     m_dir.filePath("m.eml")),
                 "Quarterly _b_report__b_.eml");
        QTRY_COMPARE(testsupport::readFile(m_dir.filePath("m.eml")), raw);
    }

    // What the sender wrote is shown as it is: the header fields, the tooltip the HTML text gives
    // its link, the progress and error lines, never read as markup, nothing loaded. An
    // attachment is listed under the name Save proposes, without invisible controls.
    void hostileText_data() { testsupport::addHostileTextRows(m_trap.path()); }
    void hostileText()
    {
        QFETCH(QString, text);
        const QString word = "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
        MessageWindow w;
        w.showProgress(text);
        QStringList shown{testsupport::shownText(child(&w, "progressLabel"))};
        w.show();
        QVERIFY(show(
            w, QStringLiteral("From: %1\r\nTo: %1\r\nCc: %1\r\nSubject: %1\r\nContent-Type: "
                              "multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
                              "text/html\r\n\r\n<a href=\"#x\" title=\"%2\">link</a>\r\n--b\r\n"
                              "Content-Disposition: attachment; filename*=UTF-8''%3\r\n\r\n"
                              "data\r\n--b--\r\n")
                   .arg(word, text.toHtmlEscaped(), QUrl::toPercentEncoding(text))
                   .toUtf8()));
        for (const char *label : {"fromLabel", "toLabel", "ccLabel", "subjectLabel"})
            shown << testsupport::shownText(child(&w, label));
        auto *view = child<QTextBrowser>(&w, "textView");
        QTextCursor link(view->document());
        link.setPosition(2);
        shown << testsupport::shownToolTip(view->viewport(), view->cursorRect(link).center());
        w.showError(text);
        shown << testsupport::shownText(child(&w, "errorLabel"));
        QCOMPARE(m_trap.takeOpens(), 0);
        QCOMPARE(shown, QStringList(7, text));

        const QString listed = child<QTreeWidget>(&w, "attachmentList")->topLevelItem(0)->text(0);
        QVERIFY2(!listed.contains(QChar(0x202E)), qPrintable(listed));
        QTemporaryDir folder;
        QCOMPARE(testsupport::saveAs(w, "saveAttachment0", "saveAttachmentDialog",
                                     folder.filePath(listed)),
                 listed);
        QTRY_COMPARE(testsupport::shownText(child(&w, "statusLabel")),
                     "Saved " + folder.filePath(listed) + ".");
    }

    void escapeCloses()
    {
        QPointer<MessageWindow> w = new MessageWindow;
        w->show();
        QVERIFY(show(*w, kMessage));
        for (Qt::Key key : {Qt::Key_X, Qt::Key_Escape}) {
            QVERIFY(w); // a key other than Esc leaves it open
            QTest::keyClick(child<QTextBrowser>(w, "textView"), key);
        }
        QTRY_VERIFY(w.isNull());
    }
};

QTEST_MAIN(TestMessageWindow)
#include "tst_messagewindow.moc"
