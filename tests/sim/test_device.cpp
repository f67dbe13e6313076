// A whole simulated device, fed bytes as a transport would, with the clock in the test's hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/builtin_image.h"
#include "sim/device.h"
#include "sim/time_scale.h"
#include "tests/sim/frames.h"

namespace quendal::sim {
namespace {

using frames::Frame;
using frames::Hex;
using namespace std::chrono_literals;

const TimePoint t0 = Clock::now();

struct Said {
  std::string text;
  std::vector<OutChunk> chunks;
};

Said Say(SimDevice& device, const std::string& bytes, std::uint32_t hostBaud = 9600,
         TimePoint now = t0) {
  device.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), hostBaud, now);
  Said said;
  device.TakeOutput(&said.chunks);
  for (const OutChunk& c : said.chunks) said.text += c.bytes;
  return said;
}

// A device whose loader takes frames: blank flash brings it up waiting for the handshake.
DeviceOptions ActiveLoaderOptions(FaultPlan faults = {}) {
  DeviceOptions o = OptionsForType(kTypeDigitalSensor, 396);
  o.blankFlash = true;
  o.faults = std::move(faults);
  return o;
}

void Handshake(SimDevice& device) {
  ASSERT_EQ(device.State(), DeviceState::kLoaderWaiting);
  ASSERT_EQ(Say(device, "\rP").text, "$#");
}

// What the host's upload does: an address at each segment, then blocks of 512 characters.
void Upload(SimDevice& device, const std::string& text, bool extended, int skipBlock = -1) {
  int block = 0;
  for (std::size_t p = 0; p < text.size();) {
    std::size_t next = text.find('@', p + 1);
    if (next == std::string::npos) next = text.size();
    std::string address = text.substr(p + 1, 5);
    if (!extended) address = address.substr(1);
    ASSERT_EQ(Say(device, Frame('@', address) + "\r").text, "+\r");
    for (std::size_t d = p + 6; d < next; d += 512) {
      std::string data = text.substr(d, std::min<std::size_t>(512, next - d));
      if (block++ == skipBlock) {
        // A lost block: the host goes on at the address after it.
        unsigned a = std::stoul(text.substr(p + 1, 5), nullptr, 16) +
                     static_cast<unsigned>(d - p - 6 + data.size()) / 2;
        ASSERT_EQ(Say(device, Frame('@', Hex(a, extended ? 5 : 4)) + "\r").text, "+\r");
        continue;
      }
      ASSERT_EQ(Say(device, Frame('W', data) + "\r").text, "+\r");
    }
    p = next;
  }
}

std::string VectorPayload(const std::uint32_t* vectors) {
  std::string words;
  for (int i = 0; i < 16; ++i) words += Hex(vectors[i] & 0xFFFF, 4);
  return words;
}

TEST(SimDevice, ShellAnswersCommands) {
  DeviceOptions plain = OptionsForType(kTypeCommDevice, 123);
  DeviceOptions old = plain;
  old.shell.oldFirmware = true;
  DeviceOptions noLoader = plain;
  noLoader.shell.hasLoader = false;
  const struct {
    const DeviceOptions* options;
    const char* in;
    const char* out;
  } cases[] = {
      {&plain, "get -ver\r", "\rKCD 1.23\r>"},
      {&plain, "get\n -ver\r\n", "\rKCD 1.23\r>"},  // LF means nothing
      {&plain, "\r", "\r\r>"},
      {&plain, "get -batt\r", "\rUnsupported\r>"},
      {&plain, "post\rpost -init\r", "\rCode Good!\r>\rCode Good!\r>"},
      {&plain, "get -ver", ""},  // no CR, no answer yet
      {&old, "get -ver\r", "\rERROR\r>"},
      {&old, "post\r", "\rCode Good!\r>"},
      {&noLoader, "boot ZAVE\r", "\rQuendal MISSING\r>"},
      {&plain, "boot ZAVE\r", "\rOK\r"},
  };
  for (const auto& c : cases) {
    SimDevice device(*c.options);
    EXPECT_EQ(Say(device, c.in).text, c.out) << c.in;
    bool booted = std::string(c.out) == "\rOK\r";
    EXPECT_EQ(device.State(), booted ? DeviceState::kLoaderWaiting : DeviceState::kFirmware);
  }
}

TEST(SimDevice, ShellExtensionAnswersWhatTheBaseShellDoesNot) {
  SimDevice device(OptionsForType(kTypeCommDevice, 123));
  device.SetShellExtension([](std::string_view command) -> std::optional<std::string> {
    if (command == "get -batt") return "87";
    return std::nullopt;
  });
  EXPECT_EQ(Say(device, "get -batt\rget -ver\rget -x\r").text,
            "\r87\r>\rKCD 1.23\r>\rUnsupported\r>");
}

