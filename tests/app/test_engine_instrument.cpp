// The instrument update as the Start handler of an instrument build runs it, against a
// simulated Corvel Four over a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/updater_engine.h"
#include "host/timing.h"
#include "loader/image_fit.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/logger_shell.h"
#include "sim/pty_transport.h"
#include "sim/time_scale.h"
#include "tests/app/recording_operator.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/type_image.h"

namespace quendal {
namespace {

using test::RecordingOperator;

constexpr const char* kCaption = "Corvel Four Firmware Updater";
// A restart that outlasts every wait and attempt of the host.
constexpr std::uint32_t kNeverBackMs = 3600000;

// What one case puts on the bench: the simulated instrument and the build that updates it.
struct Bench {
  int type = kTypeCvFour;  // the instrument
  std::uint32_t version = 205;
  int target = kTypeCvFour;  // the build's target family
  HardwareRule hardwareRule = HardwareRule::kNone;
  bool filled = true;  // false: its settings hold nothing, which some reads do not survive
  std::vector<std::string> switches;
  std::uint32_t restartMs = 0;
  bool hasLoader = true;
  sim::InstrumentModelOptions model;  // its type and version come from above
};

struct CheckCase;

class InstrumentUpdate : public testing::Test {
 protected:
  void Boot(std::uint32_t version, bool filled, std::vector<std::string> switches = {},
            std::uint32_t restartMs = 0) {
    Bench bench;
    bench.version = version;
    bench.filled = filled;
    bench.switches = std::move(switches);
    bench.restartMs = restartMs;
    Boot(bench);
  }
  void Boot(const Bench& bench) {
    engine_.reset();
    transport_.reset();
    device_.reset();
    sim::InstrumentModelOptions modelOptions = bench.model;
    modelOptions.type = bench.type;
    modelOptions.version = bench.version;
    model_ = std::make_unique<sim::InstrumentSettingsModel>(modelOptions);
    // An instrument whose settings all hold nothing gives the capture nothing to keep.
    if (bench.filled) {
      for (const std::string& key : model_->Keys()) {
        model_->Set(key, model_->IsNumberKey(key) ? "7" : "v" + key.substr(1));
      }
      model_->Set("-sn", "SN-4417-A");
      model_->Set("-config", "1000");
    }
    sim::DeviceOptions options = sim::OptionsForType(bench.type, bench.version);
    options.restartMs = bench.restartMs;
    options.shell.hasLoader = bench.hasLoader;
    device_ = std::make_unique<sim::SimDevice>(options);
    device_->SetShellExtension(model_->Extension());
    device_->SetStartHook([model = model_.get()] { model->Restarted(); });
    device_->SetInfoEraseHook([model = model_.get()] { model->FactoryReset(); });
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
    ui_ = RecordingOperator{};
    BuildSettings build;
    build.targetType = bench.target;
    build.hardwareRule = bench.hardwareRule;
    build.engineVersion = "9.8.7";
    engine_ = std::make_unique<UpdaterEngine>(&ui_, build);
    ASSERT_EQ(EngineStart(engine_.get(), bench.switches, dir_.File("data")), 0);
    SelectPort(engine_.get(), transport_->SlavePath(), "simulated instrument");
  }
  // An image for the flash layout of the type that `code` names, whose check block the
  // device's self-test finds.
  void OpenImage(const std::string& code, const std::string& version = "2-10") {
    const std::string image = dir_.File(code + " " + version + ".txt");
    ASSERT_TRUE(test::MakeTypeImage(code, image)) << code;
    ASSERT_GT(OpenFirmwareFile(engine_.get(), image.c_str()), 0);
    ASSERT_EQ(engine_->imageVersion,
              static_cast<std::uint32_t>(std::stoi(version) * 100 + std::stoi(version.substr(2))));
  }
  void OpenCorvelImage() { OpenImage("CVFOUR"); }
  std::string LogText() const {
    return test::ReadWholeFile(dir_.File("data") + "/" + engine_->WindowCaption() + ".errors.txt");
  }
  static std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
      ++n;
    }
    return n;
  }
  bool Heard(const std::string& command) const {
    std::vector<std::string> commands = model_->Commands();
    return std::find(commands.begin(), commands.end(), command) != commands.end();
  }
  bool StatusShown(const std::string& status) const {
    return std::find(ui_.statuses.begin(), ui_.statuses.end(), status) != ui_.statuses.end();
  }
  // How long one connect attempt takes to give up on a device that says nothing.
  std::uint32_t FailedConnectMs() {
    device_->PowerCycle(600000);
    DeviceProfile profile;
    const std::uint32_t start = DSTicks();
    EXPECT_EQ(DPConnect(engine_->session.get(), engine_->options.port.c_str(), 2, 3, &profile),
              kNothingListening);
    const std::uint32_t took = DSTicks() - start;
    device_->PowerCycle(0);
    return took;
  }

