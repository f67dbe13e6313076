// Settings, clock, erase and radio against a fake logger shell on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/timing.h"
#include "logger/logger_link.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"
#include "tests/logger/fake_logger.h"
#include "tests/logger/logger_fixture.h"

namespace quendal {
namespace {

using test::FakeLogger;
using test::LoggerTest;

constexpr std::uint32_t kAllSettings = 0x0FFFFFFF;

class Settings : public LoggerTest {
 protected:
  // Logs in to the fake logger, which identifies itself as `version`.
  void Connect(const std::string& version, std::uint32_t retries = 3) {
    ASSERT_TRUE(shell.ok());
    UseRetries(link, retries);
    shell.Set("ver", version);
    ConnectRequest request;
    request.port.Set(shell.SlavePath());
    request.kind = kSerialConnection;
    ASSERT_EQ(ConnectDevice(&link, &request), 1) << LogText();
  }

  // The command lines after the login, in order.
  std::vector<std::string> LinesAfterLogin() const {
    std::vector<std::string> lines = shell.Lines();
    lines.erase(std::remove(lines.begin(), lines.end(), "get -ver"), lines.end());
    return lines;
  }

  void FillTarnx() {
    const std::pair<const char*, const char*> values[] = {
        {"i", "LOGGER01"},
        {"sn", "SN-0042"},
        {"trait", "246"},  // radio and cellular modem
        {"w", "60"},
        {"ports", "1 2 3 4 5"},
        {"padc", "50"},
        {"devid", "DEV00001"},
        {"data", "7"},
        {"r", "3"},
        {"rver", "12AB"},
        {"rch", "5"},
        {"rsch", "1F40"},
        {"depth", "10 20 300 40 50"},
        {"site", "North Field"},
        {"lat", "+45.12345"},
        {"long", "-122.54321"},
        {"tz", "-28"},
        {"apn", "internet.example"},
        {"user", "apnuser"},
        {"passwd", "secret"},
        {"host", "collector.example.org"},
        {"authkey", "0123456789abcdef0123456789ABCDEF"},
        {"ipport", "8080"},
        {"report", "2"},
        {"adc30", "10 20 11 21 12 22 13 23 14 24 170"},
        {"adc15", "1 2 1 2 1 2 1 2 1 2 15"},
        {"build", "B1234"},
    };
    for (const auto& [key, value] : values) shell.Set(key, value);
  }

