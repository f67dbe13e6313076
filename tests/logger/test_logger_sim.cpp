// The logger library against the simulated loggers, over pseudo-terminals with the real
// serial driver.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger_link.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"
#include "sim/logger_shell.h"
#include "sim/pty_transport.h"
#include "tests/logger/logger_fixture.h"

namespace quendal {
namespace {

using sim::LoggerKind;
using sim::LoggerOptions;
using sim::LoggerOptionsFor;
using sim::PtyTransport;
using sim::SimLogger;
using test::LoggerTest;

constexpr std::uint32_t kAllSettings = 0x0FFFFFFF;

// A device model on a pseudo-terminal of its own.
struct OnPty {
  template <typename Model>
  static std::unique_ptr<PtyTransport> Start(Model* model) {
    auto transport = std::make_unique<PtyTransport>(model);
    EXPECT_EQ(transport->Start(), 1);
    return transport;
  }
};

struct LoggerRig {
  explicit LoggerRig(LoggerOptions options) : logger(std::move(options)) {
    transport = OnPty::Start(&logger);
  }
  explicit LoggerRig(LoggerKind kind) : LoggerRig(LoggerOptionsFor(kind)) {}
  const std::string& Port() const { return transport->SlavePath(); }

  SimLogger logger;
  std::unique_ptr<PtyTransport> transport;
};

class LoggerSim : public LoggerTest {
 protected:
  Status Connect(LoggerLink& link, const std::string& port, std::uint8_t baudCode = 0,
                 ConnectRequest* out = nullptr) {
    ConnectRequest request;
    request.port.Set(port.c_str());
    request.kind = kSerialConnection;
    request.baudCode = baudCode;
    Status rc = ConnectDevice(&link, &request);
    if (out) *out = request;
    return rc;
  }