  void RunChecks(const std::vector<CheckCase>& cases);

  test::TempDir dir_;
  RecordingOperator ui_;
  std::unique_ptr<sim::InstrumentSettingsModel> model_;
  std::unique_ptr<sim::SimDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
  std::unique_ptr<UpdaterEngine> engine_;
};

TEST_F(InstrumentUpdate, SlowFullUpdateRestoresTheSettings) {
  Boot(205, true);
  OpenCorvelImage();
  const std::uint64_t asked = DSSleepAskedMs();
  ASSERT_EQ(RunUpdate(engine_.get()), 1) << ui_.Captions() << "\n" << LogText();
  EXPECT_GE(DSSleepAskedMs() - asked, 8000u) << "the type's restart wait";
  EXPECT_EQ(device_->Counters().restarts, 1u);
  EXPECT_TRUE(device_->SelfTestPasses());
  EXPECT_TRUE(Heard("set -sn SN-4417-A")) << "restored from the capture";
  EXPECT_EQ(model_->Get("-sn"), "SN-4417-A");
  EXPECT_FALSE(std::filesystem::exists(engine_->settingsFilePath));
  for (int position : {2, 4, 6, 8, 21, 92, 94, 96, 98, 100}) {
    EXPECT_TRUE(ui_.Reached(position)) << position;
  }
  // The held "adc" is not the calibrated one: the notice is due, but the Corvel Four has none.
  EXPECT_TRUE(engine_->attempt->profile.calibrationNotice);
  EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
  EXPECT_EQ(ui_.statuses[1], "Saving settings for this Corvel Four...");
  EXPECT_EQ(model_->Erasures(), 1) << "the type erases its old data";
}

TEST_F(InstrumentUpdate, VersionRangeAndSettingsRead) {
  const std::string retrieve =
      "This " + std::string(kCaption) + " could not retrieve the settings from your Corvel Four.\n";
  struct Case {
    std::uint32_t version;
    bool filled;  // an instrument without every setting cannot be read
    std::vector<std::string> switches;
    std::vector<int> answers;
    Status result;
    std::vector<std::string> captions;
    std::string text;  // the end of the last message
  } cases[] = {
      {201,
       true,
       {},
       {},
       kNotSupported,
       {"Wrong Firmware Version"},
       "running version 2.01.\n\nThis updater only works with firmware version 2.02 (or newer)."},
      {1000,
       true,
       {},
       {kBoxOk},
       kNotSupported,
       {"Newer Firmware", "Wrong Firmware Version"},
       "running version 10.00.\n\nThis updater only works with firmware version 9.99 (or older)."},
      {201,
       true,
       {"-rep"},
       {kBoxCancel},
       kNotSupported,
       {"Wrong Firmware Version"},
       " (or newer).\n\nClick OK to force the update anyway.\nClick CANCEL to quit the updater."},
      // With "-rep" a failed settings read is a question; Cancel lets the operator retry.
      {202,
       false,
       {"-rep"},
       {kBoxCancel},
       kCancelled,
       {"Settings Retrieve Error"},
       "\n\nClick OK to continue loading new firmware.\nClick CANCEL to try retrieving the "
       "settings again."},
      {202,
       false,
       {},
       {},
       kBarePrompt,
       {"Settings Error"},
       retrieve + "Please try again or contact Orvelle for help."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.version) + (c.switches.empty() ? "" : " " + c.switches[0]));
    Boot(c.version, c.filled, c.switches);
    ui_.answers.assign(c.answers.begin(), c.answers.end());
    EXPECT_EQ(RunUpdate(engine_.get()), c.result) << LogText();
    ASSERT_EQ(ui_.shown.size(), c.captions.size()) << ui_.Captions();
    for (std::size_t i = 0; i < c.captions.size(); ++i) {
      EXPECT_EQ(ui_.shown[i].caption, c.captions[i]);
    }
    const std::string& text = ui_.shown.back().text;
    ASSERT_GE(text.size(), c.text.size());
    EXPECT_EQ(text.substr(text.size() - c.text.size()), c.text);
    EXPECT_EQ(device_->Counters().restarts, 0u);
  }
}

