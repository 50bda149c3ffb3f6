// The response framer fed with server bytes cut into chunks of random sizes.
//
// Input: one control byte, then the bytes the server sends. The control byte picks the greeting
// mode (bit 0), the line limit (bits 1-2), the literal limit (bits 3-4) and how the bytes are cut
// (bits 5-7, which also seed the chunk sizes). Printable control bytes give useful settings with
// the default limits: "?" is greeting mode fed byte by byte, "~" a command's response fed in
// chunks of 1 to 3 bytes.
//
// Checked:
// - every response handed out ends in a tagged line, or is the greeting in greeting mode, and
//   no other line of it is tagged; "+" continuation lines are never part of a response;
// - while no error is set, the bytes held stay within the limits;
// - an error is sticky: once set, more bytes change nothing;
// - the chunking changes nothing: the responses and the outcome equal those of feeding every
//   byte at once.

#include "fuzzcommon.h"

#include "imap/response.h"
#include "imap/responsereader.h"

using imap::Response;
using imap::ResponseReader;

namespace {

struct Outcome
{
    QList<QByteArrayList> responses;
    ResponseReader::Error error = ResponseReader::Error::None;
    QList<QByteArray> pending;
    bool sawBye = false;
};

bool isTagged(const QByteArray &line)
{
    return line.startsWith("1 ");
}

bool isGreeting(const QByteArray &line)
{
    for (const char *word : {"OK", "PREAUTH", "BYE"}) {
        const QByteArray head = QByteArray("* ") + word;
        if (line.size() >= head.size() &&
            QByteArrayView(line).first(head.size()).compare(head, Qt::CaseInsensitive) == 0 &&
            (line.size() == head.size() || line.at(head.size()) == ' '))
            return true;
    }
    return false;
}

class Chunker
{
public:
    Chunker(unsigned mode, qsizetype size)
        : m_mode(mode), m_state(0x9e3779b9u ^ (mode * 7919u) ^ quint32(size))
    {
    }

    qsizetype next(qsizetype left)
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        qsizetype n = 1;
        switch (m_mode) {
        case 0:
            n = left; // all at once
            break;
        case 1:
            n = 1; // byte by byte
            break;
        case 2:
        case 3:
            n = 1 + qsizetype(m_state % 3);
            break;
        case 4:
        case 5:
            n = 1 + qsizetype(m_state % 17);
            break;
        default:
            n = 1 + qsizetype(m_state % 257);
            break;
        }
        return qMin(n, left);
    }

private:
    unsigned m_mode;
    quint32 m_state;
};

Outcome run(const QByteArray &bytes, ResponseReader::Limits limits, bool greeting, unsigned mode)
{
    ResponseReader reader(limits);
    reader.setGreetingMode(greeting);
    Outcome out;
    Chunker chunker(mode, bytes.size());
    bool modeBefore = greeting;
    // Bytes of the unfinished logical line at most: its text, the literal announcements in it
    // and the literal bytes, each within its limit (a line may announce more than one literal,
    // but their bytes together count against the literal limit).
    const qsizetype bound = limits.maxLineBytes + limits.maxLiteralBytes + 2;

    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype n = chunker.next(bytes.size() - from);
        const ResponseReader::Error before = reader.error();
        const qsizetype bufferedBefore = reader.bufferedBytes();
        reader.feed(QByteArrayView(bytes).sliced(from, n));
        from += n;
        if (before != ResponseReader::Error::None) {
            FQ_CHECK(reader.error() == before);
            FQ_CHECK(!reader.hasResponse());
            FQ_CHECK(reader.bufferedBytes() == bufferedBefore);
        }
        while (reader.hasResponse()) {
            // The reader leaves greeting mode on the greeting line itself, which ends a
            // response; so its mode now is the mode after this response's last line.
            const bool modeAfter = reader.greetingMode();
            const Response r = reader.takeResponse();
            FQ_CHECK(!r.lines.isEmpty());
            const QByteArray &last = r.lines.last();
            FQ_CHECK(isTagged(last) || (modeBefore && !modeAfter && isGreeting(last)));
            for (qsizetype i = 0; i + 1 < r.lines.size(); ++i) {
                FQ_CHECK(!isTagged(r.lines.at(i)));
                FQ_CHECK(!(modeBefore && isGreeting(r.lines.at(i))));
            }
            for (const QByteArray &line : r.lines)
                FQ_CHECK(!line.startsWith('+'));
            out.responses.append(r.lines);
            modeBefore = modeAfter;
        }
        for (const QByteArray &line : reader.pendingLines()) {
            FQ_CHECK(!isTagged(line));
            FQ_CHECK(!line.startsWith('+'));
        }
        if (reader.error() == ResponseReader::Error::None)
            FQ_CHECK(reader.bufferedBytes() <= bound);
        FQ_CHECK(reader.errorText().isEmpty() == (reader.error() == ResponseReader::Error::None));
    }
    out.error = reader.error();
    out.pending = reader.pendingLines();
    out.sawBye = reader.sawBye();

    // reset() starts clean.
    reader.reset();
    FQ_CHECK(reader.error() == ResponseReader::Error::None);
    FQ_CHECK(reader.bufferedBytes() == 0 && !reader.hasResponse() &&
             reader.pendingLines().isEmpty());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned control = data[0];
    const QByteArray bytes = fuzz::bytesOf(data + 1, size - 1);

    static constexpr qsizetype kLineLimits[] = {8, 64, 1024, 8 * 1024 * 1024};
    static constexpr qsizetype kLiteralLimits[] = {0, 16, 512, 256 * 1024 * 1024};
    ResponseReader::Limits limits;
    limits.maxLineBytes = kLineLimits[(control >> 1) & 3];
    limits.maxLiteralBytes = kLiteralLimits[(control >> 3) & 3];
    const bool greeting = control & 1;
    const unsigned mode = control >> 5;

    const Outcome chunked = run(bytes, limits, greeting, mode);
    const Outcome whole = run(bytes, limits, greeting, 0);
    FQ_CHECK(chunked.responses == whole.responses);
    FQ_CHECK(chunked.error == whole.error);
    FQ_CHECK(chunked.pending == whole.pending);
    FQ_CHECK(chunked.sawBye == whole.sawBye);
    return 0;
}
