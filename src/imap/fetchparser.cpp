#include "imap/fetchparser.h"

#include "imap/headers.h"
#include "imap/lexer.h"

#include <QHash>

#include <optional>

namespace imap {

namespace {

bool isHeaderItem(const QByteArray &name)
{
    return name.startsWith("BODY[HEADER") || name.startsWith("BODY.PEEK[HEADER") ||
           name == "RFC822.HEADER";
}

FetchedMessage messageFromHeader(quint32 seq, const NString &block)
{
    FetchedMessage message;
    message.seq = seq;
    if (block.isNil)
        return message;
    const QList<HeaderField> fields = parseHeaderBlock(block.value);
    if (const auto from = lastHeaderValue(fields, "From")) {
        message.hasFrom = true;
        message.from = decodeHeaderText(*from);
    }
    if (const auto subject = lastHeaderValue(fields, "Subject")) {
        message.hasSubject = true;
        message.subject = decodeHeaderText(*subject);
    }
    if (const auto date = lastHeaderValue(fields, "Date")) {
        message.hasDate = true;
        message.date = decodeUtf8OrLatin1(*date);
    }
    return message;
}

// The header block of one `* n FETCH (...)` line, or nullopt when the line is no FETCH
// response or carries no readable header item. Items after a readable header block that are
// malformed do not spoil it.
std::optional<FetchedMessage> parseFetchLine(const QByteArray &line)
{
    qsizetype pos = 0;
    if (!consume(line, pos, '*') || !consume(line, pos, ' '))
        return std::nullopt;
    const auto seq = readNumber(line, pos);
    if (!seq || *seq == 0 || !consume(line, pos, ' '))
        return std::nullopt;
    const auto keyword = readAtom(line, pos);
    if (!keyword || keyword->compare("FETCH", Qt::CaseInsensitive) != 0)
        return std::nullopt;
    if (!consume(line, pos, ' ') || !consume(line, pos, '('))
        return std::nullopt;

    std::optional<FetchedMessage> message;
    for (;;) {
        skipSpaces(line, pos);
        if (atEnd(line, pos) || consume(line, pos, ')'))
            break;
        auto name = readSectionAtom(line, pos);
        if (!name || !consume(line, pos, ' '))
            break;
        skipSpaces(line, pos);
        if (isHeaderItem(name->toUpper())) {
            const auto block = readNString(line, pos);
            if (!block)
                break;
            message = messageFromHeader(*seq, *block);
        } else if (!skipValue(line, pos)) {
            break;
        }
    }
    return message;
}

} // namespace

QList<FetchedMessage> parseFetchResponse(const QList<QByteArray> &lines)
{
    QList<FetchedMessage> messages;
    QHash<quint32, qsizetype> indexOfSeq;
    for (const QByteArray &line : lines) {
        auto message = parseFetchLine(line);
        if (!message)
            continue;
        const auto known = indexOfSeq.constFind(message->seq);
        if (known != indexOfSeq.cend()) {
            messages[*known] = std::move(*message);
        } else {
            indexOfSeq.insert(message->seq, messages.size());
            messages.append(std::move(*message));
        }
    }
    return messages;
}

} // namespace imap
