// The timing services' system part on Windows.
#include <windows.h>

#include <cstdint>
#include <ctime>

#include "host/timing.h"
#include "host/timing_platform.h"

namespace quendal {
namespace {

// Counts per millisecond of the performance counter; 0 when it is missing or ticks
// slower than once a millisecond.
LONGLONG CounterPerMs() {
  static const LONGLONG perMs = [] {
    LARGE_INTEGER frequency{};
    if (!QueryPerformanceFrequency(&frequency)) return LONGLONG{0};
    return frequency.QuadPart / 1000;
  }();
  return perMs;
}

}  // namespace

std::uint32_t DSTicks() {
  const LONGLONG perMs = CounterPerMs();
  LARGE_INTEGER count{};
  if (perMs > 0 && QueryPerformanceCounter(&count))
    return static_cast<std::uint32_t>(count.QuadPart / perMs);
  return GetTickCount();
}

namespace detail {

void PlainSleep(std::uint32_t ms) {
  Sleep(ms);
}

std::int32_t UtcOffsetAt(std::time_t when) {
  std::tm local{};
  if (localtime_s(&local, &when) != 0) return 0;
  // The local fields read as UTC: their distance from `when` is the whole offset, with
  // daylight saving of whatever size the zone uses.
  const std::time_t fieldsAsUtc = _mkgmtime(&local);
  if (fieldsAsUtc == static_cast<std::time_t>(-1)) return 0;
  return static_cast<std::int32_t>(fieldsAsUtc - when);
}

}  // namespace detail
}  // namespace quendal
