#include "results/dateformat.h"

#include <QList>

namespace results {

namespace {

bool isAsciiLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

bool isSpaceOrComma(QChar c)
{
    return c.isSpace() || c == QLatin1Char(',');
}

// The locale's long time format without the zone name.
QString timeFormatWithSeconds(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);

    // Split the format into quoted text, runs of one pattern letter, and other literal text.
    enum Kind { Quoted, Field, Literal };
    struct Token
    {
        Kind kind;
        QString text;
    };
    QList<Token> tokens;
    const qsizetype size = format.size();
    for (qsizetype i = 0; i < size;) {
        const QChar c = format.at(i);
        qsizetype j = i + 1;
        Kind kind;
        if (c == QLatin1Char('\'')) {
            kind = Quoted;
            while (j < size) {
                if (format.at(j) == QLatin1Char('\'')) {
                    if (j + 1 < size && format.at(j + 1) == QLatin1Char('\'')) {
                        j += 2; // an escaped quote inside the quoted text
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
        } else if (isAsciiLetter(c)) {
            kind = Field;
            while (j < size && format.at(j) == c)
                ++j;
        } else {
            kind = Literal;
            while (j < size && format.at(j) != QLatin1Char('\'') && !isAsciiLetter(format.at(j)))
                ++j;
        }
        tokens.append({kind, format.mid(i, j - i)});
        i = j;
    }

    bool hasAmPm = false;
    bool hasSeconds = false;
    for (const Token &t : tokens) {
        if (t.kind == Field &&
            (t.text.startsWith(QLatin1Char('a')) || t.text.startsWith(QLatin1Char('A'))))
            hasAmPm = true;
        if (t.kind == Field && t.text.startsWith(QLatin1Char('s')))
            hasSeconds = true;
    }
    if (!hasSeconds)
        return QStringLiteral("HH:mm:ss");

    for (qsizetype i = 0; i < tokens.size();) {
        Token &t = tokens[i];
        if (t.kind == Field && t.text.startsWith(QLatin1Char('B'))) {
            // A day period ("in the afternoon") that this toolkit does not know and would
            // print as a letter B: the AM/PM marker stands in for it.
            t.text = hasAmPm ? QString() : QStringLiteral("AP");
            hasAmPm = true;
        }
        if (t.kind != Field || !t.text.startsWith(QLatin1Char('t'))) {
            ++i;
            continue;
        }
        // The zone name goes, with the brackets around it and the space or comma before it.
        Token *prev = (i > 0 && tokens[i - 1].kind == Literal) ? &tokens[i - 1] : nullptr;
        Token *next =
            (i + 1 < tokens.size() && tokens[i + 1].kind == Literal) ? &tokens[i + 1] : nullptr;
        if (prev && next && !prev->text.isEmpty() && !next->text.isEmpty()) {
            const QChar open = prev->text.back();
            const QChar close = next->text.front();
            if ((open == QLatin1Char('(') && close == QLatin1Char(')')) ||
                (open == QLatin1Char('[') && close == QLatin1Char(']'))) {
                prev->text.chop(1);
                next->text.remove(0, 1);
            }
        }
        if (prev) {
            while (!prev->text.isEmpty() && isSpaceOrComma(prev->text.back()))
                prev->text.chop(1);
        }
        if (i == 0 && next) {
            while (!next->text.isEmpty() && next->text.front().isSpace())
                next->text.remove(0, 1);
        }
        tokens.removeAt(i);
    }

    QString result;
    for (const Token &t : tokens)
        result += t.text;
    return result.trimmed();
}

} // namespace

QString formatDate(const QDateTime &dt)
{
    return formatDate(dt, QLocale());
}

QString formatDate(const QDateTime &dt, const QLocale &locale)
{
    if (!dt.isValid())
        return {};
    // The same locale comes back for every cell: keep the last time format.
    thread_local QLocale lastLocale = QLocale::c();
    thread_local QString lastFormat = timeFormatWithSeconds(lastLocale);
    if (locale != lastLocale) {
        lastLocale = locale;
        lastFormat = timeFormatWithSeconds(locale);
    }
    return locale.toString(dt.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(dt.time(), lastFormat);
}

} // namespace results
