// quendal-cli update and demo: the event stream, the human output and the exit codes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/engine/updater_engine.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"
#include "tests/app/cli_run.h"
#include "tests/support/eventually.h"
#include "tests/support/child_program.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using nlohmann::json;

using test::Cli;
using test::CommDeviceBuild;
using test::Events;

TEST(CliUpdate, SlowDemoEventStream) {
  if (!CommDeviceBuild()) GTEST_SKIP() << "an instrument build";
  test::ProgramRun run = Cli("demo --events");
  ASSERT_EQ(run.status, 0) << run.output;
  std::vector<json> events = Events(run.output);
  ASSERT_GE(events.size(), 10u);
  EXPECT_EQ(events.back(), (json{{"event", "result"},
                                 {"code", 1},
                                 {"seconds", events.back()["seconds"]},
                                 {"settingsRestored", true},
                                 {"status", 0},
                                 {"firmwareBefore", "3.90"},
                                 {"firmwareAfter", "3.96"},
                                 {"left", "updated"},
                                 {"device", "Digital Sensor s"},
                                 {"serial", "LU-20931"}}));
  EXPECT_TRUE(events.back()["seconds"].is_number_unsigned());
  int lastProgress = -1;
  std::vector<std::string> statuses;
  for (const json& e : events) {
    EXPECT_NE(e["event"], "message") << e.dump();
    if (e["event"] == "progress") {
      int value = e["value"].get<int>();
      EXPECT_GE(value, lastProgress);
      EXPECT_LE(value, 100);
      lastProgress = value;
    }
    if (e["event"] == "status") statuses.push_back(e["text"].get<std::string>());
  }
  EXPECT_EQ(lastProgress, 100);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), "Connecting to Lurra Family...");
  EXPECT_EQ(statuses.back().rfind("Successfully updated firmware in ", 0), 0u);

  // The demo's data folder goes with it, unless it is asked to keep it.
  const char* tmp = std::getenv("TMPDIR");
  ASSERT_TRUE(tmp && *tmp);
  auto demoFolders = [tmp] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(tmp)) {
      if (entry.path().filename().string().rfind("quendal-demo-", 0) == 0)
        found.push_back(entry.path().string());
    }
    return found;
  };
  EXPECT_TRUE(demoFolders().empty());
  run = Cli("demo --keep");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> kept = demoFolders();
  ASSERT_EQ(kept.size(), 1u) << run.output;
  EXPECT_NE(run.output.find("Kept: " + kept[0] + " ("), std::string::npos) << run.output;
  EXPECT_TRUE(std::filesystem::exists(kept[0] + "/Lurra Family Firmware Updater.errors.txt"));
  std::filesystem::remove_all(kept[0]);
}

class CliDevice : public testing::Test {
 protected:
  void SetUp() override {
    if (!CommDeviceBuild()) GTEST_SKIP() << "an instrument build";
  }
  void Boot(sim::SensorOptions sensor, int battery) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    options.sensor = std::move(sensor);
    options.battery = battery;
    device_ = std::make_unique<sim::CommDevice>(std::move(options));
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
  }
  std::string Update(const std::string& more) {
    return "update --port " + test::ShellQuote(transport_->SlavePath()) + " --data-dir " +
           test::ShellQuote(dir_.File("data")) + " " + more;
  }

  test::TempDir dir_;
  std::unique_ptr<sim::CommDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
};

TEST_F(CliDevice, RefusalEventsAndExitStatus) {
  Boot(sim::SensorOptions{}, 9);
  test::ProgramRun run = Cli(Update("--events"));
  EXPECT_EQ(run.status, 4) << run.output;  // refused before anything was changed
  std::vector<json> events = Events(run.output);
  std::vector<json> messages;
  for (const json& e : events) {
    if (e["event"] == "message") messages.push_back(e);
  }
  ASSERT_EQ(messages.size(), 1u) << run.output;
  EXPECT_EQ(messages[0],
            (json{{"event", "message"},
                  {"caption", "Batteries Too Low"},
                  {"kind", "error"},
                  {"text",
                   "The battery power in the KCD is too low!\n\nPlease replace the batteries "
                   "before running this updater.\n\nThe battery reads 9 %; an update needs "
                   "at least 10 %."}}));
  EXPECT_EQ(events.back()["event"], "result");
  EXPECT_EQ(events.back()["code"], -130);
  EXPECT_EQ(run.output.rfind("{\"event\":", 0), 0u) << "the event name leads each line";
}

