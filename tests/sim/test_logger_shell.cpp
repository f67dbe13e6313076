// The simulated loggers fed bytes as a transport would: their settings, their shells, the
// instrument underneath, the radio module and the radio session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/logger_shell.h"
#include "sim/time_scale.h"
#include "tests/sim/frames.h"

namespace quendal::sim {
namespace {

using namespace std::chrono_literals;

const TimePoint t0 = Clock::now();

struct Said {
  std::string text;
  std::vector<OutChunk> chunks;
};

Said Say(SimLogger& logger, const std::string& bytes, std::uint32_t hostBaud = 9600,
         TimePoint now = Clock::now()) {
  logger.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), hostBaud, now);
  Said said;
  logger.TakeOutput(&said.chunks);
  for (const OutChunk& c : said.chunks) said.text += c.bytes;
  return said;
}

std::string Framed(const std::string& body) {
  return "\r" + body + "\r>";
}

TEST(LoggerSettings, ChecksEveryValueBeforeTakingIt) {
  struct Case {
    const char* key;
    const char* value;
    const char* stored;  // null: refused, the old value stays
  };
  const Case cases[] = {
      {"i", "TANK7", "TANK7"},
      {"i", "NINECHARS", nullptr},
      {"i", "A:B", nullptr},
      {"i", "", nullptr},
      {"site", " Lower Weir ", "Lower Weir"},
      {"site", "twenty-six characters long", nullptr},
      {"w", "+42", "42"},
      {"w", "-5", nullptr},
      {"w", "12a", nullptr},
      {"tz", "-48", "-48"},
      {"tz", "57", nullptr},
      {"lat", "45.5", "+45.50000"},
      {"lat", "90.1", nullptr},
      {"lat", "north", nullptr},
      {"lat", "", ""},  // no position
      {"ports", "1  2 3 4 5", "1 2 3 4 5"},
      {"ports", "1 2 3 4", nullptr},
      {"depth", "1 2 3 4 256", nullptr},
      {"authkey", "0123456789abcdef0123456789ABCDEF", "0123456789abcdef0123456789ABCDEF"},
      {"authkey", "0123456789abcdef0123456789ABCDE", nullptr},
      {"authkey", "0123456789abcdef0123456789ABCDEG", nullptr},
      {"adc30", "1 2 3 4 5 6 7 8 9 10 55", "1 2 3 4 5 6 7 8 9 10 55"},
      {"adc30", "1 2 3 4 5 6 7 8 9 10 54", nullptr},  // wrong checksum
      {"adc30", "1 2 3 54", nullptr},
      {"ipport", "65536", nullptr},
      {"nosuch", "1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    LoggerSettings settings(ProfileOf(LoggerKind::kTarnx), LoggerHardware{});
    settings.FillInService();
    const std::optional<std::string> before = settings.Get(c.key);
    EXPECT_EQ(settings.Set(c.key, c.value), c.stored != nullptr);
    EXPECT_EQ(settings.Get(c.key), c.stored ? std::optional<std::string>(c.stored) : before);
  }
}

TEST(LoggerSettings, FollowTheProfileAndTheHardware) {
  LoggerHardware bare;
  bare.radio = false;
  bare.modem = false;
  LoggerSettings tarnx(ProfileOf(LoggerKind::kTarnx), bare);
  EXPECT_EQ(tarnx.Get("trait"), "255");
  EXPECT_FALSE(tarnx.Has("apn")) << "no modem, no cellular settings";
  LoggerSettings fitted(ProfileOf(LoggerKind::kTarnx), LoggerHardware{});
  EXPECT_EQ(fitted.Get("trait"), "246");
  EXPECT_TRUE(fitted.Has("apn"));
  EXPECT_EQ(fitted.Get("i"), "") << "factory-fresh: no name";

  LoggerSettings tarnb(ProfileOf(LoggerKind::kTarnb), LoggerHardware{});
  EXPECT_TRUE(tarnb.Has("ports"));
  EXPECT_FALSE(tarnb.Has("lat"));
  EXPECT_FALSE(tarnb.Has("trait"));
  LoggerSettings rdv(ProfileOf(LoggerKind::kReadvane), LoggerHardware{});
  EXPECT_EQ(rdv.Get("adc15"), "128 100 228");  // one slope and offset
  EXPECT_FALSE(rdv.Set("adc15", "1 2 3 4 5 6 7 8 9 10 55"));
  LoggerSettings relmo(ProfileOf(LoggerKind::kRelmo), LoggerHardware{});
  EXPECT_EQ(relmo.Get("r"), "16");
  EXPECT_FALSE(relmo.Set("r", "3"));
}

TEST(SimLogger, AnswersItsShell) {
  SimLogger tarnx(LoggerOptionsFor(LoggerKind::kTarnx));
  LoggerOptions freshOptions = LoggerOptionsFor(LoggerKind::kTarnx);
  freshOptions.factoryFresh = true;
  SimLogger fresh(freshOptions);
  SimLogger tarn(LoggerOptionsFor(LoggerKind::kTarn));
  struct Case {
    SimLogger* logger;
    const char* command;
    std::string answer;
  };
  const Case cases[] = {
      {&tarnx, "get -ver\r", Framed("Tarnx 2.05")},
      {&tarnx, "get -i\n\r", Framed("LOGGER01")},
      {&tarnx, "set -w 77\r", Framed("OK")},
      {&tarnx, "get -w\r", Framed("77")},
      {&tarnx, "set -w many\r", Framed("ERROR")},
      {&tarnx, "get -w\r", Framed("77")},
      {&tarnx, "get -nosuch\r", Framed("Unsupported")},
      {&tarnx, "get -sec\r", Framed("Unsupported")},  // its clock is in hours and minutes
      {&tarnx, "set -baud 9\r", Framed("ERROR")},
      {&tarnx, "set -rch 7\r", Framed("ERROR")},
      {&tarnx, "set -rch 6\r", Framed("OK")},
      {&tarnx, "get -rch\r", Framed("6")},
      {&tarnx, "\r", Framed("")},
      {&fresh, "get -i\r", Framed("")},  // uninitialised: the prompt alone
      {&fresh, "set -t 25:00:00\r", Framed("ERROR")},
      {&fresh, "set -d 2023-2-29\r", Framed("ERROR")},
      {&fresh, "set -t 10:20:30\r", Framed("OK")},
      {&fresh, "set -d 2024-2-29\r", Framed("OK")},
      {&fresh, "get -t\r", Framed("2024-02-29 10:20:30")},
      {&tarn, "get -ver\r", Framed("ERROR")},
      {&tarn, "show\r", Framed("ID: LOGGER01\rVersion: Tarn 1.72\rRadio: 2\rWake: 300\rResets: 0")},
      {&tarn, "set -p 12\r", Framed("Hertz: 12")},
      {&tarn, "hertz\r", Framed("12")},
      {&tarn, "get -i\r", Framed("ERROR")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(Say(*c.logger, c.command).text, c.answer);
  }
}

TEST(SimLogger, SwitchesItsRateAfterTheAnswer) {
  SimLogger logger(LoggerOptionsFor(LoggerKind::kTarnx));
  Said said = Say(logger, "set -baud 4\r");
  ASSERT_EQ(said.text, Framed("OK"));
  EXPECT_EQ(said.chunks.at(0).baud, 9600u) << "the answer goes at the old rate";
  EXPECT_EQ(logger.Baud(), 115200u);
  // A host left behind is misheard and gets nothing.
  EXPECT_EQ(Say(logger, "get -i\r", 9600).text, "");
  EXPECT_GT(logger.Counters().misheardBytes, 0u);
  // Once the host follows, the rubbish it sent first spoils one line only.
  EXPECT_EQ(Say(logger, "\rget -i\r", 115200).text, Framed("Unsupported") + Framed("LOGGER01"));
  EXPECT_EQ(Say(logger, "get -i\r", 115200).chunks.at(0).baud, 115200u);
  // Power off and on: back at the usual rate.
  logger.Device().PowerCycle(0);
  logger.Advance(Clock::now() + 1ms);
  EXPECT_EQ(logger.Baud(), 9600u);
  EXPECT_EQ(Say(logger, "get -i\r", 9600).text, Framed("LOGGER01"));
}

TEST(SimLogger, IsStillAnInstrumentThatCanBeUpdated) {
  LoggerOptions options = LoggerOptionsFor(LoggerKind::kTarnx);
  options.records = 40;
  SimLogger logger(options);
  EXPECT_EQ(Say(logger, "post\r").text, Framed("Code Good!"));
  EXPECT_EQ(Say(logger, "boot ZAVE\r").text, "\rOK\r");
  EXPECT_EQ(logger.Device().State(), DeviceState::kLoaderWaiting);
  EXPECT_EQ(Say(logger, "\rP").text, "$#");
  // New firmware through the vectors starts from factory settings; this type loses its data.
  std::string words;
  for (int i = 0; i < 16; ++i) words += frames::Hex(0x1100, 4);
  EXPECT_EQ(Say(logger, frames::Frame('V', words) + "\r").text, "+\r");
  EXPECT_EQ(logger.Device().State(), DeviceState::kFirmware);
  EXPECT_EQ(Say(logger, "get -i\r").text, Framed(""));
  EXPECT_EQ(logger.Records(), 0u);
}

TEST(RadioModule, EscapesIntoCommandModeAndBack) {
  RadioModule module({3, 0x1F40, "12AB"});
  std::string reply, air;
  auto feed = [&](const std::string& bytes) {
    reply.clear();
    air.clear();
    for (char c : bytes) module.Feed(c, &reply, &air);
  };
  feed("++x+");
  EXPECT_EQ(air, "++x") << "pluses that are not the escape are data";
  EXPECT_FALSE(module.atMode());
  feed("++");
  EXPECT_EQ(reply, "OK\r");
  EXPECT_TRUE(module.atMode());
  struct Step {
    const char* command;
    const char* reply;
  };
  const Step steps[] = {
      {"ATHP\r", "3\r"},   {"ATDT\r", "1F40\r"},   {"ATVR\r", "12AB\r"},  {"ATHP7\r", "ERROR\r"},
      {"ATHP5\r", "OK\r"}, {"ATDTBEEF\r", "OK\r"}, {"ATXX\r", "ERROR\r"}, {"ATCN\r", "OK\r"},
  };
  for (const Step& s : steps) {
    feed(s.command);
    EXPECT_EQ(reply, s.reply) << s.command;
  }
  EXPECT_FALSE(module.atMode());
  EXPECT_EQ(module.config().channel, 5u);
  // Not stored with ATWR: a restart brings the old channel back.
  module.Restart();
  EXPECT_EQ(module.config().channel, 3u);
}

TEST(SimLogger, TalksOverTheRadioOnlyAfterALogin) {
  ScopedTimeScale realTime(1);
  LoggerOptions options = LoggerOptionsFor(LoggerKind::kTarnx);
  options.logoutSleepMs = 1000;
  SimLogger logger(options);
  auto air = [&](const std::string& bytes, TimePoint now = t0) {
    std::string answer;
    logger.HearOverRadio(bytes, now, &answer);
    return answer;
  };
  EXPECT_EQ(air("get -ver\r"), "");
  EXPECT_EQ(air("\rquery\r"), "LOGGER01\r");
  EXPECT_EQ(air("login OTHER\r"), "");
  EXPECT_EQ(air("login LOGGER01\r"), Framed("OK"));
  EXPECT_EQ(air("get -ver\r"), Framed("Tarnx 2.05"));
  EXPECT_EQ(air("set -baud 4\r"), Framed("ERROR")) << "no rate change over the air";
  EXPECT_EQ(air("logout\r"), "");
  EXPECT_EQ(air("login LOGGER01\r", t0 + 500ms), "") << "its radio is off for a while";
  EXPECT_EQ(air("login LOGGER01\r", t0 + 1500ms), Framed("OK"));
}

}  // namespace
}  // namespace quendal::sim
