#pragma once

#include <QtGlobal>

namespace testsupport {

// Resident memory of this process (VmRSS) in kilobytes, -1 when it cannot be read.
qint64 residentKb();
// The peak of the resident memory (VmHWM) in kilobytes, -1 when it cannot be read.
qint64 peakResidentKb();
// Starts the peak afresh from the current resident memory; false when the system refuses.
bool resetPeakResident();
// Number of open file descriptors of this process.
int openDescriptors();

} // namespace testsupport
