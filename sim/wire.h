#pragma once
// What moves between a host and a simulated device: bytes with a line speed, and the
// interface that a transport uses to drive a device model.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quendal::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
inline constexpr TimePoint kNever = TimePoint::max();

inline constexpr std::uint32_t kShellBaud = 9600;

// A byte sent at one line speed and sampled at another arrives as some other byte. Real
// receivers produce framing-error noise; a fixed mapping keeps tests repeatable, and it never
// turns printable text into printable text, so a garbled answer can never pass for a good one.
inline std::uint8_t Garble(std::uint8_t byte) {
  return static_cast<std::uint8_t>(byte ^ 0x80);
}

// Whether a byte sent at `sent` survives a receiver at `received`; 0 means "no line speed"
// (a loop-back plug), which matches any rate.
inline bool SameSpeed(std::uint32_t sent, std::uint32_t received) {
  return sent == 0 || received == 0 || sent == received;
}

// Ten bit times (start, eight data, stop) at `baud`; 9600 when the speed is unknown.
inline Clock::duration ByteTime(std::uint32_t baud) {
  if (baud == 0) baud = kShellBaud;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL) /
                                                     baud);
}

// Bytes a device has said, at its line speed then, to be sent no earlier than `notBefore`.
struct OutChunk {
  std::string bytes;
  TimePoint notBefore;
  std::uint32_t baud = 0;
};

// A device model as a transport sees it. Calls come from the transport's thread; a model
// that is also inspected from other threads locks inside.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // Bytes from the host, sent at `hostBaud`; the model decides what it hears of them.
  virtual void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
                       TimePoint now) = 0;
  // Runs what has fallen due; returns when it next needs to run (kNever: only on input).
  virtual TimePoint Advance(TimePoint now) = 0;
  // Hands over what the model has said since the last call.
  virtual void TakeOutput(std::vector<OutChunk>* out) = 0;
  // The model's line speed now; 0 when it has none (a loop-back plug).
  virtual std::uint32_t Baud() const = 0;
  // The transport's way of being woken when the model changes from another thread.
  virtual void SetWakeHook(std::function<void()> wake) = 0;
};

}  // namespace quendal::sim
