// The device on a real pseudo-terminal, reached the way a serial driver reaches a port.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/device.h"
#include "sim/pty_transport.h"
#include "tests/sim/frames.h"

namespace quendal::sim {
namespace {

using namespace std::chrono_literals;

// A host port set up like the serial driver's: exclusive, raw, reads return within 100 ms.
class HostPort {
 public:
  explicit HostPort(const std::string& path, speed_t speed = B9600) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0 || ioctl(fd_, TIOCEXCL) != 0) Close();
    if (fd_ >= 0) SetSpeed(speed);
  }
  ~HostPort() { Close(); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void SetSpeed(speed_t speed) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads for `span`, or until `enough` bytes have come.
  std::string Read(std::chrono::milliseconds span, std::size_t enough = SIZE_MAX) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + span;
    char buffer[1024];
    while (got.size() < enough && std::chrono::steady_clock::now() < end) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

template <typename Predicate>
bool Eventually(Predicate p) {
  for (int i = 0; i < 200 && !p(); ++i) std::this_thread::sleep_for(5ms);
  return p();
}

// Answers every byte with one fixed chunk at a fixed speed and notes the speed it was sent at.
class FixedAnswer : public Endpoint {
 public:
  void Receive(const std::uint8_t*, std::size_t, std::uint32_t hostBaud, TimePoint now) override {
    std::lock_guard lock(mu_);
    heardAt.push_back(hostBaud);
    out_.push_back(OutChunk{"+\r", now, 57600});
  }
  TimePoint Advance(TimePoint) override { return kNever; }
  void TakeOutput(std::vector<OutChunk>* out) override {
    std::lock_guard lock(mu_);
    for (OutChunk& c : out_) out->push_back(std::move(c));
    out_.clear();
  }
  std::uint32_t Baud() const override { return 57600; }
  void SetWakeHook(std::function<void()>) override {}

  std::vector<std::uint32_t> heardAt;  // read after the transport stops

 private:
  std::mutex mu_;
  std::vector<OutChunk> out_;
};

TEST(SimPty, HostTalksToTheShellAndSetsTheSpeed) {
  SimDevice device(OptionsForType(kTypeCommDevice, 123));
  PtyTransport transport(&device);
  ASSERT_EQ(transport.Start(), 1);
  HostPort host(transport.SlavePath());
  ASSERT_TRUE(host.ok());
  host.Write("get -ver\r");
  EXPECT_EQ(host.Read(1s, 10), "\rKCD 1.23\r>");
  EXPECT_EQ(transport.HostBaud(), 9600u);
  host.SetSpeed(B57600);
  EXPECT_EQ(transport.HostBaud(), 57600u);
  host.Write("get -ver\r");  // the shell hears noise without a CR
  EXPECT_EQ(host.Read(200ms), "");
  host.SetSpeed(B9600);
  host.Write("\r");
  EXPECT_EQ(host.Read(1s, 14), "\rUnsupported\r>");
}

TEST(SimPty, AnswersAtAnotherSpeedArriveGarbled) {
  FixedAnswer device;
  {
    PtyTransport transport(&device);
    ASSERT_EQ(transport.Start(), 1);
    HostPort host(transport.SlavePath(), B57600);
    ASSERT_TRUE(host.ok());
    host.Write("x");
    EXPECT_EQ(host.Read(1s, 2), "+\r");
    host.SetSpeed(B9600);
    host.Write("x");
    EXPECT_EQ(host.Read(1s, 2), "\xAB\x8D");
  }
  EXPECT_EQ(device.heardAt, (std::vector<std::uint32_t>{57600, 9600}));
}

// A real port forgets exclusive mode and unread input on its last close; the pty would keep
// both while the simulator holds it open, and a host that is not root could not reopen it.
void CloseAndReopen(const std::string& path, bool* reopened, bool* staleInput) {
  {
    HostPort first(path);
    if (!first.ok()) return;
    first.Write("get -ver\r");
    std::this_thread::sleep_for(100ms);  // the answer waits unread
  }
  for (int i = 0; i < 200 && !*reopened; ++i) {
    HostPort again(path);
    *reopened = again.ok();
    if (*reopened) *staleInput = !again.Read(150ms).empty();
    if (!*reopened) std::this_thread::sleep_for(5ms);
  }
}

TEST(SimPty, HostCanCloseAndReopen) {
  SimDevice device(OptionsForType(kTypeCommDevice, 123));
  PtyTransport transport(&device);
  ASSERT_EQ(transport.Start(), 1);
  const std::string path = transport.SlavePath();
  bool reopened = false;
  bool stale = true;
  if (geteuid() != 0) {
    CloseAndReopen(path, &reopened, &stale);
  } else {
    // Root ignores exclusive mode; an ordinary user is what the check is about.
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = setgid(65534) == 0 && setuid(65534) == 0;
      if (ok) CloseAndReopen(path, &reopened, &stale);
      _exit(!ok ? 3 : !reopened ? 1 : stale ? 2 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    reopened = WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2;
    stale = WEXITSTATUS(status) == 2;
    ASSERT_NE(WEXITSTATUS(status), 3);
  }
  EXPECT_TRUE(reopened);
  EXPECT_FALSE(stale);
  EXPECT_TRUE(Eventually([&] { return !transport.HostConnected(); }));
}

TEST(SimPty, AnswersIntoAClosedPortAreLost) {
  FaultPlan plan;
  plan.rules.push_back(FaultRule{FaultKind::kDelay, 0, 1, 1, 0, 300, 1});
  DeviceOptions options = OptionsForType(kTypeDigitalSensor, 396);
  options.blankFlash = true;
  options.faults = plan;
  SimDevice device(options);
  PtyTransport transport(&device);
  ASSERT_EQ(transport.Start(), 1);
  {
    HostPort host(transport.SlavePath());
    ASSERT_TRUE(host.ok());
    host.Write("\rP");
    ASSERT_EQ(host.Read(1s, 2), "$#");
    host.Write(frames::Frame('@', "8000") + "\r");
    ASSERT_TRUE(Eventually([&] { return device.FramesReceived('@') == 1; }));
  }
  std::this_thread::sleep_for(400ms);
  HostPort host(transport.SlavePath());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.Read(200ms), "");
  EXPECT_EQ(transport.BytesDiscarded(), 2u);
}

TEST(SimPty, PacingTakesTheWireTime) {
  DeviceOptions options;
  options.faults.echo = true;
  for (bool pace : {false, true}) {
    SimDevice device(options);
    PtyTransport transport(&device, TransportOptions{pace});
    ASSERT_EQ(transport.Start(), 1);
    HostPort host(transport.SlavePath());
    ASSERT_TRUE(host.ok());
    const std::string bytes(960, 'U');
    auto start = std::chrono::steady_clock::now();
    host.Write(bytes);
    EXPECT_EQ(host.Read(3s, bytes.size()), bytes);
    auto took = std::chrono::steady_clock::now() - start;
    if (pace) {
      // 960 bytes of ten bits at 9600 baud: one second in, echoed out alongside.
      EXPECT_GT(took, 950ms);
    } else {
      EXPECT_LT(took, 950ms) << "unpaced bytes must not take the wire time";
    }
  }
}

TEST(SimPty, IdleDeviceSleeps) {
  SimDevice device(OptionsForType(kTypeCommDevice, 123));
  PtyTransport transport(&device, TransportOptions{true});
  ASSERT_EQ(transport.Start(), 1);
  HostPort host(transport.SlavePath());
  ASSERT_TRUE(host.ok());
  timespec before{}, after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(500ms);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 25.0);
}

TEST(SimPty, StopTakesThePortAway) {
  SimDevice device(OptionsForType(kTypeCommDevice, 123));
  std::string path;
  {
    PtyTransport transport(&device);
    ASSERT_EQ(transport.Start(), 1);
    path = transport.SlavePath();
    HostPort host(path);
    ASSERT_TRUE(host.ok());
  }
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0);
  device.PowerCycle(0);  // no transport left to wake: nothing happens
  EXPECT_EQ(device.State(), DeviceState::kOff);
}

}  // namespace
}  // namespace quendal::sim
