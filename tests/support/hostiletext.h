#pragma once

#include <QTemporaryDir>

#include <atomic>
#include <thread>

class QLabel;
class QPoint;
class QWidget;

namespace testsupport {

// A named pipe that counts who opens it, named as an image by hostile texts: a widget that takes
// such a text for HTML reads the image. A reader's open() waits for a writer, the trap's thread,
// which counts it and lets it read an empty file: a faulty widget neither hangs nor goes unseen.
class FifoTrap
{
public:
    FifoTrap();
    ~FifoTrap();
    QString path() const { return m_dir.filePath(QStringLiteral("image")); }
    int takeOpens() { return m_opens.exchange(0); } // since the last call

private:
    QTemporaryDir m_dir;
    std::atomic<int> m_opens{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_watcher;
};

// The column "text" and one row per text a sender or a server might write to be taken for
// markup: tags, an image and an image URL naming `image`, a link, "&", a right-to-left override.
void addHostileTextRows(const QString &image);

// What a person reads on `label`, painted first as the screen would paint it.
QString shownText(QLabel *label);
// What a person reads in the tooltip shown when the mouse rests on `pos` of `widget` ("-" when
// none is): Qt shows a tooltip as HTML when it might be rich text.
QString shownToolTip(QWidget *widget, const QPoint &pos);

} // namespace testsupport