TEST(SimDevice, UploadedImageRunsAndPassesItsSelfTest) {
  if (std::string(kBuiltinImage.name) != "Lurra 3.96") {
    GTEST_SKIP() << "this build embeds an image for another layout";
  }
  const std::string image(kBuiltinImage.text, kBuiltinImage.length);
  for (int skip : {-1, 40}) {
    SimDevice device(OptionsForType(kTypeDigitalSensor, 390));
    ASSERT_EQ(Say(device, "boot ZAVE\r").text, "\rOK\r");
    Handshake(device);
    for (unsigned a : {0x1000u, 0x1040u, 0x1080u}) {
      ASSERT_EQ(Say(device, Frame('X', Hex(a, 4)) + "\r").text, "+\r");
    }
    for (unsigned a = 0x8000; a < 0xF9FF; a += 512) {
      ASSERT_EQ(Say(device, Frame('X', Hex(a, 4)) + "\r").text, "+\r");
    }
    EXPECT_FALSE(device.SelfTestPasses());
    Upload(device, image, false, skip);
    ASSERT_EQ(device.State(), DeviceState::kLoaderActive);
    ASSERT_EQ(Say(device, Frame('V', VectorPayload(kBuiltinImage.vectors)) + "\r").text, "+\r");
    EXPECT_EQ(device.State(), DeviceState::kFirmware);
    EXPECT_EQ(device.Vectors()[15], kBuiltinImage.vectors[15]);
    EXPECT_EQ(device.Counters().restarts, 1u);
    EXPECT_EQ(Say(device, "post\r").text, skip < 0 ? "\rCode Good!\r>" : "\rCode Corrupt!\r>");
    // The new firmware names its own version; an image cut short is none the simulator knows.
    EXPECT_EQ(Say(device, "get -ver\r").text,
              skip < 0 ? "\rKYREL-SX 3.96\r>" : "\rKYREL-SX 3.90\r>");
    // Power comes back in the firmware only when the image is whole.
    device.PowerCycle(0);
    device.Advance(Clock::now());
    EXPECT_EQ(device.State(), skip < 0 ? DeviceState::kFirmware : DeviceState::kLoaderWaiting);
  }
}

TEST(SimDevice, VersionTextTakesTheFlashedVersion) {
  struct Case {
    const char* text;
    std::uint32_t version;
    const char* becomes;
  } cases[] = {
      {"KCD 1.23", 396, "KCD 3.96"},
      {"CVFOUR 10.05", 211, "CVFOUR 2.11"},
      {"Tarnx 2.10", 1205, "Tarnx 12.05"},
      {"KCD 1.23", 0, "KCD 1.23"},
      {"KCD 1.2", 396, "KCD 1.2"},
      {"KCD v1.23", 396, "KCD v1.23"},
      {"1.23", 396, "3.96"},
      {"KCD", 396, "KCD"},
  };
  for (const Case& c : cases) EXPECT_EQ(WithVersion(c.text, c.version), c.becomes) << c.text;
}

TEST(SimDevice, LineSpeedsFollowTheState) {
  SimDevice device(OptionsForType(kTypeRdv, 205));              // shell 9600, loader 57600
  EXPECT_EQ(Say(device, "get -ver\r", 19200).text, "");         // garbled: no CR ever arrives
  EXPECT_EQ(Say(device, "\r", 9600).text, "\rUnsupported\r>");  // the noise was a command
  Said boot = Say(device, "boot ZAVE\r", 9600);
  ASSERT_EQ(boot.text, "\rOK\r");
  EXPECT_EQ(boot.chunks[0].baud, 9600u);  // answered before the switch
  EXPECT_EQ(device.Baud(), 57600u);
  EXPECT_EQ(Say(device, "\r", 9600).text, "");
  Said prompt = Say(device, "\r", 57600);
  EXPECT_EQ(prompt.text, "$");
  EXPECT_EQ(prompt.chunks[0].baud, 57600u);
  ASSERT_EQ(Say(device, "P", 57600).text, "#");
  std::string words(60, 'F');
  Said vectors = Say(device, Frame('V', words + "2100") + "\r", 57600);
  EXPECT_EQ(vectors.chunks.at(0).baud, 57600u);  // the answer leaves before the restart
  EXPECT_EQ(device.Baud(), 9600u);
}

struct FaultCase {
  const char* spec;
  std::vector<std::string> frames;
  std::vector<std::string> answers;
};

