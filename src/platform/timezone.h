#pragma once

namespace platform {

// The offset of local time from UTC in force now, in seconds east of UTC, daylight saving
// included, from the system time zone. 0 when the zone cannot be read.
int localUtcOffset();

} // namespace platform