// A device that does not come back after the restart: three attempts, 0, 1500 and 3000 ms
// apart after the type's restart wait, then the loader failure text.
TEST_F(InstrumentUpdate, SlowReconnectGivesUpAfterThreeAttempts) {
  Boot(205, true, {}, 120000);
  OpenCorvelImage();
  const std::uint64_t asked = DSSleepAskedMs();
  EXPECT_LT(RunUpdate(engine_.get()), 0);
  EXPECT_GE(DSSleepAskedMs() - asked, 8000u + 1500u + 3000u);
  ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
  EXPECT_EQ(ui_.shown[0].caption, "Connection Error");
  EXPECT_EQ(ui_.shown[0].text.rfind("The " + std::string(kCaption) +
                                        " encountered an error working with your Corvel "
                                        "Four.\n\nPlease try again.\n\n[Error -",
                                    0),
            0u);
  const std::string log = LogText();
  std::size_t attempts = 0;
  for (std::size_t at = log.find("DPConnect couldn't connect."); at != std::string::npos;
       at = log.find("DPConnect couldn't connect.", at + 1)) {
    ++attempts;
  }
  EXPECT_EQ(attempts, 3u) << log;
  EXPECT_TRUE(std::filesystem::exists(engine_->settingsFilePath)) << "kept for the next attempt";
}

// Builders of the check cases. A case that passes every check ends soon after them: at a
// settings read that fails for want of settings, or at a missing loader.

// Against the image "CVFOUR 2-03": before 2.05 a Corvel Four without settings cannot be read.
Bench Corvel(std::uint32_t version, std::vector<std::string> switches = {}) {
  Bench b;
  b.version = version;
  b.filled = false;
  b.switches = std::move(switches);
  return b;
}
Bench WrongDevice(std::vector<std::string> switches) {
  Bench b;
  b.type = kTypeCvv;
  b.version = 150;
  b.switches = std::move(switches);
  b.hasLoader = false;
  return b;
}
Bench Revision(HardwareRule rule, const char* answer) {
  Bench b = Corvel(203);
  b.hardwareRule = rule;
  b.model.hardwareRevision = answer;
  return b;
}
Bench TestStatus(const char* status) {
  Bench b;
  b.type = b.target = kTypeCvv;
  b.version = 120;
  b.model.testStatus = status;
  b.hasLoader = false;
  return b;
}
Bench Battery(const char* answer) {
  Bench b;
  b.type = b.target = kTypeRdv;
  b.version = 120;
  b.model.battery = answer;
  b.hasLoader = false;
  return b;
}

const std::string kWrongDeviceText =
    "The " + std::string(kCaption) +
    " expected to find a Corvel Four;\nhowever, it found a Corvel V.\n\nThis updater can not "
    "update a Corvel V.";
const std::string kUnread = "Settings Error";
const std::string kUnreadAsk = "Settings Retrieve Error";
const std::string kNoLoaderCaption = "Firmware Loader Error";

struct CheckCase {
  const char* name;
  Bench bench;
  std::vector<int> answers;
  Status result;
  std::vector<std::string> captions;
  std::string text;  // the end of the first message
};

void InstrumentUpdate::RunChecks(const std::vector<CheckCase>& cases) {
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    Boot(c.bench);
    if (c.bench.target == kTypeCvFour) OpenImage("CVFOUR", "2-03");
    // The built-in image's information memory is not where a Corvel V keeps its own.
    if (c.bench.target == kTypeCvv) OpenImage("CVV");
    ui_.answers.assign(c.answers.begin(), c.answers.end());
    EXPECT_EQ(RunUpdate(engine_.get()), c.result) << LogText();
    ASSERT_EQ(ui_.shown.size(), c.captions.size()) << ui_.Captions();
    for (std::size_t i = 0; i < c.captions.size(); ++i) {
      EXPECT_EQ(ui_.shown[i].caption, c.captions[i]);
    }
    const std::string& text = ui_.shown.front().text;
    ASSERT_GE(text.size(), c.text.size());
    EXPECT_EQ(text.substr(text.size() - c.text.size()), c.text);
    // Only a device that passed every check has its settings read.
    const std::string& last = c.captions.back();
    EXPECT_EQ(Heard("get -sn"), last == kUnread || last == kUnreadAsk || last == kNoLoaderCaption);
    EXPECT_EQ(Heard("get -hver"), c.bench.hardwareRule != HardwareRule::kNone);
    EXPECT_EQ(Heard("get -batt"), c.bench.type == kTypeRdv);
    EXPECT_EQ(Heard("ping -stat"), c.bench.target == kTypeCvv);
  }
}