TEST(SimDevice, FaultsHitTheFramesTheyName) {
  const std::string a = Frame('@', "8000") + "\r";
  const std::string x = Frame('X', "8000") + "\r";
  const std::string w = Frame('W', "1234") + "\r";
  const FaultCase cases[] = {
      {"refuse@2", {a, a, a}, {"+\r", "-\r", "+\r"}},
      {"refuse@1+2:X", {a, x, a, x, x}, {"+\r", "-\r", "+\r", "-\r", "+\r"}},
      {"corrupt-in@1", {a, a}, {"-\r", "+\r"}},
      {"corrupt-in@1,bytes=2", {a}, {"-\r"}},
      {"drop-in@2:W", {a, w, w, w}, {"+\r", "+\r", "-\r", "+\r"}},
      {"corrupt-out@1", {a}, {"*\r"}},
      {"drop-out@1", {a}, {"\r"}},
      {"drop-out@1,bytes=9", {a, a}, {"", "+\r"}},
      {"silence@1,ms=100", {a, a}, {"", ""}},
  };
  for (const FaultCase& c : cases) {
    FaultPlan plan;
    FaultRule rule;
    ASSERT_TRUE(ParseFaultRule(c.spec, &rule, nullptr)) << c.spec;
    plan.rules.push_back(rule);
    SimDevice device(ActiveLoaderOptions(plan));
    Handshake(device);
    for (std::size_t i = 0; i < c.frames.size(); ++i) {
      EXPECT_EQ(Say(device, c.frames[i]).text, c.answers[i]) << c.spec << " frame " << i + 1;
    }
  }
}

// A delay of 300 ms and a silence of 200 ms, in real time and ten times faster.
TEST(SimDevice, TimedFaults) {
  const std::string a = Frame('@', "8000") + "\r";
  for (std::uint32_t scale : {1u, 10u}) {
    SCOPED_TRACE(scale);
    ScopedTimeScale timeScale(scale);
    FaultPlan plan;
    plan.rules = {FaultRule{FaultKind::kDelay, 0, 1, 1, 0, 300, 1},
                  FaultRule{FaultKind::kSilence, 0, 3, 1, 0, 200, 1}};
    SimDevice device(ActiveLoaderOptions(plan));
    Handshake(device);
    Said late = Say(device, a);
    ASSERT_EQ(late.text, "+\r");
    EXPECT_EQ(late.chunks[0].notBefore, t0 + 300ms / scale);
    EXPECT_EQ(Say(device, a).chunks.at(0).notBefore, t0);
    EXPECT_EQ(Say(device, a).text, "");
    const TimePoint back = t0 + 200ms / scale;
    EXPECT_EQ(Say(device, a, 9600, back - 1ms).text, "");  // still silent
    EXPECT_EQ(device.Advance(back - 1ms), back);
    EXPECT_EQ(Say(device, a, 9600, back).text, "+\r");
  }
}

TEST(SimDevice, PowerLossKeepsWhatWasWritten) {
  ScopedTimeScale realTime(1);
  FaultPlan plan;
  FaultRule rule;
  ASSERT_TRUE(ParseFaultRule("power@2:W,ms=50", &rule, nullptr));
  plan.rules.push_back(rule);
  SimDevice device(ActiveLoaderOptions(plan));
  Handshake(device);
  ASSERT_EQ(Say(device, Frame('@', "8000") + "\r").text, "+\r");
  ASSERT_EQ(Say(device, Frame('W', "1234") + "\r").text, "+\r");
  EXPECT_EQ(Say(device, Frame('W', "5678") + "\r" + "\r").text, "");
  EXPECT_EQ(device.State(), DeviceState::kOff);
  EXPECT_EQ(device.Advance(t0 + 10ms), t0 + 50ms);
  device.Advance(t0 + 50ms);
  EXPECT_EQ(device.State(), DeviceState::kLoaderWaiting);
  EXPECT_EQ(device.ReadFlash(0x8000, 4), (std::vector<std::uint8_t>{0x34, 0x12, 0xFF, 0xFF}));
  EXPECT_EQ(device.Counters().powerCycles, 1u);
  EXPECT_EQ(device.FramesReceived('W'), 2u);
  // The loader starts over: handshake, and no address from before.
  Handshake(device);
  EXPECT_EQ(Say(device, Frame('W', "0000") + "\r").text, "-\r");
}

