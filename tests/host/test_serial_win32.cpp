// The serial driver on Windows against a real COM port. Under Wine (.ci/windows.sh) the
// port is a pseudo-terminal whose other end tests/windows/com_peer.cpp holds: it answers
// commands and reports the line settings and speed that the Linux side sees.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/serial.h"
#include "host/serial_port.h"
#include "host/timing.h"

namespace quendal {
namespace {

constexpr char kPortVariable[] = "QUENDAL_TEST_COM_PORT";

HANDLE Win(const DeviceLink& link) {
  return reinterpret_cast<HANDLE>(link.handle);
}

DWORD Waiting(const DeviceLink& link) {
  DWORD errors = 0;
  COMSTAT stat{};
  return ClearCommError(Win(link), &errors, &stat) ? stat.cbInQue : 0;
}

// Waits until the driver holds `bytes` bytes, at most a second.
bool AwaitWaiting(const DeviceLink& link, DWORD bytes) {
  for (std::uint32_t start = DSTicks(); DSTicks() - start < 1000;) {
    if (Waiting(link) >= bytes) return true;
    Sleep(5);
  }
  return false;
}

class Win32Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv(kPortVariable);
    if (!port || !*port) GTEST_SKIP() << kPortVariable << " names no COM port with a peer";
    portName_ = port;
    // One peer serves every test program; tests that run side by side take turns.
    turn_ = CreateMutexA(nullptr, FALSE, "Local\\quendal-com-peer");
    ASSERT_NE(turn_, nullptr);
    const DWORD got = WaitForSingleObject(turn_, 90000);
    ASSERT_TRUE(got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) << got;
    haveTurn_ = true;

    ASSERT_EQ(DSOpen(&link_, portName_.c_str(), 0), kOk);
    // A test that died mid-command may have left half a line at the peer.
    std::uint32_t written = 0;
    ASSERT_EQ(DSWrite(&link_, "\r", 1, &written), 1);
    Sleep(20);
    DSFlush(&link_, 1);
  }

  void TearDown() override {
    DSClose(&link_);
    if (haveTurn_) ReleaseMutex(turn_);
    if (turn_) CloseHandle(turn_);
  }

  // Sends a command line and returns the answer up to and including the ">".
  std::string Ask(const std::string& command) {
    DSFlush(&link_, 1);
    const std::string line = command + "\r";
    std::uint32_t written = 0;
    EXPECT_EQ(DSWrite(&link_, line.data(), static_cast<std::uint32_t>(line.size()), &written),
              static_cast<Status>(line.size()));
    EXPECT_EQ(DSWait(&link_, 3000, '>'), '>') << command;
    char answer[kReadBufferBytes];
    std::uint32_t count = 0;
    EXPECT_GE(DSRead(&link_, answer, sizeof answer, &count), 0);
    return std::string(answer, count);
  }

  DeviceLink link_;
  std::string portName_;
  HANDLE turn_ = nullptr;
  bool haveTurn_ = false;
};

TEST_F(Win32Serial, OpenAppliesTheLineSettingsAndCloseToleratesMissingModemLines) {
  EXPECT_EQ(link_.baud, kDefaultBaud);
  EXPECT_EQ(Ask("ping"), "pong>");
  EXPECT_EQ(Ask("speed"), "9600/9600>");
  EXPECT_EQ(Ask("mode"), "cs8 -parenb -cstopb -crtscts -ixon -ixoff -icanon -echo>");

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(Win(link_), &dcb));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_FALSE(dcb.fOutxCtsFlow);
  EXPECT_FALSE(dcb.fOutX);
  EXPECT_FALSE(dcb.fInX);
  EXPECT_FALSE(dcb.fAbortOnError);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(Win(link_), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 100u);

  // A pseudo-terminal refuses DTR; the close goes through all the same.
  EXPECT_EQ(DSClose(&link_), kOk);
  EXPECT_EQ(DSClose(&link_), kNothingDone);
  ASSERT_EQ(DSOpen(&link_, portName_.c_str(), 38400), kOk);
  EXPECT_EQ(Ask("speed"), "38400/38400>");
}

TEST_F(Win32Serial, BaudChangeReachesTheLine) {
  for (std::uint32_t rate : {19200u, 115200u, 57600u, 1200u, 9600u}) {
    SCOPED_TRACE(rate);
    EXPECT_EQ(DSHostBaud(&link_, rate), kOk);
    EXPECT_EQ(link_.baud, rate);
    const std::string both = std::to_string(rate);
    EXPECT_EQ(Ask("speed"), both + "/" + both + ">");
    EXPECT_EQ(Ask("mode"), "cs8 -parenb -cstopb -crtscts -ixon -ixoff -icanon -echo>");
  }
  EXPECT_EQ(DSHostBaud(&link_, 9600), kNothingDone);
}

