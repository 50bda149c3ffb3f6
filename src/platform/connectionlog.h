#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QObject>
#include <QString>

#include <deque>

namespace platform {

// What the program's connections send and receive, for a user to send with a bug report. Off
// until start(); while it records, each line is kept in memory (the newest kMaxKeptBytes, for
// save()) and, when start() named a file, appended to that file too.
//
// A line of the log reads
//   2026-12-07T19:08:01.123 #3 C: 1 LOGIN demo ***
// the local time, the connection's number (counted from 1 over the program's run), the direction
// (C: what the program sent, S: what the server sent) and the line's bytes, where \r, \n, \t,
// \\ and \xHH stand for CR, LF, tab, a backslash and every other byte outside printable ASCII:
// the script format of the test suite's scripted IMAP server, which can play a log back. Notes
// read "<time> #3 -- text" about a connection and "<time> -- text" about the program. Whoever
// records a line has left its secrets out already (the protocol layer writes *** in their place).
//
// The file is readable by its owner only. When a line would take it past kMaxFileBytes, it is
// renamed to "<file>.1" (replacing an older one) and a new file is begun.
class ConnectionLog : public QObject
{
    Q_OBJECT
public:
    enum class Direction { Sent, Received };
    static constexpr qint64 kMaxFileBytes = 10 * 1024 * 1024;
    static constexpr qint64 kMaxKeptBytes = 10 * 1024 * 1024;
    // Bytes of one line that are written; the rest is counted, not written.
    static constexpr qsizetype kMaxLineBytes = 1024 * 1024;

    explicit ConnectionLog(QObject *parent = nullptr);

    // Starts recording (into memory, and appending to `file` when one is named). Returns why the
    // file cannot be written, empty when it can; memory records either way.
    QString start(const QString &file = QString());
    // Stops recording and closes the file; what memory holds is kept.
    void stop();
    bool isRecording() const { return m_recording; }
    QString fileName() const { return m_fileName; }

    // A number for a connection that is about to record its first line.
    int newConnection() { return ++m_connections; }
    // One line (without its CR LF); connection 0 for none. Nothing while not recording.
    void record(int connection, Direction direction, QByteArrayView line);
    void note(int connection, const QString &text);

    // What memory holds, oldest line first.
    QByteArray text() const;
    bool isEmpty() const { return m_kept.empty(); }
    // Writes text() to `path`, readable by its owner only; returns why it could not, or empty.
    QString save(const QString &path) const;

    // The bytes as a line of the log shows them (see above).
    static QByteArray escaped(QByteArrayView bytes);

private:
    void append(int connection, QByteArrayView text);
    QString openFile();
    void writeToFile(const QByteArray &line);

    bool m_recording = false;
    int m_connections = 0;
    std::deque<QByteArray> m_kept;
    qint64 m_keptBytes = 0;
    bool m_dropped = false; // lines were dropped from memory to keep it within the bound
    QString m_fileName;
    QFile m_file;
    qint64 m_fileBytes = 0;
};

} // namespace platform
