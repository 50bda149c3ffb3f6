// The SEARCH command built from any criteria.
//
// Input: the nine criteria (FuzzedDataProvider): six texts, read as UTF-8 or, now and then, as
// UTF-16 with lone surrogates, the two date texts, and the attachment box.
// Checked: the command is empty exactly when no criterion is given; otherwise it is exactly one
// command, it names CHARSET UTF-8 exactly when a text holds non-ASCII characters, and the
// strings it carries are the texts in clause order (the OR forms twice), then the attachment
// test's strings.

#include "fuzzcommon.h"

#include "imap/lexer.h"
#include "search/dates.h"
#include "search/searchkey.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace search;

namespace {

QString text(FuzzedDataProvider &fdp)
{
    const bool utf16 = fdp.ConsumeIntegralInRange(0, 7) == 0;
    const std::string s = fdp.ConsumeRandomLengthString(48);
    if (!utf16)
        return QString::fromUtf8(QByteArrayView(s.data(), qsizetype(s.size())));
    QString out(qsizetype(s.size() / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < out.size(); ++i)
        out[i] = QChar(char16_t(quint8(s[2 * i]) << 8 | quint8(s[2 * i + 1])));
    return out;
}

bool hasNonAscii(const QString &s)
{
    for (QChar c : s) {
        if (c.unicode() > 0x7f)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    SearchCriteria c;
    c.body = text(fdp);
    c.subject = text(fdp);
    c.bodyOrSubject = text(fdp);
    c.from = text(fdp);
    c.toOrCc = text(fdp);
    c.toOrFrom = text(fdp);
    c.after = text(fdp);
    c.before = text(fdp);
    c.hasAttachment = fdp.ConsumeBool();

    const imap::Command cmd = buildSearchKey(c);
    const QList<const QString *> texts = {&c.body,          &c.subject, &c.from,
                                          &c.bodyOrSubject, &c.toOrCc,  &c.toOrFrom};
    bool anyText = false;
    bool utf8 = false;
    for (const QString *t : texts) {
        anyText = anyText || !t->isEmpty();
        utf8 = utf8 || hasNonAscii(*t);
    }
    const bool anyDate = parseDate(c.after).has_value() || parseDate(c.before).has_value();
    FQ_CHECK(cmd.isEmpty() == !(anyText || anyDate || c.hasAttachment));
    if (cmd.isEmpty())
        return 0;

    const QByteArray line = fuzz::checkOneCommand(cmd);
    const QByteArray head = utf8 ? "1 SEARCH CHARSET UTF-8 UNDELETED" : "1 SEARCH UNDELETED";
    FQ_CHECK(line.startsWith(head));

    // Outside the strings the key holds only keywords, dates and parentheses, none of which
    // holds a quote or a brace: every quote or brace opens a string.
    QList<QByteArray> strings;
    qsizetype pos = head.size();
    while (pos < line.size()) {
        const char ch = line.at(pos);
        if (ch == '"' || ch == '{') {
            const auto s = imap::readString(line, pos);
            FQ_CHECK(s.has_value());
            strings.append(*s);
        } else {
            FQ_CHECK(ch == ' ' || ch == '(' || ch == ')' || ch == '-' || (ch >= '0' && ch <= '9') ||
                     (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'));
            ++pos;
        }
    }
    QList<QByteArray> expected;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        if (texts.at(i)->isEmpty())
            continue;
        const QByteArray value = texts.at(i)->toUtf8();
        expected.append(value);
        if (i >= 3) // the OR forms carry the text twice
            expected.append(value);
    }
    if (c.hasAttachment)
        expected << "CONTENT-TYPE"
                 << "multipart/mixed";
    FQ_CHECK(strings == expected);
    return 0;
}
