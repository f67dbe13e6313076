#pragma once
// Timing services shared by every protocol layer.
#include <cstdint>
#include <ctime>
#include <functional>

#include "host/status.h"

namespace quendal {

// Milliseconds from a monotonic clock, for measuring intervals (wraps like a 32-bit tick).
std::uint32_t DSTicks();

// Waits `ms` and returns 0. While a message pump is installed every wait runs it, so that
// a window stays painted and its timers and menus run while a step waits.
Status DSSleep(std::uint32_t ms);

// The milliseconds asked of DSSleep so far: the waits a sequence makes on purpose, which a
// benchmark sets apart from the time spent on the line.
std::uint64_t DSSleepAskedMs();

// Runs the window's pending messages without waiting for more; nothing without a pump.
// The driver calls it between its reads, which block up to 100 ms each.
void DSRunPendingMessages();

// The local time's offset from UTC in seconds, daylight saving included.
std::int32_t LocalUtcOffset();
// The wall clock's local time now.
std::tm LocalNow();

// A message pump runs pending window messages, waiting for them at most `maxWaitMs`.
// It may return early. The GUI installs one; without one DSSleep simply sleeps.
using MessagePump = std::function<void(std::uint32_t maxWaitMs)>;
void DSSetMessagePump(MessagePump pump);
bool DSHasMessagePump();

}  // namespace quendal
