// The SDI-12 layer and the loader engine against the simulated comm device and its
// sensors, over a real pseudo-terminal with the real serial driver.
#include <gtest/gtest.h>

#include <string_view>

#include <cstring>
#include <memory>
#include <string>

#include "host/timing.h"
#include "loader/bsl_engine.h"
#include "loader/device_types.h"
#include "sdi12/sdi_sensor.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using sim::CommDevice;
using sim::DeviceState;
using sim::SdiSensor;
using sim::SensorOptions;

constexpr const char* kOldXa = "1 1.44832 1.91683 2.35961 2.991";
constexpr const char* kBremoXa = "1 1.39619 2.03054 2.54573 2.9907";

SensorOptions Typed(char type, std::uint32_t version = 0) {
  SensorOptions s;
  EXPECT_TRUE(sim::SensorOptionsForType(type, version, &s)) << type;
  return s;
}

class SdiSim : public testing::Test {
 protected:
  void SetUp() override {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    device_ = std::make_unique<CommDevice>(options);
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
    ASSERT_EQ(DSOpen(&link_, Port(), 9600), 1);
    Write("[");
  }
  void TearDown() override { DSClose(&link_); }

  const char* Port() const { return transport_->SlavePath().c_str(); }
  void Write(const char* bytes) {
    std::uint32_t written = 0;
    DSWrite(&link_, bytes, static_cast<std::uint32_t>(std::strlen(bytes)), &written);
  }
  // Plugs in a fresh sensor and starts a fresh record of it.
  void Plug(SensorOptions options) {
    device_->AttachSensor(std::move(options));
    sdi_ = SdiSensorLink(&log_, &link_);
  }
  // For sensors that leave commands unanswered: a short wait and one attempt.
  void Impatient() {
    sdi_.replyTimeoutMs = 300;
    sdi_.retryCount = 1;
  }
  template <typename F>
  auto Sensor(F f) {
    return device_->WithSensor(f);
  }
  std::uint32_t Heard(const char* command) {
    return Sensor([&](const SdiSensor& s) { return s.CountCommand(command); });
  }
  std::string LogText() const { return test::ReadWholeFile(dir_.File("errors.txt")); }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

  // The loader phase of a sensor update as the update sequence runs it: the engine on the
  // session's open port, the loader started over SDI-12 and reached through the comm
  // device, the image written with the sensor's layout, the port handed back and the
  // line back on SDI-12.
  void UpdateFirmware() {
    DeviceProfile profile;
    DescribeDevice(kTypeDigitalSensor, 999, &profile);
    HostBSL host(&log_);
    ASSERT_EQ(host.constructorError, 0);
    // An instrument build embeds another image: the sensor gets its own.
    if (std::string_view(host.imageName.c_str()) != "Lurra 3.96") {
      ASSERT_EQ(BSLLoadTIFile(&host, QUENDAL_SOURCE_DIR "/firmware/Lurra 3.96.txt"), 1);
    }
    ASSERT_EQ(BSLHandOff(&host, link_.handle, link_.readBuffer, Port(), true, 10), 1);
    Write("]");
    EXPECT_EQ(BSLCheck(&host, Port(), 9600), kNoAnswer) << "the sensor runs its firmware";
    Write("[");
    ASSERT_EQ(SDIInvokeQuendal(&sdi_), 1);
    ASSERT_EQ(BSLAttach(&host), 1) << LogText();
    ASSERT_GT(BSLEraseINFO(&host, profile.infoStart, profile.infoSegments, profile.infoSegmentSize,
                           profile.extendedAddresses),
              0);
    ASSERT_GT(BSLEraseFlash(&host, profile.flashStart, profile.flashEnd, profile.extendedAddresses),
              0);
    ASSERT_GT(BSLSendFirmware(&host, profile.extendedAddresses), 0) << LogText();
    ASSERT_GE(BSLSendVectors(&host), 0);
    ASSERT_EQ(BSLTakeBack(&host), 1);
    Write("[");
  }

  void RoundTrip(char type, std::uint32_t target, const char* xa);

  test::TempDir dir_;
  DiagnosticLog log_{dir_.File("errors.txt").c_str(), kLogDetail};
  std::unique_ptr<CommDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
  DeviceLink link_;
  SdiSensorLink sdi_{&log_, &link_};
};