// The device type, the newer-firmware question, the hardware revision rule in its three
// forms, the running-test check and the battery: refusals, and passes that end quickly.
TEST_F(InstrumentUpdate, ChecksBeforeTheLoader) {
  RunChecks({
      {"wrong device", WrongDevice({}), {}, kWrongDevice, {"Wrong Device"}, kWrongDeviceText},
      {"wrong device, factory, Cancel",
       WrongDevice({"-factory"}),
       {kBoxCancel},
       kWrongDevice,
       {"Wrong Device"},
       kWrongDeviceText + "\n\n[Factory Mode Override: Click OK to load FW anyway]"},
      {"newer firmware, Cancel",
       Corvel(204),
       {kBoxCancel},
       kCancelled,
       {"Newer Firmware"},
       "The firmware in your Corvel Four\nis newer than the version in this updater.\n\nAre you "
       "sure you want to load older firmware."},
      {"newer firmware, OK", Corvel(204), {kBoxOk}, kBarePrompt, {"Newer Firmware", kUnread}, ""},
      // Factory mode asks no version question, but asks to go on without settings.
      {"newer firmware, factory", Corvel(204, {"-factory"}), {}, kCancelled, {kUnreadAsk}, ""},
      {"same firmware", Corvel(203), {}, kBarePrompt, {kUnread}, ""},
      {"revision B, C only",
       Revision(HardwareRule::kCOnly, "B"),
       {},
       kNotSupported,
       {"Wrong Hardware Revision"},
       "The hardware revision of the connected Corvel Four is 'B'.\n\nThis updater only works "
       "with Corvel Four hardware revision 'C'."},
      {"revision C, C only", Revision(HardwareRule::kCOnly, " C"), {}, kBarePrompt, {kUnread}, ""},
      {"no revision, C only",
       Revision(HardwareRule::kCOnly, ""),
       {},
       kNotSupported,
       {"Wrong Hardware Revision"},
       "hardware revision 'C'."},
      {"revision C, A or B",
       Revision(HardwareRule::kAOrB, "C"),
       {},
       kNotSupported,
       {"Wrong Hardware Revision"},
       " is 'C'.\n\nThis updater only works with Corvel Four hardware revision 'A' or 'B'."},
      {"revision A, A or B", Revision(HardwareRule::kAOrB, "A"), {}, kBarePrompt, {kUnread}, ""},
      {"no revision, A or B", Revision(HardwareRule::kAOrB, ""), {}, kBarePrompt, {kUnread}, ""},
      {"revision C, no rule", Revision(HardwareRule::kNone, "C"), {}, kBarePrompt, {kUnread}, ""},
      {"test running",
       TestStatus("3"),
       {},
       kCancelled,
       {"Test Running Error"},
       "Your CVV is currently running a test.\n\nPlease stop the test and save the "
       "measurement\n data before updating the CVV firmware."},
      {"test status 0", TestStatus("0"), {}, kCancelled, {"Test Running Error"}, ""},
      {"battery 9 %",
       Battery("9"),
       {},
       kBatteryLow,
       {"Batteries Too Low"},
       "The battery power is too low!\n\nPlease replace the batteries before running this "
       "updater."},
  });
}

// The passes whose device then goes on to the loader, which it lacks.
TEST_F(InstrumentUpdate, SlowChecksPassedReachTheLoader) {
  RunChecks({
      {"wrong device, factory, OK",
       WrongDevice({"-factory"}),
       {kBoxOk},
       kNoLoader,
       {"Wrong Device", kNoLoaderCaption},
       "[Factory Mode Override: Click OK to load FW anyway]"},
      {"no test", TestStatus(" -1"), {}, kNoLoader, {kNoLoaderCaption}, ""},
      {"no test status", TestStatus(""), {}, kNoLoader, {kNoLoaderCaption}, ""},
      {"battery 10 %", Battery("10"), {}, kNoLoader, {kNoLoaderCaption}, ""},
      {"battery unreadable", Battery("ERROR"), {}, kNoLoader, {kNoLoaderCaption}, ""},
  });
}

