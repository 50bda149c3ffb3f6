#include "support/hostiletext.h"

#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

FifoTrap::FifoTrap()
{
    const QByteArray fifo = path().toLocal8Bit();
    if (!m_dir.isValid() || mkfifo(fifo.constData(), 0600) != 0)
        qFatal("cannot make a named pipe in %s", qPrintable(m_dir.path()));
    m_watcher = std::thread([this, fifo] {
        while (!m_stopping) {
            const int fd = ::open(fifo.constData(), O_WRONLY | O_CLOEXEC); // waits for a reader
            m_opens += fd >= 0 && !m_stopping;
            ::close(fd); // the reader reads an empty file
        }
    });
}

FifoTrap::~FifoTrap()
{
    m_stopping = true;
    // A reader of our own, open until the watcher is gone, ends the watcher's wait.
    const int fd = ::open(path().toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    m_watcher.join();
    ::close(fd);
}

void addHostileTextRows(const QString &image)
{
    QTest::addColumn<QString>("text");
    QTest::newRow("tags") << QStringLiteral("Hi <b>x</b>");
    QTest::newRow("image") << "<img src=\"" + image + "\">";
    QTest::newRow("image URL") << "<img src=\"file://" + image + "\">";
    QTest::newRow("link") << QStringLiteral("<a href=\"https://example.org/\">Open</a>");
    QTest::newRow("ampersand") << QStringLiteral("Tom & Jerry");
    QTest::newRow("right-to-left override") << QStringLiteral("invoice\u202Efdp.exe");
}

static QString shownAs(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

QString shownText(QLabel *label)
{
    label->grab();
    return shownAs(label->text(), label->textFormat());
}

QString shownToolTip(QWidget *widget, const QPoint &pos)
{
    QToolTip::showText(QPoint(), QStringLiteral("-")); // stays when the widget shows none
    QTest::mouseMove(widget, pos);
    QHelpEvent event(QEvent::ToolTip, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
    return shownAs(QToolTip::text(), Qt::AutoText);
}

} // namespace testsupport
