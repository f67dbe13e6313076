// The instrument update taken up again: a loader left listening, a device slow to come back
// after the restart, and the settings brought back by the next Start after a failure.
#include "tests/app/instrument_update_fixture.h"

namespace quendal::instrument_tests {

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
    engine_->dontEraseData = c.dontEraseData;
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
    engine_->dontEraseData = true;
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

}  // namespace quendal::instrument_tests
