#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace imap {

// One command as it goes on the wire. A synchronizing literal splits it into pieces: every piece
// but the last ends with "{n}" CR LF, and the sender waits for the server's "+" continuation
// before it sends the next piece. The last piece ends with CR LF. A command without literals is
// a single piece. (A SASL exchange is sent the same way: one piece per continuation, see
// authenticateCommand().)
struct Command
{
    QList<QByteArray> pieces;
    // The pieces as a connection log shows them: each secret (a password, a token) as ***,
    // whatever form it takes on the wire. Empty when the command holds none.
    QList<QByteArray> shown;
    // The literals of the answer are the user's mail (a message as a whole): a connection log
    // shows them as *** after their size.
    bool privateAnswer = false;

    bool isEmpty() const { return pieces.isEmpty(); }
    // Every byte that goes on the wire, in order (the pieces joined).
    QByteArray wireBytes() const;
    // The command as text for showing: the bytes without the final CR LF, decoded as UTF-8,
    // with its secrets as *** (the shown pieces).
    QString text() const;
};

// True when the value can go on the wire as a bare IMAP atom: not empty, only printable
// US-ASCII, none of the atom specials ( ) { SP % * " \ ] and no control characters.
bool isAtomSafe(QByteArrayView value);
// True when the value cannot be a quoted string: it holds CR, LF, NUL or 8-bit bytes.
bool needsLiteral(QByteArrayView value);
// The value as an IMAP quoted string: wrapped in double quotes, with " and \ escaped by a
// backslash. Only meaningful when needsLiteral() is false.
QByteArray quoted(QByteArrayView value);

// Builds a Command. This is the one place where values typed by a user or listed by a server
// are put into a command line: each value goes through astring() or string(), which choose the
// IMAP form that carries it unchanged, so no value can ever end the line or start a second
// command.
class CommandBuilder
{
public:
    // head: the fixed start of the line, such as "1 LOGIN". Must be plain ASCII.
    explicit CommandBuilder(QByteArrayView head);

    // Appends protocol text as it stands (keywords, spaces, parentheses). Never user data.
    CommandBuilder &raw(QByteArrayView text);
    // Appends a value as atom when it is a safe atom, otherwise as quoted string, otherwise as
    // a synchronizing literal.
    CommandBuilder &astring(QByteArrayView value);
    // Appends a value as quoted string, or as a synchronizing literal when it must be one.
    // Never an atom: search text is always in quotes.
    CommandBuilder &string(QByteArrayView value);
    // Appends a password as astring() does. A connection log shows *** in its place, whatever
    // its form: an atom, a quoted string, or a literal (its "{n}" and its bytes).
    CommandBuilder &secret(QByteArrayView value);
    // Marks the answer's literals private (see Command::privateAnswer).
    CommandBuilder &privateAnswer();

    Command finish() const;

private:
    struct Span
    {
        qsizetype piece, offset, length;
    };
    void literal(QByteArrayView value);

    QList<QByteArray> m_pieces;
    QList<Span> m_secrets; // in the order appended
    bool m_privateAnswer = false;
};

} // namespace imap
