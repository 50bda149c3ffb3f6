// How long reading a large message takes, and showing its text: a 50 MB message of base64
// attachments, and one of 50 MB of plain text. The window reads messages on a worker thread;
// these figures say how long the "Reading the message…" phase lasts and what the window then
// spends on the UI thread to lay out the text it shows.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_message

#include "message/mimemessage.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextBrowser>

#include <cstdio>

namespace {

QByteArray base64Lines(qsizetype bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator rng(42);
    for (char &c : data)
        c = char(rng.bounded(256));
    const QByteArray b64 = data.toBase64();
    QByteArray out;
    out.reserve(b64.size() + b64.size() / 76 * 2 + 2);
    for (qsizetype i = 0; i < b64.size(); i += 76)
        out += b64.mid(i, 76) + "\r\n";
    return out;
}

QByteArray withAttachments(qsizetype total)
{
    QByteArray m = "From: a@example.org\r\nSubject: big\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                   "--b\r\nContent-Type: text/plain\r\n\r\nSee the files.\r\n";
    for (int i = 0; i < 3; ++i)
        m += "--b\r\nContent-Type: application/octet-stream; name=f" + QByteArray::number(i) +
             "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64Lines(total / 4);
    return m + "--b--\r\n";
}

QByteArray plainText(qsizetype total)
{
    QByteArray m = "From: a@example.org\r\nSubject: big text\r\n"
                   "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    const QByteArray line = "The quick brown fox jumps over the lazy dog, grüße. 0123456789\r\n";
    while (m.size() < total)
        m += line;
    return m;
}

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    constexpr qsizetype kSize = 50 * 1024 * 1024;
    for (const auto &[name, raw] : {std::pair{"attachments", withAttachments(kSize)},
                                    std::pair{"plain text", plainText(kSize)}}) {
        QElapsedTimer t;
        t.start();
        const message::MessageContent c = message::parseMessage(raw);
        const double parseMs = msSince(t);
        qint64 attached = 0;
        for (const message::Attachment &a : c.attachments)
            attached += a.size();
        std::printf("%-12s %6.1f MB: parseMessage %8.1f ms (%lld attachments, %.1f MB decoded, "
                    "text %lld chars)\n",
                    name, raw.size() / 1048576.0, parseMs, (long long)c.attachments.size(),
                    attached / 1048576.0, (long long)c.text.size());
        for (qsizetype shown : {qsizetype(1) << 20, c.text.size()}) {
            if (shown > c.text.size())
                continue;
            QTextBrowser view;
            view.resize(800, 600);
            t.restart();
            view.setPlainText(c.text.left(shown));
            view.document()->documentLayout(); // force the layout the window would do
            std::printf("%-12s setPlainText of %lld chars: %8.1f ms\n", name, (long long)shown,
                        msSince(t));
        }
    }
    return 0;
}