TEST_F(Win32Serial, WaitFindsTheTerminatorAndReadHandsOverWhatCame) {
  struct Case {
    const char* command;
    const char* expected;  // all that DSWait collected, the terminator inside
  } cases[] = {
      {"send abc>def", "abc>def"},
      {"split 150 12345 678>", "12345678>"},
      {"split 30 ab c>d", "abc>d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    DSFlush(&link_, 1);
    const std::string line = std::string(c.command) + "\r";
    std::uint32_t written = 0;
    ASSERT_EQ(DSWrite(&link_, line.data(), static_cast<std::uint32_t>(line.size()), &written),
              static_cast<Status>(line.size()));
    EXPECT_EQ(DSWait(&link_, 3000, '>'), '>');
    char answer[64];
    std::uint32_t count = 0;
    EXPECT_EQ(DSRead(&link_, answer, sizeof answer, &count),
              static_cast<Status>(std::string(c.expected).size()));
    EXPECT_EQ(std::string(answer, count), c.expected);
  }
  // Nothing is left over, and a read of a silent line comes back empty.
  char more[16];
  std::uint32_t count = 99;
  EXPECT_EQ(DSRead(&link_, more, sizeof more, &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(Win32Serial, SmallReadsTakeWaitingBytesWithoutLosingAny) {
  std::uint32_t written = 0;
  ASSERT_EQ(DSWrite(&link_, "send 0123456789\r", 16, &written), 16);
  ASSERT_TRUE(AwaitWaiting(link_, 10));
  std::string all;
  for (int reads = 0; reads < 10 && all.size() < 10; ++reads) {
    char part[4];
    std::uint32_t got = 0;
    ASSERT_EQ(port::ReadSome(link_.handle, part, sizeof part, &got), 0);
    EXPECT_LE(got, sizeof part);
    all.append(part, got);
  }
  EXPECT_EQ(all, "0123456789");
}

TEST_F(Win32Serial, ReadsReturnAtOnceWithWaitingBytesAndAfterAboutATenthOnSilence) {
  char buffer[16];
  std::uint32_t got = 99;
  std::uint32_t before = DSTicks();
  ASSERT_EQ(port::ReadSome(link_.handle, buffer, sizeof buffer, &got), 0);
  const std::uint32_t silentRead = DSTicks() - before;
  EXPECT_EQ(got, 0u);
  EXPECT_GE(silentRead, 50u);
  EXPECT_LE(silentRead, 5000u);

  // Each answer is waiting when it is read. Measured against the silent read on the same
  // machine, so that a loaded machine slows both: reads that sat out their tenth every time
  // would need 20 silent reads or more.
  const std::uint32_t start = DSTicks();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(Ask("ping"), "pong>");
  EXPECT_LT(DSTicks() - start, 15 * silentRead);

  before = DSTicks();
  EXPECT_EQ(DSWait(&link_, 400, '>'), 0);
  const std::uint32_t took = DSTicks() - before;
  EXPECT_GE(took, 400u);
  EXPECT_LE(took, 5000u);
}

TEST_F(Win32Serial, FlushDiscardsWhatTheDriverHolds) {
  std::uint32_t written = 0;
  ASSERT_EQ(DSWrite(&link_, "send xyz\r", 9, &written), 9);
  ASSERT_TRUE(AwaitWaiting(link_, 3));
  EXPECT_EQ(DSFlush(&link_, 1), 0);
  EXPECT_EQ(Waiting(link_), 0u);
  char buffer[16];
  std::uint32_t count = 99;
  EXPECT_EQ(DSRead(&link_, buffer, sizeof buffer, &count), 0);
}

TEST_F(Win32Serial, LongWriteArrivesWhole) {
  std::string payload;
  unsigned long sum = 0;
  for (int i = 0; i < 1500; ++i) {
    const char c = static_cast<char>('!' + i % 90);  // printable, never CR, LF or '>'
    payload += c == '>' ? '<' : c;
    sum += static_cast<unsigned char>(payload.back());
  }
  EXPECT_EQ(Ask("sum " + payload), "1500 " + std::to_string(sum) + ">");
}

// No peer needed: these ports do not exist.
TEST(Win32SerialOpen, FailedOpenReturnsTheSystemErrorAndLeavesNothingToClose) {
  const std::string tooLong(300, 'C');
  struct Case {
    const char* name;
    Status expected;
  } cases[] = {
      {"COM98", -ERROR_FILE_NOT_FOUND},
      {"", -ERROR_FILE_NOT_FOUND},
      {tooLong.c_str(), -ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name).substr(0, 8));
    DeviceLink link;
    EXPECT_EQ(DSOpen(&link, c.name, 9600), c.expected);
    EXPECT_EQ(link.handle, kPortInvalid);
    EXPECT_EQ(DSClose(&link), kNothingDone);
  }
}

}  // namespace
}  // namespace quendal
