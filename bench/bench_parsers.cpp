// Throughput of the FETCH and LIST parsers on large responses, at three sizes each so that the
// growth can be seen to be linear. Prints MB/s and the peak resident set size so far.

#include "imap/fetchparser.h"
#include "imap/listparser.h"
#include "imap/responsereader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <sys/resource.h>

#include <cstdio>

namespace {

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // kilobytes on Linux
}

qsizetype totalBytes(const QList<QByteArray> &lines)
{
    qsizetype total = 0;
    for (const QByteArray &line : lines)
        total += line.size() + 2; // with the CR LF the reader removed
    return total;
}

// A FETCH response of about `target` bytes: one line per message, the header block as a
// literal inside the line, with the usual mix of plain, folded and encoded values.
QList<QByteArray> fetchResponse(qsizetype target)
{
    QList<QByteArray> lines;
    qsizetype size = 0;
    for (int seq = 1; size < target; ++seq) {
        const QByteArray n = QByteArray::number(seq);
        QByteArray header =
            "Date: Mon, 2 Jan 2006 10:" + QByteArray::number(seq % 60) + ":00 +0100\r\n";
        if (seq % 3 == 0) {
            header += "From: =?ISO-8859-1?Q?J=F6rg_M=FCller?= <joerg" + n + "@example.de>\r\n";
            header +=
                "Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgV2llbg==?=\r\n =?UTF-8?Q?_Teil_" + n + "?=\r\n";
        } else {
            header += "From: Somebody Else <someone" + n + "@example.com>\r\n";
            header += "Subject: Re: Quarterly figures for the northern region, part " + n +
                      "\r\n\tcontinued on a folded line\r\n";
        }
        header += "\r\n";
        QByteArray line = "* " + n + " FETCH (FLAGS (\\Seen) BODY[HEADER.FIELDS (DATE FROM " +
                          "SUBJECT)] {" + QByteArray::number(header.size()) + "}\r\n" + header +
                          " UID " + n + ")";
        size += line.size() + 2;
        lines.append(std::move(line));
    }
    lines.append("1 OK Fetch completed.");
    return lines;
}

// A LIST response with `count` folders in a Maildir++ tree under INBOX, some with non-ASCII
// names and some quoted, like Dovecot sends them.
QList<QByteArray> listResponse(int count)
{
    QList<QByteArray> lines;
    lines.reserve(count + 1);
    for (int i = 0; i < count; ++i) {
        const QByteArray n = QByteArray::number(i);
        QByteArray name = "INBOX.Projects.P" + QByteArray::number(i / 100) + ".";
        if (i % 4 == 0)
            lines.append("* LIST (\\HasNoChildren) \".\" \"" + name + "Folder " + n + "\"");
        else if (i % 4 == 1)
            lines.append("* LIST (\\HasNoChildren) \".\" " + name + "Entw&APw-rfe" + n);
        else
            lines.append("* LIST (\\HasNoChildren) \".\" " + name + "Box" + n);
    }
    lines.append("1 OK List completed.");
    return lines;
}

void report(const char *what, qsizetype bytes, qint64 nsecs, qsizetype items)
{
    const double mb = double(bytes) / (1024.0 * 1024.0);
    const double secs = double(nsecs) / 1e9;
    std::printf("%-9s %8.1f MB %9lld items %9.1f ms %8.1f MB/s  peak RSS %ld MB\n", what, mb,
                static_cast<long long>(items), secs * 1000.0, mb / secs, peakRssKb() / 1024);
}

// The lines as a server sends them (each followed by CR LF, then the tagged end), cut into
// 4 KB reads and framed by the response reader: what a real response costs to take in.
template <typename Parse>
void framedRun(const char *what, const QList<QByteArray> &lines, Parse parse)
{
    QByteArray wire;
    wire.reserve(totalBytes(lines) + 2 * lines.size() + 16);
    for (const QByteArray &line : lines)
        wire += line + "\r\n";
    wire += "1 OK done\r\n";
    QElapsedTimer timer;
    timer.start();
    imap::ResponseReader reader;
    constexpr qsizetype kChunk = 4096;
    for (qsizetype at = 0; at < wire.size(); at += kChunk)
        reader.feed(QByteArrayView(wire).sliced(at, qMin(kChunk, wire.size() - at)));
    if (!reader.hasResponse())
        qFatal("the response did not complete: %s", qPrintable(reader.errorText()));
    const imap::Response response = reader.takeResponse();
    const qsizetype items = parse(response.lines);
    report(what, wire.size(), timer.nsecsElapsed(), items);
}

} // namespace

int main()
{
    for (const qsizetype target : {qsizetype(12.5 * 1024 * 1024), qsizetype(25 * 1024 * 1024),
                                   qsizetype(50 * 1024 * 1024)}) {
        const QList<QByteArray> lines = fetchResponse(target);
        QElapsedTimer timer;
        timer.start();
        const QList<imap::FetchedHeader> messages = imap::parseFetchedHeaders(lines);
        const qint64 nsecs = timer.nsecsElapsed();
        report("FETCH", totalBytes(lines), nsecs, messages.size());
        framedRun("FETCH+4K", lines,
                  [](const QList<QByteArray> &l) { return imap::parseFetchedHeaders(l).size(); });
    }
    for (const int count : {25000, 50000, 100000}) {
        const QList<QByteArray> lines = listResponse(count);
        QElapsedTimer timer;
        timer.start();
        const imap::FolderTable folders = imap::parseListResponse(lines);
        const qint64 nsecs = timer.nsecsElapsed();
        report("LIST", totalBytes(lines), nsecs, folders.size());
        framedRun("LIST+4K", lines,
                  [](const QList<QByteArray> &l) { return imap::parseListResponse(l).size(); });
    }
    return 0;
}
