#include "platform/timezone.h"

#include <QDateTime>

namespace platform {

int localUtcOffset()
{
    return QDateTime::currentDateTime().offsetFromUtc();
}

} // namespace platform
