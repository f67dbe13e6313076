// The system-neutral half of the timing services.
#include <atomic>
#include <ctime>
#include <utility>

#include "host/timing.h"
#include "host/timing_platform.h"

namespace quendal {
namespace {

MessagePump& InstalledPump() {
  static MessagePump pump;
  return pump;
}

std::atomic<std::uint64_t> sleepAsked{0};
std::atomic<std::uint32_t> deviceTimeScale{1};

}  // namespace

void DSSetMessagePump(MessagePump pump) {
  InstalledPump() = std::move(pump);
}

bool DSHasMessagePump() {
  return static_cast<bool>(InstalledPump());
}

void DSRunPendingMessages() {
  MessagePump pump = InstalledPump();
  if (pump) pump(0);
}

void DSSetDeviceTimeScale(std::uint32_t scale) {
  deviceTimeScale.store(scale > 1 ? scale : 1, std::memory_order_relaxed);
}

std::uint32_t DSDeviceTimeScale() {
  return deviceTimeScale.load(std::memory_order_relaxed);
}

std::uint32_t DSScaledTimeoutMs(std::uint32_t ms) {
  const std::uint32_t scale = DSDeviceTimeScale();
  if (scale == 1) return ms;
  const std::uint32_t floor = ms < kShortestScaledTimeoutMs ? ms : kShortestScaledTimeoutMs;
  const std::uint32_t scaled = ms / scale;
  return scaled > floor ? scaled : floor;
}

Status DSSleep(std::uint32_t ms) {
  sleepAsked.fetch_add(ms, std::memory_order_relaxed);
  ms /= DSDeviceTimeScale();
  if (!InstalledPump()) {
    detail::PlainSleep(ms);
    return 0;
  }
  std::uint32_t start = DSTicks();
  for (;;) {
    const std::uint32_t now = DSTicks();
    std::uint32_t elapsed = now - start;  // modular: survives the 32-bit wrap
    // A clock that went backwards shows up as a huge difference; measure afresh.
    if (elapsed > 0x80000000u) {
      start = now;
      elapsed = 0;
    }
    if (elapsed >= ms) return 0;
    const std::uint32_t left = ms - elapsed;
    // A copy: a message handler may install another pump while this one runs.
    MessagePump pump = InstalledPump();
    if (pump) {
      pump(left);
    } else {
      detail::PlainSleep(left);
    }
  }
}

std::uint64_t DSSleepAskedMs() {
  return sleepAsked.load(std::memory_order_relaxed);
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

std::int32_t LocalUtcOffset() {
  return detail::UtcOffsetAt(std::time(nullptr));
}

}  // namespace quendal
