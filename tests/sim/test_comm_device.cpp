// The comm device and its sensor, fed bytes as a transport would, with the clock in the
// test's hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "loader/builtin_image.h"
#include "sim/comm_device.h"
#include "sim/time_scale.h"
#include "tests/sim/frames.h"

namespace quendal::sim {
namespace {

using frames::Frame;
using frames::Hex;
using namespace std::chrono_literals;

const TimePoint t0 = Clock::now();

std::string Say(CommDevice& device, const std::string& bytes, TimePoint now = t0,
                std::uint32_t hostBaud = 9600) {
  device.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), hostBaud, now);
  std::vector<OutChunk> chunks;
  device.TakeOutput(&chunks);
  std::string text;
  for (const OutChunk& c : chunks) text += c.bytes;
  return text;
}

CommDeviceOptions Kcd(SensorOptions sensor) {
  CommDeviceOptions o;
  EXPECT_TRUE(CommPresetOptions("kcd", &o));
  o.sensor = std::move(sensor);
  return o;
}

SensorOptions Typed(char type, std::uint32_t version = 0) {
  SensorOptions s;
  EXPECT_TRUE(SensorOptionsForType(type, version, &s)) << type;
  return s;
}

char Address(CommDevice& d) {
  return d.WithSensor([](const SdiSensor& s) { return s.address(); });
}
DeviceState SensorState(CommDevice& d) {
  return d.WithSensor([](const SdiSensor& s) { return s.state(); });
}

// Erases the sensor's INFO and program flash and writes `image` through the pass-through,
// as the host's loader engine would; leaves the line in pass-through.
void UploadThroughPassThrough(CommDevice& device, char address, const std::string& image,
                              const std::uint32_t* vectors) {
  ASSERT_EQ(Say(device, "[|?B!"), std::string(1, address) + "\r\n");
  ASSERT_EQ(Say(device, "]\rP"), "$#");
  for (unsigned a : {0x1000u, 0x1040u, 0x1080u}) {
    ASSERT_EQ(Say(device, Frame('X', Hex(a, 4)) + "\r"), "+\r");
  }
  for (unsigned a = 0x8000; a < 0xFA00; a += 512) {
    ASSERT_EQ(Say(device, Frame('X', Hex(a, 4)) + "\r"), "+\r");
  }
  for (std::size_t p = 0; p < image.size();) {
    std::size_t next = image.find('@', p + 1);
    if (next == std::string::npos) next = image.size();
    ASSERT_EQ(Say(device, Frame('@', image.substr(p + 2, 4)) + "\r"), "+\r");
    for (std::size_t d = p + 6; d < next; d += 512) {
      std::string data = image.substr(d, std::min<std::size_t>(512, next - d));
      ASSERT_EQ(Say(device, Frame('W', data) + "\r"), "+\r");
    }
    p = next;
  }
  std::string words;
  for (int i = 0; i < 16; ++i) words += Hex(vectors[i] & 0xFFFF, 4);
  ASSERT_EQ(Say(device, Frame('V', words) + "\r"), "+\r");
}

TEST(CommDevice, ShellAnswersItsOwnCommands) {
  CommDeviceOptions kcd, rdv;
  ASSERT_TRUE(CommPresetOptions("kcd", &kcd));
  ASSERT_TRUE(CommPresetOptions("Readvane", &rdv));
  EXPECT_FALSE(CommPresetOptions("tarnx", &kcd));
  const struct {
    const CommDeviceOptions* options;
    const char* in;
    const char* out;
  } cases[] = {
      {&kcd, "get -ver\r", "\rKCD 1.23\r>"},
      {&kcd, "get -batt\r", "\r87\r>"},
      {&kcd, "get -sn\rget -i\r", "\rKC-20417\r>\rKCD01\r>"},
      {&kcd, "get -hver\r", "\rUnsupported\r>"},
      {&kcd, "set -i DESK2\rget -i\r", "\rOK\r>\rDESK2\r>"},
      {&rdv, "get -ver\rget -hver\r", "\rRDV 2.05\r>\rB\r>"},
  };
  for (const auto& c : cases) {
    CommDevice device(*c.options);
    EXPECT_EQ(Say(device, c.in), c.out) << c.in;
  }
  CommDevice device(kcd);
  device.SetBattery(9);
  EXPECT_EQ(Say(device, "get -batt\r"), "\r9\r>");
}

