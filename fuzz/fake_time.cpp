// A virtual clock for the fuzz targets: sleeping moves it on at once.
#include "host/timing.h"
#include "host/timing_platform.h"

namespace quendal {
namespace {

std::uint32_t g_now = 1000;

}  // namespace

std::uint32_t DSTicks() {
  return g_now;
}

namespace detail {

void PlainSleep(std::uint32_t ms) {
  g_now += ms;
}

std::int32_t UtcOffsetAt(std::time_t) {
  return 0;
}

}  // namespace detail
}  // namespace quendal
