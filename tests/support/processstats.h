#pragma once

#include <QtGlobal>

namespace testsupport {

// Resident memory of this process (VmRSS) in kilobytes, -1 when it cannot be read.
qint64 residentKb();
// Number of open file descriptors of this process.
int openDescriptors();

} // namespace testsupport
