#pragma once

#include "imap/response.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace imap {

// Collects the bytes the server sends and cuts them into complete responses.
//
// It knows IMAP literals: a line that ends with "{n}" is followed by n bytes that belong to the
// same logical line, whatever they contain, and the line goes on after them. A response is
// complete when a logical line tagged "1 " arrives (our one tag), or, in greeting mode, when the
// server's greeting ("* OK", "* PREAUTH" or "* BYE") arrives. A "+" line is a continuation
// request for a literal we are sending; it is noted and not part of any response.
//
// A response may also be handed out a line at a time as it arrives (expectResponse): then each
// untagged line is a response of its own, and the tagged line ends the command's answer. So a
// command answered by a million lines needs no more memory than its longest line.
//
// Every byte is looked at once: feeding costs time proportional to the new bytes, not to what is
// already buffered. Lines, literals and whole responses are capped so that a hostile server
// cannot make us buffer without bound.
class ResponseReader
{
public:
    enum class Error { None, LineTooLong, LiteralTooLarge, BadLiteral, ResponseTooLarge };

    struct Limits
    {
        qsizetype maxLineBytes = 8 * 1024 * 1024;      // text of one line, literals excluded
        qsizetype maxLiteralBytes = 256 * 1024 * 1024; // all literals of one line together
        // All lines of one response together (literals included), each line also counted with
        // kLineCost for what holding it costs, so that a stream of short lines that never ends
        // the response is held to the same bound as one long line.
        qsizetype maxResponseBytes = 264 * 1024 * 1024;
    };
    static constexpr qsizetype kLineCost = 64;

    ResponseReader() = default;
    explicit ResponseReader(Limits limits) : m_limits(limits) {}

    // While set, an untagged greeting completes the response (the connect wait). The first
    // greeting ends the mode.
    void setGreetingMode(bool on) { m_greetingMode = on; }
    bool greetingMode() const { return m_greetingMode; }

    // Appends the bytes and frames as much as possible. Stops at the first complete response:
    // the bytes after it stay buffered and are framed by the next feed() or takeResponse().
    void feed(QByteArrayView bytes);

    // The answer to the next command sent: in one piece, or its untagged lines one by one
    // (streamUntagged). Answers come in the order the commands were sent; a tagged line ends
    // the oldest answer expected. Without any expectation a response comes in one piece.
    void expectResponse(bool streamUntagged);

    bool hasResponse() const { return m_complete; }
    // Hands out the complete response and goes on framing what is buffered after it.
    Response takeResponse();

    // True once a "+" continuation line has arrived since the last call.
    bool takeContinuation();
    // The last continuation line, as received (for a connection log).
    const QByteArray &continuationLine() const { return m_continuationLine; }

    // Set when the server said "* BYE" (outside the greeting); the text after BYE.
    bool sawBye() const { return m_sawBye; }
    QByteArray byeText() const { return m_byeText; }

    Error error() const { return m_error; }
    QString errorText() const;

    // Bytes held but not yet handed out.
    qsizetype bufferedBytes() const { return m_buf.size() - m_consumed; }
    // Lines of the response being collected (complete logical lines not yet handed out).
    const QList<QByteArray> &pendingLines() const { return m_lines; }

    // Forgets everything buffered (a new connection starts clean).
    void reset();

private:
    void frame();
    void completeLine(qsizetype contentEnd, qsizetype next);
    void compact();

    Limits m_limits;
    QByteArray m_buf;
    qsizetype m_consumed = 0; // bytes of m_buf already handed out as lines
    qsizetype m_scan = 0;     // where the search for the next line end goes on
    qsizetype m_segStart = 0; // start of the line text after the last literal
    qsizetype m_literalLeft = 0;
    qsizetype m_literalBytesInLine = 0;
    QList<QByteArray> m_lines;
    QList<bool> m_streaming;           // of the answers expected, oldest first
    qsizetype m_streamingAnswered = 0; // entries of m_streaming already ended
    qsizetype m_responseBytes = 0;     // what m_lines holds, counted as maxResponseBytes says
    bool m_complete = false;
    bool m_greetingMode = false;
    bool m_continuation = false;
    QByteArray m_continuationLine;
    bool m_sawBye = false;
    QByteArray m_byeText;
    Error m_error = Error::None;
};

} // namespace imap
