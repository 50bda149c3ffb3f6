// GMime's headers come first: GLib's own headers use the word "signals", which Qt's headers may
// define as a macro.
#include <gmime/gmime.h>

#include "message/mimemessage.h"

#include "imap/headerdate.h"
#include "imap/headers.h"

#include <memory>
#include <mutex>
#include <utility>

namespace message {

namespace {

void initGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct GObjectUnref
{
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <class T> using GPtr = std::unique_ptr<T, GObjectUnref>;

struct OptionsFree
{
    void operator()(GMimeParserOptions *options) const { g_mime_parser_options_free(options); }
};

QString fromUtf8(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

// GMime's text, freed after the copy.
QString takeUtf8(char *text)
{
    QString out = fromUtf8(text);
    g_free(text);
    return out;
}

QByteArray bytesOf(GMimeStream *memStream)
{
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memStream));
    if (!array || array->len == 0)
        return {};
    return QByteArray(reinterpret_cast<const char *>(array->data), qsizetype(array->len));
}

// The part's content with its transfer encoding undone; with a charset filter, converted too.
QByteArray decodedContent(GMimePart *part, GMimeFilter *filter = nullptr)
{
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    if (!content)
        return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    if (filter) {
        GPtr<GMimeStream> filtered(g_mime_stream_filter_new(mem.get()));
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), filter);
        g_mime_data_wrapper_write_to_stream(content, filtered.get());
        g_mime_stream_flush(filtered.get());
    } else {
        g_mime_data_wrapper_write_to_stream(content, mem.get());
    }
    return bytesOf(mem.get());
}

// CR LF made LF, in one pass (QString::replace takes quadratic time on a large text).
QByteArray withLfLineEnds(QByteArray bytes)
{
    qsizetype out = 0;
    for (qsizetype in = 0; in < bytes.size(); ++in) {
        if (bytes.at(in) == '\r' && in + 1 < bytes.size() && bytes.at(in + 1) == '\n')
            continue;
        bytes[out++] = bytes.at(in);
    }
    bytes.truncate(out);
    return bytes;
}

// The text of a part, with LF line ends.
QString textOf(GMimePart *part)
{
    const char *charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    if (charset && *charset) {
        // Null when iconv knows no such charset.
        if (GPtr<GMimeFilter> filter{g_mime_filter_charset_new(charset, "UTF-8")})
            return QString::fromUtf8(withLfLineEnds(decodedContent(part, filter.get())));
    }
    return imap::decodeUtf8OrLatin1(withLfLineEnds(decodedContent(part)));
}

QString mimeTypeOf(GMimeObject *object)
{
    GMimeContentType *type = g_mime_object_get_content_type(object);
    if (!type)
        return QStringLiteral("application/octet-stream");
    return takeUtf8(g_mime_content_type_get_mime_type(type)).toLower();
}

bool isType(GMimeObject *object, const char *type, const char *subtype)
{
    GMimeContentType *ct = g_mime_object_get_content_type(object);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// A text part meant to be read in the window rather than saved.
bool isInlineText(GMimeObject *object, const char *subtype)
{
    return GMIME_IS_PART(object) && isType(object, "text", subtype) &&
           !g_mime_part_is_attachment(GMIME_PART(object));
}

Attachment attachedMessage(GMimeMessagePart *part)
{
    Attachment a;
    GMimeObject *object = GMIME_OBJECT(part);
    a.mimeType = mimeTypeOf(object);
    a.name = fromUtf8(g_mime_object_get_content_disposition_parameter(object, "filename"));
    if (a.name.isEmpty())
        a.name = fromUtf8(g_mime_object_get_content_type_parameter(object, "name"));
    GMimeMessage *inner = g_mime_message_part_get_message(part);
    if (!inner)
        return a;
    if (a.name.isEmpty()) {
        // A subject is text, not a path: its slashes are kept as "_".
        QString subject = fromUtf8(g_mime_message_get_subject(inner)).simplified();
        subject.replace(QLatin1Char('/'), QLatin1Char('_'))
            .replace(QLatin1Char('\\'), QLatin1Char('_'));
        a.name = (subject.isEmpty() ? QStringLiteral("message") : subject) + QStringLiteral(".eml");
    }
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, mem.get());
    a.data = bytesOf(mem.get());
    return a;
}

Attachment attachedPart(GMimePart *part)
{
    Attachment a;
    a.name = fromUtf8(g_mime_part_get_filename(part));
    a.mimeType = mimeTypeOf(GMIME_OBJECT(part));
    a.data = decodedContent(part);
    return a;
}

// Of the alternatives, the one to look at: a plain text part, else an HTML part, else the last
// (the richest, in the sender's own order).
GMimeObject *bestAlternative(GMimeMultipart *alternative)
{
    const int count = g_mime_multipart_get_count(alternative);
    GMimeObject *html = nullptr;
    for (int i = 0; i < count; ++i) {
        GMimeObject *child = g_mime_multipart_get_part(alternative, i);
        if (isInlineText(child, "plain"))
            return child;
        if (!html && isInlineText(child, "html"))
            html = child;
    }
    if (html)
        return html;
    return count > 0 ? g_mime_multipart_get_part(alternative, count - 1) : nullptr;
}

