#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace imap {

// One complete server response as the reader hands it to a parser: every logical line received
// since the previous response, up to and including the tagged status line (or the greeting).
//
// A logical line is one IMAP response line without its final CR LF. When a line announces a
// literal ("{n}" CR LF), the announcement, its CR LF and the n literal bytes stay inside the
// line, exactly as received, and the line goes on after them. So
//   * 3 FETCH (BODY[HEADER.FIELDS (DATE)] {22}\r\nDate: 1 Jan 2006\r\n\r\n)
// is a single logical line. Parsers read literals with the lexer in imap/lexer.h.
struct Response
{
    enum class Status { None, Ok, No, Bad, Bye, Preauth };

    QList<QByteArray> lines;

    // The last line (the tagged status line or the greeting); empty when there are no lines.
    QByteArray lastLine() const { return lines.isEmpty() ? QByteArray() : lines.last(); }
    // Status word of the last line: "1 OK ..." gives Ok, "* BYE ..." gives Bye, and so on.
    Status status() const;
    // The human-readable text after the status word (and after any [response code]).
    QByteArray statusText() const;
};

// "what: text" with the human-readable text of the response's last line, or `what` alone when
// it carries none: how a refusal is reported.
QString withServerText(const QString &what, const Response &response);

} // namespace imap
