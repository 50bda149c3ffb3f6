#include "imap/capabilities.h"

namespace imap {

namespace {
bool startsWithWord(QByteArrayView text, QByteArrayView word)
{
    return text.size() >= word.size() &&
           text.first(word.size()).compare(word, Qt::CaseInsensitive) == 0 &&
           (text.size() == word.size() || text.at(word.size()) == ' ');
}

void appendNames(QByteArrayView list, Capabilities &caps)
{
    caps.known = true;
    for (const QByteArray &name : list.toByteArray().split(' ')) {
        if (!name.isEmpty())
            caps.names.append(name.toUpper());
    }
}
} // namespace

bool Capabilities::has(QByteArrayView name) const
{
    for (const QByteArray &n : names) {
        if (QByteArrayView(n).compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

Capabilities parseCapabilities(const QList<QByteArray> &lines)
{
    Capabilities caps;
    for (const QByteArray &line : lines) {
        // Tag (or "*"), then the first word after it.
        const qsizetype sp = line.indexOf(' ');
        if (sp <= 0)
            continue;
        const QByteArrayView rest = QByteArrayView(line).sliced(sp + 1);
        if (line.startsWith("* ") && startsWithWord(rest, "CAPABILITY")) {
            appendNames(rest.sliced(qMin(rest.size(), qsizetype(11))), caps);
            continue;
        }
        QByteArrayView code;
        if (startsWithWord(rest, "OK"))
            code = rest.sliced(qMin(rest.size(), qsizetype(3)));
        else if (line.startsWith("* ") && startsWithWord(rest, "PREAUTH"))
            code = rest.sliced(qMin(rest.size(), qsizetype(8)));
        else
            continue;
        if (!code.startsWith('['))
            continue;
        const qsizetype close = code.indexOf(']');
        if (close < 0)
            continue;
        const QByteArrayView inside = code.sliced(1, close - 1);
        if (startsWithWord(inside, "CAPABILITY"))
            appendNames(inside.sliced(qMin(inside.size(), qsizetype(11))), caps);
    }
    return caps;
}

} // namespace imap
