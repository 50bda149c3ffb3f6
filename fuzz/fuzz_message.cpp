// Reading a whole message (GMime's MIME parser under parseMessage), and the file names of its
// attachments.
//
// Input: the bytes of a message. Checked: no crash, no leak, no hang; at most kMaxParts
// attachments; every attachment name, once through safeFileName, is one plain name: not empty,
// no "/" or "\", not "." or "..", no leading dot, within kMaxFileNameBytes.

#include "fuzzcommon.h"

#include "message/mimemessage.h"
#include "message/safefilename.h"

#include <QTimeZone>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const message::MessageContent c =
        message::parseMessage(fuzz::bytesOf(data, size), QTimeZone::utc());
    FQ_CHECK(c.attachments.size() <= message::kMaxParts);
    for (const message::Attachment &a : c.attachments) {
        const QString name = message::safeFileName(a.name);
        FQ_CHECK(!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String(".."));
        FQ_CHECK(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
        FQ_CHECK(!name.startsWith(QLatin1Char('.')));
        FQ_CHECK(name.toUtf8().size() <= message::kMaxFileNameBytes);
    }
    return 0;
}
