// The instrument update as the Start handler of an instrument build runs it, against a
// simulated Corvel Four over a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/updater_engine.h"
#include "host/timing.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/pty_transport.h"
#include "tests/app/recording_operator.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::RecordingOperator;

constexpr const char* kCaption = "Corvel Four Firmware Updater";

class InstrumentUpdate : public testing::Test {
 protected:
  void Boot(std::uint32_t version, bool filled, std::vector<std::string> switches = {},
            std::uint32_t restartMs = 0) {
    engine_.reset();
    transport_.reset();
    device_.reset();
    sim::InstrumentModelOptions modelOptions;
    modelOptions.type = kTypeCvFour;
    modelOptions.version = version;
    model_ = std::make_unique<sim::InstrumentSettingsModel>(modelOptions);
    // Some settings holding nothing make the capture fail.
    if (filled) {
      for (const std::string& key : model_->Keys()) {
        model_->Set(key, model_->IsNumberKey(key) ? "7" : "v" + key.substr(1));
      }
    }
    model_->Set("-sn", "SN-4417-A");
    model_->Set("-config", "1000");
    sim::DeviceOptions options = sim::OptionsForType(kTypeCvFour, version);
    options.restartMs = restartMs;
    device_ = std::make_unique<sim::SimDevice>(options);
    device_->SetShellExtension(model_->Extension());
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
    ui_ = RecordingOperator{};
    BuildSettings build;
    build.targetType = kTypeCvFour;
    build.engineVersion = "9.8.7";
    engine_ = std::make_unique<UpdaterEngine>(&ui_, build);
    ASSERT_EQ(EngineStart(engine_.get(), switches, dir_.File("data")), 0);
    SelectPort(engine_.get(), transport_->SlavePath(), "simulated CVFOUR");
  }
  // An image made for the Corvel Four's layout, whose check block its self-test finds.
  void OpenCorvelImage() {
    const std::string image = dir_.File("CVFOUR 2-10.txt");
    ASSERT_EQ(std::system((test::ShellQuote(QUENDAL_MKIMAGE_PATH) +
                           " --flash 0x2100-0xF9FF --info 0x1000:192 --segments 40 " +
                           test::ShellQuote(image) + " >/dev/null")
                              .c_str()),
              0);
    ASSERT_GT(OpenFirmwareFile(engine_.get(), image.c_str()), 0);
    ASSERT_EQ(engine_->imageVersion, 210u);
  }
  std::string LogText() const {
    return test::ReadWholeFile(dir_.File("data") + "/" + kCaption + ".errors.txt");
  }
  bool Heard(const std::string& command) const {
    std::vector<std::string> commands = model_->Commands();
    return std::find(commands.begin(), commands.end(), command) != commands.end();
  }

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
  const std::uint32_t start = DSTicks();
  ASSERT_EQ(RunUpdate(engine_.get()), 1) << ui_.Captions() << "\n" << LogText();
  EXPECT_GE(DSTicks() - start, 8000u) << "the type's restart wait";
  EXPECT_EQ(device_->Counters().restarts, 1u);
  EXPECT_TRUE(device_->SelfTestPasses());
  EXPECT_TRUE(Heard("set -sn SN-4417-A")) << "restored from the capture";
  EXPECT_EQ(model_->Get("-sn"), "SN-4417-A");
  EXPECT_FALSE(std::filesystem::exists(engine_->settingsFilePath));
  for (int position : {2, 4, 6, 8, 21, 92, 94, 96, 98, 100}) {
    EXPECT_TRUE(ui_.Reached(position)) << position;
  }
  // The held "adc" is not the calibrated one: the notice is due, but the Corvel Four has none.
  EXPECT_TRUE(engine_->profile.calibrationNotice);
  EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
  EXPECT_EQ(ui_.statuses[1], "Saving settings for this Corvel Four...");
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
  const std::uint32_t start = DSTicks();
  EXPECT_LT(RunUpdate(engine_.get()), 0);
  const std::uint32_t elapsed = DSTicks() - start;
  EXPECT_GE(elapsed, 8000u + 1500u + 3000u);
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

}  // namespace
}  // namespace quendal
