#include "sim/pty_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "host/serial_port.h"
#include "host/termios_speeds.h"
#include "sim/time_scale.h"

namespace quendal::sim {
namespace {

constexpr std::size_t kReadChunk = 4096;
// A device that talks into a line nobody reads would otherwise grow without bound.
constexpr std::size_t kMaxQueued = 1 << 20;
// Paced transfers wake at most this often; the byte accounting stays exact.
constexpr auto kPaceTick = std::chrono::milliseconds(1);
// After a hang-up on the master, look again this much later instead of spinning.
constexpr auto kHangupBackoff = std::chrono::milliseconds(50);

int TimeoutMs(TimePoint now, TimePoint next) {
  if (next == kNever) return -1;
  if (next <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

std::uint32_t SpeedToBaud(speed_t speed) {
  return BaudOfTermiosCode(speed);
}

PtyTransport::PtyTransport(Endpoint* device, TransportOptions options)
    : device_(device), options_(options) {}

PtyTransport::~PtyTransport() {
  Stop();
}

Status PtyTransport::Start() {
  if (thread_.joinable()) return kOk;
  auto fail = [this](int error) {
    CloseFd(&notify_);
    CloseFd(&slave_);
    CloseFd(&master_);
    CloseFd(&wakeRead_);
    CloseFd(&wakeWrite_);
    return static_cast<Status>(-error);
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return fail(errno);
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    return fail(errno);
  }
  if (fcntl(master_, F_SETFL, O_NONBLOCK) != 0 || fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) {
    return fail(errno);
  }
  slavePath_ = name;
  // Opened before anyone else: while it stays open the master never sees the line hang up.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) return fail(errno);
  // A fresh pty echoes and edits lines; until the host sets its own mode the line must be
  // raw, or the device would hear its own answers.
  termios t{};
  if (tcgetattr(slave_, &t) != 0) return fail(errno);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  if (tcsetattr(slave_, TCSANOW, &t) != 0) return fail(errno);

  // Tells the host that this device runs faster than the real one; with paced bytes the
  // wire takes its real time, so the host's waits must stay in full.
  const std::uint32_t scale = TimeScale();
  if (scale > 1 && !options_.pace) {
    winsize mark{};
    mark.ws_xpixel = port::kSimulatedDeviceMark;
    mark.ws_ypixel = static_cast<unsigned short>(scale);
    if (ioctl(master_, TIOCSWINSZ, &mark) != 0) return fail(errno);
  }

  int pipeFds[2];
  if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) return fail(errno);
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];

  // Without the watch every host is taken as present, and exclusive mode stays as the host
  // leaves it.
  notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_ >= 0 && inotify_add_watch(notify_, name, IN_OPEN | IN_CLOSE) < 0) {
    CloseFd(&notify_);
  }
  hostOpens_ = notify_ >= 0 ? 0 : 1;

  stop_ = false;
  int wakeFd = wakeWrite_;
  device_->SetWakeHook([wakeFd] {
    char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = write(wakeFd, &byte, 1);
  });
  thread_ = std::thread([this] { Run(); });
  return kOk;
}

void PtyTransport::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    char byte = 1;
    [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
    thread_.join();
  }
  if (master_ < 0) return;
  // Control calls that still hold the old hook would write into a closed pipe.
  device_->SetWakeHook(nullptr);
  CloseFd(&notify_);
  CloseFd(&slave_);
  CloseFd(&master_);
  CloseFd(&wakeRead_);
  CloseFd(&wakeWrite_);
  queue_.clear();
  queued_ = 0;
  headSent_ = 0;
}

std::uint32_t PtyTransport::HostBaud() const {
  termios t{};
  if (slave_ < 0 || tcgetattr(slave_, &t) != 0) return 0;
  return SpeedToBaud(cfgetospeed(&t));
}

