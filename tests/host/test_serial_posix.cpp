// The serial driver over real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/diagnostic_log.h"
#include "host/serial.h"
#include "host/serial_port.h"
#include "host/timing.h"
#include "tests/support/pty_rig.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::PtyRig;
using test::ReadWholeFile;
using test::TempDir;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::uint32_t Len(const char* text) {
  return static_cast<std::uint32_t>(std::strlen(text));
}

class SerialPty : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.ok()) << rig.Error();
    log.Open(dir.File("log.txt").c_str(), kLogTrace);
    link.log = &log;
  }
  void TearDown() override {
    DSSetMessagePump(nullptr);
    DSSetDeviceTimeScale(1);
  }

  std::string LogText() const { return ReadWholeFile(dir.File("log.txt")); }
  bool Logged(const std::string& source, const std::string& text) const {
    return LogText().find(" - " + source + ": " + text + "\r\n") != std::string::npos;
  }
  int CountLogged(const std::string& text) const {
    const std::string log = LogText();
    int n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  void OpenAt(std::uint32_t baud) { ASSERT_EQ(DSOpen(&link, rig.SlavePath().c_str(), baud), 1); }

  TempDir dir;
  DiagnosticLog log;
  PtyRig rig;
  DeviceLink link;  // last: goes before the rig and the log
};

