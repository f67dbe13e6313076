#pragma once
// What each system supplies to the timing services (timing_posix.cpp,
// timing_win32.cpp): beside DSTicks, a plain sleep and the UTC offset at a given
// instant. DSSleep's loop, the message-pump hook and LocalUtcOffset live in timing.cpp.
#include <cstdint>
#include <ctime>

namespace quendal::detail {

// Sleeps `ms` without running any window messages.
void PlainSleep(std::uint32_t ms);

// The local time's offset from UTC in seconds at `when`, daylight saving included.
std::int32_t UtcOffsetAt(std::time_t when);

}  // namespace quendal::detail
