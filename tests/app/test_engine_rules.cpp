// The identity rules, the notices and the help texts, without a device.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "app/engine/updater_engine.h"
#include "host/program_version.h"
#include "tests/app/recording_operator.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::RecordingOperator;

class Rules : public testing::Test {
 protected:
  void Start(int targetType, std::vector<std::string> switches = {}) {
    BuildSettings build;
    build.targetType = targetType;
    build.engineVersion = "4.5.6";
    engine_ = std::make_unique<UpdaterEngine>(&ui_, build);
    ASSERT_EQ(EngineStart(engine_.get(), switches, dir_.File("data")), 0);
  }
  test::TempDir dir_;
  RecordingOperator ui_;
  std::unique_ptr<UpdaterEngine> engine_;
};

TEST_F(Rules, StartUpNamesTheTarget) {
  Start(kTypeDigitalSensor, {"-Factory", "-rep"});
  EXPECT_EQ(engine_->WindowCaption(), "Lurra Family Firmware Updater");
  EXPECT_EQ(engine_->options.sensorTypeCode, 260);
  EXPECT_EQ(engine_->versionFinderPath, "/versionfinder/Lurra-Firmware.txt");
  EXPECT_EQ(engine_->errorFilePath,
            dir_.File("data") + "/Lurra Family Firmware Updater.errors.txt");
  EXPECT_TRUE(engine_->options.openFileAllowed);
  EXPECT_FALSE(engine_->options.factoryMode) << "switches are compared case-sensitively";

  Start(kTypeCvFour, {"-factoryx", "-factory"});
  EXPECT_EQ(engine_->WindowCaption(), "Corvel Four Firmware Updater");
  EXPECT_EQ(engine_->versionFinderPath, "/versionfinder/CorvelSeries4.txt");
  EXPECT_TRUE(engine_->options.factoryMode);
  EXPECT_EQ(engine_->host->deviceKind, kTypeCvFour);
}

TEST_F(Rules, SensorTypeSelection) {
  Start(kTypeDigitalSensor);
  struct Case {
    std::int32_t code;
    std::int32_t checked;
    const char* path;
    const char* name;
  } cases[] = {
      {122, 122, "/versionfinder/Bremo-Firmware.txt", "Bremo Sensor"},
      {105, 262, "/versionfinder/Harvo-Firmware.txt", "Unknown Sensor (type 105)"},
      {121, 261, "/versionfinder/FeskoA-Firmware.txt", "Fesko-A Sensor"},
      {109, 109, "/versionfinder/Ustra-Firmware.txt", "Ustraf Sensor"},
      // Unlisted: nothing checked, the path stays the last one.
      {100, -1, "/versionfinder/Ustra-Firmware.txt", "Unknown Sensor (type 100)"},
      {95, 95, "/versionfinder/Kemmo-Firmware.txt", "Kemmo Anemometer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SelectSensorType(engine_.get(), c.code);
    EXPECT_EQ(CheckedSensorItem(*engine_), c.checked);
    EXPECT_EQ(engine_->versionFinderPath, c.path);
    EXPECT_EQ(engine_->targetDisplayName, c.name);
    EXPECT_EQ(UserText(*engine_), std::string("This utility updates ") + c.name + " firmware to");
    EXPECT_EQ(AboutCaption(*engine_), std::string("About ") + c.name + " Firmware Updater");
  }
}

TEST_F(Rules, FirmwareRange) {
  struct Case {
    std::uint32_t version;
    bool rep;
    int answer;
    bool passes;
    const char* ending;  // of the text shown; "" for none
  } cases[] = {
      {201, false, 0, false, "firmware version 2.02 (or newer)."},
      {202, false, 0, true, ""},
      {999, false, 0, true, ""},
      {1000, false, 0, false, "firmware version 9.99 (or older)."},
      {201, true, kBoxOk, true, "\nClick CANCEL to quit the updater."},
      {201, true, kBoxCancel, false, "\nClick CANCEL to quit the updater."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.version) + (c.rep ? " -rep" : ""));
    Start(kTypeCvFour, c.rep ? std::vector<std::string>{"-rep"} : std::vector<std::string>{});
    ui_ = RecordingOperator{};
    ui_.answers = {c.answer};
    DeviceProfile profile;
    DescribeDevice(kTypeCvFour, c.version, &profile);
    EXPECT_EQ(CheckFirmwareRange(engine_.get(), profile), c.passes);
    std::string ending = c.ending;
    if (ending.empty()) {
      EXPECT_TRUE(ui_.shown.empty());
      continue;
    }
    ASSERT_EQ(ui_.shown.size(), 1u);
    const std::string& text = ui_.shown[0].text;
    EXPECT_EQ(ui_.shown[0].caption, "Wrong Firmware Version");
    EXPECT_EQ(ui_.shown[0].kind, c.rep ? -1 : kMessageError);
    ASSERT_GE(text.size(), ending.size());
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
    EXPECT_EQ(text.rfind("The Corvel Four Firmware Updater doesn't support this Corvel Four\n"
                         "running version ",
                         0),
              0u);
  }
}