TEST(CommDevice, ModeBytesSwitchOnlyBetweenCommandLines) {
  CommDevice device(Kcd(Typed('s')));
  // Inside a shell line "[" is text; at its start it switches.
  EXPECT_EQ(Say(device, "get [\r"), "\rUnsupported\r>");
  EXPECT_EQ(device.Mode(), CommMode::kShell);
  // Sent at the wrong speed it is noise, not a switch.
  Say(device, "[", t0, 19200);
  EXPECT_EQ(device.Mode(), CommMode::kShell);
  Say(device, "\r");  // ends the noise line
  EXPECT_EQ(Say(device, "["), "");
  EXPECT_EQ(device.Mode(), CommMode::kSdi12);
  // Inside an SDI-12 command the mode bytes are text, and the shell hears nothing.
  EXPECT_EQ(Say(device, "|?X5a]b`c!get -ver\r"), "0OK\r\n");
  EXPECT_EQ(device.WithSensor([](const SdiSensor& s) { return s.x4(); }), "a]b`c");
  EXPECT_EQ(device.Mode(), CommMode::kSdi12);
  EXPECT_EQ(Say(device, "|]"), "");
  EXPECT_EQ(device.Mode(), CommMode::kPassThrough);
  EXPECT_EQ(Say(device, "`get -ver\r"), "\rKCD 1.23\r>");
  EXPECT_EQ(device.Counters().modeBytes, "[]`");
  EXPECT_EQ(device.Counters().wakes, 2u);
}

TEST(CommDevice, SensorAnswersByAddress) {
  SensorOptions bremo = Typed('z');
  bremo.x4 = "0.5 -1 2";
  CommDevice device(Kcd(bremo));
  Say(device, "[");
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"|?!", "0\r\n"},
      {"|?I!", "013ORVELLE Bremo 380SX1\r\n"},
      {"|0X8!", "0z\r\n"},
      {"|?X#!", "0 OV-10442\r\n"},
      {"|?X4!", "0 0.5 -1 2\r\n"},
      {"|?Xa!", "0 1 1.40211 2.04122 2.55031 2.9911\r\n"},
      {"|?post!", "0Code Good\r\n"},
      {"|1I!", ""},  // another sensor's
      {"|?Q!", ""},  // unknown
      {"|?X5  1 2 3!", "0OK\r\n"},
      {"|?X4!", "0 1 2 3\r\n"},
      {"|?Xb!", "0OK\r\n"},  // an empty Xa is a value too
      {"|?Xa!", "0 \r\n"},
      {"|?X#SN-9!|?X#!", "0OK\r\n0 SN-9\r\n"},
      {"|0A#!", ""},  // no address
      {"|0Ac!", "c\r\n"},
      {"|0I!", ""},
      {"|?!|cX9 w!|?X8!", "c\r\ncOK\r\ncw\r\n"},
      {"|cX9 !", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Say(device, c.in), c.out) << c.in;
  EXPECT_EQ(Address(device), 'c');
  EXPECT_EQ(device.WithSensor([](const SdiSensor& s) { return s.CountCommand("?X4!"); }), 2u);
}