TEST_F(SerialPty, OpenGivesARawLineAtTheRateAndPassesEveryByte) {
  const std::uint32_t cases[][2] = {{0, 9600}, {1200, 1200}, {57600, 57600}, {115200, 115200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    // A line left cooked by someone else: all of it must go.
    termios cooked{};
    ASSERT_EQ(tcgetattr(rig.MasterFd(), &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON | IXOFF | IXANY | ISTRIP;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag = (cooked.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(rig.MasterFd(), TCSANOW, &cooked), 0);

    OpenAt(c[0]);
    EXPECT_GT(link.handle, 2);
    EXPECT_EQ(link.baud, c[1]);
    EXPECT_EQ(rig.SlaveBaud(), c[1]);
    termios tio{};
    ASSERT_EQ(tcgetattr(rig.MasterFd(), &tio), 0);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | IXANY | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);
    EXPECT_TRUE(Logged(rig.SlavePath(), "DSOpen successfully opened and configured comm port at " +
                                            std::to_string(c[1]) + " baud"));

    // Control characters, CR/LF and high bytes both ways, untouched.
    const std::string odd = "\r\n\x03\x11\x13\x7f\xff";
    rig.Expect(odd).Send(odd);
    std::uint32_t written = 0;
    EXPECT_EQ(DSWrite(&link, odd.data(), Len(odd.c_str()), &written), 7);
    EXPECT_EQ(written, 7u);
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
    std::string heard;
    for (int i = 0; i < 10 && heard.size() < odd.size(); ++i) {
      char chunk[16];
      std::uint32_t got = 0;
      ASSERT_GE(DSRead(&link, chunk, sizeof chunk, &got), 0);
      heard.append(chunk, got);
    }
    EXPECT_EQ(heard, odd);

    EXPECT_EQ(DSClose(&link), 1);
    EXPECT_EQ(link.handle, kPortClosed);
    EXPECT_EQ(link.readBuffer, nullptr);
  }
  EXPECT_EQ(CountLogged(rig.SlavePath() + ": DSClose closed comm port\r\n"), 4);
}

TEST_F(SerialPty, OpenOnAnOpenLinkClosesTheOldHandleFirst) {
  OpenAt(9600);
  const PortHandle old = link.handle;
  const auto start = Clock::now();
  const std::uint64_t asked = DSSleepAskedMs();
  // The old descriptor holds the port's lock: the new open only succeeds once it is gone.
  EXPECT_EQ(DSOpen(&link, rig.SlavePath().c_str(), 19200), 1);
  EXPECT_GE(MsSince(start), 95);
  EXPECT_EQ(DSSleepAskedMs() - asked, 100u) << "one pause between the close and the open";
  EXPECT_EQ(rig.SlaveBaud(), 19200u);
  EXPECT_TRUE(
      Logged("OrveSerial", "DSOpen found port \"" + std::to_string(old) + "\" already open"));
  EXPECT_TRUE(Logged(rig.SlavePath(), "DSClose closed comm port"));
}

// Waits shrink only for a pseudo-terminal that a simulated device marked with its time
// scale; any other window size, and any port opened after it, leaves them whole.
TEST_F(SerialPty, OnlyAMarkedPseudoTerminalShortensWaits) {
  struct Case {
    const char* name;
    winsize size;
    std::uint32_t scale;
  } cases[] = {
      {"a terminal's size", {24, 80, 0, 0}, 1},
      {"marked, ten times", {0, 0, port::kSimulatedDeviceMark, 10}, 10},
      {"rows as well", {1, 0, port::kSimulatedDeviceMark, 10}, 1},
      {"other pixels", {0, 0, 640, 10}, 1},
      {"beyond the largest scale", {0, 0, port::kSimulatedDeviceMark, 1000}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ioctl(rig.MasterFd(), TIOCSWINSZ, &c.size), 0);
    OpenAt(9600);
    EXPECT_EQ(DSDeviceTimeScale(), c.scale);
    // The host still asks the whole wait.
    const std::uint64_t asked = DSSleepAskedMs();
    const auto start = Clock::now();
    DSSleep(500);
    EXPECT_EQ(DSSleepAskedMs() - asked, 500u);
    EXPECT_GE(MsSince(start), 500 / c.scale - 1);
    EXPECT_EQ(DSClose(&link), 1);
  }
  EXPECT_EQ(DSScaledTimeoutMs(5000), 5000u) << "no scale after an unmarked port";

  const winsize marked{0, 0, port::kSimulatedDeviceMark, 10};
  ASSERT_EQ(ioctl(rig.MasterFd(), TIOCSWINSZ, &marked), 0);
  OpenAt(9600);
  ASSERT_EQ(DSDeviceTimeScale(), 10u);
  EXPECT_EQ(DSScaledTimeoutMs(5000), 500u);
  EXPECT_EQ(DSScaledTimeoutMs(1000), kShortestScaledTimeoutMs) << "never below the floor";
  EXPECT_EQ(DSScaledTimeoutMs(100), 100u) << "nor above the time-out itself";
  // Opening another port: the pause before it and its waits are whole.
  PtyRig other;
  ASSERT_TRUE(other.ok()) << other.Error();
  const auto start = Clock::now();
  EXPECT_EQ(DSOpen(&link, other.SlavePath().c_str(), 9600), 1);
  EXPECT_GE(MsSince(start), 95) << "the pause before a reopen";
  EXPECT_EQ(DSDeviceTimeScale(), 1u);
  EXPECT_EQ(DSClose(&link), 1);
}

TEST_F(SerialPty, SecondOpenerIsLockedOutUntilTheFirstGoes) {
  OpenAt(9600);
  {
    DeviceLink other;
    other.log = &log;
    const Status rc = DSOpen(&other, rig.SlavePath().c_str(), 9600);
    EXPECT_EQ(rc, -EBUSY);
    EXPECT_EQ(other.handle, kPortInvalid);
    EXPECT_TRUE(Logged(rig.SlavePath(),
                       "DSOpen failed to open comm port (error " + std::to_string(EBUSY) + ")"));
    EXPECT_EQ(DSClose(&other), 0);
  }
  // The first link still works.
  rig.Expect("ping\r");
  std::uint32_t written = 0;
  EXPECT_EQ(DSWrite(&link, "ping\r", 5, &written), 5);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();

  // A link that goes out of scope open lets the port go with it.
  {
    DeviceLink scoped;
    EXPECT_EQ(DSClose(&link), 1);
    ASSERT_EQ(DSOpen(&scoped, rig.SlavePath().c_str(), 9600), 1);
  }
  EXPECT_EQ(DSOpen(&link, rig.SlavePath().c_str(), 9600), 1);
}

TEST_F(SerialPty, FailedOpensAndWhatCloseThenSays) {
  const std::string file = dir.File("not-a-tty");
  test::WriteWholeFile(file, "x");
  // A path longer than the stored name is still opened in full.
  const std::string longPath = dir.File(std::string(80, 'p'));
  std::filesystem::create_symlink(rig.SlavePath(), longPath);
  struct Case {
    std::string name;
    Status open;
    const char* line;  // nullptr: opened
    Status close;
  } cases[] = {
      {"/nonexistent/ttyQ", -ENOENT, "DSOpen failed to open comm port (error 2)", 0},
      {"ttyQuendalNoSuchDevice", -ENOENT, "DSOpen failed to open comm port (error 2)", 0},
      {"", -ENOENT, "DSOpen failed to open comm port (error 2)", 0},
      {dir.path().string(), -EISDIR, "DSOpen failed to open comm port (error 21)", 0},
      // A bare name is looked up in /dev: this one exists but is no serial line.
      {"null", -ENOTTY, "DSOpen failed to retreive DCB on comm port (error 25)", 1},
      {file, -ENOTTY, "DSOpen failed to retreive DCB on comm port (error 25)", 1},
      {longPath, 1, nullptr, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceLink probe;
    probe.log = &log;
    EXPECT_EQ(DSOpen(&probe, c.name.c_str(), 9600), c.open);
    EXPECT_EQ(probe.portName.view(), c.name.substr(0, 64));
    if (c.line) {
      EXPECT_TRUE(Logged(c.name.substr(0, 64), c.line));
    }
    if (c.open == -ENOENT) {
      EXPECT_EQ(probe.handle, kPortInvalid);
    }
    EXPECT_EQ(DSClose(&probe), c.close);
    EXPECT_EQ(probe.handle, kPortClosed);
    EXPECT_EQ(DSClose(&probe), 0);
  }
}

TEST_F(SerialPty, WaitStopsAtTheTerminatorAndReadHandsOverTheRest) {
  OpenAt(9600);
  rig.Expect("get -ver\r").Pause(30).Send("\rKCD 1.23\r>tail");
  EXPECT_EQ(DSFlush(&link, 1), 0);
  std::uint32_t written = 0;
  EXPECT_EQ(DSWrite(&link, "get -ver\r", 9, &written), 9);
  EXPECT_TRUE(Logged(rig.SlavePath(), "DSWrite wrote 9 bytes"));
  EXPECT_EQ(DSWait(&link, 1000, '>'), '>');
  EXPECT_TRUE(link.terminatorSeen);
  char answer[100];
  std::uint32_t count = 0;
  EXPECT_EQ(DSRead(&link, answer, sizeof answer, &count), 15);
  EXPECT_EQ(std::string(answer, count), "\rKCD 1.23\r>tail");
  EXPECT_FALSE(link.terminatorSeen);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(rig.Received(), "get -ver\r");
  EXPECT_TRUE(Logged(rig.SlavePath(), "DSRead read 15 bytes from gReadBuffer"));

  // A terminator above 127 is a success, not a failure code.
  rig.Send("ab\xE9");
  EXPECT_EQ(DSWait(&link, 1000, '\xE9'), 0xE9);
}

TEST_F(SerialPty, ReadOfLessThanCollectedDropsTheRest) {
  OpenAt(9600);
  rig.Send("0123456789abcdefghijklmno");  // 25 bytes, no terminator
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(DSWait(&link, 300, '>'), 0);
  EXPECT_EQ(std::strlen(link.readBuffer), 25u);
  EXPECT_NE(LogText().find(rig.SlavePath() + ": DSWait read 25 bytes, but never found '>' in "),
            std::string::npos);
  char part[10];
  std::uint32_t count = 0;
  EXPECT_EQ(DSRead(&link, part, sizeof part, &count), 10);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(std::string(part, 10), "0123456789");
  // The other 15 are gone: the next read finds only the silent port.
  char rest[64];
  EXPECT_EQ(DSRead(&link, rest, sizeof rest, &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(SerialPty, ReadAfterAFoundTerminatorLeavesThePortAlone) {
  struct Case {
    const char* reply;
    bool flushFirst;  // empty the read buffer, keep the flag
    const char* firstRead;
  } cases[] = {{"abc>", false, "abc>"}, {">", true, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    OpenAt(9600);
    rig.Send(c.reply);
    ASSERT_EQ(DSWait(&link, 1000, '>'), '>');
    if (c.flushFirst) {
      EXPECT_EQ(DSFlush(&link, 0), 0);
    }
    EXPECT_TRUE(link.terminatorSeen);
    rig.Send("late");
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));

    char got[64];
    std::uint32_t count = 99;
    const int portReads = CountLogged(" btyes\r\n");
    EXPECT_EQ(DSRead(&link, got, sizeof got, &count),
              static_cast<Status>(std::strlen(c.firstRead)));
    EXPECT_EQ(std::string(got, count), c.firstRead);
    EXPECT_EQ(CountLogged(" btyes\r\n"), portReads) << "the port was read";
    EXPECT_FALSE(link.terminatorSeen);
    // The next read goes to the port.
    EXPECT_EQ(DSRead(&link, got, sizeof got, &count), 4);
    EXPECT_EQ(std::string(got, count), "late");
    EXPECT_EQ(CountLogged(" btyes\r\n"), portReads + 1);
    EXPECT_EQ(DSClose(&link), 1);
  }
}

TEST_F(SerialPty, SilentLineTimesOutAndPausesOnlyOnLongWaits) {
  OpenAt(9600);
  struct Case {
    std::uint32_t timeoutMs;
    long long atLeast, atMost;
    bool pauses;
  } cases[] = {{1000, 950, 4000, true}, {400, 380, 3000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeoutMs);
    // The 200 ms pauses are sleeps that wait in the message pump; between reads the pump
    // only runs what is pending.
    int pumped = 0;
    int pendingRuns = 0;
    DSSetMessagePump([&](std::uint32_t maxWaitMs) {
      if (maxWaitMs == 0) {
        ++pendingRuns;
        return;
      }
      ++pumped;
      std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
    });
    const auto start = Clock::now();
    EXPECT_EQ(DSWait(&link, c.timeoutMs, '>'), 0);
    const long long took = MsSince(start);
    EXPECT_GE(took, c.atLeast);
    EXPECT_LE(took, c.atMost);
    EXPECT_EQ(pumped > 0, c.pauses);
    EXPECT_GE(pendingRuns, 3) << "the window's messages run while the line is silent";
    EXPECT_FALSE(link.terminatorSeen);
  }
  EXPECT_EQ(CountLogged("DSWait read 0 bytes, but never found '>' in "), 2);
}

// With a window's pump installed, neither a silent line, nor one that trickles bytes, nor a
// read of nothing may hold the window's messages back for a whole 100 ms read.
TEST_F(SerialPty, WithAWindowReadsRunItsMessagesOften) {
  OpenAt(9600);
  std::vector<Clock::time_point> runs;
  DSSetMessagePump([&](std::uint32_t maxWaitMs) {
    if (maxWaitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
    runs.push_back(Clock::now());
  });
  auto longestGap = [&](Clock::time_point from) {
    long long longest = 0;
    for (const Clock::time_point& at : runs) {
      longest = std::max<long long>(
          longest, std::chrono::duration_cast<std::chrono::milliseconds>(at - from).count());
      from = at;
    }
    return std::max(longest, MsSince(from));
  };
  struct Case {
    const char* what;
    int trickle;  // bytes sent 30 ms apart while the call runs
    bool read;    // DSRead of an empty buffer instead of DSWait
  } cases[] = {{"silent wait", 0, false}, {"trickling wait", 12, false}, {"empty read", 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DSFlush(&link, 1);
    for (int i = 0; i < c.trickle; ++i) rig.Send("x").Pause(30);
    runs.clear();
    const auto start = Clock::now();
    if (c.read) {
      char got[8];
      std::uint32_t count = 1;
      EXPECT_EQ(DSRead(&link, got, sizeof got, &count), 0);
    } else {
      EXPECT_EQ(DSWait(&link, 350, '>'), 0);
    }
    EXPECT_LE(longestGap(start), 75);
    ASSERT_TRUE(rig.WaitDone());
  }
}

TEST_F(SerialPty, ChatterWithoutTheTerminatorStillEndsAtTheTimeOut) {
  OpenAt(9600);
  for (int i = 0; i < 40; ++i) rig.Send("x").Pause(40);
  const auto start = Clock::now();
  EXPECT_EQ(DSWait(&link, 300, '>'), 0);
  const long long took = MsSince(start);
  EXPECT_GE(took, 290);
  EXPECT_LE(took, 3000);
  EXPECT_GT(std::strlen(link.readBuffer), 0u);
}

TEST_F(SerialPty, FullBufferWithoutTerminatorStaysInBoundsAndLosesNothing) {
  OpenAt(115200);
  std::string flood;
  for (int i = 0; i < 3000; ++i) flood += static_cast<char>('a' + i % 26);
  rig.Send(flood);
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();

  rusage before{};
  getrusage(RUSAGE_THREAD, &before);
  const auto start = Clock::now();
  // 400 ms: no pauses that could hide a busy loop.
  EXPECT_EQ(DSWait(&link, 400, '>'), 0);
  const long long took = MsSince(start);
  rusage after{};
  getrusage(RUSAGE_THREAD, &after);
  const long long cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000 +
                          (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000 +
                          (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000 +
                          (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1000;
  EXPECT_GE(took, 390);
  EXPECT_LE(took, 3000);
  EXPECT_LT(cpuMs, took / 4) << "the full buffer must not turn the wait into a busy loop";
  EXPECT_EQ(link.readBuffer[kReadBufferSize], '\0');
  EXPECT_EQ(std::strlen(link.readBuffer), kReadBufferSize);
  EXPECT_NE(LogText().find("DSWait read 2048 bytes, but never found '>' in "), std::string::npos);

  // What did not fit is still in the system's queue.
  std::vector<char> heard(4096);
  std::uint32_t total = 0;
  for (int i = 0; i < 20 && total < flood.size(); ++i) {
    std::uint32_t count = 0;
    ASSERT_GE(DSRead(&link, heard.data() + total, 4096 - total, &count), 0);
    total += count;
  }
  EXPECT_EQ(std::string(heard.data(), total), flood);
}

TEST_F(SerialPty, FlushModeOneAlsoEmptiesTheSystemQueue) {
  OpenAt(9600);
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    rig.Send("stale");
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::snprintf(link.readBuffer, kReadBufferBytes, "old");
    EXPECT_EQ(DSFlush(&link, mode), 0);
    EXPECT_EQ(link.readBuffer[0], '\0');
    char got[16];
    std::uint32_t count = 0;
    EXPECT_EQ(DSRead(&link, got, sizeof got, &count), mode == 1 ? 0 : 5);
  }
}

TEST_F(SerialPty, HostBaud) {
  DeviceLink never;
  EXPECT_EQ(DSHostBaud(&never, 57600), kNeverOpened);

  OpenAt(9600);
  // The rate in force: nothing is touched, not even a port changed behind our back.
  ASSERT_TRUE(rig.SetSlaveBaud(1200));
  EXPECT_EQ(DSHostBaud(&link, 9600), 0);
  EXPECT_EQ(rig.SlaveBaud(), 1200u);

  struct Case {
    std::uint32_t baud;
    Status rc;
    std::uint32_t inForce;
  } cases[] = {
      {57600, 1, 57600},
      {250000, -EINVAL, 57600},  // no such rate here
      {0, kBadArgument, 57600},  // would hang the line up
      {1200, 1, 1200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    EXPECT_EQ(DSHostBaud(&link, c.baud), c.rc);
    EXPECT_EQ(link.baud, c.inForce);
    EXPECT_EQ(rig.SlaveBaud(), c.inForce);
  }
  EXPECT_TRUE(
      Logged(rig.SlavePath(), "DSHostBaud failed to apply new baud rate \"250000\" (error " +
                                  std::to_string(EINVAL) + ")"));

  EXPECT_EQ(DSClose(&link), 1);
  EXPECT_EQ(DSHostBaud(&link, 9600), kNoAnswer);
}

TEST_F(SerialPty, ClosedLinkRefusesEveryPortOperation) {
  char own[kReadBufferBytes] = "kept";
  link.readBuffer = own;
  char got[16];
  std::uint32_t count = 7;
  std::uint32_t written = 7;

  EXPECT_EQ(DSWrite(&link, "x", 1, &written), kNoAnswer);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(DSWait(&link, 100, '>'), kNoAnswer);
  // Buffered text is still handed over; only then does the closed port count.
  EXPECT_EQ(DSRead(&link, got, sizeof got, &count), 4);
  EXPECT_EQ(DSRead(&link, got, sizeof got, &count), kNoAnswer);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(DSFlush(&link, 1), 0);
  EXPECT_EQ(DSClose(&link), 0);
  EXPECT_TRUE(Logged("OrveSerial", "DSWrite tried to write to a closed port"));
  EXPECT_TRUE(Logged("OrveSerial", "DSWait tried to operate on a closed port"));
  EXPECT_TRUE(Logged("OrveSerial", "DSRead tried to read from a closed port"));

  link.readBuffer = nullptr;
  EXPECT_EQ(DSRead(&link, got, sizeof got, &count), kOutOfMemory);
  EXPECT_EQ(DSRead(nullptr, got, sizeof got, &count), kMissingArgument);
  EXPECT_EQ(DSWait(nullptr, 10, '>'), kMissingArgument);

  // An owner's buffer is used as it is and not freed at close.
  link.readBuffer = own;
  OpenAt(9600);
  EXPECT_EQ(link.readBuffer, own);
  EXPECT_FALSE(link.bufferOwned);
  EXPECT_EQ(DSClose(&link), 1);
  EXPECT_EQ(link.readBuffer, own);
  link.readBuffer = nullptr;
}

TEST_F(SerialPty, HangUpEndsAWaitAsAFailedRead) {
  OpenAt(9600);
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    rig.HangUp();
  });
  const auto start = Clock::now();
  EXPECT_EQ(DSWait(&link, 3000, '>'), kNoAnswer);
  EXPECT_LT(MsSince(start), 2500) << "the wait ran to its time-out";
  unplug.join();
  EXPECT_TRUE(
      Logged(rig.SlavePath(), "DSWait ReadFile failed (error " + std::to_string(EIO) + ")"));
  // A line that is already gone reads as empty at once; that must not pass for silence.
  const auto again = Clock::now();
  EXPECT_EQ(DSWait(&link, 3000, '>'), kNoAnswer);
  EXPECT_LT(MsSince(again), 2500) << "the wait ran to its time-out";
  EXPECT_EQ(DSClose(&link), 1);
}

TEST_F(SerialPty, LargeWriteArrivesWhole) {
  OpenAt(115200);
  std::string block;
  for (int i = 0; i < 20000; ++i) block += static_cast<char>(i * 7);
  std::uint32_t written = 0;
  EXPECT_EQ(DSWrite(&link, block.data(), static_cast<std::uint32_t>(block.size()), &written),
            20000);
  EXPECT_EQ(written, 20000u);
  ASSERT_TRUE(rig.WaitReceived(block.size()));
  EXPECT_EQ(rig.Received(), block);
}

// The rig is what every serial-level test leans on: it must notice a host that goes wrong.
TEST(PtyRigSelfCheck, FailuresAreRecordedAndStopTheScript) {
  struct Case {
    const char* hostWrites;
    const char* later;  // written once the silence has begun
    const char* failure;
  } cases[] = {
      {"get -ver\r", "", nullptr},
      {"get -vex\r", "", "expected \"get -ver\\r\", got \"get -vex\\r\""},
      {"get", "", "timed out expecting \"get -ver\\r\", got \"get\""},
      {"get -ver\r", "more", "host wrote \"more\" during a silence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hostWrites << c.later);
    PtyRig rig;
    ASSERT_TRUE(rig.ok()) << rig.Error();
    DeviceLink link;
    ASSERT_EQ(DSOpen(&link, rig.SlavePath().c_str(), 9600), 1);
    rig.Expect("get -ver\r", 300).Silence(300).Send("after");
    std::uint32_t written = 0;
    ASSERT_EQ(DSWrite(&link, c.hostWrites, Len(c.hostWrites), &written),
              static_cast<Status>(Len(c.hostWrites)));
    if (*c.later) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ASSERT_EQ(DSWrite(&link, c.later, Len(c.later), &written), static_cast<Status>(Len(c.later)));
    }
    EXPECT_EQ(rig.WaitDone(), c.failure == nullptr);
    if (c.failure) {
      EXPECT_EQ(rig.FailureText(), std::string(c.failure) + "\n");
    }
    // Only a clean script goes on to send.
    char got[16];
    std::uint32_t count = 0;
    EXPECT_EQ(DSRead(&link, got, sizeof got, &count), c.failure ? 0 : 5);
    EXPECT_EQ(rig.Received(), std::string(c.hostWrites) + c.later);
  }
}

}  // namespace
}  // namespace quendal
