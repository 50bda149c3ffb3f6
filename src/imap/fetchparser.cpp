#include "imap/fetchparser.h"

#include "imap/headers.h"

#include <QHash>

namespace imap {

namespace {

bool isSection(const QByteArray &upperName)
{
    return upperName.startsWith("BODY[") || upperName.startsWith("BODY.PEEK[") ||
           upperName == "RFC822" || upperName == "RFC822.HEADER" || upperName == "RFC822.TEXT";
}

bool isHeaderSection(const QByteArray &name)
{
    const QByteArray upper = name.toUpper();
    return upper.startsWith("BODY[HEADER") || upper.startsWith("BODY.PEEK[HEADER") ||
           upper == "RFC822.HEADER";
}

// A UID item's value: a number that ends where the value does. A value of another shape is
// passed over.
bool readUid(const QByteArray &line, qsizetype &pos, std::optional<quint32> &uid)
{
    qsizetype end = pos;
    const auto number = readNumber(line, end);
    if (number && (atEnd(line, end) || line.at(end) == ' ' || line.at(end) == ')')) {
        uid = number;
        pos = end;
        return true;
    }
    return skipValue(line, pos);
}

} // namespace

const FetchedSection *FetchedItems::lastSection(QByteArrayView name) const
{
    for (auto it = sections.crbegin(); it != sections.crend(); ++it) {
        if (QByteArrayView(it->name).compare(name, Qt::CaseInsensitive) == 0)
            return &*it;
    }
    return nullptr;
}

std::optional<FetchedItems> readFetchLine(const QByteArray &line)
{
    qsizetype pos = 0;
    if (!consume(line, pos, '*') || !consume(line, pos, ' '))
        return std::nullopt;
    const auto seq = readNumber(line, pos);
    if (!seq || *seq == 0 || !consume(line, pos, ' '))
        return std::nullopt;
    const auto keyword = readAtom(line, pos);
    if (!keyword || keyword->compare("FETCH", Qt::CaseInsensitive) != 0 ||
        !consume(line, pos, ' ') || !consume(line, pos, '('))
        return std::nullopt;

    FetchedItems items;
    items.seq = *seq;
    for (;;) {
        skipSpaces(line, pos);
        if (atEnd(line, pos) || consume(line, pos, ')'))
            break;
        auto name = readSectionAtom(line, pos);
        if (!name || !consume(line, pos, ' '))
            break;
        skipSpaces(line, pos);
        const QByteArray upper = name->toUpper();
        if (upper == "UID") {
            if (!readUid(line, pos, items.uid))
                break;
        } else if (auto value = isSection(upper) ? readNString(line, pos) : std::nullopt) {
            items.sections.append({std::move(*name), std::move(*value)});
        } else if (!skipValue(line, pos)) {
            break;
        }
    }
    return items;
}

QList<FetchedItems> readFetchResponse(const QList<QByteArray> &lines)
{
    QList<FetchedItems> messages;
    QHash<quint32, qsizetype> indexOfSeq;
    for (const QByteArray &line : lines) {
        auto items = readFetchLine(line);
        if (!items)
            continue;
        const auto known = indexOfSeq.constFind(items->seq);
        if (known == indexOfSeq.cend()) {
            indexOfSeq.insert(items->seq, messages.size());
            messages.append(std::move(*items));
            continue;
        }
        FetchedItems &message = messages[*known];
        if (items->uid)
            message.uid = items->uid;
        message.sections.append(std::move(items->sections));
    }
    return messages;
}

std::optional<FetchedHeader> fetchedHeader(const FetchedItems &items)
{
    auto block = items.sections.crbegin();
    while (block != items.sections.crend() && !isHeaderSection(block->name))
        ++block;
    if (block == items.sections.crend())
        return std::nullopt;
    FetchedHeader header;
    header.seq = items.seq;
    if (block->value.isNil)
        return header;
    const QList<HeaderField> fields = parseHeaderBlock(block->value.value);
    if (const auto from = lastHeaderValue(fields, "From")) {
        header.hasFrom = true;
        header.from = decodeHeaderText(*from);
    }
    if (const auto subject = lastHeaderValue(fields, "Subject")) {
        header.hasSubject = true;
        header.subject = decodeHeaderText(*subject);
    }
    if (const auto date = lastHeaderValue(fields, "Date")) {
        header.hasDate = true;
        header.date = decodeUtf8OrLatin1(*date);
    }
    return header;
}

QList<FetchedHeader> parseFetchedHeaders(const QList<QByteArray> &lines)
{
    // Line by line: a long response costs its decoded headers, not a copy of its header blocks.
    QList<FetchedHeader> headers;
    QHash<quint32, qsizetype> indexOfSeq;
    for (const QByteArray &line : lines) {
        const std::optional<FetchedItems> items = readFetchLine(line);
        std::optional<FetchedHeader> header = items ? fetchedHeader(*items) : std::nullopt;
        if (!header)
            continue;
        const auto known = indexOfSeq.constFind(header->seq);
        if (known != indexOfSeq.cend()) {
            headers[*known] = std::move(*header);
        } else {
            indexOfSeq.insert(header->seq, headers.size());
            headers.append(std::move(*header));
        }
    }
    return headers;
}

} // namespace imap
