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
// benchmark sets apart from the time spent on the line. Always the protocol's figures, also
// where a simulated device had them shortened.
std::uint64_t DSSleepAskedMs();

// A simulated device may say that it runs `scale` times faster than the real one (tests);
// the serial driver then sets the scale when it opens that device, and sets 1 whenever it
// opens anything else, so that no wait before or with a real device is ever shortened.
// While the scale is above 1, DSSleep waits 1/scale of what it is asked and the driver's
// time-outs shrink as DSScaledTimeoutMs says.
void DSSetDeviceTimeScale(std::uint32_t scale);
std::uint32_t DSDeviceTimeScale();
// A time-out under the scale: 1/scale of it, but never below kShortestScaledTimeoutMs (nor
// above the time-out itself), so that a busy machine cannot make a simulated device late.
inline constexpr std::uint32_t kShortestScaledTimeoutMs = 300;
std::uint32_t DSScaledTimeoutMs(std::uint32_t ms);

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
