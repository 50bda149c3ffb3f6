// The FETCH response parser.
//
// Input: server bytes, framed into logical lines as the connection frames them.
// Checked: one entry per message at most, each with a sequence number that is not zero and that
// starts one of the lines as "* n "; the has-flags agree with the values (a missing field has no
// text); no more entries than lines; parsing the same lines again gives the same entries.
//
// An input that starts with byte 0x01 instead makes up a header block (Date, From, Subject with
// any bytes), sends it as a literal between other items of a FETCH line, and
// checks that the fields come back as the header decoder reads them.

#include "fuzzcommon.h"

#include "imap/fetchparser.h"
#include "imap/headers.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QSet>

using namespace imap;

namespace {

// A header field value as it would stand after unfolding: no line breaks, no outer white space.
QByteArray fieldValue(FuzzedDataProvider &fdp)
{
    const std::string s = fdp.ConsumeRandomLengthString(80);
    QByteArray value(s.data(), qsizetype(s.size()));
    value.replace('\r', ' ').replace('\n', ' ');
    return value.trimmed();
}

void roundTrip(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const quint32 seq = fdp.ConsumeIntegralInRange<quint32>(1, 0xffffffffu);
    const QByteArray date = fieldValue(fdp);
    const QByteArray from = fieldValue(fdp);
    const QByteArray subject = fieldValue(fdp);
    const QByteArray block =
        "Date: " + date + "\r\nFrom: " + from + "\r\nSubject: " + subject + "\r\n\r\n";
    const QByteArray value = "{" + QByteArray::number(block.size()) + "}\r\n" + block;
    const char *item =
        fdp.PickValueInArray({"BODY[HEADER.FIELDS (DATE FROM SUBJECT)]", "BODY[HEADER]",
                              "RFC822.HEADER", "BODY[HEADER.FIELDS (Date From Subject)]<0>"});
    const QByteArray line = "* " + QByteArray::number(seq) + " FETCH (UID 7 FLAGS (\\Seen) " +
                            item + " " + value + " RFC822.SIZE 1234)";

    const QList<FetchedMessage> messages = parseFetchResponse({line, "1 OK done"});
    FQ_CHECK(messages.size() == 1);
    const FetchedMessage &m = messages.first();
    FQ_CHECK(m.seq == seq);
    FQ_CHECK(m.hasDate && m.hasFrom && m.hasSubject);
    FQ_CHECK(m.date == decodeUtf8OrLatin1(date));
    FQ_CHECK(m.from == decodeHeaderText(from));
    FQ_CHECK(m.subject == decodeHeaderText(subject));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0 && data[0] == 0x01) {
        roundTrip(data + 1, size - 1);
        return 0;
    }
    const QList<QByteArray> lines = fuzz::responseLines(fuzz::bytesOf(data, size));
    const QList<FetchedMessage> messages = parseFetchResponse(lines);
    FQ_CHECK(messages.size() <= lines.size());

    QSet<QByteArray> starts;
    for (const QByteArray &line : lines) {
        const qsizetype sp = line.indexOf(' ', 2);
        if (line.startsWith("* ") && sp > 2) {
            bool ok = false;
            const quint32 seq = line.mid(2, sp - 2).toUInt(&ok);
            if (ok)
                starts.insert(QByteArray::number(seq));
        }
    }

    QSet<quint32> seen;
    for (const FetchedMessage &m : messages) {
        FQ_CHECK(m.seq != 0);
        FQ_CHECK(!seen.contains(m.seq));
        seen.insert(m.seq);
        FQ_CHECK(starts.contains(QByteArray::number(m.seq)));
        FQ_CHECK(m.hasFrom || m.from.isEmpty());
        FQ_CHECK(m.hasSubject || m.subject.isEmpty());
        FQ_CHECK(m.hasDate || m.date.isEmpty());
    }

    const QList<FetchedMessage> again = parseFetchResponse(lines);
    FQ_CHECK(again.size() == messages.size());
    for (qsizetype i = 0; i < again.size(); ++i) {
        FQ_CHECK(again.at(i).seq == messages.at(i).seq);
        FQ_CHECK(again.at(i).from == messages.at(i).from);
        FQ_CHECK(again.at(i).subject == messages.at(i).subject);
        FQ_CHECK(again.at(i).date == messages.at(i).date);
    }
    return 0;
}