void PtyTransport::WatchOpens() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t n = read(notify_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (char* p = buffer; p < buffer + n;) {
      auto* event = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        hostOpens_ = 1;
      } else if (event->mask & IN_OPEN) {
        ++hostOpens_;
        ++opensSeen_;
      } else if ((event->mask & IN_CLOSE) && hostOpens_ > 0 && --hostOpens_ == 0) {
        // A real port forgets on its last close what the pty would keep because we hold
        // it open: exclusive mode (a non-root host could not reopen it) and unread input.
        ioctl(slave_, TIOCNXCL);
        tcflush(slave_, TCIFLUSH);
      }
    }
  }
}

void PtyTransport::SetLineNoise(const LineNoise& noise) {
  std::lock_guard lock(noiseMu_);
  noise_ = noise;
  noiseState_ = noise.seed == 0 ? 1 : noise.seed;
  noiseUntil_ = noise.ms == 0 ? kNever : Clock::now() + std::chrono::milliseconds(noise.ms);
}

bool PtyTransport::Noise(std::uint8_t* byte, bool toDevice) {
  std::lock_guard lock(noiseMu_);
  if (noise_.dropRate <= 0 && noise_.flipRate <= 0) return true;
  if (toDevice ? !noise_.toDevice : !noise_.fromDevice) return true;
  if (Clock::now() >= noiseUntil_) return true;
  // xorshift64*: repeatable from the seed, cheap per byte.
  auto next = [this] {
    noiseState_ ^= noiseState_ >> 12;
    noiseState_ ^= noiseState_ << 25;
    noiseState_ ^= noiseState_ >> 27;
    return noiseState_ * 2685821657736338717ull;
  };
  auto chance = [&](double rate) {
    return rate > 0 && static_cast<double>(next() >> 11) * 0x1.0p-53 < rate;
  };
  if (chance(noise_.dropRate)) {
    ++noiseHits_;
    return false;
  }
  if (chance(noise_.flipRate)) {
    ++noiseHits_;
    *byte = static_cast<std::uint8_t>(*byte ^ (1u << (next() >> 61)));
  }
  return true;
}

void PtyTransport::TakeDeviceOutput() {
  std::vector<OutChunk> chunks;
  device_->TakeOutput(&chunks);
  for (OutChunk& chunk : chunks) {
    std::string kept;
    kept.reserve(chunk.bytes.size());
    for (char c : chunk.bytes) {
      auto byte = static_cast<std::uint8_t>(c);
      if (Noise(&byte, false)) kept.push_back(static_cast<char>(byte));
    }
    chunk.bytes.swap(kept);
    if (queued_ + chunk.bytes.size() > kMaxQueued) {
      discarded_ += chunk.bytes.size();
      continue;
    }
    queued_ += chunk.bytes.size();
    queue_.push_back(std::move(chunk));
  }
}

TimePoint PtyTransport::SendOutput(TimePoint now, bool* blocked) {
  *blocked = false;
  const std::uint32_t hostBaud = HostBaud();
  std::string piece;
  while (!queue_.empty()) {
    OutChunk& head = queue_.front();
    if (head.notBefore > now) return head.notBefore;
    std::size_t remaining = head.bytes.size() - headSent_;
    std::size_t count = remaining;
    TimePoint start{};
    Clock::duration byteTime{};
    if (options_.pace) {
      byteTime = ByteTime(head.baud != 0 ? head.baud : hostBaud);
      start = std::max(txWireFree_, head.notBefore);
      if (start + byteTime > now) return start + byteTime;
      auto done = static_cast<std::size_t>((now - start - byteTime) / byteTime) + 1;
      count = std::min(remaining, done);
    }
    piece.assign(head.bytes, headSent_, count);
    if (!SameSpeed(head.baud, hostBaud)) {
      for (char& c : piece) c = static_cast<char>(Garble(static_cast<std::uint8_t>(c)));
    }
    std::size_t written = 0;
    if (!HostConnected()) {
      // Sent into a port that nobody has open: gone, as on a real line.
      discarded_ += count;
      written = count;
    } else {
      ssize_t n = write(master_, piece.data(), piece.size());
      if (n > 0) written = static_cast<std::size_t>(n);
    }
    if (options_.pace) txWireFree_ = start + byteTime * static_cast<long>(written);
    headSent_ += written;
    queued_ -= written;
    if (headSent_ == head.bytes.size()) {
      queue_.pop_front();
      headSent_ = 0;
      continue;
    }
    if (written < count) {
      *blocked = true;
      return kNever;
    }
    return txWireFree_ + byteTime;  // paced: the rest is still on the wire
  }
  return kNever;
}

