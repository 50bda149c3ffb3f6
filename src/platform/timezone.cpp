#include "platform/timezone.h"

#include <QDateTime>

namespace platform {

int GetLocalUtcOffset()
{
    return QDateTime::currentDateTime().offsetFromUtc();
}

} // namespace platform
