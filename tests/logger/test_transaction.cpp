// The command transaction, identification, names, capabilities and baud negotiation,
// over a pseudo-terminal with a scripted peer.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/serial.h"
#include "host/serial_port.h"
#include "host/timing.h"
#include "logger/logger_link.h"
#include "tests/logger/logger_fixture.h"
#include "tests/support/pty_rig.h"

namespace quendal {
namespace {

using test::LoggerTest;
using test::PtyRig;
using Clock = std::chrono::steady_clock;

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Transaction : public LoggerTest {
 protected:
  // A link on a fresh pty pair, open at 9600.
  void Open(PtyRig& rig, LoggerLink& link, std::uint32_t retries) {
    ASSERT_TRUE(rig.ok()) << rig.Error();
    UseRetries(link, retries);
    ASSERT_EQ(DSOpen(&link, rig.SlavePath().c_str(), 9600), 1);
  }
};

TEST_F(Transaction, DeviceCommandOutcomes) {
  const char* kCommand = "get -x\r";
  struct Case {
    const char* name;
    std::vector<std::string> answers;  // one per try; "" stays silent
    std::uint32_t capacity;
    Status expected;
    const char* answerOut;
    int writes;
    const char* logLine;
  };
  const Case cases[] = {
      {"silent on every try", {"", "", ""}, 32, kNoAnswer, "", 3, nullptr},
      {"an error, then an answer", {"\rERROR\r>", "\r12\r>"}, 32, 5, "\r12\r>", 2, nullptr},
      {"refused on every try",
       {"\r?\r>", "\rUnsupported\r>", "\rERROR\r>"},
       32,
       kDeviceError,
       "",
       3,
       nullptr},
      {"a loop-back adapter",
       {"get -x\r\rOK\r>"},
       32,
       kEcho,
       "",
       1,
       "DeviceCommand is hearing echoed commands -- device is broken? Relay active?"},
      {"the bare prompt",
       {"\r\r>"},
       32,
       kBarePrompt,
       "\r\r>",
       1,
       "DeviceCommand: device returned empty answer"},
      {"a 10-byte buffer",
       {"\r0123456789ABCDEF\r>"},
       10,
       19,
       "\r01234567",
       1,
       "DeviceCommand got 10 more bytes than expected (get -x\\r)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PtyRig rig;
    LoggerLink link(&log);
    Open(rig, link, 3);
    for (const std::string& answer : c.answers) {
      rig.Expect(kCommand);
      if (!answer.empty()) rig.Send(answer);
    }
    char out[64];
    std::memset(out, 'X', sizeof out);
    std::uint32_t len = c.capacity;
    std::uint32_t elapsed = 0;
    const auto start = Clock::now();
    Status rc = DeviceCommand(&link, kCommand, '>', 300, out, &len, &elapsed);
    const long long took = MsSince(start);
    EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
    EXPECT_EQ(rc, c.expected);
    EXPECT_STREQ(out, c.answerOut);
    EXPECT_EQ(len, std::strlen(c.answerOut));
    EXPECT_EQ(Occurrences(rig.Received(), kCommand), c.writes);
    EXPECT_GE(took + 5, elapsed);
    if (c.logLine) {
      EXPECT_TRUE(Logged(c.logLine)) << LogText();
    }
    if (c.expected == kNoAnswer) {
      // Three full waits of 300 ms with 50 ms between the tries.
      EXPECT_GE(took, 3 * 300 + 2 * 50);
    }
  }
}

TEST_F(Transaction, VerCommandIdentifies) {
  const std::string kVer = "get -ver\r";
  const std::string kError = "\rERROR\r>";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> script;  // expected line, answer
    Status expected;
    std::uint8_t type;
    std::int32_t versionNumber;
    std::uint8_t newFirmware;
    std::uint32_t capabilities;
    const char* name_;
  };
  const Case cases[] = {
      {"a current Tarnx",
       {{kVer, "\rTarnx 2.05\r>"}},
       1,
       kLoggerTarnx,
       205,
       1,
       0x05E7FFF7,
       "Tarnx"},
      {"a lower-case type word, no sub-minor digit",
       {{kVer, "\rrlm 3.1\r>"}},
       1,
       kLoggerRelmo,
       310,
       1,
       0x05E3FFF7,
       "Relmo"},
      {"an old Tarn that knows only show",
       {{kVer, kError},
        {kVer, kError},
        {"show\r", "\rID: FIELD1\rVersion: 1.23\rRadio: 2\rWake: 60\rResets: 4\r>"}},
       1,
       kLoggerTarn,
       123,
       0,
       0x0000331C,
       "Tarn"},
      {"an old Tarn older than 1.10",
       {{kVer, kError}, {kVer, kError}, {"show\r", "\rID: FIELD1\rVersion: 1.05\r>"}},
       kUnsupportedKind,
       kLoggerUnknown,
       0,
       0,
       0x0000331C,
       ""},
      {"the resident loader", {{kVer, "+15+\r"}}, kLoaderActive, kLoggerUnknown, 0, 0, 0, ""},
      // Found by fuzz_shell: the version's whole number overflowed when multiplied.
      {"a version number too large to be one",
       {{kVer, "\rTarnx 2222222222.10\r>"},
        {kVer, "\rTarnx 2222222222.10\r>"},
        {kVer, "\rTarnx 2222222222.10\r>"},
        {kVer, "\rTarnx 2222222222.10\r>"}},
       kNotRecognised,
       kLoggerUnknown,
       0,
       0,
       0,
       ""},
      {"nothing it understands",
       {{kVer, "\rhello\r>"}, {kVer, "\rhello\r>"}, {kVer, "\rhello\r>"}, {kVer, "\rhello\r>"}},
       kNotRecognised,
       kLoggerUnknown,
       0,
       0,
       0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PtyRig rig;
    LoggerLink link(&log);
    Open(rig, link, 1);
    for (const auto& [line, answer] : c.script) rig.Expect(line).Send(answer);
    EXPECT_EQ(VerCommand(&link, 0), c.expected);
    EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
    EXPECT_EQ(link.info.loggerType, c.type);
    EXPECT_EQ(link.info.versionNumber, c.versionNumber);
    EXPECT_EQ(link.info.newFirmware, c.newFirmware);
    EXPECT_EQ(link.info.capabilities, c.capabilities);
    if (c.expected == 1) {
      EXPECT_EQ(link.info.loggerTypeName.view(), c.name_);
    }
  }
}

TEST_F(Transaction, ShowFieldsOfAnOldTarn) {
  PtyRig rig;
  LoggerLink link(&log);
  Open(rig, link, 1);
  rig.Expect("get -ver\r").Send("\rERROR\r>").Expect("get -ver\r").Send("\rERROR\r>");
  rig.Expect("show\r").Send("\rID: FIELD1\rVersion: 1.23\rRadio: 2\rWake: 60\rResets: 4\r>");
  ASSERT_EQ(VerCommand(&link, 0), 1);
  EXPECT_EQ(link.info.name.view(), "FIELD1");
  EXPECT_EQ(link.info.version.view(), "1.23");
  EXPECT_EQ(link.info.radioMode, 2);
  EXPECT_EQ(link.info.wake, 60);
  EXPECT_EQ(link.resets, 4u);
  EXPECT_TRUE(Logged("ParseShowCommand found FIELD1:1.23:2:60:4")) << LogText();
}

TEST(Capabilities, ByTypeAndVersionThreshold) {
  struct Case {
    std::uint8_t type;
    std::uint8_t newFirmware;
    std::int32_t version;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {kLoggerTarn, 1, 150, 0x0000371F},
      {kLoggerTarn, 0, 150, 0x0000331C},
      {kLoggerTarnx, 1, 104, 0x00007737},
      {kLoggerTarnx, 1, 105, 0x000077B7},
      {kLoggerTarnx, 1, 107, 0x000077B7},
      {kLoggerTarnx, 1, 108, 0x000077F7},
      {kLoggerTarnx, 1, 111, 0x000077F7},
      {kLoggerTarnx, 1, 112, 0x0000FFF7},
      {kLoggerTarnx, 1, 114, 0x0007FFF7},
      {kLoggerTarnx, 1, 117, 0x0007FFF7},
      {kLoggerTarnx, 1, 118, 0x00C7FFF7},
      {kLoggerTarnx, 1, 119, 0x00E7FFF7},
      {kLoggerTarnx, 1, 199, 0x00E7FFF7},
      {kLoggerTarnx, 1, 200, 0x01E7FFF7},
      {kLoggerTarnx, 1, 201, 0x01E7FFF7},
      {kLoggerTarnx, 1, 202, 0x05E7FFF7},
      {kLoggerWeirstead, 1, 104, 0x00004503},
      {kLoggerWeirstead, 1, 105, 0x00004583},
      {kLoggerWeirstead, 1, 109, 0x00024583},
      {kLoggerTarnb, 1, 203, 0x000074BE},
      {kLoggerTarnb, 1, 204, 0x000474BE},
      {kLoggerKyrelCommDev, 1, 123, 0x00003007},
      {kLoggerKyrelCalibrator, 1, 100, 0x00010026},
      {kLoggerReadvane, 1, 100, 0x001D3083},
      {kLoggerRelmo, 1, 100, 0x05E3FFF7},
      {kLoggerOgle, 1, 100, 0x07C3F6F7},
      {kLoggerMerrick, 1, 300, 0x00001005},
      {kLoggerUnknown, 1, 300, 0x00001005},
  };
  for (const Case& c : cases) {
    LoggerLink link(nullptr);
    link.info.loggerType = c.type;
    link.info.newFirmware = c.newFirmware;
    link.info.versionNumber = c.version;
    EXPECT_EQ(SetCapabilities(&link), 1);
    EXPECT_EQ(link.info.capabilities, c.expected)
        << "type " << int(c.type) << " version " << c.version;
  }
}

TEST(Traits, RadioAndGprs) {
  struct Case {
    std::uint8_t type;
    std::uint32_t trait;
    Status radio;
    Status gprs;
  };
  const Case cases[] = {
      {kLoggerTarnx, 0x0009, -1, -1},  // not read yet, whatever the low bits say
      {kLoggerTarnx, 0x4000, 0, 0},   {kLoggerTarnx, 0x4001, 1, 0}, {kLoggerTarnx, 0x4008, 0, 1},
      {kLoggerTarnb, 0x4009, 1, 0},  // only a Tarnx has the cellular modem
  };
  for (const Case& c : cases) {
    LoggerLink link(nullptr);
    link.info.loggerType = c.type;
    link.info.trait = c.trait;
    EXPECT_EQ(TraitHasRadio(&link.info), c.radio) << std::hex << c.trait;
    EXPECT_EQ(TraitHasGprs(&link), c.gprs) << std::hex << c.trait;
  }
}

TEST(DeviceNames, Refused) {
  struct Case {
    const char* name;
    Status expected;
  };
  const Case cases[] = {
      {"LOGGER01", 1},
      {"Boot", 1},
      {"a-b_c.d", 1},
      {nullptr, kNameEmpty},
      {"", kNameEmpty},
      {"ABCDEFGHI", kNameLength},
      {"boot", kNameReserved},
      {"OK", kNameReserved},
      {"a:b", kNameShellCharacter},
      {"a,b", kNameShellCharacter},
      {"x?", kNameShellCharacter},
      {"a\\b", kNameShellCharacter},
      {"a b", kNameBadCharacter},
      {"a\x7F", kNameBadCharacter},
      {"a\xFF", kNameBadCharacter},
      {"caf\xE9", kNameNotAscii},
  };
  LoggerLink link(nullptr);
  for (const Case& c : cases)
    EXPECT_EQ(CheckDeviceName(&link, c.name), c.expected) << (c.name ? c.name : "(null)");
}

TEST(Options, RangesAndDefaults) {
  LoggerLink link(nullptr);
  LinkOptions options;
  options.serialRetries = 13;
  EXPECT_EQ(DeviceOptions(&link, &options, 1), kBadArgument);
  options.serialRetries = 0;
  options.radioRetries = 0;
  options.extraTimeoutMs = 30001;
  EXPECT_EQ(DeviceOptions(&link, &options, 1), kBadArgument);
  options.extraTimeoutMs = 30000;
  EXPECT_EQ(DeviceOptions(&link, &options, 1), 1);
  LinkOptions stored;
  EXPECT_EQ(DeviceOptions(&link, &stored, 0), 1);
  EXPECT_EQ(stored.serialRetries, 3u);
  EXPECT_EQ(stored.radioRetries, 5u);
  EXPECT_EQ(stored.extraTimeoutMs, 30000u);
  EXPECT_EQ(link.retries, 3u);
}

TEST_F(Transaction, SetBaudCommand) {
  struct Case {
    const char* name;
    std::uint32_t baud;
    std::uint32_t retries;
    std::vector<std::string> answers;  // "" stays silent
    const char* line;
    Status expected;
    int writes;
  };
  const Case cases[] = {
      {"back to 9600, already there", 9600, 1, {""}, "set -baud 0\r", 1, 1},
      {"up to 115200, nobody answers", 115200, 1, {""}, "set -baud 4\r", kNoAnswer, 1},
      {"up to 115200, agreed", 115200, 2, {"\rOK\r>"}, "set -baud 4\r", 1, 1},
      {"an unknown rate asks for 9600", 14400, 1, {"\rOK\r>"}, "set -baud 0\r", 1, 1},
      {"the prompt without OK, every try",
       57600,
       2,
       {"\rNO\r>", "\rNO\r>"},
       "set -baud 3\r",
       kNotRecognised,
       2},
      {"something else entirely", 57600, 2, {"\rgarbleK"}, "set -baud 3\r", kNotRecognised, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PtyRig rig;
    LoggerLink link(&log);
    Open(rig, link, c.retries);
    link.info.newFirmware = 1;
    for (const std::string& answer : c.answers) {
      rig.Expect(c.line);
      if (!answer.empty()) rig.Send(answer);
    }
    EXPECT_EQ(SetBaudCommand(&link, c.baud), c.expected);
    EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
    EXPECT_EQ(Occurrences(rig.Received(), c.line), c.writes);
    EXPECT_EQ(link.baud, 9600u) << "the host side stays where it was";
  }
}

TEST_F(Transaction, SetBaudRefusedOnOldFirmware) {
  PtyRig rig;
  LoggerLink link(&log);
  Open(rig, link, 1);
  link.info.newFirmware = 0;
  EXPECT_EQ(SetBaudCommand(&link, 115200), kRefused);
  rig.Silence(200);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
}

TEST_F(Transaction, ConnectNegotiatesBaudAndDisconnectRestoresIt) {
  PtyRig rig;
  ASSERT_TRUE(rig.ok()) << rig.Error();
  LoggerLink link(&log);
  ConnectRequest request;
  request.port.Set(rig.SlavePath());
  request.kind = kSerialConnection;
  request.baudCode = 6;
  rig.Expect("get -ver\r").Send("\rTarnx 2.05\r>");
  rig.Expect("set -baud 4\r").Send("\rOK\r>");
  ASSERT_EQ(ConnectDevice(&link, &request), 1);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(request.baudCode, 6);
  EXPECT_EQ(link.baud, 115200u);
  EXPECT_EQ(rig.SlaveBaud(), 115200u);
  EXPECT_EQ(link.info.loggerType, kLoggerTarnx);
  EXPECT_TRUE(Logged("DeviceLogin communicating with a device running Tarnx 2.05 at 115200 baud"));

  rig.Expect("set -baud 0\r").Send("\rOK\r>");
  EXPECT_EQ(DisconnectDevice(&link, 0), 1);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(link.handle, kPortClosed);
  EXPECT_EQ(link.request.kind, kNoConnection);
  EXPECT_EQ(link.info.loggerType, kLoggerUnknown);
  EXPECT_EQ(DisconnectDevice(&link, 0), 0);
}

TEST_F(Transaction, ConnectWhereNothingListens) {
  PtyRig rig;
  ASSERT_TRUE(rig.ok()) << rig.Error();
  LoggerLink link(&log);
  UseRetries(link, 1);
  ConnectRequest request;
  request.port.Set(rig.SlavePath());
  request.kind = kSerialConnection;
  EXPECT_EQ(ConnectDevice(&link, &request), kNothingListening);
  EXPECT_EQ(link.handle, kPortClosed);
  EXPECT_EQ(link.request.kind, kNoConnection);
  EXPECT_TRUE(Logged("DeviceLogin: nothing is listening over the serial port"));
}

TEST_F(Transaction, ConnectionKindsRefusedBeforeOpening) {
  struct Case {
    std::uint8_t kind;
    std::uint8_t baudCode;
    Status expected;
  };
  const Case cases[] = {{0, 2, kBadArgument},
                        {20, 2, kUnsupportedKind},
                        {120, 2, kUnsupportedKind},
                        {55, 2, kMissingArgument},
                        {kSerialConnection, 9, kBadArgument}};
  for (const Case& c : cases) {
    LoggerLink link(&log);
    ConnectRequest request;
    request.port.Set("/dev/quendal-no-such-port");
    request.kind = c.kind;
    request.baudCode = c.baudCode;
    EXPECT_EQ(ConnectDevice(&link, &request), c.expected) << int(c.kind);
    EXPECT_EQ(link.handle, kPortClosed);
  }
}

// About 50 s by design: 909 carriage returns 55 ms apart.
// The rig stands in for a simulated device a hundred times faster: the host still asks a
// 55 ms pause after every carriage return.
TEST_F(Transaction, SlowSendWakeSends909CarriageReturns) {
  PtyRig rig;
  const winsize fast{0, 0, port::kSimulatedDeviceMark, 100};
  ASSERT_EQ(ioctl(rig.MasterFd(), TIOCSWINSZ, &fast), 0);
  LoggerLink link(&log);
  Open(rig, link, 1);
  ASSERT_EQ(DSDeviceTimeScale(), 100u);
  const std::uint64_t asked = DSSleepAskedMs();
  EXPECT_EQ(SendWake(&link), 1);
  EXPECT_EQ(DSSleepAskedMs() - asked, 909u * 55u);
  DSSetDeviceTimeScale(1);
  EXPECT_TRUE(rig.WaitReceived(909, 1000));
  EXPECT_EQ(rig.Received(), std::string(909, '\r'));
  EXPECT_TRUE(Logged("SendWake sent 909 packets"));
}

}  // namespace
}  // namespace quendal