  static LoggerOptions Options(LoggerKind kind) { return LoggerOptionsFor(kind); }
  static LoggerOptions FactoryFresh(LoggerKind kind) {
    LoggerOptions o = LoggerOptionsFor(kind);
    o.factoryFresh = true;
    return o;
  }
};

TEST_F(LoggerSim, IdentifiesEveryLoggerType) {
  struct Case {
    LoggerKind kind;
    std::uint8_t type;
    std::int32_t version;
    std::uint8_t newFirmware;
    std::uint32_t capabilities;
  };
  const Case cases[] = {
      {LoggerKind::kTarnx, kLoggerTarnx, 205, 1, 0x05E7FFF7},
      {LoggerKind::kTarnb, kLoggerTarnb, 204, 1, 0x000474BE},
      {LoggerKind::kWeirstead, kLoggerWeirstead, 109, 1, 0x00024583},
      {LoggerKind::kRelmo, kLoggerRelmo, 100, 1, 0x05E3FFF7},
      {LoggerKind::kOgle, kLoggerOgle, 100, 1, 0x07C3F6F7},
      {LoggerKind::kTarnNew, kLoggerTarn, 180, 1, 0x0000371F},
      {LoggerKind::kReadvane, kLoggerReadvane, 205, 1, 0x001D3083},
      // Old firmware says "ERROR" to "get -ver"; its version comes with "show".
      {LoggerKind::kTarn, kLoggerTarn, 172, 0, 0x0000331C},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    LoggerRig rig(c.kind);
    LoggerLink link(&log);
    ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
    LoggerInfo block;
    std::uint32_t flags = kSetIdentity;
    ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
    EXPECT_EQ(block.loggerType, c.type);
    EXPECT_EQ(block.versionNumber, c.version);
    EXPECT_EQ(block.newFirmware, c.newFirmware);
    EXPECT_EQ(block.capabilities, c.capabilities);
    EXPECT_EQ(block.loggerTypeName.view(), LoggerTypeNames[c.type]);
  }
}

TEST_F(LoggerSim, ReadsAnOldTarnThroughShow) {
  LoggerRig rig(LoggerKind::kTarn);
  ASSERT_TRUE(rig.logger.SetSetting("w", "900"));
  ASSERT_TRUE(rig.logger.SetSetting("r", "4"));
  ASSERT_TRUE(rig.logger.SetSetting("padc", "170"));
  LoggerLink link(&log);
  ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
  LoggerInfo block;
  std::uint32_t flags = kSetName | kSetWake | kSetRadioMode | kSetPadc | kSetSerialNumber;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
  EXPECT_EQ(flags, kSetName | kSetIdentity | kSetWake | kSetRadioMode | kSetPadc);
  EXPECT_EQ(block.name.view(), "LOGGER01");
  EXPECT_EQ(block.version.view(), "Tarn 1.72");
  EXPECT_EQ(block.wake, 900);
  EXPECT_EQ(block.radioMode, 4);
  EXPECT_EQ(block.padc, 170);  // through "hertz"
  EXPECT_GE(rig.logger.Heard("show"), 1);
  EXPECT_EQ(rig.logger.Heard("get -sn"), 0);

  // Old firmware confirms a setting with its prompt, not "OK".
  std::int32_t wake = 45;
  EXPECT_EQ(WakeCommand(&link, &wake, kWrite), 1) << LogText();
  EXPECT_EQ(rig.logger.Setting("w"), "45");
}

// Every setting of one Tarnx read with DeviceSettings and written into a factory-fresh one.
TEST_F(LoggerSim, CopiesEverySettingIntoAFactoryFreshTarnx) {
  const std::map<std::string, std::string> distinctive = {
      {"i", "SRC4711"},
      {"sn", "SN-90210-X"},
      {"trait", "242"},  // radio, modem and one more feature bit
      {"w", "1234"},
      {"padc", "77"},
      {"ports", "9 8 7 6 5"},
      {"devid", "DEV-4711"},
      {"data", "-17"},
      {"r", "5"},
      {"depth", "11 22 33 44 55"},
      {"site", "Upper Weir Meadow"},
      {"lat", "-33.86785"},
      {"long", "+151.20732"},
      {"tz", "-14"},
      {"report", "3"},
      {"apn", "apn.distinct.test"},
      {"user", "u-4711"},
      {"passwd", "p-4711"},
      {"host", "h4711.collector.example.net"},
      {"authkey", "FEDCBA9876543210fedcba9876543210"},
      {"ipport", "40404"},
      {"adc30", "11 21 12 22 13 23 14 24 15 25 180"},
      {"adc15", "201 3 202 4 203 5 204 6 205 7 16"},
      {"build", "B-4711"},
  };
  LoggerOptions sourceOptions = Options(LoggerKind::kTarnx);
  sourceOptions.radio = {5, 0x1F40, "12AB"};
  LoggerRig source(sourceOptions);
  ASSERT_EQ(source.logger.Settings().size(), distinctive.size()) << "a setting without a value";
  for (const auto& [key, value] : distinctive)
    ASSERT_TRUE(source.logger.SetSetting(key, value)) << key;
  const auto before = source.logger.Settings();

  LoggerLink link(&log);
  ASSERT_EQ(Connect(link, source.Port()), 1) << LogText();
  LoggerInfo block;
  std::uint32_t flags = kAllSettings;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
  EXPECT_EQ(flags, kAllSettings);
  EXPECT_EQ(block.radioVersion.view(), "12AB");
  EXPECT_EQ(DisconnectDevice(&link, 0), 1);

  LoggerRig fresh(FactoryFresh(LoggerKind::kTarnx));
  ASSERT_NE(fresh.logger.Settings(), before);
  ASSERT_EQ(Connect(link, fresh.Port()), 1) << LogText();
  // A radio module's version is its own; identity is only ever read.
  flags = kAllSettings & ~kSetRadioVersion;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kWrite), 1) << LogText();
  EXPECT_EQ(flags, kAllSettings & ~(kSetIdentity | kSetRadioVersion));

  EXPECT_EQ(fresh.logger.Settings(), before);
  EXPECT_EQ(source.logger.Settings(), before) << "a read changed the source";
  ASSERT_TRUE(fresh.logger.Radio());
  EXPECT_EQ(fresh.logger.Radio()->channel, 5u);
  EXPECT_EQ(fresh.logger.Radio()->subChannel, 0x1F40u);
}

