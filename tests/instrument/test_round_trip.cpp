// Capture, settings file and restore against simulated instruments: every setting an
// instrument has comes back after its information memory was erased, through the file
// alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host/timing.h"
#include "instrument/settings_capture.h"
#include "instrument/settings_file.h"
#include "sim/comm_device.h"
#include "sim/logger_shell.h"
#include "tests/instrument/base64.h"
#include "tests/instrument/instrument_fixture.h"
#include "tests/support/eventually.h"

namespace quendal {
namespace {

using test::Base64;
using test::Connect;
using test::InstrumentTest;
using test::SimInstrument;

struct Row {
  int type;
  std::uint32_t version;
  std::uint32_t capturedMask;  // what DPSaveInfo must report for a fully set instrument
  sim::LoggerKind logger = sim::LoggerKind::kTarn;  // loggers: the simulated model
};

const Row kRows[] = {
    {kTypeRdv, 205, 0x002C0013},
    {kTypeCommDevice, 123, 0x00000003},
    {kTypeCvMini, 120, 0x4000007A},
    {kTypePrv, 200, 0x000000B2},
    {kTypeThx, 200, 0x00100192},
    {kTypeSrbx, 200, 0x80027402},
    {kTypeCvTri, 351, 0x00000C00},
    {kTypeLuma, 150, 0x07000400},
    {kTypeLuma, 200, 0x07000C12},
    {kTypeCvv, 200, 0x28400802},
    {kTypePotex, 200, 0x00000802},
    {kTypeCvq, 200, 0x00000802},
    {kTypeVinex, 200, 0x00008002},
    {kTypeCvFour, 204, 0x38000802},
    {kTypeCvFour, 205, 0x38000842},
    {kTypeCvFtdl, 200, 0x38000802},
    // A logger reports what its model has of the request: no radio on an Ogle, no modem
    // on either.
    {kTypeTarnx, 205, 0x07FFEFFF, sim::LoggerKind::kTarnx},
    {kTypeTarnb, 204, 0x08000077, sim::LoggerKind::kTarnb},
    {kTypeWst, 109, 0x00000D0F, sim::LoggerKind::kWeirstead},
    {kTypeRlm, 100, 0x0703EFFF, sim::LoggerKind::kRelmo},
    {kTypeOgl, 100, 0x0703E3FF, sim::LoggerKind::kOgle},
    // A Fesko-A sensor behind a KCD: both calibrations, address and serial number.
    {kTypeDigitalSensor, 396, 0},
};

bool IsLogger(int type) {
  return type == kTypeTarnx || type == kTypeTarnb || type == kTypeWst || type == kTypeRlm ||
         type == kTypeOgl;
}

// A simulated logger on a pseudo-terminal of its own.
struct SimLoggerOnPty {
  explicit SimLoggerOnPty(sim::LoggerOptions options)
      : logger(std::move(options)), transport(&logger) {
    started = transport.Start() > 0;
  }
  sim::SimLogger logger;
  sim::PtyTransport transport;
  bool started = false;
};

// A distinctive value for every setting key, within the instrument's field widths.
std::string ValueFor(const std::string& key) {
  static const std::map<std::string, std::string> values = {
      {"-i", "RIVER07"},
      {"-sn", "SN-4417-A"},
      {"-lang", "3"},
      {"-contr", "-7"},
      {"-fvals", "1.25 2.5 3.75"},
      {"-uvals", "0.5 0.75"},
      {"-pvuser", "9.5 8.25"},
      {"-units", "2"},
      {"-adc", "50.97"},
      {"-sample", "60 5"},
      {"-adccal", "1021 2047 3071"},
      {"-config", "1000"},
      {"-wtoffset", "0.125"},
      {"-p1offset", "-3.5"},
      {"-auto", "3600"},
      {"-wtfactory", "1.0625"},
      {"-sys", "sys 7 on"},
      {"-adc15", "15 1 2 3 4 5"},
      {"-adc30", "30 6 7 8 9"},
      {"-cal7", "7.5 1.2"},
      {"-calA", "A 3.3"},
      {"-p", "0.33 0.66"},
      {"-pv", "1.1 2.2"},
      {"-loc", "North Field 7"},
      {"-x", "CHAI-12"},
      {"-ext", "EXT 3"},
      {"-tadj", "0.1 0.2 0.3"},
      {"-hadj", "1.5 2.5"},
      {"-tau", "45"},
  };
  auto it = values.find(key);
  if (it != values.end()) return it->second;
  return "slot " + key.substr(5) + " 1.0 2.0";  // "-cal N"
}

const std::vector<std::string> kUsers = {
    Base64("1\t0\t0\tZeta\t4.5"), Base64("2\t0\t1\talpha\t0.25"), Base64("3\t1\t0\tMid\t12")};
const std::vector<std::string> kUsersSorted = {kUsers[1], kUsers[2], kUsers[0]};
const std::vector<std::string> kEqns = {"Gamma_1 x+1", "beta y*2", "Alpha`B z/3"};
const std::vector<std::string> kEqnsSorted = {kEqns[2], kEqns[1], kEqns[0]};

std::map<std::string, std::string> Fill(sim::InstrumentSettingsModel& model) {
  std::map<std::string, std::string> set;
  for (const std::string& key : model.Keys()) {
    set[key] = ValueFor(key);
    model.Set(key, set[key]);
  }
  if (model.HasRecords("user")) model.SetRecords("user", kUsers);
  if (model.HasRecords("eqn")) model.SetRecords("eqn", kEqns);
  return set;
}

class SimSession : public InstrumentTest {
 protected:
  // Connects a session and logs in where the type needs it, as the update sequence does.
  void Open(InstrumentSession* session, SimInstrument& device) {
    ASSERT_EQ(Connect(session, device.Path()), 1) << LogText();
    if (session->profile.needsLogin) {
      ASSERT_GT(DPLogin(session), 0);
    }
  }
};

class RoundTrip : public SimSession, public testing::WithParamInterface<Row> {};

// The comm device relays SDI-12 commands once it has been sent "[".
void RelayToSensor(InstrumentSession* session, const sim::CommDevice& kcd) {
  std::uint32_t written = 0;
  DSWrite(&session->link, "[", 1, &written);
  test::Eventually([&] { return kcd.Mode() == sim::CommMode::kSdi12; });
}

TEST_P(RoundTrip, EveryCapturedSettingComesBackThroughTheFile) {
  const Row row = GetParam();
  if (row.type == kTypeDigitalSensor) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    sim::SensorOptions sensor;
    ASSERT_TRUE(sim::SensorOptionsForType('y', row.version, &sensor));
    sensor.address = '3';
    sensor.serialNumber = "FA-5521";
    options.sensor = sensor;
    sim::CommDevice kcd(options);
    sim::PtyTransport transport(&kcd);
    ASSERT_EQ(transport.Start(), 1);
    auto held = [&kcd] {
      return kcd.WithSensor([](const sim::SdiSensor& s) {
        return std::string(1, s.address()) + "|" + s.serialNumber() + "|" + s.x4() + "|" + s.xa();
      });
    };
    const std::string original = held();
    ASSERT_FALSE(sensor.xa.empty());
    {
      InstrumentSession session(&log);
      ASSERT_EQ(Connect(&session, transport.SlavePath()), 1) << LogText();
      session.profileType = kTypeDigitalSensor;
      RelayToSensor(&session, kcd);
      ASSERT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), 1) << LogText();
      std::uint32_t written = 0;
      DSWrite(&session.link, "`", 1, &written);  // back to the shell
      DPLogout(&session, 0);
    }
    // What a firmware update leaves.
    kcd.WithSensor([](sim::SdiSensor& s) {
      s.SetAddress('0');
      s.SetSerialNumber("");
      s.SetCalibrations("", "");
    });
    InstrumentSession fresh(&log);
    ASSERT_EQ(Connect(&fresh, transport.SlavePath()), 1) << LogText();
    fresh.profileType = kTypeDigitalSensor;
    RelayToSensor(&fresh, kcd);
    ASSERT_EQ(DPRestoreInfo(&fresh, SettingsPath().c_str(), nullptr), 1) << LogText();
    EXPECT_EQ(held(), original);
    return;
  }
  if (IsLogger(row.type)) {
    sim::LoggerOptions options = sim::LoggerOptionsFor(row.logger);
    SimLoggerOnPty in(options);
    ASSERT_TRUE(in.started);
    // Beside the in-service values: a time zone west of UTC and a radio of its own.
    in.logger.SetSetting("tz", "-20");
    in.logger.SetSetting("r", row.type == kTypeRlm ? "16" : "3");
    {
      InstrumentSession session(&log);
      ASSERT_EQ(Connect(&session, in.transport.SlavePath()), 1) << LogText();
      ASSERT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), 1) << LogText();
      EXPECT_EQ(session.capturedMask, row.capturedMask);
      DPLogout(&session, 1);
    }
    options.factoryFresh = true;
    SimLoggerOnPty out(options);
    ASSERT_TRUE(out.started);
    // A logger known by its device ID keeps its serial number; the restore leaves it alone.
    const auto devid = in.logger.Setting("devid");
    if (devid && !devid->empty()) out.logger.SetSetting("sn", *in.logger.Setting("sn"));
    InstrumentSession fresh(&log);
    ASSERT_EQ(Connect(&fresh, out.transport.SlavePath()), 1) << LogText();
    ASSERT_EQ(DPRestoreInfo(&fresh, SettingsPath().c_str(), nullptr), 1) << LogText();
    const auto before = in.logger.Settings();
    const auto after = out.logger.Settings();
    for (const auto& [key, value] : before) {
      // The build names the firmware; only the Tarnb's capture takes it.
      if (key == "build" && row.type != kTypeTarnb) continue;
      auto it = after.find(key);
      EXPECT_TRUE(it != after.end() && it->second == value)
          << key << ": " << value << " -> " << (it == after.end() ? "none" : it->second);
    }
    if (in.logger.Radio()) {
      ASSERT_TRUE(out.logger.Radio());
      EXPECT_EQ(out.logger.Radio()->channel, in.logger.Radio()->channel);
      EXPECT_EQ(out.logger.Radio()->subChannel, in.logger.Radio()->subChannel);
    }
    return;
  }
  SimInstrument device(row.type, row.version);
  ASSERT_TRUE(device.started);
  const std::map<std::string, std::string> original = Fill(device.model);
  {
    InstrumentSession session(&log);
    Open(&session, device);
    device.model.ClearCommands();
    ASSERT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), 1) << LogText();
    EXPECT_EQ(session.capturedMask, row.capturedMask);
    EXPECT_EQ(session.captured, 1);
    if (row.type == kTypeCvFour) {
      const std::vector<std::string> commands = device.model.Commands();
      ASSERT_FALSE(commands.empty());
      EXPECT_EQ(commands.front(), "set -sensor 0");
      EXPECT_EQ(device.model.SensorType(), "0");
    }
    DPLogout(&session, 1);
  }

  device.model.FactoryReset();
  InstrumentSession fresh(&log);
  Open(&fresh, device);
  ASSERT_EQ(DPRestoreInfo(&fresh, SettingsPath().c_str(), nullptr), 1) << LogText();
  for (const auto& [key, value] : original) EXPECT_EQ(device.model.Get(key), value) << key;
  if (device.model.HasRecords("user")) {
    EXPECT_EQ(device.model.Records("user"), kUsersSorted);
  }
  if (device.model.HasRecords("eqn")) {
    EXPECT_EQ(device.model.Records("eqn"), kEqnsSorted);
  }
  EXPECT_TRUE(Logged("DPRestoreInfo successfully restored device setting"));
}