std::size_t PtyTransport::PassNoise(std::uint8_t* bytes, std::size_t count) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t byte = bytes[i];
    if (Noise(&byte, true)) bytes[kept++] = byte;
  }
  return kept;
}

TimePoint PtyTransport::ReceiveInput(TimePoint now, bool readable, bool* wantInput) {
  std::uint8_t buffer[kReadChunk];
  const std::uint32_t hostBaud = HostBaud();
  *wantInput = true;
  if (!options_.pace) {
    if (!readable) return kNever;
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      received_ += static_cast<std::uint64_t>(n);
      const std::size_t kept = PassNoise(buffer, static_cast<std::size_t>(n));
      if (kept > 0) device_->Receive(buffer, kept, hostBaud, now);
    }
    return kNever;
  }
  const Clock::duration byteTime = ByteTime(hostBaud);
  if (!rxBusy_) {
    if (!readable) return kNever;
    // The first byte is only whole after its ten bit times.
    rxBusy_ = true;
    rxNext_ = now + byteTime;
  } else if (now >= rxNext_) {
    auto due = static_cast<std::size_t>((now - rxNext_) / byteTime) + 1;
    due = std::min(due, sizeof buffer);
    ssize_t n = read(master_, buffer, due);
    std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
    received_ += got;
    const std::size_t kept = got > 0 ? PassNoise(buffer, got) : 0;
    if (kept > 0) device_->Receive(buffer, kept, hostBaud, now);
    rxNext_ += byteTime * static_cast<long>(got);
    if (got < due) rxBusy_ = false;  // the wire ran dry
  }
  *wantInput = !rxBusy_;
  return rxBusy_ ? rxNext_ : kNever;
}

void PtyTransport::Run() {
  TimePoint masterQuietUntil{};
  TimePoint rxDue = kNever;
  bool wantInput = true;
  while (!stop_) {
    TimePoint now = Clock::now();
    TimePoint next = device_->Advance(now);
    TakeDeviceOutput();
    bool blocked = false;
    TimePoint txDue = SendOutput(now, &blocked);
    TimePoint paced = std::min(txDue, rxDue);
    if (options_.pace && paced != kNever) paced = std::max(paced, now + kPaceTick);
    next = std::min(next, paced);

    bool listen = wantInput && now >= masterQuietUntil;
    if (!listen && masterQuietUntil > now) next = std::min(next, masterQuietUntil);
    pollfd fds[3] = {
        {wakeRead_, POLLIN, 0},
        {master_, static_cast<short>((listen ? POLLIN : 0) | (blocked ? POLLOUT : 0)), 0},
        {notify_, POLLIN, 0},
    };
    int ready = poll(fds, notify_ >= 0 ? 3 : 2, TimeoutMs(now, next));
    if (ready < 0 && errno != EINTR) break;
    if (ready < 0) continue;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    // Opens and closes first: input that follows a reopen belongs to the new host.
    if (notify_ >= 0 && (fds[2].revents & POLLIN)) WatchOpens();
    now = Clock::now();
    bool readable = (fds[1].revents & POLLIN) != 0;
    if (!readable && (fds[1].revents & (POLLHUP | POLLERR))) {
      masterQuietUntil = now + kHangupBackoff;
    }
    rxDue = ReceiveInput(now, readable, &wantInput);
  }
}

}  // namespace quendal::sim
