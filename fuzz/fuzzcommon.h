#pragma once

// Helpers shared by the fuzz targets.

#include "imap/command.h"
#include "imap/lexer.h"
#include "imap/responsereader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a crash: libFuzzer keeps the input that caused it.
#define FQ_CHECK(cond)                                                                             \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);         \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

inline QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The logical lines of the bytes as the connection would hand them to a parser: framed by the
// response reader, every complete response in turn, then the lines of an unfinished one.
inline QList<QByteArray> responseLines(QByteArrayView bytes)
{
    imap::ResponseReader reader;
    reader.feed(bytes);
    QList<QByteArray> lines;
    while (reader.hasResponse())
        lines += reader.takeResponse().lines;
    lines += reader.pendingLines();
    return lines;
}

// A command as the server reads it from the wire.
struct ServerView
{
    QByteArray line;             // the logical line: literals inline, final CR LF removed
    QList<qsizetype> literalAt;  // wire offsets where literal bytes start
    qsizetype consumed = 0;      // wire bytes that made up the command
    const char *error = nullptr; // why the bytes are no well-formed command
};

// Reads one command the way an IMAP server does: a line up to CR LF; when its text ends in
// "{n}" (or "{n+}"), the next n bytes are a literal and the command goes on after them. Outside
// literals the command may hold no CR, LF or NUL except its final CR LF.
inline ServerView readOneCommand(QByteArrayView wire)
{
    ServerView view;
    qsizetype pos = 0;
    for (;;) {
        const qsizetype nl = wire.indexOf('\n', pos);
        if (nl < 0) {
            view.error = "command does not end in CR LF";
            return view;
        }
        if (nl == pos || wire.at(nl - 1) != '\r') {
            view.error = "LF without CR outside a literal";
            return view;
        }
        const QByteArrayView text = wire.sliced(pos, nl - 1 - pos);
        if (text.contains('\r') || text.contains('\0')) {
            view.error = "CR or NUL outside a literal";
            return view;
        }
        // A literal announcement at the end of the text?
        qsizetype p = text.size();
        if (p > 0 && text.at(p - 1) == '}') {
            --p;
            if (p > 0 && text.at(p - 1) == '+')
                --p;
            const qsizetype digitsEnd = p;
            while (p > 0 && text.at(p - 1) >= '0' && text.at(p - 1) <= '9')
                --p;
            if (p > 0 && text.at(p - 1) == '{' && p < digitsEnd) {
                if (digitsEnd - p > 18) {
                    view.error = "literal length out of range";
                    return view;
                }
                qint64 n = 0;
                for (qsizetype i = p; i < digitsEnd; ++i)
                    n = n * 10 + (text.at(i) - '0');
                const qsizetype start = nl + 1;
                if (n > wire.size() - start) {
                    view.error = "literal runs past the end of the bytes";
                    return view;
                }
                view.literalAt.append(start);
                pos = start + n;
                continue;
            }
        }
        view.consumed = nl + 1;
        view.line = wire.first(nl - 1).toByteArray();
        return view;
    }
}

// Checks that the command is exactly one well-formed command whose pieces split where the
// server waits for a continuation, and returns its logical line.
inline QByteArray checkOneCommand(const imap::Command &cmd)
{
    FQ_CHECK(!cmd.pieces.isEmpty());
    const QByteArray wire = cmd.wireBytes();
    const ServerView view = readOneCommand(wire);
    if (view.error)
        std::fprintf(stderr, "wire: %s\n", view.error);
    FQ_CHECK(view.error == nullptr);
    // Nothing after the command: no second command can hide in the bytes.
    FQ_CHECK(view.consumed == wire.size());
    // Every piece but the last ends in a literal announcement whose bytes start the next piece.
    FQ_CHECK(view.literalAt.size() == cmd.pieces.size() - 1);
    qsizetype offset = 0;
    for (qsizetype i = 0; i + 1 < cmd.pieces.size(); ++i) {
        offset += cmd.pieces.at(i).size();
        FQ_CHECK(cmd.pieces.at(i).endsWith("}\r\n"));
        FQ_CHECK(view.literalAt.at(i) == offset);
    }
    return view.line;
}

} // namespace fuzz
