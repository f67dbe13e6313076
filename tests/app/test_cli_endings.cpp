// What quendal-cli says at the end of an update or a restore, against a simulated comm
// device: no word of settings files where nothing changed, the same update again where the
// firmware is not complete, and this unit's own file where settings are still owed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/comm_device.h"
#include "sim/pty_transport.h"
#include "tests/app/cli_run.h"
#include "tests/support/child_program.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using nlohmann::json;
using test::Cli;
using test::Events;

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

class CliEnding : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::CommDeviceBuild()) GTEST_SKIP() << "an instrument build";
  }
  void Boot(int battery, int errorsBeforeOk = 0) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    sim::SensorOptions lurra;
    ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
    lurra.versionAfterUpdate = 396;
    lurra.address = '3';
    lurra.serialNumber = "LU-20931";
    lurra.errorsBeforeOk = errorsBeforeOk;
    options.sensor = lurra;
    options.battery = battery;
    device_ = std::make_unique<sim::CommDevice>(std::move(options));
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
  }
  std::string Update(const std::string& more) {
    return "update --port " + test::ShellQuote(transport_->SlavePath()) + " --data-dir " +
           test::ShellQuote(dir_.File("data")) + " " + more;
  }
  std::string Kept() { return dir_.File("data") + "/Lurra Family.settings.txt"; }
  std::string SensorFacts() {
    return device_->WithSensor([](const sim::SdiSensor& s) {
      return std::to_string(s.version()) + "|" + std::string(1, s.address()) + "|" +
             s.serialNumber();
    });
  }

  test::TempDir dir_;
  std::unique_ptr<sim::CommDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
};

// Refused before anything changed, with another unit's settings file in the data folder:
// neither the file nor a restore is mentioned.
TEST_F(CliEnding, NothingChangedSaysNothingOfSettings) {
  Boot(9);
  std::filesystem::create_directories(dir_.File("data"));
  { std::ofstream(Kept()) << "type=\"Digital Sensor s\"\r\nunitSerial=\"LU-55555\"\r\n"; }
  struct Case {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {Update("--events"), 4, "Batteries Too Low"},
      {Update(""), 4, "The battery power in the KCD is too low!"},
      {"update --port /dev/quendal-no-such-port --data-dir " + test::ShellQuote(dir_.File("data")) +
           " --events",
       6, "isn't available"},
      {"update --port /dev/quendal-no-such-port --data-dir " + test::ShellQuote(dir_.File("data")),
       6, "isn't available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    test::ProgramRun run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    EXPECT_FALSE(Has(run.output, "settings.txt")) << run.output;
    EXPECT_FALSE(Has(run.output, "restore")) << run.output;
    EXPECT_FALSE(Has(run.output, "kept")) << run.output;
    if (Has(c.args, "--events")) {
      const json result = Events(run.output).back();
      EXPECT_EQ(result["event"], "result");
      EXPECT_EQ(result["status"], c.status);
      EXPECT_EQ(result["left"], "unchanged");
      EXPECT_FALSE(result.contains("advice")) << result.dump();
      EXPECT_FALSE(result.contains("settingsFile")) << result.dump();
    }
  }
  EXPECT_EQ(SensorFacts(), "390|3|LU-20931");
}

// Ctrl-C in the upload leaves the sensor in its loader: the advice is the same update, and
// that update finishes it with the settings back.
TEST_F(CliEnding, SlowInterruptedInTheUploadTheSameUpdateFinishes) {
  Boot(80);
  test::ChildProgram child(
      test::ChildProgram::Exec({QUENDAL_CLI_PATH, "update", "--port", transport_->SlavePath(),
                                "--data-dir", dir_.File("data"), "--events"}));
  ASSERT_TRUE(child.WaitFor("Uploading new firmware code...", 120000)) << child.output;
  ASSERT_TRUE(child.WaitFor("\"value\":40}", 60000)) << child.output;
  child.Signal(SIGINT);
  ASSERT_EQ(child.Wait(120000), 130) << child.output;
  std::vector<json> events = Events(child.output);
  ASSERT_FALSE(events.empty());
  const json result = events.back();
  EXPECT_EQ(result["event"], "result") << child.output;
  EXPECT_EQ(result["status"], 130);
  EXPECT_EQ(result["left"], "firmware incomplete");
  EXPECT_EQ(result["firmwareBefore"], "3.90");
  EXPECT_TRUE(result["firmwareAfter"].is_null());
  const std::string advice = result.value("advice", "");
  EXPECT_TRUE(Has(advice, "Start the update again on Comm Port")) << advice;
  EXPECT_FALSE(Has(advice, "restore")) << advice;
  EXPECT_FALSE(Has(child.output, "quendal-cli restore")) << child.output;
  EXPECT_FALSE(result.contains("settingsFile"));

  test::ProgramRun run = Cli(Update(""));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "Update finished in ")) << run.output;
  EXPECT_EQ(SensorFacts(), "396|3|LU-20931");
}

// A sensor that takes no settings after the update: the advice names this unit's file and
// both ways to finish, in the event and in the text.
TEST_F(CliEnding, SlowSettingsNotAllRestoredNamesThisUnitsFile) {
  Boot(80, 1000);
  test::ProgramRun run = Cli(Update("--events"));
  EXPECT_EQ(run.status, 3) << run.output;
  const json result = Events(run.output).back();
  EXPECT_EQ(result["status"], 3);
  EXPECT_EQ(result["left"], "settings not all restored");
  EXPECT_EQ(result["firmwareAfter"], "3.96");
  EXPECT_EQ(result["settingsFile"], Kept());
  const std::string advice = result.value("advice", "");
  EXPECT_TRUE(Has(advice, "The settings are kept in " + Kept())) << advice;
  EXPECT_TRUE(Has(advice, "Start the update again on Comm Port \"" + transport_->SlavePath() +
                              "\" to bring them back"))
      << advice;
  const std::string restore =
      "quendal-cli restore --port " + transport_->SlavePath() + " --from \"" + Kept() + "\"";
  EXPECT_TRUE(Has(advice, restore)) << advice;

  // The record says the same.
  std::ifstream records(dir_.File("data") + "/updates.jsonl");
  std::string line, last;
  while (std::getline(records, line)) last = line;
  const json record = json::parse(last);
  EXPECT_EQ(record["left"], "settings not all restored");
  EXPECT_EQ(record["advice"], advice);
}

// A restore from a file that is not there names it missing, speaks of a restore, and sends
// the device nothing; its help lists the port statuses it returns.
TEST_F(CliEnding, ARestoreFromAMissingFile) {
  Boot(80);
  const std::string missing = dir_.File("gone.settings.txt");
  test::ProgramRun run =
      Cli("restore --port " + test::ShellQuote(transport_->SlavePath()) + " --from " +
          test::ShellQuote(missing) + " --data-dir " + test::ShellQuote(dir_.File("data")));
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_TRUE(Has(run.output, "The settings file\n" + missing + "\ndoes not exist.")) << run.output;
  EXPECT_TRUE(Has(run.output, "Restore failed")) << run.output;
  EXPECT_FALSE(Has(run.output, "Update")) << run.output;
  EXPECT_EQ(device_->WithSensor([](const sim::SdiSensor& s) { return s.counters().commandsHeard; }),
            0u);

  run = Cli("restore --help");
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* status : {"3 not every setting", "4 nothing written", "6 no such port",
                             "7 the port or the", "8 no permission"}) {
    EXPECT_TRUE(Has(run.output, status)) << status << "\n" << run.output;
  }
}

}  // namespace
}  // namespace quendal
