// How an attempt ends, decided from the attempt alone: what the device was left in, the
// advice, the console's exit status and result, and the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_operator.h"
#include "app/cli/options.h"
#include "app/cli/update_command.h"
#include "app/engine/update_attempt.h"
#include "app/engine/update_record.h"
#include "host/serial.h"
#include "instrument/instrument_status.h"

namespace quendal {
namespace {

constexpr const char* kFile = "/data/Lurra Family.settings.txt";

// A code the serial driver gives for a port problem, whatever the system's numbers are.
Status PortCode(bool (*is)(Status), bool (*isNot)(Status) = nullptr) {
  for (Status rc = -1; rc > -100000; --rc) {
    if (is(rc) && !(isNot && isNot(rc))) return rc;
  }
  ADD_FAILURE() << "no such code";
  return -1;
}

UpdateAttempt Attempt(AttemptKind kind = AttemptKind::kUpdate) {
  UpdateOptions options;
  options.port = "/dev/ttyUSB0";
  options.portDescription = "ttyUSB0";
  UpdateAttempt a(kind, options, "Lurra Family");
  a.settingsFile = kFile;
  a.imageVersion = 396;
  a.firmwareBefore = 390;
  return a;
}

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

TEST(UpdateEnding, OneTableOverTheAttempt) {
  const Status missing = PortCode(DSPortMissing);
  const Status busy = PortCode(DSPortInUse, DSPortDenied);
  const Status denied = PortCode(DSPortDenied);
  struct Case {
    const char* name;
    void (*make)(UpdateAttempt*);
    Status port;  // the first connect's result
    DeviceLeft left;
    int status;             // exit status, not interrupted
    int interruptedStatus;  // with the operator's Ctrl-C
    std::uint32_t firmwareAfter;
    std::vector<std::string> says;
    std::vector<std::string> never;
    bool kept;  // the settings file is offered for a restore
  } cases[] = {
      // clang-format off
      {"battery", [](UpdateAttempt* a) { a->result = kBatteryLow; }, 0,
       DeviceLeft::kUnchanged, 4, 130, 390, {"was not changed"},
       {"settings", "restore", kFile}, false},
      {"port missing", [](UpdateAttempt* a) { a->result = kNothingListening; }, missing,
       DeviceLeft::kUnchanged, 6, 130, 390, {"was not changed"}, {"settings", "restore"}, false},
      {"port busy", [](UpdateAttempt* a) { a->result = kNothingListening; }, busy,
       DeviceLeft::kUnchanged, 7, 130, 390, {}, {"settings", "restore"}, false},
      {"no permission", [](UpdateAttempt* a) { a->result = kNothingListening; }, denied,
       DeviceLeft::kUnchanged, 8, 130, 390, {}, {"settings", "restore"}, false},
      {"settings file held", [](UpdateAttempt* a) { a->result = kSettingsFileBusy; }, 0,
       DeviceLeft::kUnchanged, 7, 130, 390, {}, {"restore"}, false},
      // Captured, then refused by a question: the file is this unit's, but nothing changed.
      {"refused after the save",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kSave;
         a->settingsPhase = SettingsPhase::kCaptured;
         a->settingsOfThisUnit = true;
         a->result = kCancelled;
       },
       0, DeviceLeft::kUnchanged, 4, 130, 390, {}, {"settings", "restore"}, false},
      {"stopped before the loader",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kSave;
         a->stopRequested = true;
         a->result = kCancelled;
       },
       0, DeviceLeft::kUnchanged, 4, 130, 390, {"Start the update again on Comm Port \"ttyUSB0\""},
       {"restore"}, false},
      {"stopped in the upload",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kUpload;
         a->settingsPhase = SettingsPhase::kEraseBegun;
         a->settingsOfThisUnit = true;
         a->stopRequested = true;
         a->result = kCancelled;
       },
       0, DeviceLeft::kFirmwareIncomplete, 5, 130, 0,
       {"waits in its firmware loader", "finish the update", kFile}, {"restore"}, false},
      // A loader found waiting: the earlier file is not yet known to be this unit's.
      {"loader failed on resume",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kLoaderStart;
         a->settingsPhase = SettingsPhase::kEraseBegun;
         a->result = kHandshakeFailed;
       },
       0, DeviceLeft::kFirmwareIncomplete, 5, 130, 0, {"finish the update"},
       {"restore", kFile}, false},
      {"check heard nothing",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kCheck;
         a->result = kNothingListening;
       },
       0, DeviceLeft::kFirmwareIncomplete, 5, 130, 0, {"could not be confirmed"}, {"restore"},
       false},
      {"settings not all back",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kRestore;
         a->settingsPhase = SettingsPhase::kEraseBegun;
         a->settingsOfThisUnit = true;
         a->result = kSettingsNotRestored;
       },
       0, DeviceLeft::kSettingsOwed, 3, 3, 396,
       {"not every setting is back", "The settings are kept in /data/Lurra",
        "Start the update again on Comm Port \"ttyUSB0\" to bring them back",
        "quendal-cli restore --port ttyUSB0 --from \"/data/Lurra Family.settings.txt\""},
       {}, true},
      // The earlier file turned out to be another unit's and was moved aside.
      {"another unit's file",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kRestore;
         a->result = kSettingsNotRestored;
       },
       0, DeviceLeft::kSettingsOwed, 3, 3, 396, {"No settings file of this Lurra Family"},
       {"quendal-cli restore", kFile}, false},
      {"success",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kRestore;
         a->settingsPhase = SettingsPhase::kRestored;
         a->settingsOfThisUnit = true;
         a->result = kOk;
       },
       0, DeviceLeft::kUpdated, 0, 0, 396, {}, {"settings", "restore", "Start"}, false},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateAttempt a = Attempt();
    a.connectResult = c.port;
    c.make(&a);
    const UpdateEnding ending = DecideEnding(a);
    const std::string text = ending.Text();
    EXPECT_EQ(ending.left, c.left);
    EXPECT_EQ(DeviceLeftAfter(a), c.left);
    EXPECT_EQ(ending.firmwareAfter, c.firmwareAfter);
    EXPECT_EQ(cli::ExitStatusOf(a, false), c.status);
    EXPECT_EQ(cli::ExitStatusOf(a, true), c.interruptedStatus);
    for (const std::string& s : c.says) EXPECT_TRUE(Has(text, s)) << s << "\n" << text;
    for (const std::string& s : c.never) EXPECT_FALSE(Has(text, s)) << s << "\n" << text;
    EXPECT_EQ(ending.keptFile, c.kept ? kFile : "");
  }
}

