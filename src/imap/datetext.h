#pragma once

#include <QLatin1String>
#include <QStringView>
#include <QVarLengthArray>

namespace imap {

// The pieces dates written in English are read from: a Date header field (imap/headerdate.h)
// and a date typed into a date field (search/dates.h). Only ASCII digits and letters count, and
// month and day names are English whatever the user's locale.

// No date form has more tokens than this ("Tuesday, 3-Jan-2006 10:15:00 +01:00 CET" has 17);
// a longer text is rejected before any parsing, which keeps the parsers' work bounded.
constexpr qsizetype kMaxDateTokens = 20;

// A run of ASCII digits, a run of ASCII letters, or any other single non-blank character.
struct DateToken
{
    enum class Kind { Number, Word, Punct };
    Kind kind;
    QStringView text;
    int value = 0;            // for numbers of up to 9 digits
    bool spaceBefore = false; // white space (or a comment) separates it from the previous token

    qsizetype digits() const { return kind == Kind::Number ? text.size() : 0; }
    bool is(char c) const { return kind == Kind::Punct && text.front() == QLatin1Char(c); }
};

using DateTokens = QVarLengthArray<DateToken, kMaxDateTokens>;

// Splits text into tokens in one pass. With skipComments, parenthesised comments (nested, with
// backslash quoting inside) count as white space; an unclosed comment runs to the end of the
// text. Returns false when there are more tokens than any date has.
bool tokenizeDate(QStringView text, bool skipComments, DateTokens &out);

bool sameWord(QStringView word, const char *name);
// 1..12 for an English month name, full or abbreviated to three letters (or "Sept"), else 0.
int monthNumber(QStringView word);
// "Jan".."Dec" for 1..12.
QLatin1String monthAbbreviation(int month);
// An English day name, full or abbreviated to three letters (or "Tues", "Thur", "Thurs").
bool isDayName(QStringView word);
// 00-49 is 20yy, 50-99 is 19yy.
int twoDigitYear(int yy);

// Walks a token list; every accessor consumes the token only when it matches.
class DateCursor
{
public:
    explicit DateCursor(const DateTokens &tokens) : m_tokens(tokens) {}

    bool atEnd() const { return m_pos == m_tokens.size(); }
    const DateToken *peek(qsizetype ahead = 0) const
    {
        return m_pos + ahead < m_tokens.size() ? &m_tokens[m_pos + ahead] : nullptr;
    }
    bool punct(char c)
    {
        const DateToken *t = peek();
        if (!t || !t->is(c))
            return false;
        ++m_pos;
        return true;
    }
    // A number of minDigits..maxDigits digits, or -1.
    int number(qsizetype minDigits, qsizetype maxDigits)
    {
        const DateToken *t = peek();
        if (!t || t->digits() < minDigits || t->digits() > maxDigits)
            return -1;
        ++m_pos;
        return t->value;
    }
    // The next token when it is a word, or an empty view.
    QStringView word()
    {
        const DateToken *t = peek();
        if (!t || t->kind != DateToken::Kind::Word)
            return {};
        ++m_pos;
        return t->text;
    }
    // The next token when it is a month name, as 1..12; 0 otherwise.
    int month()
    {
        const DateToken *t = peek();
        const int m = t && t->kind == DateToken::Kind::Word ? monthNumber(t->text) : 0;
        if (m)
            ++m_pos;
        return m;
    }
    // A day name and the comma after it, when they come next.
    void skipDayName()
    {
        const DateToken *t = peek();
        if (t && t->kind == DateToken::Kind::Word && isDayName(t->text)) {
            ++m_pos;
            punct(',');
        }
    }
    // True when the next token touches the previous one (no white space between them).
    bool glued() const { return peek() && !peek()->spaceBefore; }
    // The separator between day, month and year of a textual date: white space, or "-" touching
    // both neighbours as in 3-Jan-2006.
    bool dateSeparator(bool dashed)
    {
        if (dashed)
            return glued() && punct('-') && glued();
        return !glued();
    }

private:
    const DateTokens &m_tokens;
    qsizetype m_pos = 0;
};

} // namespace imap