TEST(CommDevice, SensorSleepsUntilTheBusIsWoken) {
  CommDevice device(Kcd(Typed('s')));
  EXPECT_EQ(Say(device, "[?!"), "");
  EXPECT_EQ(Say(device, "|?!"), "0\r\n");
  EXPECT_EQ(Say(device, "?!", t0 + 900ms), "0\r\n");  // traffic keeps it awake
  EXPECT_EQ(Say(device, "?!", t0 + 1950ms), "");
  EXPECT_EQ(Say(device, "|?!", t0 + 1960ms), "0\r\n");
  EXPECT_EQ(device.WithSensor([](const SdiSensor& s) { return s.counters().commandsAsleep; }), 2u);
}

TEST(CommDevice, EveryTypeHasItsIdentity) {
  const char types[] = {'z', 'x', 'w', 'y', 'l', 'u', 't', 's', 'r', 'o', 'n', 'j', 'i', '}', 127};
  for (char type : types) {
    SCOPED_TRACE(static_cast<int>(type));
    char parsed = 0;
    ASSERT_TRUE(ParseSensorType(std::to_string(static_cast<int>(type)), &parsed));
    EXPECT_EQ(parsed, type);
    SensorOptions options = Typed(type);
    options.version = 7;
    CommDevice device(Kcd(options));
    std::string identity = Say(device, "[|?I!");
    ASSERT_EQ(identity.size(), 25u);
    EXPECT_EQ(identity.substr(0, 11), "013ORVELLE ");
    EXPECT_EQ(identity.substr(17, 3), "007") << "characters 18 to 20";
    // The host names these three types from the model field alone.
    std::string model = identity.substr(11, 6);
    EXPECT_EQ(model == "Bremo ", type == 'z');
    EXPECT_EQ(model == "Valtu ", type == '}');
    EXPECT_EQ(model == "Vomra ", type == kSensorTypeKyrel);
    EXPECT_EQ(Say(device, "|?X8!"), std::string("0") + type + "\r\n");
  }
  char parsed = 0;
  EXPECT_FALSE(ParseSensorType("q", &parsed));
  EXPECT_FALSE(ParseSensorType("300", &parsed));
  EXPECT_FALSE(ParseSensorType("", &parsed));
  // Drain gauges below 3.40 keep the nine-number calibration.
  auto numbers = [](const std::string& text) {
    return std::count(text.begin(), text.end(), ' ') + 1;
  };
  EXPECT_EQ(numbers(Typed('u', 339).x4), 9);
  EXPECT_EQ(numbers(Typed('u', 340).x4), 6);
}

TEST(CommDevice, LoaderStartHandshakeAndGivingUp) {
  ScopedTimeScale realTime(1);
  CommDevice device(Kcd(Typed('s')));
  // Raw bytes mean nothing to the sensor's firmware.
  EXPECT_EQ(Say(device, "]\rP\r"), "");
  EXPECT_EQ(Say(device, "[|?B!"), "0\r\n");
  EXPECT_EQ(SensorState(device), DeviceState::kLoaderWaiting);
  // Nobody feeds the waiting loader: it gives up and the firmware runs again.
  EXPECT_EQ(device.Advance(t0), t0 + 300ms);
  device.Advance(t0 + 300ms);
  EXPECT_EQ(SensorState(device), DeviceState::kFirmware);

  EXPECT_EQ(Say(device, "|?B!]", t0 + 1s), "0\r\n");
  EXPECT_EQ(device.Advance(t0 + 5s), kNever) << "fed, it waits";
  EXPECT_EQ(Say(device, "\r", t0 + 5s), "$");
  EXPECT_EQ(Say(device, "`", t0 + 5s), "");
  device.Advance(t0 + 5300ms);
  EXPECT_EQ(SensorState(device), DeviceState::kFirmware);
  EXPECT_EQ(device.WithSensor([](const SdiSensor& s) { return s.counters().loaderTimeouts; }), 2u);

  // An active loader stays: the update can go on after a detour to the shell.
  EXPECT_EQ(Say(device, "[|?B!]P`", t0 + 6s), "0\r\n#");
  device.Advance(t0 + 60s);
  EXPECT_EQ(SensorState(device), DeviceState::kLoaderActive);
  EXPECT_EQ(Say(device, "]" + Frame('g', "") + "\r", t0 + 60s), "+15+\r");
  EXPECT_EQ(Say(device, "\r", t0 + 60s), "?\r");

  // A sensor without firmware to go back to keeps waiting.
  SensorOptions blank = Typed('s');
  blank.blankFlash = true;
  device.AttachSensor(blank);
  EXPECT_EQ(SensorState(device), DeviceState::kLoaderWaiting);
  Say(device, "`");
  device.Advance(t0 + 120s);
  EXPECT_EQ(SensorState(device), DeviceState::kLoaderWaiting);
}

