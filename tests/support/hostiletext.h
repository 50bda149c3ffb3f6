#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

class QLabel;
class QPoint;
class QWidget;

namespace testsupport {

// A named pipe that counts who opens it, for texts that name it as an image: a widget that takes
// such a text for HTML reads the image. A reader's open() waits for a writer; the trap's thread
// is that writer, waiting in open() all along. Each reader is let in, counted and then handed an
// empty file, so a faulty widget neither hangs the test nor goes unseen: the count is up before
// the reader's read returns.
class FifoTrap
{
public:
    FifoTrap();
    ~FifoTrap();

    QString path() const { return QString::fromLocal8Bit(m_path); }
    // How often something opened the pipe since the last call.
    int takeOpens() { return m_opens.exchange(0); }

private:
    void watch();

    QTemporaryDir m_dir;
    QByteArray m_path;
    std::atomic<int> m_opens{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_watcher;
};

// Adds the column "text" and one row per text that a sender or a server might write to be taken
// for markup: tags, an image and an image URL naming `image` (an absolute path), a link, an
// ampersand, a right-to-left override.
void addHostileTextRows(const QString &image);

// What a person reads in a tooltip made of `toolTip`: Qt shows it as HTML when it might be rich
// text, as it stands otherwise.
QString shownToolTip(const QString &toolTip);
// What a person reads on `label`, which is painted first as the screen would paint it.
QString shownText(QLabel *label);
// Rests the mouse on `pos` of `widget` and asks for a tooltip there as the toolkit does; gives
// the text of the tooltip then shown ("-" when none is).
QString hoverToolTip(QWidget *widget, const QPoint &pos);

} // namespace testsupport
