#include "support/hostiletext.h"

#include <QApplication>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

FifoTrap::FifoTrap() : m_path(QFile::encodeName(m_dir.filePath(QStringLiteral("image"))))
{
    if (!m_dir.isValid() || mkfifo(m_path.constData(), 0600) != 0)
        qFatal("cannot make a named pipe in %s", qPrintable(m_dir.path()));
    m_watcher = std::thread([this] { watch(); });
}

FifoTrap::~FifoTrap()
{
    m_stopping = true;
    // A reader of our own lets the watcher's open() return; it stays open until the watcher is
    // gone, so the watcher cannot miss it.
    const int fd = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    m_watcher.join();
    if (fd >= 0)
        ::close(fd);
}

void FifoTrap::watch()
{
    while (!m_stopping) {
        const int fd = ::open(m_path.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            qFatal("cannot open the named pipe %s", m_path.constData());
        }
        if (!m_stopping)
            ++m_opens;
        ::close(fd); // the reader reads an empty file
    }
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

QString shownToolTip(const QString &toolTip)
{
    if (!Qt::mightBeRichText(toolTip))
        return toolTip;
    QTextDocument document;
    document.setHtml(toolTip);
    return document.toPlainText();
}

QString shownText(QLabel *label)
{
    label->grab();
    const Qt::TextFormat format = label->textFormat();
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(label->text())))
        return label->text();
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText();
}

QString hoverToolTip(QWidget *widget, const QPoint &pos)
{
    // Whatever tooltip is up now goes; "-" stays when the widget shows none.
    QToolTip::showText(QPoint(), QStringLiteral("-"));
    QTest::mouseMove(widget, pos);
    QHelpEvent event(QEvent::ToolTip, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
    return QToolTip::text();
}

} // namespace testsupport