TEST(CommDevice, UpdateThroughThePassThroughResetsTheSettings) {
  if (std::string(kBuiltinImage.name) != "Lurra 3.96") {
    GTEST_SKIP() << "this build embeds an image for another layout";
  }
  const std::string image(kBuiltinImage.text, kBuiltinImage.length);
  const std::pair<bool, std::uint32_t> cases[] = {{false, 402}, {true, 402}, {false, 0}, {true, 0}};
  for (const auto& [spoil, after] : cases) {
    SCOPED_TRACE(spoil ? "failing flash cell" : "sound flash");
    SCOPED_TRACE(after);
    SensorOptions options = Typed('w');
    options.address = '5';
    // 0: the new firmware reports the version of the image it was flashed with.
    options.versionAfterUpdate = after;
    options.corruptAfterUpdate = spoil;
    CommDevice device(Kcd(options));
    device.PowerCycle(10);  // the settings live through a power cycle
    device.Advance(Clock::now() + 1s);
    EXPECT_EQ(Address(device), '5');
    UploadThroughPassThrough(device, '5', image, kBuiltinImage.vectors);
    if (HasFatalFailure()) return;
    device.WithSensor([&](const SdiSensor& s) {
      EXPECT_EQ(s.state(), DeviceState::kFirmware);
      EXPECT_EQ(s.address(), '0');
      EXPECT_EQ(s.x4(), "");
      EXPECT_EQ(s.xa(), "");
      EXPECT_EQ(s.serialNumber(), "");
      EXPECT_EQ(s.type(), 'w');
      EXPECT_EQ(s.counters().updates, 1u);
      EXPECT_EQ(s.SelfTestPasses(), !spoil);
    });
    EXPECT_EQ(Say(device, "[|?post!|?I!"), std::string(spoil ? "0Code Corrupt" : "0Code Good") +
                                               "\r\n013ORVELLE Dorro " + (after ? "402" : "396") +
                                               "SX1\r\n");
  }
}

TEST(CommDevice, SensorFaultsHitItsLoaderFrames) {
  CommDevice device(Kcd(Typed('s')));
  FaultPlan plan;
  FaultRule rule;
  ASSERT_TRUE(ParseFaultRule("refuse@2:@", &rule, nullptr));
  plan.rules.push_back(rule);
  device.SetSensorFaults(plan);
  ASSERT_EQ(Say(device, "[|?B!]\rP"), "0\r\n$#");
  const std::string at = Frame('@', "8000") + "\r";
  EXPECT_EQ(Say(device, at + at + at), "+\r-\r+\r");
  EXPECT_EQ(device.WithSensor([](const SdiSensor& s) { return s.counters().framesRefused; }), 1u);
  // Power takes the sensor with the comm device, which comes back in its shell.
  device.PowerCycle(50);
  EXPECT_EQ(Say(device, "get -ver\r"), "");
  device.Advance(Clock::now() + 2s);
  EXPECT_EQ(device.Mode(), CommMode::kShell);
  EXPECT_EQ(Say(device, "get -ver\r"), "\rKCD 1.23\r>");
  EXPECT_EQ(SensorState(device), DeviceState::kFirmware) << "its image is whole";
}

}  // namespace
}  // namespace quendal::sim