INSTANTIATE_TEST_SUITE_P(Instruments, RoundTrip, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           std::string name = DeviceTypeCode(info.param.type);
                           name += "_" + std::to_string(info.param.version);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

class Capture : public SimSession {};

TEST_F(Capture, UserRecordsWithoutACountAreReadUntilOneIsMissing) {
  SimInstrument device(kTypeCvv, 200, {.recordCountCommand = false});
  Fill(device.model);
  InstrumentSession session(&log);
  Open(&session, device);
  ASSERT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), 1);
  EXPECT_TRUE(Logged("GetRecords_Serial instrument reports 25 \"user\" records"));
  EXPECT_TRUE(Logged("GetRecords_Serial retrieved 3 of 25 \"user\" records"));
  ASSERT_EQ(session.userRecords.count, 3);
  EXPECT_EQ(session.userRecords.records[2].text, kUsers[2]);
  const std::vector<std::string> commands = device.model.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "get -user 3"), commands.end());
  EXPECT_EQ(std::find(commands.begin(), commands.end(), "get -user 4"), commands.end());
}

TEST_F(Capture, ANewSerialNumberCarriesTheConfigSumAlong) {
  struct Case {
    int type;
    const char* config;  // null: the instrument has none to read
    const char* restoredConfig;
  };
  const Case cases[] = {{kTypeCvFour, "1000", "1001"},
                        {kTypeCvFtdl, nullptr, ""},  // nothing made up from nothing
                        {kTypePotex, "1000", "1000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(DeviceTypeCode(c.type));
    SimInstrument device(c.type, 205);
    device.model.Set("-sn", "A1");
    device.model.Set("-tadj", "0.5");
    if (c.config) device.model.Set("-config", c.config);
    {
      InstrumentSession session(&log);
      Open(&session, device);
      ASSERT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), 1) << LogText();
      DPLogout(&session, 1);
    }
    device.model.FactoryReset();
    InstrumentSession fresh(&log);
    Open(&fresh, device);
    EXPECT_GE(DPRestoreInfo(&fresh, SettingsPath().c_str(), "B1"), 0);
    EXPECT_EQ(device.model.Get("-sn"), "B1");
    EXPECT_EQ(device.model.Get("-config"), c.restoredConfig);
  }
}