TEST_F(LoggerSim, ReconnectsAfterAStepThatMetSilence) {
  struct Case {
    const char* name;
    std::uint32_t muted;
    Status expected;
  };
  const Case cases[] = {
      {"silent once", 1, 1},
      {"silent for good", 100, kNoAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoggerRig rig(LoggerKind::kTarnx);
    LoggerLink link(&log);
    UseRetries(link, 1);
    ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
    rig.logger.Mute("get -i", c.muted);
    LoggerInfo block;
    std::uint32_t flags = kSetName;
    EXPECT_EQ(DeviceSettings(&link, &block, &flags, kRead), c.expected) << LogText();
    EXPECT_EQ(rig.logger.Heard("get -i"), 2);
    EXPECT_EQ(rig.logger.Heard("get -ver"), 2) << "the reconnect identifies the logger again";
    if (c.expected == 1) {
      EXPECT_EQ(block.name.view(), "LOGGER01");
    }
  }
}

TEST_F(LoggerSim, NothingOrAnEchoOnTheLine) {
  sim::SilentLine silent;
  sim::LoopbackPlug loopback;
  auto silentPty = OnPty::Start(&silent);
  auto loopbackPty = OnPty::Start(&loopback);
  LoggerLink link(&log);
  UseRetries(link, 1);
  EXPECT_EQ(Connect(link, silentPty->SlavePath()), kNothingListening);
  EXPECT_GT(silent.BytesHeard(), 0u);
  EXPECT_EQ(Connect(link, loopbackPty->SlavePath()), kEcho);
}

TEST_F(LoggerSim, RadioBitsOnALoggerWithoutARadio) {
  LoggerOptions options = Options(LoggerKind::kTarnx);
  options.hardware.radio = false;
  LoggerRig rig(options);
  LoggerLink link(&log);
  ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
  LoggerInfo block;
  std::uint32_t flags = kSetName | kRadioBits;
  EXPECT_EQ(DeviceSettings(&link, &block, &flags, kRead), kSomeFailed) << LogText();
  EXPECT_EQ(flags, kSetName | kSetIdentity | kSetTrait);
  EXPECT_EQ(block.trait & kTraitRadio, 0u);
  EXPECT_EQ(rig.logger.Heard("get -rver"), 0) << "the trait said there is no radio";

  // Asked anyway, the logger says so.
  std::int32_t channel = 0, subChannel = 0;
  BoundedText<8> version;
  std::uint32_t bits = kRadioBits;
  EXPECT_EQ(MSRadioCommand(&link, &channel, &subChannel, &version, kRead, &bits), kNoRadio);
  EXPECT_EQ(bits, 0u);
}

TEST_F(LoggerSim, ErasesOnlyTheLoggerThatWasConnected) {
  struct Case {
    const char* name;
    LoggerKind kind;
    bool renamed;
    bool flashFails;
    Status expected;
  };
  const Case cases[] = {
      {"same logger", LoggerKind::kTarnx, false, false, 1},
      {"renamed since", LoggerKind::kTarnx, true, false, kIdentityMismatch},
      {"broken data flash", LoggerKind::kTarnx, false, true, kDataFlashBroken},
      {"old firmware", LoggerKind::kTarn, false, false, 1},
      {"old firmware renamed", LoggerKind::kTarn, true, false, kIdentityMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoggerOptions options = Options(c.kind);
    options.records = 500;
    options.dataFlashFails = c.flashFails;
    LoggerRig rig(options);
    LoggerLink link(&log);
    ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
    LoggerInfo block;
    std::uint32_t flags = kSetName;
    ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
    if (c.renamed) {
      ASSERT_TRUE(rig.logger.SetSetting("i", "OTHER"));
    }
    EXPECT_EQ(EraseData(&link), c.expected) << LogText();
    EXPECT_EQ(rig.logger.Records(), c.expected == 1 ? 0u : 500u);
    EXPECT_EQ(rig.logger.Heard("yes"), c.renamed ? 0 : 1);
  }
}

TEST_F(LoggerSim, ClockInSecondsOrInHoursMinutesAndDate) {
  // Unset, a clock in seconds reads all ones.
  {
    LoggerRig rig(FactoryFresh(LoggerKind::kReadvane));
    LoggerLink link(&log);
    ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
    std::int32_t seconds = 12345;
    EXPECT_EQ(DeviceTime(&link, &seconds, kRead), kNotRecognised);
    EXPECT_EQ(seconds, 0);
  }
  const std::int32_t when = 700000000;  // 2022-03-07 20:26:40
  for (LoggerKind kind : {LoggerKind::kReadvane, LoggerKind::kTarnx, LoggerKind::kTarn}) {
    SCOPED_TRACE(static_cast<int>(kind));
    LoggerRig rig(FactoryFresh(kind));
    LoggerLink link(&log);
    ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
    std::int32_t seconds = when;
    ASSERT_EQ(DeviceTime(&link, &seconds, kWrite), 1) << LogText();
    ASSERT_TRUE(rig.logger.ClockSeconds());
    EXPECT_NEAR(static_cast<double>(*rig.logger.ClockSeconds()), when, 2);
    seconds = 0;
    ASSERT_EQ(DeviceTime(&link, &seconds, kRead), 1) << LogText();
    EXPECT_NEAR(seconds, when, 2);
  }
  // A Weirstead has no clock to set.
  LoggerRig rig(LoggerKind::kWeirstead);
  LoggerLink link(&log);
  ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
  std::int32_t seconds = when;
  EXPECT_EQ(DeviceTime(&link, &seconds, kWrite), kRefused);
  EXPECT_EQ(rig.logger.Counters().lines.size(), 1u) << "only the identification was sent";
}

TEST_F(LoggerSim, NegotiatesTheBaudRateAndGoesBackAtDisconnect) {
  LoggerRig rig(LoggerKind::kTarnx);
  LoggerLink link(&log);
  ConnectRequest request;
  ASSERT_EQ(Connect(link, rig.Port(), 6, &request), 1) << LogText();
  EXPECT_EQ(request.baudCode, 6);
  EXPECT_EQ(rig.transport->HostBaud(), 115200u);
  EXPECT_EQ(rig.logger.Baud(), 115200u);
  BoundedText<8> name;
  EXPECT_EQ(NameCommand(&link, &name, kRead), 1) << LogText();
  EXPECT_EQ(name.view(), "LOGGER01");
  EXPECT_EQ(rig.logger.Counters().misheardBytes, 0u);

  EXPECT_EQ(DisconnectDevice(&link, 0), 1);
  EXPECT_EQ(rig.logger.Baud(), 9600u);
  EXPECT_EQ(rig.logger.Heard("set -baud 4"), 1);
  EXPECT_EQ(rig.logger.Heard("set -baud 0"), 1);

  // A host that stays behind is not understood.
  ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
  UseRetries(link, 1);
  char answer[32];
  std::uint32_t length = sizeof answer;
  ASSERT_GT(DeviceCommand(&link, "set -baud 3\r", 'K', 1100, answer, &length, nullptr), 0);
  EXPECT_EQ(NameCommand(&link, &name, kRead), kNoAnswer);
  EXPECT_GT(rig.logger.Counters().misheardBytes, 0u);
  EXPECT_EQ(rig.logger.Heard("get -i"), 1) << "only the read at 115200";
}

TEST_F(LoggerSim, StaysAt9600WithoutTheBaudCapability) {
  LoggerRig rig(LoggerKind::kTarnb);
  LoggerLink link(&log);
  ConnectRequest request;
  ASSERT_EQ(Connect(link, rig.Port(), 6, &request), 1) << LogText();
  EXPECT_EQ(request.baudCode, 2);
  EXPECT_EQ(rig.transport->HostBaud(), 9600u);
  EXPECT_EQ(rig.logger.Counters().baudSwitches, 0u);
}

// The logger's own radio commands, and its radio module through "term" on old firmware.
TEST_F(LoggerSim, RadioSettingsThroughTheLogger) {
  struct Case {
    LoggerKind kind;
    bool viaModule;  // old firmware: AT commands through the pass-through
  };
  const Case cases[] = {
      {LoggerKind::kTarnx, false},
      {LoggerKind::kTarnNew, false},  // confirms twice, for itself and for its module
      {LoggerKind::kTarn, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    LoggerOptions options = Options(c.kind);
    options.radio = {4, 0x2A2A, "31C7"};
    LoggerRig rig(options);
    LoggerLink link(&log);
    ASSERT_EQ(Connect(link, rig.Port()), 1) << LogText();
    std::int32_t channel = -1, subChannel = -1;
    BoundedText<8> version;
    std::uint32_t bits = kRadioBits;
    EXPECT_EQ(MSRadioCommand(&link, &channel, &subChannel, &version, kRead, &bits), 1) << LogText();
    EXPECT_EQ(bits, kRadioBits);
    EXPECT_EQ(channel, 4);
    EXPECT_EQ(subChannel, 0x2A2A);
    EXPECT_EQ(version.view(), "31C7");

    channel = 6;
    subChannel = 0x0BEE;
    bits = kSetRadioChannel | kSetRadioSubchannel;
    EXPECT_EQ(MSRadioCommand(&link, &channel, &subChannel, &version, kWrite, &bits), 1)
        << LogText();
    EXPECT_EQ(bits, kSetRadioChannel | kSetRadioSubchannel);
    EXPECT_EQ(rig.logger.Radio()->channel, 6u);
    EXPECT_EQ(rig.logger.Radio()->subChannel, 0x0BEEu);
    if (c.viaModule) {
      EXPECT_EQ(rig.logger.Heard("term"), 4);
      EXPECT_EQ(rig.logger.Radio()->channel, 6u) << "stored by ATWR";
    }
    // The shell has the line again.
    BoundedText<8> name;
    EXPECT_EQ(c.viaModule ? ParseShowCommand(&link, &name) : NameCommand(&link, &name, kRead), 1)
        << LogText();
    EXPECT_EQ(name.view(), "LOGGER01");
  }
}

// A radio connection: the PC's radio modem is configured in AT command mode, the logger is
// found by "query" and logged in to by name, and leaves at "logout".
TEST_F(LoggerSim, SlowRadioConnection) {
  LoggerOptions options = Options(LoggerKind::kTarnx);
  options.radio = {5, 0x1F40, "12AB"};
  SimLogger logger(options);
  sim::RadioLink air(&logger, {2, 7, "0F00"});
  auto pty = OnPty::Start(&air);

  LoggerLink link(&log);
  ConnectRequest request;
  request.port.Set(pty->SlavePath().c_str());
  request.kind = kRadioConnection;
  request.configureRadio = 1;
  request.radioChannel = 5;
  request.radioSubchannel = 0x1F40;
  ASSERT_EQ(ConnectDevice(&link, &request), 1) << LogText();
  EXPECT_EQ(link.info.name.view(), "LOGGER01");
  EXPECT_EQ(air.Modem().channel, 5u);
  EXPECT_EQ(air.Modem().subChannel, 0x1F40u);
  EXPECT_FALSE(air.ModemInAtMode());
  EXPECT_EQ(logger.Heard("query"), 1);
  EXPECT_EQ(logger.Heard("login LOGGER01"), 1);

  LoggerInfo block;
  std::uint32_t flags = kSetSite | kSetTrait;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
  EXPECT_EQ(block.site.view(), "North Field");
  EXPECT_EQ(DisconnectDevice(&link, 0), 1) << LogText();
  EXPECT_EQ(logger.Heard("logout"), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(options.logoutSleepMs + 100));

  // Named, on a modem already tuned: the radio settings come from the modem itself.
  request.configureRadio = 0;
  request.name.Set("LOGGER01");
  ASSERT_EQ(ConnectDevice(&link, &request), 1) << LogText();
  EXPECT_EQ(logger.Heard("query"), 1) << "no query with a name";
  link.info.capabilities = kCapRadio;
  std::int32_t channel = 0, subChannel = 0;
  BoundedText<8> version;
  std::uint32_t bits = kRadioBits;
  EXPECT_EQ(MSRadioCommand(&link, &channel, &subChannel, &version, kRead, &bits), 1) << LogText();
  EXPECT_EQ(bits, kSetRadioChannel | kSetRadioSubchannel);
  EXPECT_EQ(channel, 5);
  EXPECT_EQ(subChannel, 0x1F40);
  EXPECT_FALSE(air.ModemInAtMode());
}

TEST_F(LoggerSim, RadmoConfigOnTheModem) {
  struct Case {
    const char* name;
    std::int32_t channel;
    Status expected;
    std::uint32_t done;
  };
  const Case cases[] = {
      {"both taken", 3, 1, kSetRadioChannel | kSetRadioSubchannel},
      {"channel out of range", 9, kSomeFailed, kSetRadioSubchannel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::RadioLink air(nullptr, {1, 1, "0F00"});
    auto pty = OnPty::Start(&air);
    LoggerLink link(&log);
    UseRetries(link, 1);  // a refused AT command never brings the awaited "K"
    ASSERT_EQ(DSOpen(&link, pty->SlavePath().c_str(), 9600), 1);
    std::int32_t channel = c.channel, subChannel = 0xABC;
    BoundedText<8> version;
    std::uint32_t bits = kSetRadioChannel | kSetRadioSubchannel;
    EXPECT_EQ(RadmoConfig(&link, &channel, &subChannel, &version, kWrite, &bits), c.expected)
        << LogText();
    EXPECT_EQ(bits, c.done);
    EXPECT_EQ(air.Modem().subChannel, 0xABCu);
    EXPECT_EQ(air.Modem().channel, c.expected == 1 ? 3u : 1u);
    EXPECT_FALSE(air.ModemInAtMode());
    bits = kRadioBits;
    EXPECT_EQ(RadmoConfig(&link, &channel, &subChannel, &version, kRead, &bits), 1) << LogText();
    EXPECT_EQ(version.view(), "0F00");
    EXPECT_EQ(subChannel, 0xABC);
  }
}

}  // namespace
}  // namespace quendal
