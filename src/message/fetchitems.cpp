#include "message/fetchitems.h"

#include "imap/lexer.h"

#include <QMap>

namespace message {

namespace {

struct Items
{
    std::optional<quint32> uid;
    std::optional<QByteArray> body;
};

// Reads the UID and BODY[] items of one FETCH line into the entry of its message. Items before
// a malformed one are kept.
void readLine(const QByteArray &line, QMap<quint32, Items> &bySeq)
{
    qsizetype pos = 0;
    if (!imap::consume(line, pos, '*') || !imap::consume(line, pos, ' '))
        return;
    const auto seq = imap::readNumber(line, pos);
    if (!seq || *seq == 0 || !imap::consume(line, pos, ' '))
        return;
    const auto keyword = imap::readAtom(line, pos);
    if (!keyword || keyword->compare("FETCH", Qt::CaseInsensitive) != 0 ||
        !imap::consume(line, pos, ' ') || !imap::consume(line, pos, '('))
        return;
    for (;;) {
        imap::skipSpaces(line, pos);
        if (imap::atEnd(line, pos) || imap::consume(line, pos, ')'))
            return;
        const auto name = imap::readSectionAtom(line, pos);
        if (!name || !imap::consume(line, pos, ' '))
            return;
        imap::skipSpaces(line, pos);
        const QByteArray upper = name->toUpper();
        if (upper == "UID") {
            const auto uid = imap::readNumber(line, pos);
            if (!uid)
                return;
            bySeq[*seq].uid = *uid;
        } else if (upper == "BODY[]") {
            const auto body = imap::readNString(line, pos);
            if (!body)
                return;
            if (body->isNil)
                bySeq[*seq].body.reset();
            else
                bySeq[*seq].body = body->value;
        } else if (!imap::skipValue(line, pos)) {
            return;
        }
    }
}

QMap<quint32, Items> readLines(const QList<QByteArray> &lines)
{
    QMap<quint32, Items> bySeq;
    for (const QByteArray &line : lines)
        readLine(line, bySeq);
    return bySeq;
}

} // namespace

std::optional<quint32> fetchedUid(const QList<QByteArray> &lines, quint32 seq)
{
    return readLines(lines).value(seq).uid;
}

std::optional<QByteArray> fetchedBody(const QList<QByteArray> &lines, quint32 uid)
{
    const QMap<quint32, Items> bySeq = readLines(lines);
    for (const Items &items : bySeq) {
        if (items.uid == uid && items.body)
            return items.body;
    }
    return std::nullopt;
}

} // namespace message