class LoggerCapture : public InstrumentTest {};

// Whichever setting could not be read, one that was read makes the capture partial; none
// read is no capture, and no file.
TEST_F(Capture, AnySettingReadMakesThePartialCapture) {
  struct Case {
    const char* name;
    const char* serial;
    Status result;
  } cases[] = {
      {"serial, no name", "KCD-5", 1},
      {"name, no serial", "", 1},
      {"neither", "", kBarePrompt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimInstrument device(kTypeCommDevice, 123);
    device.model.Set("-sn", c.serial);
    device.model.Set("-i", std::string(c.name) == "name, no serial" ? "KNAME" : "");
    std::filesystem::remove(SettingsPath());
    InstrumentSession session(&log);
    Open(&session, device);
    EXPECT_EQ(GetInstInfo(&session, 0x3), c.result == 1 ? kSomeFailed : c.result);
    EXPECT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), c.result);
    EXPECT_EQ(std::filesystem::exists(SettingsPath()), c.result == 1);
  }
}

TEST_F(LoggerCapture, AnUninitialisedLoggerIsNotSaved) {
  sim::LoggerOptions options = sim::LoggerOptionsFor(sim::LoggerKind::kTarnx);
  options.factoryFresh = true;  // never given a name
  SimLoggerOnPty logger(options);
  InstrumentSession session(&log);
  ASSERT_EQ(Connect(&session, logger.transport.SlavePath()), 1) << LogText();
  session.captured = 1;
  EXPECT_EQ(DPSaveInfo(&session, SettingsPath().c_str()), -36);
  EXPECT_EQ(session.captured, 0);
  EXPECT_EQ(session.capturedMask, 0u);
  EXPECT_TRUE(Logged("DPSaveInfo does not save data for an uninitialized device"));
  EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
}