TEST_F(SdiSim, IdentityAndTypeFromX8OrTheModel) {
  struct Case {
    char type;
    std::uint32_t version;
    char address;
    bool answersX8;
    std::string identity;
    Status typeResult;
    int typeCode;
  } cases[] = {
      {'s', 396, '0', true, "ORVELLE Lurra 396SX1", kOk, 's'},
      {'z', 381, '7', true, "ORVELLE Bremo 381SX1", kOk, 'z'},
      {'z', 380, '0', false, "ORVELLE Bremo 380SX1", kOk, 'z'},
      {'}', 120, '0', false, "ORVELLE Valtu 120SX1", kOk, '}'},
      {127, 150, '0', false, "ORVELLE Vomra 150SX1", kOk, 127},
      {'s', 396, '0', false, "ORVELLE Lurra 396SX1", kRefused, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.identity);
    SensorOptions options = Typed(c.type, c.version);
    options.address = c.address;
    options.noTypeAnswer = !c.answersX8;
    Plug(options);
    Impatient();
    EXPECT_EQ(SDIGetSensorVersion(&sdi_), static_cast<Status>(c.version));
    EXPECT_EQ(sdi_.address, c.address);
    EXPECT_EQ(sdi_.identity, c.identity);
    EXPECT_EQ(SDIGetSensorType(&sdi_), c.typeResult);
    EXPECT_EQ(sdi_.typeCode, c.typeCode);
  }
  EXPECT_TRUE(Logged("SDIGetSensorType couldn't detirmine sensor type"));
}

TEST_F(SdiSim, SerialNumberWithAndWithoutText) {
  for (const char* sn : {"OV-10442", ""}) {
    SCOPED_TRACE(sn);
    SensorOptions options = Typed('s');
    options.serialNumber = sn;
    Plug(options);
    EXPECT_EQ(SDIGetSensorSN(&sdi_), sn[0] ? kOk : kNothingDone);
    EXPECT_EQ(sdi_.serialNumber, sn);
    Sensor([](SdiSensor& s) { s.SetSerialNumber("changed"); });
    EXPECT_EQ(SDISetSensorSN(&sdi_), sn[0] ? kOk : kNothingDone);
    EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.serialNumber(); }), sn[0] ? sn : "changed");
    EXPECT_EQ(Heard("?X#!"), 1u) << "nothing written without a serial number";
  }
}

TEST_F(SdiSim, SavedX4ByType) {
  struct Case {
    char type;
    std::uint32_t version;
    const char* x4;
    const char* saved;
  } cases[] = {
      {'z', 380, "-1 2.5 -1", "+0 2.5 +0"},
      {'x', 380, "1 -1 2.5e-1", "1 +0 2.5e-1"},
      {'w', 380, "-1 2.5 -1", "-1 2.5 -1"},
      {'u', 339, "1 2 4 0 10 20 0 0 7", "1.000 -1.000000e+03 5.000000e+02 0.000000e+00 15.0 7.0"},
      {'u', 340, "1 2 4 0 10 20 0 0 7", "1 2 4 0 10 20 0 0 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " " + c.x4);
    SensorOptions options = Typed(c.type, c.version);
    options.x4 = c.x4;
    Plug(options);
    ASSERT_EQ(SDISaveInfo(&sdi_), kOk) << LogText();
    EXPECT_EQ(sdi_.typeCode, c.type);
    EXPECT_EQ(sdi_.firmwareVersion, c.version);
    EXPECT_EQ(sdi_.calibration, c.saved);
  }
}

TEST_F(SdiSim, XaDefaultsByTypeAndVersion) {
  struct Case {
    char type;
    std::uint32_t version;
    bool xaFails;
    std::string xa;
    std::string saved;
  } cases[] = {
      {'w', 350, true, "", kOldXa},
      {'w', 402, true, "", ""},
      {'z', 360, true, "", kBremoXa},
      {'z', 360, false, kOldXa, kBremoXa},  // an old default under newer firmware
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + std::to_string(c.version) + " " + c.xa);
    SensorOptions options = Typed(c.type, c.version);
    options.xaFails = c.xaFails;
    options.xa = c.xa;
    Plug(options);
    Impatient();
    ASSERT_EQ(SDISaveInfo(&sdi_), kOk) << LogText();
    EXPECT_EQ(sdi_.calibration2, c.saved);
  }
}

