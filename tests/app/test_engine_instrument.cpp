// The instrument update as the Start handler of an instrument build runs it, against a
// simulated Corvel Four over a pseudo-terminal: the update, its checks and its refusals.
#include "tests/app/instrument_update_fixture.h"

namespace quendal::instrument_tests {

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
       "updater.\n\nThe battery reads 9 %; an update needs at least 10 %."},
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

}  // namespace quendal::instrument_tests
