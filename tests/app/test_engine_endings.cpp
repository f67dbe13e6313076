// What an update says when the line, not the device, failed: a frame the port never carried
// is a failed step, a check that heard nothing is no corrupt firmware, and a restore that
// does not read back is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/update_record.h"
#include "app/engine/updater_engine.h"
#include "sim/comm_device.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/pty_transport.h"
#include "tests/app/recording_operator.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/type_image.h"

namespace quendal {
namespace {

// Pulls the adapter out when the update enters a stage.
class PullingOperator : public test::RecordingOperator {
 public:
  void StageEntered(const char* stage) override {
    if (pull && stage == pullAt) {
      pull();
      pull = nullptr;
    }
  }
  std::string pullAt;
  std::function<void()> pull;
};

std::string AllText(const test::RecordingOperator& ui) {
  std::string all;
  for (const test::Shown& s : ui.shown) all += s.caption + ": " + s.text + "\n";
  return all;
}

TEST(LineFaults, SlowVectorsThatNeverLeftThePortAreAFailedStep) {
  test::TempDir dir;
  sim::CommDeviceOptions options;
  ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
  sim::SensorOptions sensor;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &sensor));
  sensor.versionAfterUpdate = 396;
  sensor.address = '3';
  sensor.serialNumber = "LU-20931";
  options.sensor = sensor;
  sim::CommDevice device(std::move(options));
  auto transport = std::make_unique<sim::PtyTransport>(&device);
  ASSERT_EQ(transport->Start(), 1);
  PullingOperator ui;
  BuildSettings build = ThisBuild();
  build.targetType = kTypeDigitalSensor;
  UpdaterEngine engine(&ui, build);
  ASSERT_EQ(EngineStart(&engine, {}, dir.File("data")), 0);
  if (ThisBuild().targetType != kTypeDigitalSensor) {
    ASSERT_GT(OpenFirmwareFile(&engine, QUENDAL_SOURCE_DIR "/firmware/Lurra 3.96.txt"), 0);
  }
  SelectPort(&engine, transport->SlavePath(), "simulated KCD");
  ui.pullAt = "vectors";
  ui.pull = [&] { transport->Stop(); };

  const Status rc = RunUpdate(&engine);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(engine.attempt->stage, UpdateStage::kVectors) << AllText(ui);
  EXPECT_NE(AllText(ui).find("Firmware Upload Error"), std::string::npos) << AllText(ui);
  EXPECT_NE(LeftBehindText(engine).find("waits in its firmware loader"), std::string::npos)
      << LeftBehindText(engine);
  EXPECT_NE(device.WithSensor([](const sim::SdiSensor& s) { return s.version(); }), 396u);

  // Plugged in again under a new name, the next Start finishes.
  transport = std::make_unique<sim::PtyTransport>(&device);
  ASSERT_EQ(transport->Start(), 1);
  SelectPort(&engine, transport->SlavePath(), "simulated KCD");
  ui = PullingOperator{};
  ASSERT_EQ(RunUpdate(&engine), 1) << AllText(ui);
  device.WithSensor([](const sim::SdiSensor& s) {
    EXPECT_EQ(s.version(), 396u);
    EXPECT_EQ(s.serialNumber(), "LU-20931");
    EXPECT_EQ(s.address(), '3');
  });
}

// A Corvel Four on its line, with the settings model behind its shell.
class CorvelBench : public testing::Test {
 protected:
  void SetUp() override {
    sim::InstrumentModelOptions modelOptions;
    modelOptions.type = kTypeCvFour;
    modelOptions.version = 205;
    model_ = std::make_unique<sim::InstrumentSettingsModel>(modelOptions);
    model_->FillInService();
    model_->Set("-sn", "CV-39395");
    model_->Set("-tadj", "-0.12 -1.60");
    device_ = std::make_unique<sim::SimDevice>(sim::OptionsForType(kTypeCvFour, 205));
    device_->SetStartHook([m = model_.get()] { m->Restarted(); });
    device_->SetInfoEraseHook([m = model_.get()] { m->FactoryReset(); });
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
    BuildSettings build;
    build.targetType = kTypeCvFour;
    build.engineVersion = "9.8.7";
    engine_ = std::make_unique<UpdaterEngine>(&ui_, build);
    ASSERT_EQ(EngineStart(engine_.get(), {}, dir_.File("data")), 0);
    const std::string image = dir_.File("CVFOUR 2-10.txt");
    ASSERT_TRUE(test::MakeTypeImage("CVFOUR", image));
    ASSERT_GT(OpenFirmwareFile(engine_.get(), image.c_str()), 0);
    SelectPort(engine_.get(), transport_->SlavePath(), "simulated instrument");
  }
  void TearDown() override {
    engine_.reset();
    transport_.reset();
  }

