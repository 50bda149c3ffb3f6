#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace message {

// Readers for the two answers of opening a message, over the lines of a response (see
// imap/response.h). Only untagged "* n FETCH (...)" lines count; items of one message may be
// spread over several such lines. Anything malformed is passed over, never guessed at.

// The UID item of message number `seq`; nullopt when no line gives one.
std::optional<quint32> fetchedUid(const QList<QByteArray> &lines, quint32 seq);

// The BODY[] item (a literal or quoted string, byte for byte as sent) of the message whose UID
// item is `uid`; nullopt when no line gives both for one message, or the body is NIL.
std::optional<QByteArray> fetchedBody(const QList<QByteArray> &lines, quint32 uid);

} // namespace message