  FakeLogger shell;
  LoggerLink link{&log};
};

TEST_F(Settings, ReadsEverySettingOfATarnx) {
  FillTarnx();
  Connect("Tarnx 2.05");
  LoggerInfo block;
  std::uint32_t flags = kAllSettings;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
  EXPECT_EQ(flags, kAllSettings);
  EXPECT_EQ(block.knownMask, kAllSettings);
  EXPECT_EQ(block.loggerType, kLoggerTarnx);
  EXPECT_EQ(block.versionNumber, 205);
  EXPECT_EQ(block.name.view(), "LOGGER01");
  EXPECT_EQ(block.serialNumber.view(), "SN-0042");
  EXPECT_EQ(block.trait, 0x4009u);
  EXPECT_EQ(block.wake, 60);
  EXPECT_EQ(std::vector<int>(block.ports, block.ports + 5), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(block.padc, 50);
  EXPECT_EQ(block.deviceId.view(), "DEV00001");
  EXPECT_EQ(block.dataParameter, 7);
  EXPECT_EQ(block.radioMode, 3);
  EXPECT_EQ(block.radioVersion.view(), "12AB");
  EXPECT_EQ(block.radioChannel, 5);
  EXPECT_EQ(block.radioSubchannel, 0x1F40);
  EXPECT_EQ(std::vector<int>(block.depths, block.depths + 5),
            (std::vector<int>{10, 20, 255, 40, 50}));
  EXPECT_EQ(block.site.view(), "North Field");
  EXPECT_DOUBLE_EQ(block.latitude, 45.12345);
  EXPECT_DOUBLE_EQ(block.longitude, -122.54321);
  EXPECT_EQ(block.timeZone, -28);
  EXPECT_EQ(block.apn.view(), "internet.example");
  EXPECT_EQ(block.apnUser.view(), "apnuser");
  EXPECT_EQ(block.apnPassword.view(), "secret");
  EXPECT_EQ(block.host.view(), "collector.example.org");
  EXPECT_EQ(block.authKey.view(), "0123456789abcdef0123456789ABCDEF");
  EXPECT_EQ(block.ipPort, 8080u);
  EXPECT_EQ(block.reportMode, 2);
  EXPECT_EQ(std::vector<int>(block.adc30Cal.slopes, block.adc30Cal.slopes + 5),
            (std::vector<int>{10, 11, 12, 13, 14}));
  EXPECT_EQ(std::vector<int>(block.adc30Cal.offsets, block.adc30Cal.offsets + 5),
            (std::vector<int>{20, 21, 22, 23, 24}));
  EXPECT_EQ(block.adc15Cal.slopes[4], 1);
  EXPECT_EQ(block.adc15Cal.offsets[4], 2);
  EXPECT_EQ(block.build.view(), "B1234");
  // The link keeps the record too.
  EXPECT_EQ(link.info.site.view(), "North Field");
}

// The log goes with every feedback post: the APN password and the authentication key are
// read and written back without ever appearing in it, even at the most detailed level.
TEST_F(Settings, SecretsStayOutOfTheLog) {
  FillTarnx();
  shell.Set("passwd", "pw-7xQ2");
  Connect("Tarnx 2.05");
  LoggerInfo block;
  std::uint32_t flags = kAllSettings;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
  ASSERT_EQ(block.apnPassword.view(), "pw-7xQ2");
  flags = kSetApnPassword | kSetAuthKey;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kWrite), 1) << LogText();
  const std::string log = LogText();
  EXPECT_TRUE(Logged("APN password")) << log;
  for (const char* secret : {"pw-7xQ2", "0123456789abcdef0123456789ABCDEF", "0123456789abcdef"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
}

TEST_F(Settings, LongestHostSurvivesTheRead) {
  FillTarnx();
  const std::string host(63, 'h');
  shell.Set("host", host);
  Connect("Tarnx 2.05");
  LoggerInfo block;
  std::uint32_t flags = kSetTrait | kSetHost;
  ASSERT_EQ(DeviceSettings(&link, &block, &flags, kRead), 1) << LogText();
  EXPECT_EQ(block.host.view(), host);
}

// A text longer than the field that keeps it would be restored as another value: it is
// refused and named, never cut, however the answer buffer of its command is sized. A NUL
// inside is kept, so that the settings file refuses the value rather than hold a part.
TEST_F(Settings, TextIsKeptWholeOrRefusedNeverCut) {
  struct Case {
    const char* key;
    std::string value;
    Status expected;
    const char* unfit;  // empty: none
  } cases[] = {
      {"site", std::string(25, 's'), 1, ""},
      {"site", std::string("North\0Field", 11), 1, ""},
      {"site", std::string(30, 's'), kSettingsUnfit,
       "its answer to \"get -site\" has 30 characters, more than the 25 it can keep"},
      {"host", std::string(70, 'h'), kSettingsUnfit,
       "its answer to \"get -host\" has 70 characters, more than the 63 it can keep"},
      {"passwd", "pw-" + std::string(40, 'x'), kSettingsUnfit,
       "its answer to \"get -passwd\" has 43 characters, more than the 35 it can keep"},
      {"authkey", std::string(40, 'a'), kSettingsUnfit,
       "its answer to \"get -authkey\" has 40 characters, more than the 32 it can keep"},
      {"sn", std::string(20, '7'), kSettingsUnfit,
       "its answer to \"get -sn\" has 20 characters, more than the 15 it can keep"},
      {"sn", std::string("SN\0" "042", 6), 1, ""},
      {"i", "LOGGER0123", kSettingsUnfit,
       "its answer to \"get -i\" has 10 characters, more than the 8 it can keep"},
  };
  FillTarnx();
  Connect("Tarnx 2.05");
  ASSERT_EQ(TraitCommand(&link, &link.info.trait, kRead), 1);  // the cellular settings need it
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " of " + std::to_string(c.value.size()));
    shell.Set(c.key, c.value);
    link.unfitText.clear();
    LoggerInfo& info = link.info;
    const std::string key = c.key;
    Status rc = 0;
    std::string_view kept;
    if (key == "site") {
      info.site.Clear();
      rc = SiteCommand(&link, &info.site, kRead);
      kept = info.site.view();
    } else if (key == "host") {
      info.host.Clear();
      rc = HostCommand(&link, &info.host, kRead);
      kept = info.host.view();
    } else if (key == "passwd") {
      info.apnPassword.Clear();
      rc = APNPasswdCommand(&link, &info.apnPassword, kRead);
      kept = info.apnPassword.view();
    } else if (key == "authkey") {
      info.authKey.Clear();
      rc = AuthKeyCommand(&link, &info.authKey, kRead);
      kept = info.authKey.view();
    } else if (key == "sn") {
      info.serialNumber.Clear();
      rc = SNCommand(&link, &info.serialNumber, kRead);
      kept = info.serialNumber.view();
    } else if (key == "i") {
      info.name.Clear();
      rc = NameCommand(&link, &info.name, kRead);
      kept = info.name.view();
    }
    EXPECT_EQ(rc, c.expected) << LogText();
    EXPECT_EQ(link.unfitText, c.unfit);
    EXPECT_EQ(kept, rc > 0 ? std::string_view(c.value) : "") << "kept whole or not at all";
  }
  EXPECT_EQ(LogText().find("pw-xxx"), std::string::npos) << "secrets stay out of the log";
}

// A command that holds a secret is masked in the line that tells of a long answer too.
TEST_F(Settings, LongAnswerLineMasksTheSecretOfItsCommand) {
  FillTarnx();
  Connect("Tarnx 2.05");
  ASSERT_EQ(TraitCommand(&link, &link.info.trait, kRead), 1);
  shell.Script("set -passwd pw-7xQ2", {"\rOK" + std::string(100, ' ') + "\r>"});
  LoggerInfo& info = link.info;
  info.apnPassword.Set("pw-7xQ2");
  ASSERT_EQ(APNPasswdCommand(&link, &info.apnPassword, kWrite), 1) << LogText();
  EXPECT_TRUE(Logged("more bytes than expected (set -passwd ********")) << LogText();
  EXPECT_FALSE(Logged("pw-7xQ2")) << LogText();
}

TEST_F(Settings, RadioBitsWithoutARadio) {
  FillTarnx();
  shell.Set("trait", "255");  // no features at all
  Connect("Tarnx 2.05");
  LoggerInfo block;
  std::uint32_t flags = kSetName | kRadioBits;
  EXPECT_EQ(DeviceSettings(&link, &block, &flags, kRead), kSomeFailed);
  EXPECT_EQ(flags, kSetName | kSetIdentity | kSetTrait);
  EXPECT_EQ(block.trait, 0x4000u);
  EXPECT_FALSE(shell.HeardPrefix("get -r")) << "no radio command without a radio";
}

TEST_F(Settings, ReconnectsAfterSilence) {
  struct Case {
    const char* name;
    std::vector<std::string> nameAnswers;  // "" stays silent
    Status expected;
    int nameReads;
    int logins;
  };
  const Case cases[] = {
      {"silent once", {"", FakeLogger::Shell("LOGGER01")}, 1, 2, 2},
      {"silent for good", {""}, kNoAnswer, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLogger fresh;
    LoggerLink fresher(&log);
    ASSERT_TRUE(fresh.ok());
    UseRetries(fresher, 1);
    fresh.Set("ver", "Tarnx 2.05");
    fresh.Script("get -i", c.nameAnswers);
    ConnectRequest request;
    request.port.Set(fresh.SlavePath());
    request.kind = kSerialConnection;
    ASSERT_EQ(ConnectDevice(&fresher, &request), 1);
    LoggerInfo block;
    std::uint32_t flags = kSetName;
    EXPECT_EQ(DeviceSettings(&fresher, &block, &flags, kRead), c.expected);
    EXPECT_EQ(fresh.Count("get -i"), c.nameReads);
    EXPECT_EQ(fresh.Count("get -ver"), c.logins);
    if (c.expected == 1) {
      EXPECT_EQ(block.name.view(), "LOGGER01");
      EXPECT_TRUE(Logged(" - ******: DeviceSettings re-connected to device")) << LogText();
    }
  }
}

TEST_F(Settings, StopsOnUninitialisedLoggerAndEcho) {
  struct Case {
    const char* line;
    std::string answer;
    Status expected;
  };
  const Case cases[] = {
      {"get -i", "\r\r>", kUninitialised},
      {"get -i", "get -i\r\r>", kEcho},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    FakeLogger fresh;
    LoggerLink fresher(&log);
    ASSERT_TRUE(fresh.ok());
    fresh.Set("ver", "Tarnx 2.05");
    fresh.Set("devid", "DEV00001");
    fresh.Script(c.line, {c.answer});
    ConnectRequest request;
    request.port.Set(fresh.SlavePath());
    request.kind = kSerialConnection;
    ASSERT_EQ(ConnectDevice(&fresher, &request), 1);
    LoggerInfo block;
    std::uint32_t flags = kSetName | kSetDeviceId;
    EXPECT_EQ(DeviceSettings(&fresher, &block, &flags, kRead), c.expected);
    EXPECT_FALSE(fresh.HeardPrefix("get -devid")) << "nothing after the stop";
    EXPECT_EQ(flags & kSetName, 0u);
  }
}

TEST_F(Settings, WritesInOrderAndRefusesABadKey) {
  Connect("Tarnx 2.05");
  LoggerInfo block = link.info;
  block.trait = 0x4009;
  block.name.Set("NEWNAME");
  block.latitude = 0;
  block.longitude = -122.5;
  block.timeZone = kTimeZoneFromPc;
  block.site.Set("Far Field");
  const std::uint8_t depths[5] = {1, 2, 3, 4, 5};
  std::memcpy(block.depths, depths, 5);
  const std::uint8_t slopes[5] = {10, 11, 12, 13, 14};
  const std::uint8_t offsets[5] = {20, 21, 22, 23, 24};
  std::memcpy(block.adc30Cal.slopes, slopes, 5);
  std::memcpy(block.adc30Cal.offsets, offsets, 5);
  block.authKey.Set("0123456789abcdef0123456789ABCDE");  // 31 digits
  const std::uint32_t asked = kSetName | kSetDepths | kSetLatitude | kSetLongitude | kSetTimeZone |
                              kSetSite | kSetTrait | kSetAdc30 | kSetAuthKey;
  std::uint32_t flags = asked;
  EXPECT_EQ(DeviceSettings(&link, &block, &flags, kWrite), kSomeFailed);
  EXPECT_EQ(flags, asked & ~kSetAuthKey);
  const std::vector<std::string> expected = {
      "set -i NEWNAME",
      "set -depth 1 2 3 4 5",
      "set -lat ",
      "set -long -122.50000",
      "set -tz " + std::to_string(LocalUtcOffset() / 900),
      "set -site Far Field",
      "set -trait 246",
      "set -adc30 10 20 11 21 12 22 13 23 14 24 170",
  };
  EXPECT_EQ(LinesAfterLogin(), expected);
}

TEST_F(Settings, EraseChecksIdentityFirst) {
  struct Case {
    const char* name;
    const char* loggerName;
    std::string eraseAnswer;
    Status expected;
    bool erased;
  };
  const Case cases[] = {
      {"renamed since connecting", "LOGGER02", FakeLogger::Shell("OK"), kIdentityMismatch, false},
      {"the same logger", "LOGGER01", FakeLogger::Shell("OK"), 1, true},
      {"a broken data flash", "LOGGER01", FakeLogger::Shell("DataFlash FAIL"), kDataFlashBroken,
       true},
      {"an answer without OK", "LOGGER01", FakeLogger::Shell("Busy"), kNotRecognised, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLogger fresh;
    LoggerLink fresher(&log);
    ASSERT_TRUE(fresh.ok());
    fresh.Set("ver", "Tarnx 2.05");
    fresh.Set("i", c.loggerName);
    fresh.Script("yes", {c.eraseAnswer});
    ConnectRequest request;
    request.port.Set(fresh.SlavePath());
    request.kind = kSerialConnection;
    ASSERT_EQ(ConnectDevice(&fresher, &request), 1);
    fresher.info.name.Set("LOGGER01");
    EXPECT_EQ(EraseData(&fresher), c.expected);
    EXPECT_EQ(fresh.Count("yes") > 0, c.erased);
  }
  EXPECT_TRUE(Logged("EraseData: Identity mismatch. Class: LOGGER01, Device: LOGGER02"));
}

TEST_F(Settings, LoggerClock) {
  // 2024-02-29 13:05:09 local: 8825 days and 47109 s after 2000-01-01.
  constexpr std::int32_t kLeapDay = 8825 * 86400 + 13 * 3600 + 5 * 60 + 9;
  struct Case {
    const char* name;
    const char* version;
    int direction;
    std::int32_t seconds;
    const char* key;  // the setting the fake answers the read from
    const char* value;
    Status expected;
    std::int32_t secondsAfter;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"seconds clock", "RDV 1.10", kRead, 0, "sec", "789012345", 1, 789012345, {"get -sec"}},
      {"seconds clock never set",
       "RDV 1.10",
       kRead,
       0,
       "sec",
       "4294967295",
       kNotRecognised,
       0,
       {"get -sec"}},
      {"calendar clock",
       "Tarnx 2.05",
       kRead,
       0,
       "t",
       "Date\\Time: 2024-02-29 13:05:09",
       1,
       kLeapDay,
       {"get -t"}},
      {"a date that does not exist",
       "Tarnx 2.05",
       kRead,
       0,
       "t",
       "2023-02-29 13:05:09",
       kNotRecognised,
       0,
       {"get -t"}},
      {"no date at all", "Tarnx 2.05", kRead, 0, "t", "soon", kNotRecognised, -1, {"get -t"}},
      {"set the seconds clock",
       "RDV 1.10",
       kWrite,
       kLeapDay,
       nullptr,
       nullptr,
       1,
       kLeapDay,
       {"set -sec " + std::to_string(kLeapDay)}},
      {"set the calendar clock",
       "Tarnx 2.05",
       kWrite,
       kLeapDay,
       nullptr,
       nullptr,
       1,
       kLeapDay,
       {"set -t 13:5:9", "set -d 2024-2-29"}},
      {"a logger without a clock", "WST 1.10", kRead, 5, nullptr, nullptr, kRefused, -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLogger fresh;
    LoggerLink fresher(&log);
    ASSERT_TRUE(fresh.ok());
    fresh.Set("ver", c.version);
    if (c.key) fresh.Set(c.key, c.value);
    ConnectRequest request;
    request.port.Set(fresh.SlavePath());
    request.kind = kSerialConnection;
    ASSERT_EQ(ConnectDevice(&fresher, &request), 1);
    std::int32_t seconds = c.seconds;
    EXPECT_EQ(DeviceTime(&fresher, &seconds, c.direction), c.expected);
    EXPECT_EQ(seconds, c.secondsAfter);
    std::vector<std::string> lines = fresh.Lines();
    lines.erase(lines.begin());  // the login's "get -ver"
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(LoggerClockConversion, RoundTripsAndRefusesImpossibleDates) {
  struct Case {
    LoggerClock clock;
    bool ok;
    std::int32_t seconds;
  };
  const Case cases[] = {
      {{2000, 1, 1, 0, 0, 0}, true, 0},
      {{2000, 3, 1, 0, 0, 0}, true, 60 * 86400},    // 2000 is a leap year
      {{2068, 1, 19, 3, 14, 7}, true, 2147483647},  // the last second 32 bits hold
      {{2068, 1, 19, 3, 14, 8}, false, 0},
      {{2024, 2, 29, 13, 5, 9}, true, 8825 * 86400 + 47109},
      {{2023, 2, 29, 0, 0, 0}, false, 0},
      {{2024, 13, 1, 0, 0, 0}, false, 0},
      {{2024, 1, 1, 24, 0, 0}, false, 0},
      {{2100, 2, 29, 0, 0, 0}, false, 0},  // not a leap year
  };
  for (const Case& c : cases) {
    std::int32_t seconds = 0;
    EXPECT_EQ(SecondsFromClock(c.clock, &seconds), c.ok) << c.clock.year << "-" << c.clock.month;
    if (!c.ok) continue;
    EXPECT_EQ(seconds, c.seconds);
    const LoggerClock back = ClockFromSeconds(seconds);
    EXPECT_EQ(back.year, c.clock.year);
    EXPECT_EQ(back.month, c.clock.month);
    EXPECT_EQ(back.day, c.clock.day);
    EXPECT_EQ(back.hour * 3600 + back.minute * 60 + back.second,
              c.clock.hour * 3600 + c.clock.minute * 60 + c.clock.second);
  }
}

TEST_F(Settings, ParameterRulesOfTheirOwn) {
  struct Case {
    const char* name;
    const char* version;
    const char* key;
    const char* value;
    Status expected;
    bool sent;
  };
  // Each case reads one member on a logger that identifies as `version`.
  const Case cases[] = {
      {"single-value calibration", "RDV 1.10", "adc30", "10 20 30", 1, true},
      {"single-value calibration, wrong checksum", "RDV 1.10", "adc30", "10 20 31", kRefused, true},
      {"calibration with a value of 255", "Tarnx 2.05", "adc30",
       "255 20 11 21 12 22 13 23 14 24 170", kRefused, true},
      {"calibration cut short", "Tarnx 2.05", "adc30", "10 20 11", kNotRecognised, true},
      {"a Relmo is always radio mode 16", "RLM 3.10", "r", "3", 1, false},
      {"no radio in the radio version", "Tarnx 2.05", "rver", "0000", kNoRadio, true},
      {"the logger printed only its prompt", "Tarnx 2.05", "site", ">", kBarePrompt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLogger fresh;
    LoggerLink fresher(&log);
    ASSERT_TRUE(fresh.ok());
    fresh.Set("ver", c.version);
    fresh.Set(c.key, c.value);
    ConnectRequest request;
    request.port.Set(fresh.SlavePath());
    request.kind = kSerialConnection;
    ASSERT_EQ(ConnectDevice(&fresher, &request), 1);
    LoggerInfo& info = fresher.info;
    Status rc = 0;
    const std::string key = c.key;
    if (key == "adc30") {
      rc = ADCcalCommand(&fresher, 1, info.adc30Cal.slopes, info.adc30Cal.offsets, kRead);
    } else if (key == "r") {
      info.radioMode = 0;
      rc = RmodeCommand(&fresher, &info.radioMode, kRead);
      EXPECT_EQ(info.radioMode, 16);
    } else if (key == "rver") {
      std::uint32_t bits = kSetRadioVersion;
      info.radioVersion.Set("9999");
      rc = MSRadioCommand(&fresher, &info.radioChannel, &info.radioSubchannel, &info.radioVersion,
                          kRead, &bits);
      EXPECT_EQ(bits, 0u);
      EXPECT_TRUE(info.radioVersion.empty());
    } else if (key == "site") {
      rc = SiteCommand(&fresher, &info.site, kRead);
    }
    EXPECT_EQ(rc, c.expected);
    EXPECT_EQ(fresh.Lines().size() > 1, c.sent);
    if (std::string(c.name) == "single-value calibration") {
      EXPECT_EQ(info.adc30Cal.slopes[0], 10);
      EXPECT_EQ(info.adc30Cal.offsets[0], 20);
    }
  }
}

}  // namespace
}  // namespace quendal
