#pragma once

#include <QString>

namespace platform {

// Before a secret goes into an open file: it must be a plain file of this user's, readable and
// writable by its owner only; a wider mode is narrowed on the open file itself (not on a name
// that could change meanwhile). Returns "" when the file is private, otherwise why it is not.
QString makeOpenFilePrivate(int fd, const QString &name);

// "name: the system's reason" for the last failed call.
QString systemError(const QString &name);

} // namespace platform
