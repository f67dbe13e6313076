// The instrument update of a data logger, whose data erase checks the logger's name first.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/engine/updater_engine.h"
#include "sim/logger_shell.h"
#include "sim/pty_transport.h"
#include "tests/app/recording_operator.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::RecordingOperator;

// A new logger that was never given a name fails the erase's identity check every time;
// the update still succeeds and says what the operator can do, where a named logger's data
// is erased without a word.
// A Tarnx image with the flash layout of its device type.
std::string MakeTarnxImage(const test::TempDir& dir) {
  const std::string image = dir.File("TARNX 2-10.txt");
  DeviceProfile layout;
  DescribeDevice(kTypeTarnx, 0, &layout);
  char options[96];
  std::snprintf(options, sizeof options, " --flash 0x%X-0xF9FF --info 0x%X:%u --segments 40 ",
                static_cast<unsigned>(layout.flashStart), static_cast<unsigned>(layout.infoStart),
                static_cast<unsigned>(layout.infoSegments * layout.infoSegmentSize));
  const int made = std::system((test::ShellQuote(QUENDAL_MKIMAGE_PATH) + options +
                                test::ShellQuote(image) + " >/dev/null")
                                   .c_str());
  EXPECT_EQ(made, 0);
  return image;
}

TEST(LoggerUpdate, SlowDataEraseOfALoggerWithoutAName) {
  test::TempDir dir;
  const std::string image = MakeTarnxImage(dir);
  struct Case {
    const char* name;
    bool factoryFresh;
    std::string captions;
  } cases[] = {
      {"named", false, ""},
      {"never initialised", true, "Data Not Erased"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::LoggerOptions options = sim::LoggerOptionsFor(sim::LoggerKind::kTarnx);
    options.factoryFresh = c.factoryFresh;
    options.records = 500;
    sim::SimLogger logger(options);
    sim::PtyTransport transport(&logger);
    ASSERT_EQ(transport.Start(), 1);
    RecordingOperator ui;
    ui.answers = {kBoxOk, kBoxOk, kBoxOk};
    BuildSettings build;
    build.targetType = kTypeTarnx;
    build.engineVersion = "9.8.7";
    UpdaterEngine engine(&ui, build);
    ASSERT_EQ(EngineStart(&engine, {"-factory"}, dir.File(c.name)), 0);
    ASSERT_GT(OpenFirmwareFile(&engine, image.c_str()), 0);
    SelectPort(&engine, transport.SlavePath(), "simulated logger");
    ASSERT_EQ(RunUpdate(&engine), 1) << ui.Captions();
    EXPECT_TRUE(logger.Device().SelfTestPasses());
    std::string captions;
    for (const test::Shown& s : ui.shown) {
      if (s.caption == "Settings Retrieve Error") continue;  // a new logger has nothing to save
      captions += (captions.empty() ? "" : ", ") + s.caption;
      EXPECT_EQ(s.text.find("try again"), std::string::npos) << s.text;
    }
    EXPECT_EQ(captions, c.captions);
    if (!c.factoryFresh) {
      EXPECT_EQ(logger.Records(), 0u) << "erased";
    } else {
      ASSERT_FALSE(ui.shown.empty());
      EXPECT_EQ(ui.shown.back().kind, kMessageWarning);
      EXPECT_EQ(ui.shown.back().text,
                "The Tarnx Firmware Updater did not erase the data in your Tarnx because it has "
                "not been initialised yet (it has no name).\n\nThe new firmware is installed. "
                "Initialise the Tarnx with your logger software, and erase its data there if "
                "needed.");
    }
  }
}

// A text that the settings file could not hold whole (longer than its field, or with a NUL)
// stops the update before the loader, named, and the logger keeps its firmware and values.
TEST(LoggerUpdate, SlowATextTheSettingsCannotHoldStopsTheUpdateBeforeTheErase) {
  test::TempDir dir;
  const std::string image = MakeTarnxImage(dir);
  const struct Case {
    const char* key;
    std::string value;
    const char* named;
  } cases[] = {
      {"site", std::string(30, 's'),
       "its answer to \"get -site\" has 30 characters, more than the 25 it can keep"},
      {"site", std::string("North\0Field", 11),
       "its site \"North\\0Field\" holds a line break or control character"},
      {"passwd", "pw-" + std::string(40, 'x'),
       "its answer to \"get -passwd\" has 43 characters, more than the 35 it can keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    sim::LoggerOptions options = sim::LoggerOptionsFor(sim::LoggerKind::kTarnx);
    sim::SimLogger logger(options);
    logger.ForceSetting(c.key, c.value);
    sim::PtyTransport transport(&logger);
    ASSERT_EQ(transport.Start(), 1);
    RecordingOperator ui;
    ui.answers = {kBoxOk, kBoxOk, kBoxOk};
    BuildSettings build;
    build.targetType = kTypeTarnx;
    build.engineVersion = "9.8.7";
    UpdaterEngine engine(&ui, build);
    const std::string data = dir.File(std::string(c.key) + std::to_string(c.value.size()));
    ASSERT_EQ(EngineStart(&engine, {"-factory"}, data), 0);
    ASSERT_GT(OpenFirmwareFile(&engine, image.c_str()), 0);
    SelectPort(&engine, transport.SlavePath(), "simulated logger");
    EXPECT_LT(RunUpdate(&engine), 0);
    const test::Shown* error = nullptr;
    for (const test::Shown& s : ui.shown)
      if (s.caption == "Settings Error") error = &s;
    ASSERT_NE(error, nullptr) << ui.Captions();
    EXPECT_NE(error->text.find(c.named), std::string::npos) << error->text;
    EXPECT_EQ(logger.Device().FramesReceived('X'), 0u) << "the loader never erased";
    EXPECT_EQ(logger.Setting(c.key), c.value);
    EXPECT_TRUE(logger.Device().SelfTestPasses());
    const std::string log = test::ReadWholeFile(engine.errorFilePath);
    EXPECT_EQ(log.find("pw-xxx"), std::string::npos) << "no secret in the log";
  }
}

}  // namespace
}  // namespace quendal
