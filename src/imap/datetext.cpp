#include "imap/datetext.h"

#include <array>

namespace imap {

namespace {

constexpr std::array<const char *, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<const char *, 7> kDayNames = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                                   "Friday", "Saturday", "Sunday"};

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

} // namespace

bool tokenizeDate(QStringView text, bool skipComments, DateTokens &out)
{
    using Kind = DateToken::Kind;
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
        if (out.size() == kMaxDateTokens)
            return false;
        DateToken t{Kind::Punct, {}, 0, space};
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

QLatin1String monthAbbreviation(int month)
{
    return QLatin1String(kMonthNames[month - 1]).first(3);
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

int twoDigitYear(int yy)
{
    return yy < 50 ? 2000 + yy : 1900 + yy;
}

} // namespace imap
