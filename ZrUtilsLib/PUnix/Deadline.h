#pragma once

#include <time.h>

namespace ZrUtilsLib {
namespace PUnix {

// Absolute real-time deadline `milliseconds` from now, as the timed waits use it.
inline timespec DeadlineFrom(timespec now, unsigned int milliseconds) {
    now.tv_sec += milliseconds / 1000;
    now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (now.tv_nsec > 999999999L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

inline timespec RealTimeDeadline(unsigned int milliseconds) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return DeadlineFrom(now, milliseconds);
}

}  // namespace PUnix
}  // namespace ZrUtilsLib
