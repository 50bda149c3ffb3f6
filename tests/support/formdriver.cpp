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

void useShortTimeouts(Form1 &form)
{
    imap::ImapChannel::Timeouts t;
    t.connectMs = 3000;
    t.idleMs = 500;
    t.searchIdleMs = 1000;
    form.channel().setTimeouts(t);
}

void usePrivateConfig(const QString &dir)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir));
    qputenv("HOME", QFile::encodeName(dir));
}

} // namespace testsupport