  test::TempDir dir_;
  PullingOperator ui_;
  std::unique_ptr<sim::InstrumentSettingsModel> model_;
  std::unique_ptr<sim::SimDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
  std::unique_ptr<UpdaterEngine> engine_;
};

TEST_F(CorvelBench, SlowACheckThatHeardNothingIsNoCorruptFirmware) {
  device_->SetShellExtension(model_->Extension());
  ui_.pullAt = "check";
  ui_.pull = [&] { transport_->Stop(); };
  const Status rc = RunUpdate(engine_.get());
  EXPECT_LT(rc, 0);
  const std::string said = AllText(ui_);
  EXPECT_EQ(said.find("is corrupt!"), std::string::npos) << said;
  EXPECT_NE(said.find("Firmware Error: The Corvel Four Firmware Updater was unable to verify the "
                      "new firmware in your Corvel Four.\n\nPlease try again or contact "
                      "Orvelle.\n\n[Error "),
            std::string::npos)
      << said;
  EXPECT_TRUE(device_->SelfTestPasses());
}

TEST_F(CorvelBench, SlowARestoreThatDoesNotReadBackNamesWhatIsMissing) {
  // The device confirms "set -tadj" but keeps its factory value: a write the answers call
  // good and the device does not hold.
  int tadjWrites = 0;
  device_->SetShellExtension(
      [&, inner = model_->Extension()](std::string_view command) -> std::optional<std::string> {
        if (command.rfind("set -tadj", 0) == 0) {
          ++tadjWrites;
          return std::string("OK");
        }
        return inner(command);
      });
  const std::string before = model_->Get("-sn");
  const Status rc = RunUpdate(engine_.get());
  ASSERT_EQ(rc, kSettingsNotRestored) << AllText(ui_);
  EXPECT_EQ(tadjWrites, 2) << "written once more after the first read-back";
  EXPECT_EQ(model_->Get("-sn"), before) << "the rest is back";
  EXPECT_TRUE(std::filesystem::exists(engine_->settingsFilePath)) << "kept for the next try";
  const std::string said = AllText(ui_);
  EXPECT_NE(said.find("does not hold these as they were saved:\ntadj\n"), std::string::npos)
      << said;
  const std::string log = test::ReadWholeFile(dir_.File("data") + "/" +
                                              engine_->WindowCaption() + ".errors.txt");
  EXPECT_NE(log.find("DPRestoreInfo could not restore: tadj"), std::string::npos);
  const UpdateRecord record = DescribeUpdate(*engine_->attempt);
  EXPECT_EQ(record.settingsRestored, "partial");
  EXPECT_EQ(record.notRestored, "tadj");
  EXPECT_NE(UpdateRecordLine(record).find("\"notRestored\":\"tadj\""), std::string::npos);
}

TEST_F(CorvelBench, SlowAValueLongerThanItsFieldStopsTheUpdateBeforeTheErase) {
  device_->SetShellExtension(model_->Extension());
  const std::string tadj(200, '7');
  model_->Set("-tadj", tadj);
  const Status rc = RunUpdate(engine_.get());
  EXPECT_LT(rc, 0);
  const std::string said = AllText(ui_);
  EXPECT_NE(said.find("Settings Error: The Corvel Four Firmware Updater could not keep the "
                      "settings of your Corvel Four: its answer to \"get -tadj\" has 200 "
                      "characters, more than the 128 it can keep"),
            std::string::npos)
      << said;
  EXPECT_EQ(model_->Get("-tadj"), tadj) << "nothing erased";
  EXPECT_EQ(device_->FramesReceived('X'), 0u) << "the loader never erased";
}

}  // namespace
}  // namespace quendal