TEST_F(SdiSim, FailingXaReadIsFatalOnlyForFeskoA) {
  for (char type : {'y', 'l'}) {
    SCOPED_TRACE(type);
    SensorOptions options = Typed(type);
    options.xaFails = true;
    Plug(options);
    Impatient();
    EXPECT_EQ(SDISaveInfo(&sdi_), type == 'y' ? kNoAttempt : kOk);
    EXPECT_EQ(sdi_.calibration, options.x4) << "X4 was read either way";
  }
}

TEST_F(SdiSim, ConfirmedWritesRetryThroughErrors) {
  struct Case {
    std::uint32_t errors;
    Status result;
    std::uint32_t attempts;
    const char* stored;
  } cases[] = {
      {5, kDeviceError, 5, "1 2 3"},
      {2, kOk, 3, "0.5 1.5 2.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errors);
    SensorOptions options = Typed('s');
    options.x4 = "1 2 3";
    options.errorsBeforeOk = c.errors;
    Plug(options);
    EXPECT_EQ(SDISetSensorCalibration(&sdi_, "0.5 1.5 2.5"), c.result);
    EXPECT_EQ(Heard("?X50.5 1.5 2.5!"), c.attempts);
    EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.x4(); }), c.stored);
  }
}

TEST_F(SdiSim, SensorTypeFamilies) {
  struct Case {
    char stored;
    std::uint32_t target;
    Status result;
    const char* sent;  // null: nothing sent
    char after;
  } cases[] = {
      {'s', kSensorFamilyLurra, kOk, "?X9 s!", 's'},
      {'z', kSensorFamilyLurra, kNotRecognised, nullptr, 's'},
      {'l', kSensorFamilyFesko, kOk, "?X9 l!", 'l'},
      {'s', kSensorFamilyHarvo, kNotRecognised, nullptr, 's'},
      {'j', kSensorFamilyHarvo, kOk, "?X9 j!", 'j'},
      {'s', 'w', kOk, "?X9 w!", 'w'},
      {'s', 0, kBadArgument, nullptr, 's'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.stored) + " to " + std::to_string(c.target));
    Plug(Typed('s'));
    sdi_.typeCode = static_cast<std::uint8_t>(c.stored);
    EXPECT_EQ(SDISetSensorType(&sdi_, c.target), c.result);
    EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.counters().commandsHeard; }),
              c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(Heard(c.sent), 1u);
    }
    EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.type(); }), c.after);
  }
}

TEST_F(SdiSim, LoaderStartAndNoBsl) {
  for (bool hasLoader : {false, true}) {
    SCOPED_TRACE(hasLoader ? "with loader" : "without");
    SensorOptions options = Typed('s');
    options.hasLoader = hasLoader;
    Plug(options);
    EXPECT_EQ(SDIInvokeQuendal(&sdi_), hasLoader ? kOk : kNoSensorLoader);
    // Only the loader start hands the line to the sensor.
    test::Eventually([&] {
      const std::string seen = device_->Counters().modeBytes;
      return !seen.empty() && seen.back() == (hasLoader ? ']' : '[') &&
             Sensor([](const SdiSensor& s) { return s.state(); }) ==
                 (hasLoader ? DeviceState::kLoaderActive : DeviceState::kFirmware);
    });
    std::string modes = device_->Counters().modeBytes;
    EXPECT_EQ(modes.back(), hasLoader ? ']' : '[') << modes;
    EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.counters().loaderBytesIn; }),
              hasLoader ? 1u : 0u);
    EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.state(); }),
              hasLoader ? DeviceState::kLoaderActive : DeviceState::kFirmware);
    Write("[");
  }
  EXPECT_TRUE(Logged("SDIInvokeQuendal: sensor reported a missing Quendal"));
}

TEST_F(SdiSim, SelfTestAnswers) {
  SensorOptions corrupt = Typed('s');
  corrupt.blankFlash = true;  // firmware without a loader runs whatever the flash holds
  corrupt.hasLoader = false;
  SensorOptions quiet = Typed('s');
  quiet.probeOnly = true;
  const struct {
    SensorOptions options;
    Status result;
  } cases[] = {{Typed('s'), kOk}, {corrupt, kFirmwareCorrupt}, {quiet, kNoAttempt}};
  for (const auto& c : cases) {
    Plug(c.options);
    Impatient();
    EXPECT_EQ(SDICheckBinary(&sdi_), c.result);
  }
}

