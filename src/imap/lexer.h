#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace imap {

// Readers for the pieces of an IMAP response line (RFC 3501, section 9), as free functions over
// one logical line (see imap/response.h: literal bytes are inside the line) and a read position.
//
// Every reader starts at `pos`. On success it returns the value and moves `pos` just past it.
// On failure it returns std::nullopt (or false) and leaves `pos` where it was, so a caller can
// try another form or give the line up. No reader looks at bytes outside the line, none
// recurses, and each costs time proportional to the bytes it consumes.

// A string that may be NIL.
struct NString
{
    bool isNil = true;
    QByteArray value; // empty when isNil
};

inline bool atEnd(const QByteArray &line, qsizetype pos)
{
    return pos >= line.size();
}

// Skips any number of SP characters (none is fine).
void skipSpaces(const QByteArray &line, qsizetype &pos);

// Consumes the byte `c` when it comes next.
bool consume(const QByteArray &line, qsizetype &pos, char c);

// An atom: one or more bytes other than SP, control characters, "(", ")", "{" and the double
// quote. Backslash, "]", "%" and "*" are accepted so that flags (\Seen) and unquoted mailbox
// names read as atoms; 8-bit bytes are accepted too.
std::optional<QByteArray> readAtom(const QByteArray &line, qsizetype &pos);

// An atom that may carry bracketed sections whose text can hold spaces and parentheses, and a
// trailing partial range: BODY[HEADER.FIELDS (DATE FROM SUBJECT)]<0>. The text is returned
// as it stands. A "[" without its "]" is an error.
std::optional<QByteArray> readSectionAtom(const QByteArray &line, qsizetype &pos);

// A number: one or more decimal digits whose value fits in 32 bits.
std::optional<quint32> readNumber(const QByteArray &line, qsizetype &pos);

// A quoted string. The escapes \" and \\ are undone in one left-to-right pass (a backslash
// before any other byte is dropped and the byte kept). An unterminated string or one that
// holds CR or LF is an error.
std::optional<QByteArray> readQuoted(const QByteArray &line, qsizetype &pos);

// A literal: "{n}" or "{n+}", CR LF, then n bytes, returned whole. A literal that announces
// more bytes than the line still holds is an error.
std::optional<QByteArray> readLiteral(const QByteArray &line, qsizetype &pos);

// A quoted string or a literal.
std::optional<QByteArray> readString(const QByteArray &line, qsizetype &pos);

// An atom, a quoted string or a literal.
std::optional<QByteArray> readAString(const QByteArray &line, qsizetype &pos);

// NIL (in any case) or a string.
std::optional<NString> readNString(const QByteArray &line, qsizetype &pos);

// A parenthesised list of atoms and strings, such as the attribute list of a LIST line:
// "(" [item *(SP item)] ")". Nested lists are an error (use skipValue for those).
std::optional<QList<QByteArray>> readParenthesizedList(const QByteArray &line, qsizetype &pos);

// Skips one value of any shape: atom, number, NIL, quoted string, literal, or a parenthesised
// list nested to any depth whose items are any of these.
bool skipValue(const QByteArray &line, qsizetype &pos);

} // namespace imap