// -q leaves errors and the result; -v adds the log's lines as they are written.
TEST_F(CliDevice, SlowQuietAndVerbose) {
  auto lines = [](const std::string& text) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) found.push_back(line);
    }
    return found;
  };
  Boot(sim::SensorOptions{}, 9);
  test::ProgramRun run = Cli(Update("-q"));
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_NE(run.output.find("[Batteries Too Low] (error)"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Update failed (error -130)."), std::string::npos) << run.output;
  for (const char* chatter : {"Status:", "Phase:", "Progress:"})
    EXPECT_EQ(run.output.find(chatter), std::string::npos) << chatter << "\n" << run.output;

  transport_.reset();  // it serves the device it was made for
  Boot(sim::SensorOptions{}, 80);
  run = Cli(Update("--quiet"));
  EXPECT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> quiet = lines(run.output);
  ASSERT_EQ(quiet.size(), 1u) << run.output;
  EXPECT_EQ(quiet[0].rfind("Update finished in ", 0), 0u) << run.output;

  run = test::RunProgram("(" + test::CliCommand(Update("-v")) + " 2>&1 >/dev/null)");
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string log =
      test::ReadWholeFile(dir_.File("data") + "/Lurra Family Firmware Updater.errors.txt");
  const std::regex stamp("^[0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} - .*");
  int logLines = 0;
  for (const std::string& line : lines(run.output)) {
    if (!std::regex_match(line, stamp)) continue;
    ++logLines;
    EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line;
  }
  EXPECT_GE(logLines, 20) << run.output;

  run = Cli(Update("-q -v"));
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find("give -q or -v, not both"), std::string::npos) << run.output;
}

TEST_F(CliDevice, QuestionsAreAnsweredByTheOption) {
  sim::SensorOptions bremo;
  ASSERT_TRUE(sim::SensorOptionsForType('z', 0, &bremo));
  Boot(bremo, 80);
  test::ProgramRun run = Cli(Update(""));
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_NE(run.output.find("[Wrong Sensor Type] (question)\nThe attached sensor is claiming to "
                            "be a \"Bremo Sensor\""),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Answer: Cancel"), std::string::npos);
  EXPECT_NE(run.output.find("Status: Checking KCD battery power..."), std::string::npos);

  // With Bremo selected the target is named after it (the battery stops this run early).
  device_->SetBattery(3);
  run = Cli(Update("--events --sensor-type 122"));
  std::vector<json> events = Events(run.output);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[1]["text"], "Connecting to Bremo Sensor...");
  EXPECT_EQ(events.back()["code"], -130);
}

// A restore that fell short has its own exit status and names the file it kept; the copy of
// the capture goes back into the same sensor, and into no other.
TEST_F(CliDevice, SlowSettingsNotAllRestoredAndTheRestoreCommand) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.versionAfterUpdate = 396;
  lurra.address = '3';
  lurra.serialNumber = "LU-20931";
  lurra.errorsBeforeOk = 1000;
  Boot(lurra, 80);
  auto facts = [this] {
    return device_->WithSensor([](const sim::SdiSensor& s) {
      return std::string(1, s.address()) + "|" + s.serialNumber() + "|" + s.x4();
    });
  };
  const std::string before = facts();
  test::ProgramRun run = Cli(Update("--events"));
  EXPECT_EQ(run.status, 3) << run.output;
  std::vector<json> events = Events(run.output);
  ASSERT_FALSE(events.empty());
  const std::string kept = dir_.File("data") + "/Lurra Family.settings.txt";
  EXPECT_EQ(events.back()["code"], kSettingsNotRestored);
  EXPECT_EQ(events.back()["settingsRestored"], false);
  EXPECT_EQ(events.back()["settingsFile"], kept);
  EXPECT_NE(facts(), before);

  run = Cli(Update(""));  // the human form says the same
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("not every setting was restored"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("The settings are kept in " + kept), std::string::npos);

  std::vector<std::string> copies;
  for (const auto& entry :
       std::filesystem::directory_iterator(dir_.File("data") + "/unit-settings")) {
    copies.push_back(entry.path().string());
  }
  ASSERT_FALSE(copies.empty());
  const std::string restore = "restore --port " + test::ShellQuote(transport_->SlavePath()) +
                              " --data-dir " + test::ShellQuote(dir_.File("data")) + " --from " +
                              test::ShellQuote(copies.front());

  // A port that is not there is the port's own status, as for an update.
  run = Cli("restore --port /dev/quendal-no-such-port --data-dir " +
            test::ShellQuote(dir_.File("data")) + " --from " + test::ShellQuote(copies.front()));
  EXPECT_EQ(run.status, 6) << run.output;
  // Said once, by the restore's own message; the console adds where to look.
  EXPECT_NE(run.output.find("isn't available"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("does not exist"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("see 'quendal-cli ports'"), std::string::npos) << run.output;

  // Another sensor refuses the copy; nothing is written into it.
  sim::SensorOptions other = lurra;
  other.serialNumber = "LU-77777";
  other.errorsBeforeOk = 0;
  device_->AttachSensor(other);
  const std::string otherBefore = facts();
  run = Cli(restore);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("[Wrong Device]"), std::string::npos) << run.output;
  EXPECT_EQ(facts(), otherBefore);

  // The same sensor, now taking settings, gets every one back.
  lurra.errorsBeforeOk = 0;
  lurra.address = '0';
  lurra.serialNumber.clear();
  lurra.x4.clear();
  device_->AttachSensor(lurra);
  run = Cli(restore + " --events");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(facts(), before);
}

