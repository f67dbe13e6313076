// Capture, settings file and restore against simulated instruments: every setting an
// instrument has comes back after its information memory was erased, through the file
// alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "instrument/settings_capture.h"
#include "instrument/settings_file.h"
#include "tests/instrument/base64.h"
#include "tests/instrument/instrument_fixture.h"
#include "tests/logger/fake_logger.h"

namespace quendal {
namespace {

using test::Base64;
using test::Connect;
using test::FakeLogger;
using test::InstrumentTest;
using test::SimInstrument;

struct Row {
  int type;
  std::uint32_t version;
  std::uint32_t capturedMask;  // what DPSaveInfo must report for a fully set instrument
};

const Row kRows[] = {
    {kTypeRdv, 205, 0x002C0013},    {kTypeCommDevice, 123, 0x00000003},
    {kTypeCvMini, 120, 0x4000007A}, {kTypePrv, 200, 0x000000B2},
    {kTypeThx, 200, 0x00100192},    {kTypeSrbx, 200, 0x80027402},
    {kTypeCvTri, 351, 0x00000C00},  {kTypeLuma, 150, 0x07000400},
    {kTypeLuma, 200, 0x07000C12},   {kTypeCvv, 200, 0x28400802},
    {kTypePotex, 200, 0x00000802},  {kTypeCvq, 200, 0x00000802},
    {kTypeVinex, 200, 0x00008002},  {kTypeCvFour, 204, 0x38000802},
    {kTypeCvFour, 205, 0x38000842}, {kTypeCvFtdl, 200, 0x38000802},
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

TEST_P(RoundTrip, EveryCapturedSettingComesBackThroughTheFile) {
  const Row row = GetParam();
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

// Loggers are captured through the logger library; a fake logger shell stands in for them.
class LoggerCapture : public InstrumentTest {
 protected:
  void Connected(FakeLogger& shell, InstrumentSession* session, const char* version) {
    ASSERT_TRUE(shell.ok());
    shell.Set("ver", version);
    ASSERT_EQ(Connect(session, shell.SlavePath()), 1) << LogText();
  }
};

TEST_F(LoggerCapture, AnUninitialisedLoggerIsNotSaved) {
  FakeLogger shell;
  shell.Set("i", "");  // answers its bare prompt
  InstrumentSession session(&log);
  Connected(shell, &session, "TARNX 2.05");
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
                             (withId ? "deviceid=\"DEV00001\"\r\n" : "") +
                             "name=\"LOGGER01\"\r\nsn=\"SN-0042\"\r\n");
    FakeLogger shell;
    InstrumentSession session(&log);
    Connected(shell, &session, "TARNX 2.05");
    EXPECT_EQ(DPRestoreInfo(&session, SettingsPath().c_str(), "SN-NEW"), 1) << LogText();
    EXPECT_EQ(shell.Get("i"), "LOGGER01");
    EXPECT_EQ(shell.HeardPrefix("set -sn"), !withId);
    if (!withId) {
      EXPECT_EQ(shell.Get("sn"), "SN-NEW");
    }
  }
}

}  // namespace
}  // namespace quendal
