// The timing services' system part on POSIX.
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "host/timing.h"
#include "host/timing_platform.h"

namespace quendal {

std::uint32_t DSTicks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

namespace detail {

void PlainSleep(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::int32_t UtcOffsetAt(std::time_t when) {
  std::tm local{};
  if (!localtime_r(&when, &local)) return 0;
  // tm_gmtoff already holds daylight saving and zones that shift by other than an hour.
  return static_cast<std::int32_t>(local.tm_gmtoff);
}

}  // namespace detail
}  // namespace quendal