TEST(SimDevice, ChanceFaultsRepeatWithTheirSeed) {
  auto run = [](std::uint64_t seed) {
    FaultPlan plan;
    plan.seed = seed;
    FaultRule rule;
    EXPECT_TRUE(ParseFaultRule("corrupt-in%0.02", &rule, nullptr));
    plan.rules.push_back(rule);
    SimDevice device(ActiveLoaderOptions());
    Handshake(device);
    device.SetFaults(plan);
    std::string answers;
    for (int i = 0; i < 60; ++i) answers += Say(device, Frame('@', "8000") + "\r").text;
    return answers;
  };
  std::string first = run(7);
  EXPECT_EQ(first, run(7));
  EXPECT_NE(first, run(8));
  EXPECT_NE(first.find('-'), std::string::npos);
  EXPECT_NE(first.find('+'), std::string::npos);
}

TEST(SimDevice, EchoIsALoopBackPlug) {
  DeviceOptions o = OptionsForType(kTypeCommDevice, 123);
  o.faults.echo = true;
  SimDevice device(o);
  Said said = Say(device, "get -ver\r\x80", 57600);
  EXPECT_EQ(said.text, "get -ver\r\x80");
  EXPECT_EQ(said.chunks.at(0).baud, 0u);  // heard right at any speed
}

TEST(SimDevice, NoiseNeverBreaksIt) {
  // Noise made of the pieces that matter, so that it reaches every state.
  const std::vector<std::string> pieces = {"\r",
                                           "\r",
                                           "P",
                                           "boot ZAVE\r",
                                           "@",
                                           "W",
                                           "X",
                                           "V",
                                           "g",
                                           ".",
                                           "0",
                                           "F",
                                           "a",
                                           "\n",
                                           "\x80",
                                           "\xFF",
                                           " ",
                                           Frame('@', "0F9F0"),
                                           Frame('X', "01000"),
                                           Frame('W', std::string(32, '0')),
                                           Frame('V', std::string(64, '0'))};
  std::uint64_t x = 88172645463325252ull;
  SimDevice device(OptionsForType(kTypeRdv, 205));
  for (int round = 0; round < 3000; ++round) {
    std::string noise;
    for (int i = 0; i < 16; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      noise += pieces[x % pieces.size()];
    }
    Say(device, noise, round % 2 == 0 ? 57600 : 9600, t0 + std::chrono::milliseconds(round));
    device.Advance(t0 + std::chrono::milliseconds(round));
  }
  DeviceCounters c = device.Counters();
  EXPECT_GT(c.framesAccepted, 0u);
  EXPECT_GT(c.framesRefused + c.framesUnknown, 0u);
  // The noise may have erased or written anything but the loader's own area.
  EXPECT_EQ(device.ReadFlash(0xFA00, 0x5E0), std::vector<std::uint8_t>(0x5E0, 0xFF));
  device.PowerCycle(0);
  device.Advance(Clock::now());
  if (device.State() == DeviceState::kFirmware) {
    EXPECT_EQ(Say(device, "\rget -ver\r").text, "\r\r>\rRDV 2.05\r>");  // a fresh line
  } else {
    EXPECT_EQ(Say(device, "\r", 57600).text, "$");
  }
}

TEST(SimDevice, FaultSpecs) {
  const struct {
    const char* spec;
    FaultKind kind;
    char letter;
    std::uint32_t frame, count, ms, bytes;
    double rate;
  } good[] = {
      {"power@40:W,ms=500", FaultKind::kPowerLoss, 'W', 40, 1, 500, 1, 0},
      {"refuse@3+2", FaultKind::kRefuse, 0, 3, 2, 0, 1, 0},
      {"drop-out%0.25:X,bytes=2", FaultKind::kDropOut, 'X', 0, 1, 0, 2, 0.25},
      {"delay@1,ms=10,bytes=3", FaultKind::kDelay, 0, 1, 1, 10, 3, 0},
  };
  for (const auto& c : good) {
    FaultRule r;
    ASSERT_TRUE(ParseFaultRule(c.spec, &r, nullptr)) << c.spec;
    EXPECT_EQ(r.kind, c.kind) << c.spec;
    EXPECT_EQ(r.letter, c.letter) << c.spec;
    EXPECT_EQ(r.frame, c.frame) << c.spec;
    EXPECT_EQ(r.count, c.count) << c.spec;
    EXPECT_EQ(r.ms, c.ms) << c.spec;
    EXPECT_EQ(r.bytes, c.bytes) << c.spec;
    EXPECT_EQ(r.rate, c.rate) << c.spec;
  }
  for (const char* bad :
       {"refuse", "refuse@0", "refuse@x", "refuse%1.5", "refuse@1+0", "explode@1", "delay@1,ms=-1",
        "delay@1,speed=3", "delay@1:", "delay@1 ", "drop-in@1,bytes=0"}) {
    FaultRule r;
    std::string error;
    EXPECT_FALSE(ParseFaultRule(bad, &r, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace quendal::sim