TEST_F(LoggerCapture, ALoggerWithADeviceIdKeepsItsSerialNumber) {
  for (bool withId : {true, false}) {
    SCOPED_TRACE(withId ? "device ID" : "no device ID");
    test::WriteWholeFile(SettingsPath(),
                         std::string("***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n"
                                     "\r\ntype=\"Tarnx\"\r\n") +
                             (withId ? "deviceid=\"STN-0042\"\r\n" : "") +
                             "name=\"LOGGER01\"\r\nsn=\"SN-1001\"\r\n");
    sim::LoggerOptions options = sim::LoggerOptionsFor(sim::LoggerKind::kTarnx);
    options.factoryFresh = true;
    SimLoggerOnPty logger(options);
    InstrumentSession session(&log);
    ASSERT_EQ(Connect(&session, logger.transport.SlavePath()), 1) << LogText();
    EXPECT_EQ(DPRestoreInfo(&session, SettingsPath().c_str(), "SN-NEW"), 1) << LogText();
    EXPECT_EQ(logger.logger.Setting("i"), "LOGGER01");
    EXPECT_EQ(logger.logger.Setting("devid"), withId ? "STN-0042" : "");
    EXPECT_EQ(logger.logger.Setting("sn"), withId ? "" : "SN-NEW");
  }
}

}  // namespace
}  // namespace quendal