TEST_F(Rules, NoticesHelpAndAbout) {
  Start(kTypeDigitalSensor);
  for (int type = 0; type <= kLastDeviceType; ++type) ShowPostUpdateNotice(engine_.get(), type);
  ASSERT_EQ(ui_.shown.size(), 3u) << ui_.Captions();
  EXPECT_EQ(ui_.Captions(),
            "Thermix Calibration, Please Calibrate Your Lumaro, Please Calibrate Your Vadizazud");
  for (const test::Shown& s : ui_.shown) EXPECT_EQ(s.kind, kMessageWarning);
  EXPECT_NE(ui_.shown[2].text.find("/support/literature/"), std::string::npos);

  const std::string help = HelpText(*engine_);
  EXPECT_EQ(help.rfind("The Lurra Family Firmware Updater replaces the firmware that operates "
                       "your Lurra Family.\n",
                       0),
            0u);
  EXPECT_EQ(help.find("WARNING: Updating the firmware"), std::string::npos);
  EXPECT_NE(help.find("WARNING: Do not quit the Lurra Family Firmware Updater while"),
            std::string::npos);
  ui_ = RecordingOperator{};
  ShowHelp(engine_.get());
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].caption, "Help");
  EXPECT_EQ(ui_.shown[0].kind, kMessagePlain);
  EXPECT_EQ(ui_.beeps, std::vector<int>{48});

#if defined(_WIN32)
  const std::string system = "Windows";
#elif defined(__APPLE__)
  const std::string system = "macOS";
#else
  const std::string system = "Linux";
#endif
  EXPECT_EQ(AboutText(*engine_).rfind("Orvelle Universal Firmware Updater for " + system +
                                          "\n\n"
                                          "Quendal Engine version 4.5.6\n"
                                          "Communication Protocol version 1.7.9\n\n\xC2\xA9",
                                      0),
            0u);

  Start(kTypeCvFour);
  EXPECT_NE(HelpText(*engine_).find("WARNING: Updating the firmware in your Corvel Four will erase "
                                    "any stored measurement data.\nPlease download any "
                                    "measurement data stored in your Corvel Four that you want"),
            std::string::npos);
}

// With no per-user folder to be had, the error file goes beside the program, not into
// whatever folder the program was started from.
TEST(NoDataFolder, ErrorFileGoesBesideTheProgram) {
#ifdef _WIN32
  const char* names[] = {"APPDATA"};
#else
  const char* names[] = {"XDG_DATA_HOME", "HOME"};
#endif
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* name : names) {
    if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
  }
  RecordingOperator ui;
  UpdaterEngine engine(&ui);
  const Status started = EngineStart(&engine, {}, "");
  for (const auto& [name, value] : saved) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
  }
  EXPECT_GE(started, 0);
  ASSERT_FALSE(ProgramFolder().empty());
  EXPECT_EQ(engine.dataFolder, ProgramFolder());
  EXPECT_EQ(engine.errorFilePath.rfind(ProgramFolder(), 0), 0u) << engine.errorFilePath;
}

// A station unit's folder: one per port, never a device name of Windows, and a plain port
// name keeps the folder it always had.
TEST(StationUnitFolder, OnePerPortAndNoReservedName) {
  EXPECT_EQ(StationUnitFolder("ttyUSB0"), "ttyUSB0");
  const std::vector<std::string> ports = {"col a", "col_a",  "col-a",   "COM3",      "COM4",
                                          "com1.txt", "NUL",  "Lpt9",    "aux.log",   "/dev/pts/3",
                                          "/dev/pts_3", "",   "..",      "con"};
  std::set<std::string> seen;
  for (const std::string& port : ports) {
    const std::string folder = StationUnitFolder(port);
    SCOPED_TRACE(port + " -> " + folder);
    EXPECT_TRUE(seen.insert(folder).second);
    EXPECT_FALSE(folder.empty());
    EXPECT_EQ(folder.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789-._"),
              std::string::npos);
    std::string base = folder.substr(0, folder.find('.'));
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* reserved : {"CON", "PRN", "AUX", "NUL"}) EXPECT_NE(base, reserved);
    EXPECT_FALSE(base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
                 std::isdigit(static_cast<unsigned char>(base[3])));
    EXPECT_NE(folder[0], '.');
  }
}

}  // namespace
}  // namespace quendal
