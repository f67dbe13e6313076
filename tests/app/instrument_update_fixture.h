#pragma once
// The bench of the instrument update tests: a simulated Corvel Four (or another type) over a
// pseudo-terminal, its settings model, and the engine of the build that updates it.
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

namespace quendal::instrument_tests {

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
    EXPECT_EQ(DPConnect(engine_->session.get(), engine_->selectedPortName.c_str(), 2, 3, &profile),
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

}  // namespace quendal::instrument_tests