// The leaves and attached messages in document order. Walks with its own stack, so that the
// nesting of the message cannot exhaust the thread's; stops at the limits in mimemessage.h.
QList<GMimeObject *> collectLeaves(GMimeObject *root, qsizetype &omitted)
{
    QList<GMimeObject *> leaves;
    QList<std::pair<GMimeObject *, int>> stack{{root, 0}};
    int visited = 0;
    while (!stack.isEmpty()) {
        auto [object, depth] = stack.takeLast();
        if (!object)
            continue;
        if (++visited > kMaxParts) {
            omitted += stack.size() + 1;
            break;
        }
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart *multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            if (depth >= kMaxDepth) {
                omitted += count;
                continue;
            }
            if (isType(object, "multipart", "alternative")) {
                stack.append({bestAlternative(multipart), depth + 1});
                continue;
            }
            for (int i = count - 1; i >= 0; --i)
                stack.append({g_mime_multipart_get_part(multipart, i), depth + 1});
        } else if (GMIME_IS_PART(object) || GMIME_IS_MESSAGE_PART(object)) {
            leaves.append(object);
        }
    }
    return leaves;
}

void readBody(GMimeMessage *message, MessageContent &out)
{
    GMimeObject *root = g_mime_message_get_mime_part(message);
    if (!root)
        return;
    const QList<GMimeObject *> leaves = collectLeaves(root, out.omittedParts);
    GMimeObject *body = nullptr;
    for (GMimeObject *leaf : leaves) {
        if (isInlineText(leaf, "plain")) {
            body = leaf;
            break;
        }
    }
    if (!body) {
        for (GMimeObject *leaf : leaves) {
            if (isInlineText(leaf, "html")) {
                body = leaf;
                out.isHtml = true;
                break;
            }
        }
    }
    if (body)
        out.text = textOf(GMIME_PART(body));
    for (GMimeObject *leaf : leaves) {
        if (leaf == body)
            continue;
        out.attachments.append(GMIME_IS_MESSAGE_PART(leaf)
                                   ? attachedMessage(GMIME_MESSAGE_PART(leaf))
                                   : attachedPart(GMIME_PART(leaf)));
    }
}

} // namespace

MessageContent parseMessage(const QByteArray &raw, const QTimeZone &local)
{
    initGMime();
    MessageContent out;

    // The header fields are read exactly as the grid reads them (the last of each name, encoded
    // words decoded by imap::decodeHeaderText), so that the window and the grid always agree.
    // GMime 3.2 joins adjacent base64 encoded words before decoding them and loses the text
    // after the first one that ends in "=" padding ("=?UTF-8?B?U23DtnJnw6VzYm9yZA==?=
    // =?UTF-8?B?IFN0YXR1cyByZQ==?=" gives "Smörgåsbord" alone).
    const QList<imap::HeaderField> fields = imap::parseHeaderBlock(raw);
    const auto text = [&](QByteArrayView name) {
        const auto value = imap::lastHeaderValue(fields, name);
        return value ? imap::decodeHeaderText(*value) : QString();
    };
    out.from = text("From");
    out.to = text("To");
    out.cc = text("Cc");
    out.subject = text("Subject");
    if (const auto date = imap::lastHeaderValue(fields, "Date")) {
        out.dateHeader = imap::decodeUtf8OrLatin1(*date);
        out.date = imap::headerDateToLocal(out.dateHeader, local);
    }

    std::unique_ptr<GMimeParserOptions, OptionsFree> options(g_mime_parser_options_new());
    // Raw 8-bit text in part headers (file names): UTF-8 when it is valid, otherwise Latin-1.
    const char *fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
    g_mime_parser_options_set_fallback_charsets(options.get(), fallback);

    GPtr<GMimeStream> stream(
        g_mime_stream_mem_new_with_buffer(raw.constData(), size_t(raw.size())));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options.get()));
    if (!message) {
        out.text = imap::decodeUtf8OrLatin1(raw);
        return out;
    }

    readBody(message.get(), out);
    if (out.text.isEmpty() && out.attachments.isEmpty() && out.omittedParts == 0) {
        // Nothing readable came out of the structure (a multipart without its boundary, say):
        // the body as it stands is the best there is to show. The headers end before the empty
        // line that ends them.
        QByteArrayView rest(raw);
        rest = rest.sliced(qBound(
            qsizetype(0), qsizetype(g_mime_parser_get_headers_end(parser.get())), rest.size()));
        if (rest.startsWith("\r\n"))
            rest = rest.sliced(2);
        else if (rest.startsWith("\n"))
            rest = rest.sliced(1);
        out.text = imap::decodeUtf8OrLatin1(withLfLineEnds(rest.toByteArray()));
    }
    return out;
}

} // namespace message