// A second interrupt ends the program at once, and the comm device is back in its shell.
TEST_F(CliDevice, SlowSecondInterruptEndsAtOnce) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  Boot(lurra, 80);
  test::ChildProgram child(
      test::ChildProgram::Exec({QUENDAL_CLI_PATH, "update", "--port", transport_->SlavePath(),
                                "--data-dir", dir_.File("data"), "--events"}));
  ASSERT_TRUE(child.WaitFor("Uploading new firmware code...", 120000)) << child.output;
  ASSERT_TRUE(child.WaitFor("\"value\":40}", 60000)) << child.output;
  const auto start = std::chrono::steady_clock::now();
  child.Signal(SIGINT);
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(60000), 130) << child.output;
  // Not a word after the upload: the rest of it never went out.
  EXPECT_EQ(child.output.find("Restarting"), std::string::npos) << child.output;
  EXPECT_FALSE(device_->WithSensor([](const sim::SdiSensor& s) { return s.SelfTestPasses(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("data") + "/Lurra Family.settings.txt"));
  test::Eventually([&] { return device_->Mode() == sim::CommMode::kShell; });
  EXPECT_EQ(device_->Mode(), sim::CommMode::kShell) << "the grave accent went out";
}

// A reader that goes away (quendal-cli update | head) stops the printing, not the update.
TEST_F(CliDevice, SlowClosedOutputOnlyStopsThePrinting) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.versionAfterUpdate = 396;
  Boot(lurra, 80);
  const std::string statusFile = dir_.File("status");
  test::ProgramRun run =
      test::RunProgram("(" + test::ShellQuote(QUENDAL_CLI_PATH) + " " + Update("") +
                       " </dev/null; echo $? >" + test::ShellQuote(statusFile) + ") | head -c 1");
  EXPECT_EQ(test::ReadWholeFile(statusFile), "0\n") << run.output;
  EXPECT_TRUE(device_->WithSensor([](const sim::SdiSensor& s) { return s.SelfTestPasses(); }));
  EXPECT_EQ(device_->WithSensor([](const sim::SdiSensor& s) { return s.version(); }), 396u);
}

TEST(CliUpdate, HelpListsTheExitStatuses) {
  test::ProgramRun run = Cli("help");
  EXPECT_EQ(run.status, 0);
  for (const char* line :
       {"  0    success", "  1    the operation failed", "  2    usage error",
        "  3    the firmware was updated", "  4    refused before anything on the device",
       "  5    failed after the device left its firmware", "  6    the port does not exist",
       "  7    the port is in use", "  8    no permission to open the port",
       "  130  the update was interrupted"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
}

TEST(CliUpdate, UsageErrors) {
  struct Case {
    std::string args;
    std::string text;
  } cases[] = {
      {"update", "option --port is needed"},
      {"update --port x --answer maybe", "option --answer takes ok or cancel"},
      {"update --port x --sensor-type 7", "sensor type '7'"},  // in every build
      {"update --port x --bogus", "unexpected argument '--bogus'"},
      {"demo --port x", "unexpected argument '--port'"},
      {"restore --port x", "option --from is needed"},
      {"restore --from f", "option --port is needed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    test::ProgramRun run = Cli(c.args);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find(c.text), std::string::npos) << run.output;
  }
}

}  // namespace
}  // namespace quendal
