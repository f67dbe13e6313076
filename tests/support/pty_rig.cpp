#include "tests/support/pty_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/termios_speeds.h"
#include "tests/support/pty_pair.h"

namespace quendal::test {
namespace {

constexpr std::uint32_t kSendRetryMs = 2000;

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

PtyRig::PtyRig() {
  const int fd = OpenPtyMaster(&slavePath_, &error_, {.raw = true, .nonBlocking = true});
  if (fd < 0) return;
  masterFd_ = fd;
  peer_ = std::thread([this] { Run(); });
}

PtyRig::~PtyRig() {
  HangUp();
}

void PtyRig::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (peer_.joinable()) peer_.join();
}

void PtyRig::HangUp() {
  Stop();
  if (masterFd_ >= 0) close(masterFd_);
  masterFd_ = -1;
}

PtyRig& PtyRig::Add(Kind kind, std::string bytes, std::uint32_t ms) {
  Step step;
  step.kind = kind;
  step.bytes = std::move(bytes);
  step.ms = ms;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(std::move(step));
  }
  changed_.notify_all();
  return *this;
}

PtyRig& PtyRig::Expect(std::string bytes, std::uint32_t timeoutMs) {
  return Add(Kind::kExpect, std::move(bytes), timeoutMs);
}
PtyRig& PtyRig::Send(std::string bytes) {
  return Add(Kind::kSend, std::move(bytes), 0);
}
PtyRig& PtyRig::Pause(std::uint32_t ms) {
  return Add(Kind::kPause, {}, ms);
}
PtyRig& PtyRig::Silence(std::uint32_t ms) {
  return Add(Kind::kSilence, {}, ms);
}

bool PtyRig::WaitDone(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool done = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return steps_.empty() || stop_; });
  if (!done) failures_.push_back("script not finished in time");
  return done && steps_.empty() && failures_.empty();
}

std::vector<std::string> PtyRig::Failures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failures_;
}

std::string PtyRig::FailureText() const {
  std::string text;
  for (const std::string& failure : Failures()) text += failure + "\n";
  return text;
}

std::string PtyRig::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capture_;
}

bool PtyRig::WaitReceived(std::size_t bytes, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return capture_.size() >= bytes; });
}

std::uint32_t PtyRig::SlaveBaud() const {
  termios tio{};
  if (masterFd_ < 0 || tcgetattr(masterFd_, &tio) != 0) return 0;
  return BaudOfTermiosCode(cfgetospeed(&tio));
}

bool PtyRig::SetSlaveBaud(std::uint32_t baud) {
  termios tio{};
  if (masterFd_ < 0 || tcgetattr(masterFd_, &tio) != 0) return false;
  speed_t code = B0;
  if (!TermiosCodeOf(baud, &code)) return false;
  cfsetispeed(&tio, code);
  cfsetospeed(&tio, code);
  return tcsetattr(masterFd_, TCSANOW, &tio) == 0;
}

void PtyRig::Fail(std::string why) {
  failures_.push_back(std::move(why));
}

void PtyRig::Drain(int waitMs) {
  pollfd pfd{masterFd_, POLLIN, 0};
  int ready = poll(&pfd, 1, waitMs);
  if (ready <= 0) return;
  if (!(pfd.revents & POLLIN)) {
    // No slave open (yet, or any more): the master reports a hang-up at once.
    usleep(static_cast<useconds_t>(waitMs) * 1000);
    return;
  }
  char chunk[4096];
  std::string got;
  for (;;) {
    ssize_t n = read(masterFd_, chunk, sizeof chunk);
    if (n > 0) {
      got.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (got.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    capture_ += got;
  }
  changed_.notify_all();
}

bool PtyRig::Advance(Step& step, std::unique_lock<std::mutex>& lock) {
  const auto now = Clock::now();
  if (!step.started) {
    step.started = true;
    step.deadline =
        now + std::chrono::milliseconds(step.kind == Kind::kSend ? kSendRetryMs : step.ms);
    step.mark = step.kind == Kind::kSilence ? capture_.size() : 0;
  }
  switch (step.kind) {
    case Kind::kPause:
      return now >= step.deadline;

    case Kind::kSilence:
      if (capture_.size() > step.mark) {
        Fail("host wrote \"" + Escaped(capture_.substr(step.mark)) + "\" during a silence");
        return true;
      }
      return now >= step.deadline;

    case Kind::kExpect: {
      const std::size_t available = capture_.size() - cursor_;
      const std::size_t n = available < step.bytes.size() ? available : step.bytes.size();
      if (capture_.compare(cursor_, n, step.bytes, 0, n) != 0) {
        Fail("expected \"" + Escaped(step.bytes) + "\", got \"" +
             Escaped(capture_.substr(cursor_)) + "\"");
        return true;
      }
      if (n == step.bytes.size()) {
        cursor_ += n;
        return true;
      }
      if (now >= step.deadline) {
        Fail("timed out expecting \"" + Escaped(step.bytes) + "\", got \"" +
             Escaped(capture_.substr(cursor_)) + "\"");
        return true;
      }
      return false;
    }

    case Kind::kSend: {
      const std::string bytes = step.bytes;
      std::size_t sent = step.mark;
      lock.unlock();
      int err = 0;
      while (sent < bytes.size()) {
        ssize_t n = write(masterFd_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EAGAIN: the host's queue is full; EIO: no slave open. Both may pass.
        err = n < 0 ? errno : EAGAIN;
        break;
      }
      lock.lock();
      step.mark = sent;
      if (sent == bytes.size()) return true;
      if (Clock::now() >= step.deadline) {
        Fail("could not send \"" + Escaped(bytes) + "\": " + std::strerror(err));
        return true;
      }
      return false;
    }
  }
  return true;
}

void PtyRig::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const bool busy = !steps_.empty();
    lock.unlock();
    Drain(busy ? 2 : 10);
    lock.lock();
    while (!stop_ && !steps_.empty()) {
      const std::size_t failuresBefore = failures_.size();
      if (!Advance(steps_.front(), lock)) break;
      if (failures_.size() != failuresBefore) {
        steps_.clear();
      } else {
        steps_.pop_front();
      }
      changed_.notify_all();
    }
  }
}

}  // namespace quendal::test
