// Radio connections and the radio module's AT command mode, with a scripted peer.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host/serial.h"
#include "logger/logger_link.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"
#include "tests/logger/logger_fixture.h"
#include "tests/support/pty_rig.h"

namespace quendal {
namespace {

using test::LoggerTest;
using test::PtyRig;

using Script = std::vector<std::pair<std::string, std::string>>;  // expected, answer ("" none)

void Play(PtyRig& rig, const Script& script) {
  for (const auto& [expected, answer] : script) {
    rig.Expect(expected, 4000);
    if (!answer.empty()) rig.Send(answer);
  }
}

class Radio : public LoggerTest {};

TEST_F(Radio, RadmoConfigReadsTheModule) {
  struct Case {
    const char* name;
    Script script;
    Status expected;
    std::uint32_t bitsAfter;
  };
  const Case cases[] = {
      {"every value",
       {{"+++", "OK"},
        {"ATHP\r", "3\r"},
        {"ATDT\r", "1F40\r"},
        {"ATVR\r", "V12\r"},
        {"ATCN\r", "OK\r"}},
       1,
       kRadioBits},
      {"a channel it cannot read",
       {{"+++", "OK"},
        {"ATHP\r", "zz\r"},
        {"ATDT\r", "1F40\r"},
        {"ATVR\r", "V12\r"},
        {"ATCN\r", "OK\r"}},
       kSomeFailed,
       kSetRadioSubchannel | kSetRadioVersion},
      {"no AT mode", {{"+++", ""}, {"+++", ""}}, kRadioConfigFailed, 0},
      {"stuck in AT mode",
       {{"+++", "OK"},
        {"ATHP\r", "3\r"},
        {"ATDT\r", "1F40\r"},
        {"ATVR\r", "V12\r"},
        {"ATCN\r", "NO K"}},
       kRefused,
       kRadioBits},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PtyRig rig;
    ASSERT_TRUE(rig.ok()) << rig.Error();
    LoggerLink link(&log);
    UseRetries(link, 1);
    ASSERT_EQ(DSOpen(&link, rig.SlavePath().c_str(), 9600), 1);
    Play(rig, c.script);
    std::int32_t channel = -1, subChannel = -1;
    BoundedText<8> version;
    std::uint32_t bits = kRadioBits;
    EXPECT_EQ(RadmoConfig(&link, &channel, &subChannel, &version, kRead, &bits), c.expected);
    EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
    EXPECT_EQ(bits, c.bitsAfter);
    if (c.bitsAfter & kSetRadioSubchannel) {
      EXPECT_EQ(subChannel, 0x1F40);
      EXPECT_EQ(version.view(), "V12");
    }
    if (c.bitsAfter & kSetRadioChannel) {
      EXPECT_EQ(channel, 3);
    }
  }
}

TEST_F(Radio, ConnectConfiguresTheModuleLogsInAndOut) {
  PtyRig rig;
  ASSERT_TRUE(rig.ok()) << rig.Error();
  LoggerLink link(&log);
  ConnectRequest request;
  request.port.Set(rig.SlavePath());
  request.kind = kRadioConnection;
  request.name.Set("LOGGER01");
  request.configureRadio = 1;
  request.radioChannel = 5;
  request.radioSubchannel = 0x1F40;
  Play(rig, {{"+++", "OK"},
             {"ATHP5\r", "OK\r"},
             {"ATDT1F40\r", "OK\r"},
             {"ATWR\r", "OK\r"},
             {"ATCN\r", "OK\r"},
             {"login LOGGER01\r", "\rOK\r>"}});
  ASSERT_EQ(ConnectDevice(&link, &request), 1) << LogText();
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(link.info.name.view(), "LOGGER01");
  EXPECT_EQ(link.retries, 5u);
  EXPECT_EQ(request.baudCode, 2);

  // Over the radio the radio settings are what the request configured, and fixed.
  link.info.capabilities = kCapRadio;
  std::int32_t channel = 0, subChannel = 0;
  BoundedText<8> version;
  std::uint32_t bits = kRadioBits;
  EXPECT_EQ(MSRadioCommand(&link, &channel, &subChannel, &version, kRead, &bits), 1);
  EXPECT_EQ(bits, kSetRadioChannel | kSetRadioSubchannel);
  EXPECT_EQ(channel, 5);
  EXPECT_EQ(subChannel, 0x1F40);
  bits = kSetRadioChannel;
  EXPECT_EQ(MSRadioCommand(&link, &channel, &subChannel, &version, kWrite, &bits),
            kCannotSetOverRadio);
  EXPECT_EQ(bits, 0u);

  // The logger leaves: nothing answers the login that follows the logout.
  Play(rig, {{"logout\r", ""}, {"login LOGGER01\r", ""}});
  EXPECT_EQ(DisconnectDevice(&link, 0), 1);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(link.handle, kPortClosed);
}

TEST_F(Radio, RadioLoginRefusesARelay) {
  PtyRig rig;
  ASSERT_TRUE(rig.ok()) << rig.Error();
  LoggerLink link(&log);
  ConnectRequest request;
  request.port.Set(rig.SlavePath());
  request.kind = kRadioConnection;
  Play(rig, {{"\rquery\r", "\rquery\r"}});
  EXPECT_EQ(ConnectDevice(&link, &request), kRelayActive);
  EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(link.request.kind, kNoConnection);
  EXPECT_TRUE(Logged("QueryCommand is hearing \"query\" -- a relay must be active"));
}

}  // namespace
}  // namespace quendal
