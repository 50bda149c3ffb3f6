#include "search/dates.h"

#include <QLatin1String>
#include <QTime>
#include <QVarLengthArray>

#include <algorithm>
#include <array>

namespace search {

namespace {

// No date form has more tokens than this ("Tuesday, 3-Jan-2006 10:15:00 +01:00 CET" has 17);
// a longer text is rejected before any parsing, which keeps the parsers' work bounded.
constexpr qsizetype kMaxTokens = 20;

constexpr std::array<const char *, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<const char *, 7> kDayNames = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                                   "Friday", "Saturday", "Sunday"};

enum class Kind { Number, Word, Punct };

// A run of ASCII digits, a run of ASCII letters, or any other single non-blank character.
struct Token
{
    Kind kind;
    QStringView text;
    int value = 0;            // for numbers of up to 9 digits
    bool spaceBefore = false; // white space (or a comment) separates it from the previous token

    qsizetype digits() const { return kind == Kind::Number ? text.size() : 0; }
    bool is(char c) const { return kind == Kind::Punct && text.front() == QLatin1Char(c); }
};

using Tokens = QVarLengthArray<Token, kMaxTokens>;

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

bool isLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Splits text into tokens in one pass. With skipComments, parenthesised comments (nested, with
// backslash quoting inside) count as white space; an unclosed comment runs to the end of the
// text. Returns false when there are more tokens than any date has.
bool tokenize(QStringView text, bool skipComments, Tokens &out)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    bool space = false;
    while (i < n) {
        const char16_t c = text[i].unicode();
        if (isBlank(c)) {
            space = true;
            ++i;
            continue;
        }
        if (skipComments && c == u'(') {
            int depth = 0;
            while (i < n) {
                const char16_t d = text[i++].unicode();
                if (d == u'\\')
                    ++i;
                else if (d == u'(')
                    ++depth;
                else if (d == u')' && --depth == 0)
                    break;
            }
            space = true;
            continue;
        }
        if (out.size() == kMaxTokens)
            return false;
        Token t{Kind::Punct, {}, 0, space};
        const qsizetype start = i;
        if (isDigit(c)) {
            t.kind = Kind::Number;
            for (; i < n && isDigit(text[i].unicode()); ++i) {
                if (i - start < 9)
                    t.value = t.value * 10 + (text[i].unicode() - u'0');
            }
        } else if (isLetter(c)) {
            t.kind = Kind::Word;
            while (i < n && isLetter(text[i].unicode()))
                ++i;
        } else {
            ++i;
        }
        t.text = text.sliced(start, i - start);
        out.append(t);
        space = false;
    }
    return true;
}

bool sameWord(QStringView word, const char *name)
{
    return word.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

// 1..12 for an English month name, full or abbreviated to three letters (or "Sept"), else 0.
int monthNumber(QStringView word)
{
    for (int m = 0; m < 12; ++m) {
        const QLatin1String full(kMonthNames[m]);
        if (word.size() == 3 && word.compare(full.first(3), Qt::CaseInsensitive) == 0)
            return m + 1;
        if (word.compare(full, Qt::CaseInsensitive) == 0)
            return m + 1;
    }
    return sameWord(word, "Sept") ? 9 : 0;
}

bool isDayName(QStringView word)
{
    for (const char *name : kDayNames) {
        const QLatin1String full(name);
        if (word.size() == 3 && word.compare(full.first(3), Qt::CaseInsensitive) == 0)
            return true;
        if (word.compare(full, Qt::CaseInsensitive) == 0)
            return true;
    }
    return sameWord(word, "Tues") || sameWord(word, "Thur") || sameWord(word, "Thurs");
}

// Walks a token list; every accessor consumes the token only when it matches.
class Cursor
{
public:
    explicit Cursor(const Tokens &tokens) : m_tokens(tokens) {}

    bool atEnd() const { return m_pos == m_tokens.size(); }
    const Token *peek(qsizetype ahead = 0) const
    {
        return m_pos + ahead < m_tokens.size() ? &m_tokens[m_pos + ahead] : nullptr;
    }
    bool punct(char c)
    {
        const Token *t = peek();
        if (!t || !t->is(c))
            return false;
        ++m_pos;
        return true;
    }
    // A number of minDigits..maxDigits digits, or -1.
    int number(qsizetype minDigits, qsizetype maxDigits)
    {
        const Token *t = peek();
        if (!t || t->digits() < minDigits || t->digits() > maxDigits)
            return -1;
        ++m_pos;
        return t->value;
    }
    // The next token when it is a word, or an empty view.
    QStringView word()
    {
        const Token *t = peek();
        if (!t || t->kind != Kind::Word)
            return {};
        ++m_pos;
        return t->text;
    }
    int month()
    {
        const Token *t = peek();
        const int m = t && t->kind == Kind::Word ? monthNumber(t->text) : 0;
        if (m)
            ++m_pos;
        return m;
    }
    void skipDayName()
    {
        const Token *t = peek();
        if (t && t->kind == Kind::Word && isDayName(t->text)) {
            ++m_pos;
            punct(',');
        }
    }
    // True when the next token touches the previous one (no white space between them).
    bool glued() const { return peek() && !peek()->spaceBefore; }

private:
    const Tokens &m_tokens;
    qsizetype m_pos = 0;
};

int twoDigitYear(int yy)
{
    return yy < 50 ? 2000 + yy : 1900 + yy;
}

// The separator between day, month and year of a textual date: white space, or "-" touching
// both neighbours as in 3-Jan-2006.
bool dateSeparator(Cursor &c, bool dashed)
{
    if (dashed)
        return c.glued() && c.punct('-') && c.glued();
    return !c.glued();
}

// A year of four digits, or of two digits (00-49 is 20yy, 50-99 is 19yy); -1 otherwise.
int typedYear(Cursor &c)
{
    if (const Token *t = c.peek(); t && t->digits() == 2)
        return twoDigitYear(c.number(2, 2));
    return c.number(4, 4);
}

// The date part of a typed date; an invalid QDate when there is none.
QDate typedDate(Cursor &c)
{
    const Token *first = c.peek();
    const Token *second = c.peek(1);
    if (!first || !second)
        return {};

    if (first->kind == Kind::Word) { // Jan 3, 2006 / January 3 2006
        const int m = c.month();
        const int d = c.glued() ? -1 : c.number(1, 2);
        c.punct(',');
        const int y = typedYear(c);
        return m && d >= 0 && y >= 0 ? QDate(y, m, d) : QDate();
    }

    if (first->digits() == 4 && second->is('-')) { // 2006-01-05
        const int y = c.number(4, 4);
        int m = -1;
        int d = -1;
        if (c.glued() && c.punct('-') && c.glued())
            m = c.number(1, 2);
        if (m >= 0 && c.glued() && c.punct('-') && c.glued())
            d = c.number(1, 2);
        return d >= 0 ? QDate(y, m, d) : QDate();
    }

    const int lead = c.number(1, 2);
    if (lead < 0)
        return {};
    // 1/5/2006, 01/05/06, 1-5-2006: month, day, year
    if (const Token *t = c.peek(1); c.glued() && t && t->kind == Kind::Number && !t->spaceBefore &&
                                    (c.peek()->is('/') || c.peek()->is('-'))) {
        const char sep = c.peek()->is('/') ? '/' : '-';
        c.punct(sep);
        const int d = c.number(1, 2);
        int y = -1;
        if (d >= 0 && c.glued() && c.punct(sep) && c.glued())
            y = typedYear(c);
        return y >= 0 ? QDate(y, lead, d) : QDate();
    }
    // 3 Jan 2006, 3-Jan-2006, 3 January 06
    const bool dashed = c.glued() && c.peek()->is('-');
    int m = 0;
    if (dateSeparator(c, dashed))
        m = c.month();
    if (!m || !dateSeparator(c, dashed))
        return {};
    const int y = typedYear(c);
    return y >= 0 ? QDate(y, m, lead) : QDate();
}

// A typed time of day: h:mm or h:mm:ss, 24-hour, or 12-hour followed by AM or PM.
QTime typedTime(Cursor &c)
{
    const int h = c.number(1, 2);
    if (h < 0 || !c.glued() || !c.punct(':') || !c.glued())
        return {};
    const int m = c.number(2, 2);
    int s = 0;
    if (m >= 0 && c.glued() && c.punct(':')) {
        s = c.glued() ? c.number(2, 2) : -1;
        if (s < 0)
            return {};
    }
    if (m < 0 || m > 59 || s > 59)
        return {};
    if (const Token *t = c.peek(); t && t->kind == Kind::Word) {
        const QStringView ampm = c.word();
        const bool pm = sameWord(ampm, "PM");
        if ((!pm && !sameWord(ampm, "AM")) || h < 1 || h > 12)
            return {};
        return QTime((h % 12) + (pm ? 12 : 0), m, s);
    }
    return h <= 23 ? QTime(h, m, s) : QTime();
}

// The offset in seconds of an alphabetic zone. Names not known here (and the military letters,
// whose signs were published wrongly) count as UTC, as RFC 5322 advises for unknown zones.
std::optional<int> zoneNameOffset(QStringView name)
{
    struct Named
    {
        const char *name;
        int hours;
    };
    static constexpr std::array<Named, 12> kZones = {{{"UT", 0},
                                                      {"UTC", 0},
                                                      {"GMT", 0},
                                                      {"Z", 0},
                                                      {"EST", -5},
                                                      {"EDT", -4},
                                                      {"CST", -6},
                                                      {"CDT", -5},
                                                      {"MST", -7},
                                                      {"MDT", -6},
                                                      {"PST", -8},
                                                      {"PDT", -7}}};
    for (const Named &z : kZones) {
        if (sameWord(name, z.name))
            return z.hours * 3600;
    }
    if (name.size() == 1 && !sameWord(name, "J"))
        return 0;
    if (name.size() >= 3 && name.size() <= 5)
        return 0;
    return std::nullopt;
}

// The zone of a header date in seconds east of UTC: "+hhmm", "-hhmm", "+hh:mm" (optionally
// followed by a zone name, which is ignored), a zone name, or nothing (UTC).
std::optional<int> headerZone(Cursor &c)
{
    if (c.atEnd())
        return 0;
    const bool plus = c.punct('+');
    if (plus || c.punct('-')) {
        int hh = -1;
        int mm = -1;
        if (const Token *t = c.peek(); t && t->digits() == 4) {
            const int hhmm = c.number(4, 4);
            hh = hhmm / 100;
            mm = hhmm % 100;
        } else if (t && t->digits() == 2) {
            hh = c.number(2, 2);
            mm = c.punct(':') ? c.number(2, 2) : -1;
        }
        if (hh < 0 || hh > 23 || mm < 0 || mm > 59)
            return std::nullopt;
        if (const Token *t = c.peek(); t && t->kind == Kind::Word && !zoneNameOffset(c.word()))
            return std::nullopt;
        return (plus ? 1 : -1) * (hh * 3600 + mm * 60);
    }
    const QStringView name = c.word();
    return name.isEmpty() ? std::nullopt : zoneNameOffset(name);
}

// The header date as an instant in UTC; an invalid QDateTime when it cannot be read.
QDateTime headerInstant(QStringView header)
{
    Tokens tokens;
    if (!tokenize(header, true, tokens))
        return {};
    Cursor c(tokens);

    if (const Token *t = c.peek(); t && t->kind == Kind::Word) {
        if (!isDayName(t->text))
            return {};
        c.skipDayName();
    }

    const int day = c.number(1, 2);
    if (day < 0)
        return {};
    const bool dashed = c.glued() && c.peek()->is('-');
    int month = 0;
    if (dateSeparator(c, dashed))
        month = c.month();
    if (!month || !dateSeparator(c, dashed))
        return {};
    const Token *yearToken = c.peek();
    int year = c.number(2, 4);
    if (year < 0)
        return {};
    if (yearToken->digits() == 2)
        year = twoDigitYear(year);
    else if (yearToken->digits() == 3)
        year += 1900;

    // Hours, minutes and seconds; white space may stand around the colons.
    if (c.glued())
        return {};
    const int hour = c.number(1, 2);
    const int minute = c.punct(':') ? c.number(2, 2) : -1;
    const int second = c.punct(':') ? c.number(2, 2) : 0;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return {};

    const std::optional<int> zone = headerZone(c);
    if (!zone || !c.atEnd())
        return {};

    const QDate date(year, month, day);
    if (!date.isValid())
        return {};
    // A leap second has no place in QTime; it is shown as the second before it.
    const QTime time(hour, minute, std::min(second, 59));
    return QDateTime(date, time, Qt::UTC).addSecs(-*zone);
}

} // namespace

std::optional<QDateTime> parseDate(QStringView text)
{
    Tokens tokens;
    if (!tokenize(text, false, tokens))
        return std::nullopt;
    Cursor c(tokens);
    c.skipDayName();
    const QDate date = typedDate(c);
    if (!date.isValid())
        return std::nullopt;
    QTime time(0, 0);
    if (!c.atEnd()) {
        if (c.glued())
            return std::nullopt;
        time = typedTime(c);
        if (!time.isValid())
            return std::nullopt;
    }
    if (!c.atEnd())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

QString formatFieldDate(const QDateTime &value)
{
    const QDate d = value.date();
    if (!d.isValid())
        return {};
    return QStringLiteral("%1/%2/%3")
        .arg(d.month())
        .arg(d.day())
        .arg(d.year(), 4, 10, QLatin1Char('0'));
}

QString formatImapDate(const QDate &date)
{
    if (!date.isValid())
        return {};
    const QLatin1String month = QLatin1String(kMonthNames[date.month() - 1]).first(3);
    return QStringLiteral("%1-%2-%3")
        .arg(date.day())
        .arg(month)
        .arg(date.year(), 4, 10, QLatin1Char('0'));
}

DateFieldValidation validateDateField(const QString &thisText, const QString &otherText,
                                      bool thisIsBefore)
{
    if (thisText.isEmpty())
        return {false, thisText};
    const std::optional<QDateTime> mine = parseDate(thisText);
    if (!mine)
        return {true, thisText};
    if (!otherText.isEmpty()) {
        if (const std::optional<QDateTime> other = parseDate(otherText)) {
            const QDate before = (thisIsBefore ? mine : other)->date();
            const QDate after = (thisIsBefore ? other : mine)->date();
            if (before < after)
                return {false, otherText};
        }
    }
    return {false, formatFieldDate(*mine)};
}

QDateTime headerDateToLocal(QStringView header, const QTimeZone &local)
{
    const QDateTime utc = headerInstant(header);
    return utc.isValid() ? utc.toTimeZone(local) : QDateTime();
}

} // namespace search