TEST(UpdateEnding, ARestoreSpeaksOfARestore) {
  struct Case {
    Status result;
    DeviceLeft left;
    int status;
    const char* line;  // the console's closing line
    bool kept;
  } cases[] = {
      {kOk, DeviceLeft::kUpdated, 0, "Restore finished in 2 seconds: every setting is back.",
       false},
      {kSettingsFileMissing, DeviceLeft::kUnchanged, 4, "Restore failed (error -102).", false},
      {kWrongDevice, DeviceLeft::kUnchanged, 1, "Restore failed (error -121).", false},
      {kSettingsFileBusy, DeviceLeft::kUnchanged, 7, "Restore failed (error -152).", false},
      {kSettingsNotRestored, DeviceLeft::kSettingsOwed, 3,
       "Restore ended in 2 seconds, but not every setting is back.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    UpdateAttempt a = Attempt(AttemptKind::kRestore);
    a.settingsFile = "/backup/LU-20931.txt";
    a.result = c.result;
    const UpdateEnding ending = DecideEnding(a);
    EXPECT_EQ(ending.left, c.left);
    EXPECT_EQ(ending.firmwareAfter, 390u) << "a restore leaves the firmware";
    EXPECT_EQ(ending.keptFile, c.kept ? "/backup/LU-20931.txt" : "");
    const int status = cli::ExitStatusOf(a, false);
    EXPECT_EQ(status, c.status);

    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    cli::CliOperator ui(false, kBoxCancel, out);
    ui.Result(cli::ResultOf(a, status, 2));
    std::fflush(out);
    std::rewind(out);
    std::string printed;
    for (int ch; (ch = std::fgetc(out)) != EOF;) printed.push_back(static_cast<char>(ch));
    std::fclose(out);
    EXPECT_TRUE(Has(printed, c.line)) << printed;
    EXPECT_FALSE(Has(printed, "Update")) << printed;
    EXPECT_EQ(Has(printed, "quendal-cli restore --port ttyUSB0 --from \"/backup/LU-20931.txt\""),
              c.kept)
        << printed;
  }
}

TEST(UpdateEnding, TheResultEventCarriesStatusFirmwareAndAdvice) {
  UpdateAttempt a = Attempt();
  a.stage = UpdateStage::kRestore;
  a.settingsPhase = SettingsPhase::kEraseBegun;
  a.settingsOfThisUnit = true;
  a.result = kSettingsNotRestored;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  cli::CliOperator ui(true, kBoxCancel, out);
  ui.Result(cli::ResultOf(a, cli::ExitStatusOf(a, false), 7));
  std::fflush(out);
  std::rewind(out);
  char line[2048] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  std::fclose(out);
  const auto event = nlohmann::json::parse(line);
  EXPECT_EQ(event["event"], "result");
  EXPECT_EQ(event["code"], kSettingsNotRestored);
  EXPECT_EQ(event["status"], 3);
  EXPECT_EQ(event["firmwareBefore"], "3.90");
  EXPECT_EQ(event["firmwareAfter"], "3.96");
  EXPECT_EQ(event["left"], "settings not all restored");
  EXPECT_EQ(event["settingsFile"], kFile);
  EXPECT_EQ(event["advice"], DecideEnding(a).advice);

  // Unknown firmware is null, not "0.00".
  UpdateAttempt unknown = Attempt();
  unknown.firmwareBefore = 0;
  unknown.stage = UpdateStage::kUpload;
  unknown.result = kCancelled;
  const cli::RunResult r = cli::ResultOf(unknown, 5, 0);
  EXPECT_EQ(r.firmwareBefore, "");
  EXPECT_EQ(r.firmwareAfter, "");
}

TEST(UpdateEnding, DescribeUpdateRecordsTheAttempt) {
  struct Case {
    const char* name;
    void (*make)(UpdateAttempt*);
    const char* captured;
    const char* restored;
    const char* text;
    std::uint32_t firmwareAfter;
    const char* left;
  } cases[] = {
      {"success",
       [](UpdateAttempt* a) {
         a->settingsCaptured = true;
         a->stage = UpdateStage::kRestore;
         a->result = kOk;
       },
       "all", "all", "Firmware updated and every setting restored", 396, "updated"},
      {"taken up from an earlier file",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kRestore;
         a->result = kSettingsNotRestored;
         a->notRestored = "tadj";
       },
       "earlier", "partial", "Firmware updated; settings not all restored", 396,
       "settings not all restored"},
      {"went on without settings",
       [](UpdateAttempt* a) {
         a->settingsSkipped = true;
         a->stage = UpdateStage::kRestore;
         a->result = kOk;
       },
       "none", "none", "Firmware updated and every setting restored", 396, "updated"},
      {"stopped on request",
       [](UpdateAttempt* a) {
         a->settingsCaptured = true;
         a->stage = UpdateStage::kUpload;
         a->stopRequested = true;
         a->result = kCancelled;
       },
       "all", "none", "Stopped on request", 0, "firmware incomplete"},
      {"cancelled at a question",
       [](UpdateAttempt* a) {
         a->stage = UpdateStage::kSave;
         a->result = kCancelled;
       },
       "none", "none", "Cancelled", 390, "unchanged"},
      {"named by its last error",
       [](UpdateAttempt* a) {
         a->lastErrorCaption = "Batteries Too Low";
         a->result = kBatteryLow;
       },
       "none", "none", "Batteries Too Low", 390, "unchanged"},
      {"only a code", [](UpdateAttempt* a) { a->result = -77; }, "none", "none", "Error -77", 390,
       "unchanged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateAttempt a = Attempt();
    a.device = "Digital Sensor s";
    a.serial = "LU-20931";
    a.start = 1000;
    a.end = 1042;
    a.seconds = 42;
    c.make(&a);
    const UpdateRecord r = DescribeUpdate(a);
    EXPECT_EQ(r.port, "/dev/ttyUSB0");
    EXPECT_EQ(r.device, "Digital Sensor s");
    EXPECT_EQ(r.serial, "LU-20931");
    EXPECT_EQ(r.firmwareBefore, 390u);
    EXPECT_EQ(r.firmwareAfter, c.firmwareAfter);
    EXPECT_EQ(r.settingsCaptured, c.captured);
    EXPECT_EQ(r.settingsRestored, c.restored);
    EXPECT_EQ(r.notRestored, r.settingsRestored == "partial" ? "tadj" : "");
    EXPECT_EQ(r.code, a.result);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.seconds, 42u);
    EXPECT_EQ(r.left, c.left);
    EXPECT_EQ(r.advice, DecideEnding(a).advice);
    const auto line = nlohmann::json::parse(UpdateRecordLine(r));
    EXPECT_EQ(line["left"], c.left);
    EXPECT_EQ(line.contains("advice"), !r.advice.empty());
  }
}

}  // namespace
}  // namespace quendal
