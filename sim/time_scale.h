#pragma once
// The simulator's own speed-up for tests: QUENDAL_SIM_TIME_SCALE=N (2..100) makes every
// device restart, power cut, silence and delay take 1/N of its time, and an unpaced
// transport marks its pseudo-terminal so that the host shortens its waits for this device
// alone by as much (host/serial_port.h). Unset or 1: real time. Read at the start; a
// test may set it (SetTimeScale).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "sim/wire.h"

namespace quendal::sim {

inline std::atomic<std::uint32_t>& TimeScaleSetting() {
  static std::atomic<std::uint32_t> scale{[] {
    const char* text = std::getenv("QUENDAL_SIM_TIME_SCALE");
    const long n = text ? std::strtol(text, nullptr, 10) : 1;
    return static_cast<std::uint32_t>(n < 1 ? 1 : n > 100 ? 100 : n);
  }()};
  return scale;
}

inline std::uint32_t TimeScale() {
  return TimeScaleSetting().load(std::memory_order_relaxed);
}

// For a test whose figures are the real device's: from here on devices and transports
// started later run at `scale` (1: real time).
inline void SetTimeScale(std::uint32_t scale) {
  TimeScaleSetting().store(scale < 1 ? 1 : scale > 100 ? 100 : scale, std::memory_order_relaxed);
}

// SetTimeScale for one test's length, and back to what it was.
class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(std::uint32_t scale) : before_(TimeScale()) { SetTimeScale(scale); }
  ~ScopedTimeScale() { SetTimeScale(before_); }
  ScopedTimeScale(const ScopedTimeScale&) = delete;
  ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

 private:
  std::uint32_t before_;
};

// `ms` of the real device's time on the simulator's clock.
inline Clock::duration DeviceMs(std::uint32_t ms) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(ms)) / TimeScale();
}

}  // namespace quendal::sim
