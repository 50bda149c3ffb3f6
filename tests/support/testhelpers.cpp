#include "support/formdriver.h"

#include "app/form1.h"

#include <QFile>

namespace testsupport {

QString scriptEscape(const QByteArray &bytes)
{
    QString out;
    for (char c : bytes) {
        switch (c) {
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20)
                out += QStringLiteral("\\x%1").arg(int(static_cast<unsigned char>(c)), 2, 16,
                                                   QLatin1Char('0'));
            else
                out += QLatin1Char(c);
        }
    }
    return out;
}

QString fetchAnswer(int seq, const QByteArray &headerBlock)
{
    return QStringLiteral(
               "S: * %1 FETCH (BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {%2}\nS+ %3\nS: )\n")
        .arg(seq)
        .arg(headerBlock.size())
        .arg(scriptEscape(headerBlock));
}

imap::ImapChannel::Timeouts shortTimeouts(int idleMs, int searchIdleMs, int connectMs)
{
    imap::ImapChannel::Timeouts t;
    t.connectMs = connectMs;
    t.idleMs = idleMs;
    t.searchIdleMs = searchIdleMs;
    return t;
}

void useShortTimeouts(Form1 &form)
{
    form.channel().setTimeouts(shortTimeouts());
}

void usePrivateConfig(const QString &dir)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir));
    qputenv("HOME", QFile::encodeName(dir));
}

} // namespace testsupport
