#include "search/searchkey.h"

#include "search/dates.h"

#include <algorithm>
#include <array>
#include <optional>

namespace search {

namespace {

bool hasNonAscii(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar ch) { return ch.unicode() > 0x7f; });
}

QByteArray imapDate(const QDate &date)
{
    return formatImapDate(date).toLatin1();
}

} // namespace

imap::Command withResultSaved(const imap::Command &key)
{
    static constexpr QByteArrayView head("1 SEARCH ");
    imap::Command saved = key;
    if (!saved.isEmpty() && saved.pieces.first().startsWith(head))
        saved.pieces.first().insert(head.size(), "RETURN (SAVE ALL) ");
    return saved;
}

imap::Command buildSearchKey(const SearchCriteria &c)
{
    struct TextClause
    {
        const QString &text;
        const char *open;   // keyword(s) before the first copy of the text
        const char *second; // keyword before the second copy in the OR forms, else null
    };
    const std::array<TextClause, 6> texts = {{
        {c.body, " (BODY ", nullptr},
        {c.subject, " (SUBJECT ", nullptr},
        {c.from, " (FROM ", nullptr},
        {c.bodyOrSubject, " (OR SUBJECT ", " BODY "},
        {c.toOrCc, " (OR TO ", " CC "},
        {c.toOrFrom, " (OR TO ", " FROM "},
    }};

    const std::optional<QDateTime> after = parseDate(c.after);
    const std::optional<QDateTime> before = parseDate(c.before);
    const bool anyText = std::any_of(texts.begin(), texts.end(),
                                     [](const TextClause &t) { return !t.text.isEmpty(); });
    if (!after && !before && !anyText && !c.hasAttachment)
        return {};

    const bool utf8 = std::any_of(texts.begin(), texts.end(),
                                  [](const TextClause &t) { return hasNonAscii(t.text); });
    imap::CommandBuilder key(utf8 ? "1 SEARCH CHARSET UTF-8 UNDELETED" : "1 SEARCH UNDELETED");

    if (after && before && after->date() == before->date()) {
        key.raw(" (SENTON ").raw(imapDate(after->date())).raw(")");
    } else {
        // SENTBEFORE is exclusive, so the day after On/Before makes the range inclusive. There is
        // no IMAP date after 31-Dec-9999; such a range has no upper end.
        const QDate next = before ? before->date().addDays(1) : QDate();
        if (next.isValid() && next.year() <= 9999)
            key.raw(" (SENTBEFORE ").raw(imapDate(next)).raw(")");
        if (after)
            key.raw(" (SENTSINCE ").raw(imapDate(after->date())).raw(")");
    }

    for (const TextClause &t : texts) {
        if (t.text.isEmpty())
            continue;
        const QByteArray value = t.text.toUtf8();
        key.raw(t.open).string(value);
        if (t.second)
            key.raw(t.second).string(value);
        key.raw(")");
    }

    if (c.hasAttachment)
        key.raw(R"( (HEADER "CONTENT-TYPE" "multipart/mixed"))");
    return key.finish();
}

} // namespace search
