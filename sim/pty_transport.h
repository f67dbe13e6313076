#pragma once
// Puts a device model on the master side of a pseudo-terminal, in a thread of its own. The
// host under test opens the slave path like any serial port.
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "host/status.h"
#include "sim/wire.h"

namespace quendal::sim {

struct TransportOptions {
  // Bytes take ten bit times each at the line speed, both ways; otherwise answers leave at
  // once.
  bool pace = false;
};

// A cable in the field: bytes lost or with one bit changed, by chance, for a while.
struct LineNoise {
  double dropRate = 0;       // chance per byte of being lost
  double flipRate = 0;       // chance per byte of one bit changing
  bool toDevice = true;      // bytes the host sends
  bool fromDevice = true;    // bytes the device sends
  std::uint32_t ms = 0;      // how long, from now; 0: until switched off
  std::uint64_t seed = 1;
};

class PtyTransport {
 public:
  explicit PtyTransport(Endpoint* device, TransportOptions options = {});
  ~PtyTransport();  // stops
  PtyTransport(const PtyTransport&) = delete;
  PtyTransport& operator=(const PtyTransport&) = delete;

  // Creates the pseudo-terminal and starts the thread; 1, or a negated errno.
  Status Start();
  // Joins the thread and closes the pseudo-terminal; the slave path goes away.
  void Stop();

  const std::string& SlavePath() const { return slavePath_; }
  // The line speed the host has set on the slave; 0 before Start.
  std::uint32_t HostBaud() const;
  // Whether a host has the slave open (always true where that cannot be watched).
  bool HostConnected() const { return hostOpens_.load() > 0; }
  // Device bytes lost because nobody had the port open or the line backed up.
  std::uint64_t BytesDiscarded() const { return discarded_.load(); }
  // Line noise from now on, switched while the device runs; a rate of 0 switches it off.
  void SetLineNoise(const LineNoise& noise);
  // Bytes the noise has lost or changed so far.
  std::uint64_t NoiseHits() const { return noiseHits_.load(); }
  // Opens of the slave by anyone but the transport, and bytes the host sent, since Start:
  // whether anything reached for this device at all.
  std::uint64_t OpensSeen() const { return opensSeen_.load(); }
  std::uint64_t BytesReceived() const { return received_.load(); }

 private:
  void Run();
  void WatchOpens();
  void TakeDeviceOutput();
  TimePoint SendOutput(TimePoint now, bool* blocked);
  TimePoint ReceiveInput(TimePoint now, bool readable, bool* wantInput);

  Endpoint* device_;
  TransportOptions options_;
  std::string slavePath_;
  int master_ = -1;
  int slave_ = -1;   // our own: the line stays up while the host closes and reopens
  int notify_ = -1;  // inotify on the slave node: the host's opens and closes
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> hostOpens_{1};
  std::atomic<std::uint64_t> discarded_{0};
  std::atomic<std::uint64_t> noiseHits_{0};

  // Applies the noise to bytes on their way; false when the byte is lost.
  bool Noise(std::uint8_t* byte, bool toDevice);
  std::size_t PassNoise(std::uint8_t* bytes, std::size_t count);  // in place; bytes kept
  std::mutex noiseMu_;
  LineNoise noise_;
  TimePoint noiseUntil_{};
  std::uint64_t noiseState_ = 1;
  std::atomic<std::uint64_t> opensSeen_{0};
  std::atomic<std::uint64_t> received_{0};

  // Thread state.
  std::deque<OutChunk> queue_;
  std::size_t queued_ = 0;    // bytes in queue_
  std::size_t headSent_ = 0;  // bytes of the first chunk already written
  TimePoint txWireFree_{};    // when the last paced byte finished
  bool rxBusy_ = false;       // paced: bytes are on their way in
  TimePoint rxNext_{};        // paced: when the next byte has fully arrived
};

// The number a termios speed stands for; 0 for B0 or one not known.
std::uint32_t SpeedToBaud(speed_t speed);

}  // namespace quendal::sim
