#include "platform/connectionlog.h"

#include "platform/privatefile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Opens (or creates) the file for appending, readable by its owner only: a plain file of this
// user's, made private on the open file itself. Returns the descriptor, or -1 with the reason.
int openPrivate(const QString &name, qint64 &size, QString &refusal)
{
    const int fd = ::open(QFile::encodeName(name).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        refusal = systemError(name);
        return -1;
    }
    refusal = makeOpenFilePrivate(fd, name);
    if (!refusal.isEmpty()) {
        ::close(fd);
        return -1;
    }
    size = ::lseek(fd, 0, SEEK_END);
    return fd;
}

} // namespace

ConnectionLog::ConnectionLog(QObject *parent) : QObject(parent) {}

QByteArray ConnectionLog::escaped(QByteArrayView bytes)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7f)
            out += QByteArray("\\x") + hex[c >> 4] + hex[c & 15];
        else
            out += ch;
    }
    return out;
}

QString ConnectionLog::start(const QString &file)
{
    stop();
    m_recording = true;
    m_fileName = file;
    return file.isEmpty() ? QString() : openFile();
}

void ConnectionLog::stop()
{
    m_recording = false;
    m_file.close();
    m_fileName.clear();
}

QString ConnectionLog::openFile()
{
    m_file.close();
    QString refusal;
    const int fd = openPrivate(m_fileName, m_fileBytes, refusal);
    if (fd >= 0 &&
        !m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        refusal = m_file.errorString();
    }
    return refusal;
}

void ConnectionLog::record(int connection, Direction direction, QByteArrayView line)
{
    if (!m_recording)
        return;
    QByteArray text = direction == Direction::Sent ? "C: " : "S: ";
    text += escaped(line.first(qMin(line.size(), kMaxLineBytes)));
    if (line.size() > kMaxLineBytes)
        text += " [" + QByteArray::number(line.size() - kMaxLineBytes) + " more bytes]";
    append(connection, text);
}

void ConnectionLog::note(int connection, const QString &text)
{
    if (m_recording)
        append(connection, "-- " + escaped(text.toUtf8()));
}

void ConnectionLog::append(int connection, QByteArrayView text)
{
    QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLatin1();
    if (connection > 0)
        line += " #" + QByteArray::number(connection);
    line += ' ';
    line += text;
    line += '\n';
    if (m_file.isOpen())
        writeToFile(line);
    m_keptBytes += line.size();
    m_kept.push_back(std::move(line));
    while (m_keptBytes > kMaxKeptBytes && m_kept.size() > 1) {
        m_keptBytes -= m_kept.front().size();
        m_kept.pop_front();
        m_dropped = true;
    }
}

void ConnectionLog::writeToFile(const QByteArray &line)
{
    if (m_fileBytes > 0 && m_fileBytes + line.size() > kMaxFileBytes) {
        m_file.close();
        const QByteArray name = QFile::encodeName(m_fileName);
        // Whatever happens to the old file, the new one starts private and empty.
        std::rename(name.constData(), (name + ".1").constData());
        if (!openFile().isEmpty())
            return;
    }
    if (m_file.write(line) == line.size() && m_file.flush())
        m_fileBytes += line.size();
}

QByteArray ConnectionLog::text() const
{
    QByteArray out;
    if (m_dropped)
        out += "# The oldest lines were dropped to keep the log within its bound.\n";
    out.reserve(out.size() + m_keptBytes);
    for (const QByteArray &line : m_kept)
        out += line;
    return out;
}

QString ConnectionLog::save(const QString &path) const
{
    // Written beside the target under a private temporary name, then put in its place whole.
    QTemporaryFile temporary(QFileInfo(path).absolutePath() + QStringLiteral("/.connection-log"));
    const QByteArray bytes = text();
    if (!temporary.open() || temporary.write(bytes) != bytes.size() || !temporary.flush())
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path),
                                            temporary.errorString());
    if (std::rename(QFile::encodeName(temporary.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0)
        return systemError(path);
    temporary.setAutoRemove(false);
    return {};
}

} // namespace platform
