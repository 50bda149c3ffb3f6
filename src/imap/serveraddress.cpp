#include "imap/serveraddress.h"

namespace imap {

namespace {
bool parsePort(QStringView text, quint16 &port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (QChar c : text)
        if (!c.isDigit() || c.unicode() > '9')
            return false;
    const int value = text.toInt();
    if (value < 1 || value > 65535)
        return false;
    port = quint16(value);
    return true;
}
} // namespace

ServerAddress parseServerAddress(const QString &text)
{
    ServerAddress addr;
    QStringView rest = QStringView(text).trimmed();
    if (rest.startsWith(u"imaps://", Qt::CaseInsensitive)) {
        addr.security = ServerAddress::Security::ImplicitTls;
        addr.port = 993;
        rest = rest.sliced(8);
    } else if (rest.startsWith(u"imap://", Qt::CaseInsensitive)) {
        addr.security = ServerAddress::Security::StartTls;
        rest = rest.sliced(7);
    } else if (rest.startsWith(u"imap+plain://", Qt::CaseInsensitive)) {
        addr.security = ServerAddress::Security::Plain;
        rest = rest.sliced(13);
    }
    if (addr.security != ServerAddress::Security::Opportunistic && rest.endsWith(u'/'))
        rest.chop(1);

    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) {
            addr.error = QStringLiteral("missing ] in the server address");
            return addr;
        }
        addr.host = rest.sliced(1, close - 1).toString();
        QStringView after = rest.sliced(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(u':') || !parsePort(after.sliced(1), addr.port)) {
                addr.error = QStringLiteral("bad port in the server address");
                return addr;
            }
        }
    } else {
        const qsizetype colon = rest.indexOf(u':');
        const bool oneColon = colon >= 0 && rest.lastIndexOf(u':') == colon;
        if (oneColon) {
            addr.host = rest.first(colon).toString();
            if (!parsePort(rest.sliced(colon + 1), addr.port)) {
                addr.error = QStringLiteral("bad port in the server address");
                return addr;
            }
        } else {
            addr.host = rest.toString();
        }
    }
    if (addr.host.isEmpty()) {
        addr.error = QStringLiteral("no server name");
        return addr;
    }
    for (QChar c : addr.host) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c == u'/') {
            addr.error = QStringLiteral("bad character in the server name");
            return addr;
        }
    }
    addr.valid = true;
    return addr;
}

QString ServerAddress::hostAndPort() const
{
    const QString name = host.toLower();
    return (name.contains(u':') ? u'[' + name + u']' : name) + u':' + QString::number(port);
}

} // namespace imap
