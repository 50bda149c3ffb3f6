#include "message/safefilename.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringView>

namespace message {

namespace {

constexpr qsizetype kMaxExtensionChars = 16;

bool isDropped(char32_t u)
{
    switch (QChar::category(u)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate: // a lone half of a pair
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

bool isReserved(char32_t u)
{
    return u == '<' || u == '>' || u == ':' || u == '"' || u == '|' || u == '?' || u == '*';
}

// Drops white space and dots at the start, white space and dots at the end.
QString trimmed(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text.at(begin).isSpace() || text.at(begin) == QLatin1Char('.')))
        ++begin;
    while (end > begin && (text.at(end - 1).isSpace() || text.at(end - 1) == QLatin1Char('.')))
        --end;
    return text.sliced(begin, end - begin);
}

// The text cut to at most `maxBytes` bytes of UTF-8, at a character boundary.
QString cutToBytes(const QString &text, qsizetype maxBytes)
{
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size();
        const char32_t u =
            pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const qsizetype width = u < 0x80 ? 1 : u < 0x800 ? 2 : u < 0x10000 ? 3 : 4;
        if (bytes + width > maxBytes)
            break;
        bytes += width;
        i += pair ? 2 : 1;
    }
    return text.first(i);
}

qsizetype utf8Size(const QString &text)
{
    return text.toUtf8().size();
}

} // namespace

QString safeFileName(const QString &name)
{
    const qsizetype slash =
        qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    const QString base = name.sliced(slash + 1);

    QString cleaned;
    cleaned.reserve(base.size());
    for (const char32_t u : QStringView(base).toUcs4()) {
        if (isDropped(u))
            continue;
        if (isReserved(u))
            cleaned += QLatin1Char('_');
        else
            cleaned += QStringView(QChar::fromUcs4(u));
    }
    cleaned = trimmed(cleaned);

    if (utf8Size(cleaned) > kMaxFileNameBytes) {
        // Keep a short extension, so that the file still opens with the right program.
        QString extension;
        const qsizetype dot = cleaned.lastIndexOf(QLatin1Char('.'));
        if (dot > 0 && cleaned.size() - dot <= kMaxExtensionChars + 1 &&
            !cleaned.sliced(dot).contains(QLatin1Char(' ')))
            extension = cleaned.sliced(dot);
        const QString stem = cutToBytes(cleaned.first(cleaned.size() - extension.size()),
                                        kMaxFileNameBytes - utf8Size(extension));
        cleaned = trimmed(stem);
        if (!cleaned.isEmpty())
            cleaned += extension;
    }
    return cleaned.isEmpty() ? QStringLiteral("attachment") : cleaned;
}

QString uniqueFilePath(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    QString path = dir.filePath(fileName);
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
        return path;
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? fileName.first(dot) : fileName;
    const QString extension = dot > 0 ? fileName.sliced(dot) : QString();
    for (int n = 2;; ++n) {
        path = dir.filePath(stem + QStringLiteral(" (%1)").arg(n) + extension);
        if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
            return path;
    }
}

QString saveNewFile(const QString &folder, const QString &fileName, const QByteArray &data,
                    QString *error)
{
    // A name taken between the check and the open is tried again with the next number.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString path = uniqueFilePath(folder, fileName);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
                continue;
            *error = file.errorString();
            return {};
        }
        if (file.write(data) != data.size() || !file.flush()) {
            *error = file.errorString();
            file.close();
            file.remove();
            return {};
        }
        file.close();
        return path;
    }
    *error = QStringLiteral("no free file name");
    return {};
}

} // namespace message