// An image that cannot fit leaves the instrument as it was: refused before the port is
// opened when it does not fit its own type, and by the loader engine before the first erase
// when the operator lets it go to another type.
TEST_F(InstrumentUpdate, AnImageThatDoesNotFitLeavesTheDeviceUntouched) {
  struct Case {
    const char* what;
    std::vector<std::string> switches;
    std::deque<int> answers;
    Status rc;
    std::string caption;
    bool portOpened;
  } cases[] = {
      {"a data logger's layout under this type's name",
       {},
       {},
       kImageDoesNotFit,
       "Firmware File Error",
       false},
      {"a Tarnx image let through to a Corvel Four",
       {"-factory"},
       {kBoxOk},
       kImageDoesNotFit,
       "INFO Memory Erase Error",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench bench;
    bench.switches = c.switches;
    Boot(bench);
    if (c.portOpened) {
      OpenImage("TARNX");
    } else {
      const std::string file = dir_.File("CVFOUR 2-11.txt");
      test::WriteWholeFile(file, "@1100\n01 02 03 04\n@2100\n05 06\n@FFFE\n00 21\nq\n");
      ASSERT_GT(OpenFirmwareFile(engine_.get(), file.c_str()), 0);
    }
    std::vector<std::pair<std::string, std::string>> settings;
    for (const std::string& key : model_->Keys()) settings.emplace_back(key, model_->Get(key));
    const std::vector<std::uint8_t> flash = device_->FlashCopy();
    ui_.answers = c.answers;

    EXPECT_EQ(RunUpdate(engine_.get()), c.rc) << ui_.Captions() << "\n" << LogText();
    ASSERT_FALSE(ui_.shown.empty());
    EXPECT_EQ(ui_.shown.back().caption, c.caption);
    EXPECT_EQ(device_->FramesReceived('X'), 0u);
    EXPECT_EQ(device_->FramesReceived('W'), 0u);
    EXPECT_TRUE(device_->FlashCopy() == flash);
    EXPECT_TRUE(device_->SelfTestPasses());
    for (const auto& [key, value] : settings) EXPECT_EQ(model_->Get(key), value) << key;
    EXPECT_EQ(!model_->Commands().empty(), c.portOpened);
  }
}

// An instrument whose firmware is too old for any update is refused when it is found.
TEST_F(InstrumentUpdate, FirmwareTooOldIsRefusedAtTheConnect) {
  Bench bench;
  bench.type = bench.target = kTypeCvMini;
  bench.version = 117;
  Boot(bench);
  EXPECT_EQ(RunUpdate(engine_.get()), kNothingListening);
  ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
  EXPECT_EQ(ui_.shown[0].caption, "Connection Error");
  EXPECT_EQ(ui_.shown[0].text,
            "The Corvel Mini Firmware Updater does not support your Corvel Mini\nrunning "
            "version 117.");
}

// An update cut short in the upload leaves the loader listening and the settings file on
// disk. The next Start goes straight to the loader, skips the checks and the save, and
// restores from that file; without the file it says so twice and still succeeds.
TEST_F(InstrumentUpdate, SlowLoaderFoundListening) {
  // A loader that runs at the shell's speed, so that the connect's probe reaches it.
  const std::string caption = "Sorbex Firmware Updater";
  struct Case {
    const char* name;
    const char* fault;  // of the first attempt
    Status found;       // what the second attempt's connect finds
    bool fileKept;
  } cases[] = {
      {"loader active", "refuse@40+100000:W", kLoaderActive, true},
      {"loader waiting", "power@40:W,ms=200", kLoaderWaiting, true},
      {"settings file gone", "refuse@40+100000:W", kLoaderActive, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.type = bench.target = kTypeSrbx;
    Boot(bench);
    OpenImage("SRBX");
    sim::FaultPlan plan;
    std::string error;
    plan.rules.resize(1);
    ASSERT_TRUE(sim::ParseFaultRule(c.fault, &plan.rules[0], &error)) << error;
    device_->SetFaults(plan);
    EXPECT_LT(RunUpdate(engine_.get()), 0);
    ASSERT_EQ(ui_.Captions(), "Firmware Upload Error");
    ASSERT_TRUE(std::filesystem::exists(engine_->settingsFilePath));

    ASSERT_EQ(model_->Get("-sn"), "") << "the erase took the settings with it";
    model_->ClearCommands();
    if (!c.fileKept) std::filesystem::remove(engine_->settingsFilePath);
    device_->SetFaults({});
    ui_ = RecordingOperator{};
    const std::size_t logBefore = LogText().size();
    // With the file gone the firmware is new but nothing could be restored.
    ASSERT_EQ(RunUpdate(engine_.get()), c.fileKept ? 1 : kSettingsNotRestored)
        << ui_.Captions() << "\n"
        << LogText();
    const std::string log = LogText().substr(logBefore);
    EXPECT_NE(log.find("DPConnect found the Quendal listening (" + std::to_string(c.found) + ")"),
              std::string::npos)
        << log;
    EXPECT_TRUE(device_->SelfTestPasses());
    EXPECT_FALSE(StatusShown("Saving settings for this Sorbex...")) << "no save";
    // The restore reads its settings back; nothing may read them before it writes.
    const std::vector<std::string> heard = model_->Commands();
    const auto firstWrite = std::find_if(heard.begin(), heard.end(), [](const std::string& line) {
      return line.rfind("set -", 0) == 0;
    });
    EXPECT_EQ(std::find(heard.begin(), firstWrite, "get -sn"), firstWrite) << "no save";
    EXPECT_FALSE(ui_.Reached(4)) << "from the connect's 2 straight to the loader's 6";
    EXPECT_FALSE(std::filesystem::exists(engine_->settingsFilePath));
    if (c.fileKept) {
      EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
      EXPECT_EQ(model_->Get("-sn"), "SN-4417-A") << "restored from the first attempt's file";
    } else {
      ASSERT_EQ(ui_.Captions(), "Settings Error, Settings Error");
      EXPECT_EQ(ui_.shown[0].text, "The " + caption +
                                       " couldn't find the settings file for your Sorbex.\n\n"
                                       "Please try again or contact Orvelle for help.");
      EXPECT_EQ(ui_.shown[1].text, "The " + caption +
                                       " failed to restore the settings for your Sorbex.\n\n"
                                       "Please try again.\n\n[Error -102]");
      EXPECT_EQ(model_->Get("-sn"), "");
    }
  }
}

// The same for a Corvel Four, whose loader listens at 57600 baud, where the connect at 9600
// hears nothing: the next Start finds it there, whether it was left active or waiting.
TEST_F(InstrumentUpdate, SlowLoaderFoundAtItsOwnSpeed) {
  struct Case {
    const char* name;
    const char* fault;
    Status found;
  } cases[] = {
      {"loader active", "refuse@40+100000:W", kLoaderActive},
      {"loader waiting", "power@40:W,ms=200", kLoaderWaiting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Boot(205, true);
    OpenCorvelImage();
    ASSERT_EQ(device_->Layout().loaderBaud, 57600u);
    sim::FaultPlan plan;
    std::string error;
    plan.rules.resize(1);
    ASSERT_TRUE(sim::ParseFaultRule(c.fault, &plan.rules[0], &error)) << error;
    device_->SetFaults(plan);
    EXPECT_LT(RunUpdate(engine_.get()), 0);
    ASSERT_EQ(ui_.Captions(), "Firmware Upload Error");
    ASSERT_EQ(model_->Get("-sn"), "") << "the erase took the settings with it";

    device_->SetFaults({});
    ui_ = RecordingOperator{};
    const std::size_t logBefore = LogText().size();
    ASSERT_EQ(RunUpdate(engine_.get()), 1) << ui_.Captions() << "\n" << LogText();
    const std::string log = LogText().substr(logBefore);
    EXPECT_NE(
        log.find("Found the Quendal listening at 57600 baud (" + std::to_string(c.found) + ")"),
        std::string::npos)
        << log;
    EXPECT_TRUE(device_->SelfTestPasses());
    EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
    EXPECT_EQ(model_->Get("-sn"), "SN-4417-A") << "restored from the first attempt's file";
    EXPECT_FALSE(std::filesystem::exists(engine_->settingsFilePath));
  }
}

// After the restart: a device that answers only the second or third connect attempt, a
// login that fails, and "Don't Erase Data". Each update still ends with success. In real
// time: the device's return is placed between the host's attempts, which a time-out's floor
// under a time scale would move.
TEST_F(InstrumentUpdate, SlowAfterTheRestart) {
  sim::ScopedTimeScale realTime(1);
  struct Case {
    const char* name;
    int type;
    int answeringAttempt;
    int loginsAccepted;
    bool dontEraseData;
    std::string captions;
    int erasures;
    Status result;
  } cases[] = {
      {"second attempt", kTypeRdv, 2, -1, true, "", 0, 1},
      {"third attempt", kTypeRdv, 3, -1, false, "", 1, 1},
      // The settings cannot go back without the login: the update says so and keeps them.
      {"login refused", kTypeCvFour, 1, 1, false, "Login Error, Settings Error", 1,
       kSettingsNotRestored},
  };
  Bench probe;
  probe.type = probe.target = kTypeRdv;
  Boot(probe);
  const std::uint32_t attemptMs = FailedConnectMs();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceProfile profile;
    DescribeDevice(c.type, 205, &profile);
    Bench bench;
    bench.type = bench.target = c.type;
    bench.model.loginsAccepted = c.loginsAccepted;
    // The device comes back after the first attempt, or in the wait after the second.
    bench.restartMs = profile.restartWaitMs + 100;
    if (c.answeringAttempt == 2) bench.restartMs += attemptMs + attemptMs / 4;
    if (c.answeringAttempt == 3) bench.restartMs += 2 * attemptMs + 750;
    Boot(bench);
    OpenImage(DeviceTypeCode(c.type));
    engine_->options.dontEraseData = c.dontEraseData;
    const std::size_t logBefore = LogText().size();
    const std::uint32_t start = DSTicks();
    ASSERT_EQ(RunUpdate(engine_.get()), c.result) << ui_.Captions() << "\n" << LogText();
    EXPECT_EQ(std::filesystem::exists(engine_->settingsFilePath), c.result != 1);
    const std::uint32_t elapsed = DSTicks() - start;
    const std::string log = LogText().substr(logBefore);
    EXPECT_EQ(Occurrences(log, "DPConnect couldn't connect."),
              static_cast<std::size_t>(c.answeringAttempt - 1))
        << log;
    std::uint32_t least = profile.restartWaitMs;
    if (c.answeringAttempt >= 2) least += attemptMs / 2;
    if (c.answeringAttempt == 3) least += 1500 + attemptMs / 2;
    EXPECT_GE(elapsed, least);
    EXPECT_EQ(ui_.Captions(), c.captions);
    if (c.loginsAccepted == 1) {
      EXPECT_EQ(ui_.shown[0].text,
                "This " + std::string(kCaption) +
                    " failed to log into your Corvel Four.\nPlease check the settings on your "
                    "instrument or contact Orvelle for help.");
    } else {
      EXPECT_TRUE(Heard("set -sn SN-4417-A")) << "restored";
    }
    EXPECT_TRUE(device_->SelfTestPasses());
    EXPECT_TRUE(StatusShown("Checking new firmware..."));
    EXPECT_EQ(model_->Erasures(), c.erasures);
    EXPECT_EQ(StatusShown("Erasing old data..."), c.erasures > 0);
  }
}

// Every failure after the erase that leaves the instrument running, with its settings gone:
// the first Start says so and keeps the file; the next, with the fault gone, restores every
// setting from it instead of capturing the emptied instrument over it.
TEST_F(InstrumentUpdate, SlowEveryFailureAfterTheEraseIsFinishedByTheNextStart) {
  struct Case {
    const char* name;
    void (*spoil)(sim::SimDevice*, sim::InstrumentSettingsModel*);
    void (*mend)(sim::SimDevice*, sim::InstrumentSettingsModel*);
    Status first;  // 0: any failure
    const char* caption;
  } cases[] = {
      {"corrupt new firmware",
       [](sim::SimDevice* d, sim::InstrumentSettingsModel*) { d->SetCorruptAfterUpdate(true); },
       [](sim::SimDevice* d, sim::InstrumentSettingsModel*) { d->SetCorruptAfterUpdate(false); }, 0,
       "Firmware Error"},
      // Back only when switched off and on: the host's time-outs have a floor that a time
      // scale does not shorten, so a late return would otherwise fall within its attempts.
      {"slow restart",
       [](sim::SimDevice* d, sim::InstrumentSettingsModel*) { d->SetRestartMs(kNeverBackMs); },
       [](sim::SimDevice* d, sim::InstrumentSettingsModel*) {
         d->SetRestartMs(0);
         d->PowerCycle(0);
       },
       0, "Connection Error"},
      {"restore refused",
       [](sim::SimDevice*, sim::InstrumentSettingsModel* m) { m->SetRefuseSettings(true); },
       [](sim::SimDevice*, sim::InstrumentSettingsModel* m) { m->SetRefuseSettings(false); },
       kSettingsNotRestored, "Settings Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Boot(205, true);
    OpenCorvelImage();
    model_->SetRecords("user", {"U0 first user", "U1 second user"});
    model_->SetRecords("eqn", {"E0 x+1", "eqn01 2*x"});
    std::map<std::string, std::string> before;
    for (const std::string& key : model_->Keys()) before[key] = model_->Get(key);
    const auto users = model_->Records("user");
    const auto equations = model_->Records("eqn");
    c.spoil(device_.get(), model_.get());

    const Status first = RunUpdate(engine_.get());
    if (c.first != 0) {
      EXPECT_EQ(first, c.first);
    }
    EXPECT_LT(first, 0);
    ASSERT_FALSE(ui_.shown.empty());
    EXPECT_EQ(ui_.shown[0].caption, c.caption) << ui_.Captions();
    ASSERT_TRUE(std::filesystem::exists(engine_->settingsFilePath)) << "kept";
    if (first == kSettingsNotRestored) {
      EXPECT_NE(ui_.shown[0].text.find("The settings are kept in:\n" + engine_->settingsFilePath),
                std::string::npos)
          << ui_.shown[0].text;
    }
    EXPECT_EQ(model_->Get("-sn"), "") << "the erase took the settings";

    c.mend(device_.get(), model_.get());
    // An instrument still restarting comes back before the next Start.
    for (int i = 0; i < 300 && device_->State() == sim::DeviceState::kOff; ++i) DSSleep(100);
    ui_ = RecordingOperator{};
    ASSERT_EQ(RunUpdate(engine_.get()), 1) << ui_.Captions() << "\n" << LogText();
    EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
    for (const auto& [key, value] : before) EXPECT_EQ(model_->Get(key), value) << key;
    // The restore writes records in name order; every one is back.
    auto sorted = [](std::vector<std::string> v) {
      std::sort(v.begin(), v.end());
      return v;
    };
    EXPECT_EQ(sorted(model_->Records("user")), sorted(users));
    EXPECT_EQ(sorted(model_->Records("eqn")), sorted(equations));
    EXPECT_FALSE(std::filesystem::exists(engine_->settingsFilePath));
  }
}

// A data logger whose new firmware fails its check or comes back too late has lost its
// settings with the old firmware; the next Start puts every one back from the file.
TEST_F(InstrumentUpdate, SlowALoggersSettingsComeBackAfterAFailureAfterTheErase) {
  struct Case {
    const char* name;
    void (*spoil)(sim::SimDevice*, bool on);
    const char* caption;
  } cases[] = {
      {"corrupt new firmware", [](sim::SimDevice* d, bool on) { d->SetCorruptAfterUpdate(on); },
       "Firmware Error"},
      {"slow restart",
       [](sim::SimDevice* d, bool on) {
         d->SetRestartMs(on ? kNeverBackMs : 0);
         if (!on) d->PowerCycle(0);
       },
       "Connection Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_.reset();
    transport_.reset();
    sim::SimLogger logger(sim::LoggerOptionsFor(sim::LoggerKind::kTarnx));
    sim::PtyTransport transport(&logger);
    ASSERT_EQ(transport.Start(), 1);
    BuildSettings build;
    build.targetType = kTypeTarnx;
    build.engineVersion = "9.8.7";
    ui_ = RecordingOperator{};
    engine_ = std::make_unique<UpdaterEngine>(&ui_, build);
    ASSERT_EQ(EngineStart(engine_.get(), {}, dir_.File("data")), 0);
    SelectPort(engine_.get(), transport.SlavePath(), "simulated logger");
    OpenImage("TARNX");
    engine_->options.dontEraseData = true;
    const auto before = logger.Settings();
    ASSERT_EQ(before.at("sn"), "SN-1001");
    c.spoil(&logger.Device(), true);

    EXPECT_LT(RunUpdate(engine_.get()), 0);
    ASSERT_FALSE(ui_.shown.empty());
    EXPECT_EQ(ui_.shown[0].caption, c.caption) << ui_.Captions();
    ASSERT_TRUE(std::filesystem::exists(engine_->settingsFilePath));

    c.spoil(&logger.Device(), false);
    for (int i = 0; i < 400 && logger.Device().State() == sim::DeviceState::kOff; ++i) DSSleep(100);
    EXPECT_EQ(logger.Setting("site").value_or("?"), "") << "the new firmware starts empty";
    ui_ = RecordingOperator{};
    ASSERT_EQ(RunUpdate(engine_.get()), 1) << ui_.Captions() << "\n" << LogText();
    EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
    const auto after = logger.Settings();
    for (const auto& [key, value] : before) {
      if (key == "build") continue;  // the firmware's own
      auto it = after.find(key);
      EXPECT_TRUE(it != after.end() && it->second == value) << key << " was " << value;
    }
    EXPECT_FALSE(std::filesystem::exists(engine_->settingsFilePath));
    engine_.reset();
  }
}

// Another Corvel Four's file, left by an update that reached its erase, is moved aside and
// kept; this one's own settings are captured and come back.
TEST_F(InstrumentUpdate, SlowAnotherUnitsFileIsSetAside) {
  Boot(205, true);
  OpenCorvelImage();
  const std::string other =
      "***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n\r\ntype=\"CVFOUR\"\r\n"
      "sn=\"C4-OTHER\"\r\nconfig=\"999\"\r\ntadj=\"other tadj\"\r\nmask=\"2050\"\r\n"
      "unitDevice=\"CVFOUR\"\r\nunitSerial=\"C4-OTHER\"\r\nunitFirmware=\"205\"\r\n"
      "attemptPhase=\"erase begun\"\r\n";
  const std::string path = engine_->dataFolder + "/Corvel Four.settings.txt";
  test::WriteWholeFile(path, other);
  ASSERT_EQ(RunUpdate(engine_.get()), 1) << ui_.Captions() << "\n" << LogText();
  ASSERT_EQ(ui_.Captions(), "Settings File Set Aside");
  EXPECT_EQ(ui_.shown[0].kind, kMessageWarning);
  EXPECT_EQ(model_->Get("-sn"), "SN-4417-A");
  EXPECT_EQ(model_->Get("-config"), "1000");
  EXPECT_FALSE(Heard("set -sn C4-OTHER"));
  const std::string shown = ui_.shown[0].text;
  const std::size_t at = shown.find(engine_->dataFolder + "/Corvel Four.settings.set-aside-");
  ASSERT_NE(at, std::string::npos) << shown;
  const std::string aside = shown.substr(at, shown.find('\n', at) - at);
  EXPECT_EQ(test::ReadWholeFile(aside), other);
}

}  // namespace
}  // namespace quendal