TEST_F(SdiSim, SilentSensorVersusOneThatAnswersOnlyTheProbe) {
  SensorOptions silent = Typed('s');
  silent.silent = true;
  SensorOptions probeOnly = Typed('s');
  probeOnly.probeOnly = true;
  Plug(silent);
  Impatient();
  EXPECT_EQ(SDIGetSensorVersion(&sdi_), kNoAnswer);
  Plug(probeOnly);
  Impatient();
  EXPECT_EQ(SDIGetSensorVersion(&sdi_), kNoAttempt);
  EXPECT_EQ(Heard("?!"), 1u);
  device_->DetachSensor();
  Impatient();
  EXPECT_EQ(SDIGetSensorVersion(&sdi_), kNoAnswer) << "an empty bus";
}

TEST_F(SdiSim, LoaderCheckThroughThePassThrough) {
  // A sensor loader left waiting (an update that stopped after "?B!"): the check finds it,
  // and after "`" and the sequence's second the sensor answers SDI-12 again.
  Plug(Typed('s'));
  HostBSL host(&log_);
  ASSERT_EQ(BSLHandOff(&host, link_.handle, link_.readBuffer, Port(), true, 10), 1);
  SdiSensorLink probe(&log_, &link_);
  probe.retryCount = 1;
  char reply[64];
  std::uint32_t size = sizeof reply;
  ASSERT_GT(SDISendCommand(&probe, "?B!", reply, &size, nullptr), 0);
  Write("]");
  EXPECT_EQ(BSLCheck(&host, Port(), 9600), kLoaderWaiting);
  Write("`");
  test::Eventually([&] { return device_->Mode() == sim::CommMode::kShell; });
  Write("[");
  EXPECT_EQ(SDIGetSensorVersion(&sdi_), 396);

  // An active loader (an update cut short) is found active.
  ASSERT_EQ(SDIInvokeQuendal(&sdi_), kOk);
  Write("`");
  test::Eventually([&] { return device_->Mode() == sim::CommMode::kShell; });
  Write("]");
  EXPECT_EQ(BSLCheck(&host, Port(), 9600), kLoaderActive);
  BSLTakeBack(&host);
}

// Save, update through the comm device, check, restore and set the type, as the update
// sequence does: the sensor ends with everything it had before.
void SdiSim::RoundTrip(char type, std::uint32_t target, const char* xa) {
  SensorOptions options = Typed(type);
  options.address = 'c';
  options.serialNumber = "OV-20871";
  options.xa = xa;
  Plug(options);
  ASSERT_EQ(SDISaveInfo(&sdi_), kOk) << LogText();
  UpdateFirmware();
  if (HasFatalFailure()) return;
  EXPECT_EQ(Sensor([](const SdiSensor& s) { return s.address(); }), '0') << "the update reset it";
  EXPECT_EQ(SDICheckBinary(&sdi_), kOk);
  EXPECT_EQ(SDIRestoreInfo(&sdi_), kOk) << LogText();
  EXPECT_EQ(SDISetSensorType(&sdi_, target), kOk);
  Write("`");
  test::Eventually([&] { return device_->Mode() == sim::CommMode::kShell; });
  EXPECT_EQ(device_->Mode(), sim::CommMode::kShell);
  Sensor([&](const SdiSensor& s) {
    EXPECT_EQ(s.counters().updates, 1u);
    EXPECT_EQ(s.state(), DeviceState::kFirmware);
    EXPECT_TRUE(s.SelfTestPasses());
    EXPECT_EQ(s.address(), 'c');
    EXPECT_EQ(s.x4(), options.x4);
    EXPECT_EQ(s.xa(), xa);
    EXPECT_EQ(s.serialNumber(), "OV-20871");
    EXPECT_EQ(s.type(), type);
  });
}

TEST_F(SdiSim, FirmwareUpdateKeepsALurrasSettings) {
  RoundTrip('s', kSensorFamilyLurra, "");
}

TEST_F(SdiSim, FirmwareUpdateKeepsADorrosSettingsXbIncluded) {
  RoundTrip('w', 'w', "1 1.47102 2.04013 2.56611 2.9905");
}

TEST_F(SdiSim, CorruptFirmwareAfterTheUpdate) {
  SensorOptions options = Typed('s');
  options.corruptAfterUpdate = true;
  Plug(options);
  UpdateFirmware();
  if (HasFatalFailure()) return;
  EXPECT_EQ(SDICheckBinary(&sdi_), kFirmwareCorrupt);
  EXPECT_TRUE(Logged("SDICheckBinary found corrupt firmware"));
}

}  // namespace
}  // namespace quendal
