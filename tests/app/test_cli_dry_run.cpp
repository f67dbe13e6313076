// What the console says about the device before anything is written: the dry run, the
// same version as the image, and the figures behind a refusal, against a simulated comm
// device with a Lurra sensor.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/comm_device.h"
#include "sim/pty_transport.h"
#include "tests/app/cli_run.h"
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

class CliBeforeWrite : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::CommDeviceBuild()) GTEST_SKIP() << "an instrument build";
  }
  void Boot(int battery, std::uint32_t version) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    sim::SensorOptions lurra;
    ASSERT_TRUE(sim::SensorOptionsForType('s', version, &lurra));
    lurra.versionAfterUpdate = 396;
    lurra.address = '3';
    lurra.serialNumber = "LU-20931";
    options.sensor = lurra;
    options.battery = battery;
    device_ = std::make_unique<sim::CommDevice>(std::move(options));
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
  }
  std::string Port() { return test::ShellQuote(transport_->SlavePath()); }
  std::string Data() { return test::ShellQuote(dir_.File("data")); }
  std::string Update(const std::string& more) {
    return "update --port " + Port() + " --data-dir " + Data() + " " + more;
  }
  // Version, address, serial number, loader starts and loader frames taken.
  std::string SensorFacts() {
    return device_->WithSensor([](const sim::SdiSensor& s) {
      return std::to_string(s.version()) + "|" + std::string(1, s.address()) + "|" +
             s.serialNumber() + "|" + std::to_string(s.counters().loaderStarts) + "|" +
             std::to_string(s.counters().framesAccepted);
    });
  }
  // Every file under the data folder but the log and the lock, with its bytes.
  std::string DataFiles() {
    std::string listing;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.File("data"), ec)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = entry.path().filename().string();
      if (Has(name, ".errors.txt") || Has(name, ".lock")) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      listing += entry.path().string() + "=" + bytes.str() + "\n";
    }
    return listing;
  }

  test::TempDir dir_;
  std::unique_ptr<sim::CommDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
};

// A dry run reads what an update reads and says what it would do; the sensor, its settings
// and the data folder (another unit's kept file included) are as they were, and the update
// after it still runs from the start.
TEST_F(CliBeforeWrite, DryRunWritesNothing) {
  Boot(87, 390);
  std::filesystem::create_directories(dir_.File("data"));
  {
    std::ofstream(dir_.File("data") + "/Lurra Family.settings.txt")
        << "type=\"Digital Sensor s\"\r\nunitSerial=\"LU-55555\"\r\n";
  }
  const std::string before = DataFiles();
  const std::string would =
      "would update the Lurra Family (type s) from 3.90 to 3.96; settings: 8 to keep";

  test::ProgramRun text = Cli(Update("--dry-run"));
  EXPECT_EQ(text.status, 0) << text.output;
  EXPECT_TRUE(Has(text.output, "Dry run: " + would + ".")) << text.output;
  EXPECT_TRUE(Has(text.output, "nothing was written to the device")) << text.output;
  EXPECT_FALSE(Has(text.output, "Update finished")) << text.output;

  test::ProgramRun events = Cli(Update("--dry-run --events"));
  EXPECT_EQ(events.status, 0) << events.output;
  const json result = Events(events.output).back();
  EXPECT_EQ(result["event"], "result");
  EXPECT_EQ(result["dryRun"], true);
  EXPECT_EQ(result["wouldDo"], would);
  EXPECT_EQ(result["left"], "unchanged");
  EXPECT_EQ(result["firmwareAfter"], "3.90");
  EXPECT_FALSE(result.contains("settingsFile")) << result.dump();

  EXPECT_EQ(SensorFacts(), "390|3|LU-20931|0|0");
  EXPECT_EQ(DataFiles(), before);

  // A refusal ends a dry run with its own status and still leaves nothing behind.
  test::ProgramRun refused = Cli(Update("--dry-run --sensor-type z --answer cancel"));
  EXPECT_EQ(refused.status, 4) << refused.output;
  EXPECT_TRUE(Has(refused.output, "could not go ahead")) << refused.output;
  EXPECT_FALSE(Has(refused.output, "would update")) << refused.output;
  EXPECT_EQ(DataFiles(), before);

  std::filesystem::remove(dir_.File("data") + "/Lurra Family.settings.txt");
  test::ProgramRun update = Cli(Update(""));
  EXPECT_EQ(update.status, 0) << update.output;
  EXPECT_EQ(SensorFacts().substr(0, 11), "396|3|LU-20");
}

// The lines that tell the operator what was found: the same version before a re-flash that
// goes on, the battery's figures, and an attached family member by its family's name.
TEST_F(CliBeforeWrite, SaysWhatItFound) {
  struct Case {
    int battery;
    std::uint32_t version;
    std::string more;
    int status;
    std::string says;
    std::string never;
  } cases[] = {
      {87, 396, "", 0, "The Lurra Family already runs firmware 3.96, the version in this updater",
       "Update failed"},
      {87, 390, "", 0, "Update finished", "already runs"},
      {9, 390, "", 4, "The battery reads 9 %; an update needs at least 10 %.", "would update"},
      {9, 390, "--dry-run", 4, "The battery reads 9 %; an update needs at least 10 %.",
       "would update"},
      {87, 390, "--sensor-type z --answer cancel", 4,
       "The attached sensor is claiming to be a \"Lurra Family (type s)\"", "Unknown Sensor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.more + " battery " + std::to_string(c.battery) + " version " +
                 std::to_string(c.version));
    Boot(c.battery, c.version);
    test::ProgramRun run = Cli(Update(c.more));
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    EXPECT_FALSE(Has(run.output, c.never)) << run.output;
    transport_.reset();
    device_.reset();
  }
}

}  // namespace
}  // namespace quendal
