// The digital-sensor update as the Start handler runs it, against the simulated comm
// device and its sensor over a pseudo-terminal: the update, its refusals and its resumption.
#include "tests/app/sensor_update_fixture.h"
#include "tests/support/eventually.h"

namespace quendal::sensor_tests {

TEST_F(SensorUpdate, FullUpdateKeepsTheSensorsSettings) {
  Boot(Lurra());
  const SensorFacts before = Facts();
  ASSERT_FALSE(before.x4.empty());

  ASSERT_EQ(Start(), 1) << ui_.Captions() << "\n" << LogText();

  const SensorFacts after = Facts();
  ExpectKept(before, after);
  EXPECT_EQ(after.updates, 1u);
  EXPECT_FALSE(SettingsFileExists()) << "deleted after success";
  EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
  // The grave accent is the sequence's last byte: the device may still be taking it.
  test::Eventually([&] { return device_->Mode() == sim::CommMode::kShell; });
  EXPECT_EQ(device_->Mode(), sim::CommMode::kShell) << "the comm device is handed back";

  const std::vector<std::string> expected = {
      "Connecting to Lurra Family...",
      "Checking KCD battery power...",
      "Saving settings for this digital sensor...",
      "Starting the firmware loader...",
      "Erasing firmware memory...",
      "Uploading new firmware code...",
      "Restarting the Lurra Family, please wait...",
      "Checking new firmware...",
      "Restoring settings...",
  };
  ASSERT_EQ(ui_.statuses.size(), expected.size() + 1);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(ui_.statuses[i], expected[i]);
  const std::string& done = ui_.statuses.back();
  EXPECT_EQ(done.rfind("Successfully updated firmware in ", 0), 0u) << done;
  EXPECT_EQ(done.substr(done.size() - 9), " seconds.");

  for (int position : {2, 4, 6, 8, 21, 92, 94, 96, 98, 100}) {
    EXPECT_TRUE(ui_.Reached(position)) << position;
  }
  int lastBeforeRestart = 0;
  for (std::size_t i = 1; i < ui_.progress.size(); ++i) {
    EXPECT_GE(ui_.progress[i], ui_.progress[i - 1]) << "at " << i;
    if (ui_.progress[i] < 92) lastBeforeRestart = ui_.progress[i];
  }
  EXPECT_GE(lastBeforeRestart, 88) << "the upload moves the bar to about 90";
  EXPECT_LE(lastBeforeRestart, 91);
  EXPECT_EQ(ui_.beeps, std::vector<int>{64});
  EXPECT_EQ(ui_.connectText, "You may disconnect your Lurra Family now.");
  EXPECT_NE(LogText().find("Quendal Host: Finished updating device in "), std::string::npos);
}

TEST_F(SensorUpdate, RefusalsBeforeTheLoader) {
  sim::SensorOptions bremo;
  ASSERT_TRUE(sim::SensorOptionsForType('z', 0, &bremo));
  sim::SensorOptions noLoader = Lurra();
  noLoader.hasLoader = false;
  const std::string lowBattery =
      "The battery power in the KCD is too low!\n\nPlease replace the batteries before running "
      "this updater.\n\nThe battery reads 9 %; an update needs at least 10 %.";
  struct Case {
    const char* name;
    sim::SensorOptions sensor;
    int battery;
    int answer;
    Status result;
    std::string caption;
    std::string text;  // the start of the message
  } cases[] = {
      {"battery 9", Lurra(), 9, kBoxCancel, kBatteryLow, "Batteries Too Low", lowBattery},
      // 10 % goes on: the sensor type question comes next.
      {"wrong type, cancel", bremo, 10, kBoxCancel, kCancelled, "Wrong Sensor Type",
       "The attached sensor is claiming to be a \"Bremo Sensor\"\n\nThis firmware updater is for "
       "a \"Lurra Family\".\n\nAre you sure you want to load the firmware for a Lurra Family?\n"},
      // A battery that cannot be read does not stop the update either.
      {"battery unreadable", bremo, -1, kBoxCancel, kCancelled, "Wrong Sensor Type",
       "The attached sensor is claiming to be a \"Bremo Sensor\"\n\nThis firmware updater is for "
       "a \"Lurra Family\".\n\nAre you sure you want to load the firmware for a Lurra Family?\n"},
      {"no loader", noLoader, 87, kBoxCancel, kNoSensorLoader, "Firmware Loader Error",
       "This digital sensor does not have a working firmware loader.\n\nPlease contact Orvelle "
       "for help."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Boot(c.sensor, {}, c.battery);
    ui_.answers = {c.answer};
    const SensorFacts before = Facts();
    EXPECT_EQ(RunUpdate(engine_.get()), c.result) << LogText();
    ASSERT_FALSE(ui_.shown.empty());
    EXPECT_EQ(ui_.shown.back().caption, c.caption);
    EXPECT_EQ(ui_.shown.back().text, c.text);
    EXPECT_TRUE(ui_.statusHidden);
    EXPECT_EQ(ui_.progress.back(), 0);
    EXPECT_EQ(ui_.connectText, "Connect KCD to computer comm port.");
    EXPECT_EQ(Facts().updates, 0u);
    EXPECT_EQ(Facts().address, before.address);
    test::Eventually([&] { return device_->Mode() == sim::CommMode::kShell; });
    EXPECT_EQ(device_->Mode(), sim::CommMode::kShell) << "the grave accent ends a failure";
  }
  EXPECT_NE(LogText().find("ErrorOK Told User:: This digital sensor does not have"),
            std::string::npos)
      << LogText();
}

// A file that cannot fit a sensor is refused before the port is opened: the sensor keeps its
// firmware and settings, and no loader frame reaches it.
TEST_F(SensorUpdate, AnImageThatDoesNotFitLeavesTheSensorUntouched) {
  std::string across = "@F9F0\n";
  for (int i = 0; i < 64; ++i) across += "5A ";
  struct Case {
    const char* what;
    std::string file;
    const char* says;
  } cases[] = {
      {"a data logger's layout", "@1100\n01 02 03 04\n@8000\n05 06\n@FFFE\n00 80\nq\n",
       "another device's memory layout"},
      {"only the vectors", "@FFE0\n00 80 00 80\n@FFFE\n00 80\nq\n", "no program data"},
      {"a segment across 0xFA00", across + "\n@FFFE\n00 80\nq\n", "loader's area"},
      {"an address above 0xFFFF", "@8000\n01 02\n@1A000\n03 04\n@FFFE\n00 80\nq\n",
       "no extended addresses"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Boot(Lurra());
    const std::string path = dir_.File("Lurra 3-97.txt");
    test::WriteWholeFile(path, c.file);
    ASSERT_GT(OpenFirmwareFile(engine_.get(), path.c_str()), 0) << engine_->host->loadProblem;
    const SensorFacts before = Facts();

    EXPECT_EQ(Start(), kImageDoesNotFit) << LogText();
    ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
    EXPECT_EQ(ui_.shown[0].caption, "Firmware File Error");
    EXPECT_NE(ui_.shown[0].text.find(c.says), std::string::npos) << ui_.shown[0].text;
    const SensorFacts after = Facts();
    EXPECT_EQ(after.version, before.version);
    EXPECT_EQ(after.address, before.address);
    EXPECT_EQ(after.serialNumber, before.serialNumber);
    EXPECT_EQ(after.x4, before.x4);
    EXPECT_TRUE(after.selfTest);
    EXPECT_EQ(after.updates, 0u);
    EXPECT_EQ(device_->WithSensor([](const SdiSensor& s) { return s.counters().loaderBytesIn; }),
              0u);
    EXPECT_EQ(device_->Counters().relayed, 0u);
    EXPECT_FALSE(SettingsFileExists());
  }
}

TEST_F(SensorUpdate, CommDeviceChecks) {
  struct Case {
    const char* preset;
    std::uint32_t version;
    const char* revision;
    Status result;
    const char* caption;
  } cases[] = {
      {"rdv", 122, "B", kNotSupported, "Wrong Device Version"},
      {"rdv", 123, "A", kNotSupported, "Wrong Device Version"},
      // Accepted: the battery check is the next refusal.
      {"rdv", 123, "B", kBatteryLow, "Batteries Too Low"},
      {"kcd", 100, "", kBatteryLow, "Batteries Too Low"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.preset) + " " + std::to_string(c.version) + c.revision);
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions(c.preset, &options));
    options.device =
        sim::OptionsForType(c.preset[0] == 'r' ? kTypeRdv : kTypeCommDevice, c.version);
    options.hardwareRevision = c.revision;
    options.battery = 5;
    Boot(std::move(options));
    EXPECT_EQ(RunUpdate(engine_.get()), c.result) << LogText();
    ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
    EXPECT_EQ(ui_.shown[0].caption, c.caption);
    EXPECT_EQ(ui_.shown[0].kind, kMessageError);
  }
  EXPECT_NE(LogText().find("ErrorOK Told User:: Your Readvane version 1.23 with hardware "
                           "revision 'A' doesn't\\nsupport bootstrapping digital sensors."),
            std::string::npos)
      << LogText();
}

// The upload is cut short; the first Start fails and keeps the settings file, a second
// Start finds the sensor's loader, skips the save and restores from that file.
TEST_F(SensorUpdate, SlowInterruptedUpdateResumes) {
  struct Case {
    const char* name;
    const char* fault;
  } cases[] = {
      {"power lost", "power@40:W,ms=200"},       // comes back in its waiting loader
      {"frames refused", "refuse@40+100000:W"},  // its loader stays active
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SensorOptions sensor = Lurra();
    std::string error;
    sim::FaultRule rule;
    ASSERT_TRUE(sim::ParseFaultRule(c.fault, &rule, &error)) << error;
    sensor.faults.rules = {rule};
    Boot(sensor);
    const SensorFacts before = Facts();

    EXPECT_LT(Start(), 0);
    ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
    EXPECT_EQ(ui_.shown[0].caption, "Firmware Upload Error");
    EXPECT_EQ(ui_.shown[0].text.rfind("The " + std::string(kCaption) +
                                          " encountered an error working with your Lurra "
                                          "Family.\n\nPlease try again.\n\n[Error -",
                                      0),
              0u)
        << ui_.shown[0].text;
    EXPECT_TRUE(SettingsFileExists()) << "kept for the next attempt";
    EXPECT_FALSE(Facts().selfTest);

    device_->SetSensorFaults({});
    ASSERT_EQ(Start(), 1) << ui_.Captions() << "\n" << LogText();
    EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
    EXPECT_EQ(std::count(ui_.statuses.begin(), ui_.statuses.end(),
                         "Saving settings for this digital sensor..."),
              0)
        << "the settings come from the first attempt's file";
    ExpectKept(before, Facts());
    EXPECT_FALSE(SettingsFileExists());
  }
}

// A sensor whose loader was started and left waiting: a grave accent sends it back to its
// firmware, and the update goes on with the save.
TEST_F(SensorUpdate, WaitingLoaderIsSentBackFirst) {
  Boot(Lurra());
  device_->WithSensor([](SdiSensor& s) {
    s.Wake(sim::Clock::now());
    s.Command("3B!", sim::Clock::now());
  });
  ASSERT_EQ(device_->WithSensor([](const SdiSensor& s) { return s.state(); }),
            sim::DeviceState::kLoaderWaiting);
  const SensorFacts before = Facts();
  ASSERT_EQ(Start(), 1) << ui_.Captions() << "\n" << LogText();
  EXPECT_EQ(ui_.statuses[2], "Saving settings for this digital sensor...");
  EXPECT_GE(device_->WithSensor([](const SdiSensor& s) { return s.counters().loaderTimeouts; }),
            1u);
  ExpectKept(before, Facts());
}

// A comm device that nothing sent back to its shell (a console program killed in the
// upload, an adapter pulled): left relaying to the sensor's waiting or active loader, or on
// SDI-12. The next Start sends the grave accent itself and goes on.
TEST_F(SensorUpdate, SlowCommDeviceLeftAwayFromItsShell) {
  struct Case {
    const char* name;
    const char* bytes;      // written to the comm device behind the engine's back
    bool interruptedFirst;  // an upload cut short left the loader active and the file
    Status connectFound;    // what the first connect hears, in the log
  } cases[] = {
      {"pass-through to a waiting loader", "]", false, kLoaderWaiting},
      {"pass-through to an active loader", "]", true, kLoaderActive},
      {"SDI-12", "[", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SensorOptions sensor = Lurra();
    if (c.interruptedFirst) {
      sim::FaultRule rule;
      std::string error;
      ASSERT_TRUE(sim::ParseFaultRule("refuse@40+100000:W", &rule, &error)) << error;
      sensor.faults.rules = {rule};
    }
    Boot(sensor);
    const SensorFacts before = Facts();
    if (c.interruptedFirst) {
      ASSERT_LT(Start(), 0);
      device_->SetSensorFaults({});
      ASSERT_TRUE(SettingsFileExists());
    } else {
      device_->WithSensor([](SdiSensor& s) {
        s.Wake(sim::Clock::now());
        s.Command("3B!", sim::Clock::now());
      });
    }
    {
      DeviceLink link;
      ASSERT_GE(DSOpen(&link, transport_->SlavePath().c_str(), 9600), 0);
      std::uint32_t written = 0;
      ASSERT_GE(DSWrite(&link, c.bytes, 1, &written), 0);
      DSSleep(200);
      DSClose(&link);
    }
    ASSERT_NE(device_->Mode(), sim::CommMode::kShell);

    const std::size_t logBefore = LogText().size();
    ASSERT_EQ(Start(), 1) << ui_.Captions() << "\n" << LogText();
    const std::string log = LogText().substr(logBefore);
    EXPECT_NE(log.find("sent a grave accent and trying again"), std::string::npos) << log;
    if (c.connectFound != 0) {
      EXPECT_NE(log.find("DPConnect found the Quendal listening (" +
                         std::to_string(c.connectFound) + ")"),
                std::string::npos)
          << log;
    }
    EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
    ExpectKept(before, Facts());
    EXPECT_FALSE(SettingsFileExists());
  }
}

// Every failure after the erase leaves the sensor without its settings. The first Start says
// so and keeps the file; the next one, with the fault gone, brings every setting back rather
// than capturing the emptied sensor over the file.
TEST_F(SensorUpdate, SlowEveryFailureAfterTheEraseIsFinishedByTheNextStart) {
  struct Case {
    const char* name;
    const char* fault;  // on the sensor's loader frames
    void (*spoil)(sim::SensorOptions*);
    void (*mend)(SdiSensor*);
    Status first;  // 0: any failure
    const char* caption;
  } cases[] = {
      {"power lost", "power@40:W,ms=200", nullptr, nullptr, 0, "Firmware Upload Error"},
      {"silence", "silence@40+100000:W,ms=2000", nullptr, nullptr, 0, "Firmware Upload Error"},
      {"frames refused", "refuse@40+100000:W", nullptr, nullptr, 0, "Firmware Upload Error"},
      {"corrupt new firmware", nullptr, [](sim::SensorOptions* o) { o->corruptAfterUpdate = true; },
       [](SdiSensor* s) { s->options().corruptAfterUpdate = false; }, kFirmwareCorrupt,
       "Firmware Error"},
      {"slow restart", nullptr, [](sim::SensorOptions* o) { o->restartMs = 6000; },
       [](SdiSensor* s) { s->options().restartMs = 0; }, 0, "Firmware Error"},
      {"restore refused", nullptr, [](sim::SensorOptions* o) { o->errorsBeforeOk = 1000; },
       [](SdiSensor* s) { s->options().errorsBeforeOk = 0; }, kSettingsNotRestored,
       "Settings Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SensorOptions sensor = Lurra();
    if (c.fault) {
      std::string error;
      sim::FaultRule rule;
      ASSERT_TRUE(sim::ParseFaultRule(c.fault, &rule, &error)) << error;
      sensor.faults.rules = {rule};
    }
    if (c.spoil) c.spoil(&sensor);
    Boot(sensor);
    const SensorFacts before = Facts();

    const Status first = Start();
    if (c.first != 0) {
      EXPECT_EQ(first, c.first);
    }
    EXPECT_LT(first, 0);
    ASSERT_FALSE(ui_.shown.empty());
    EXPECT_EQ(ui_.shown[0].caption, c.caption) << ui_.Captions();
    ASSERT_TRUE(SettingsFileExists()) << "kept for the next attempt";
    if (first == kSettingsNotRestored) {
      const std::string& text = ui_.shown[0].text;
      EXPECT_NE(text.find("The settings are kept in:\n" + dir_.File("data") +
                          "/Lurra Family.settings.txt"),
                std::string::npos)
          << text;
      EXPECT_EQ(ui_.statuses.back().find("settings not all restored"),
                ui_.statuses.back().size() - 26)
          << ui_.statuses.back();
    }

    device_->SetSensorFaults({});
    device_->WithSensor([&](SdiSensor& s) {
      if (c.mend) c.mend(&s);
    });
    // A sensor still silent or restarting comes back before the next Start.
    DSSleep(2000);
    for (int i = 0; i < 100 && device_->WithSensor([](const SdiSensor& s) {
           return s.state() == sim::DeviceState::kOff;
         });
         ++i) {
      DSSleep(100);
    }
    ASSERT_EQ(Start(), 1) << ui_.Captions() << "\n" << LogText();
    EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
    ExpectKept(before, Facts());
    EXPECT_FALSE(SettingsFileExists());
    EXPECT_FALSE(std::filesystem::is_empty(dir_.File("data") + "/unit-settings"))
        << "every capture has its dated copy";
  }
}

// A port that another program holds, or one that has gone, is named as such, whatever the
// system calls the error.
TEST_F(SensorUpdate, PortInUseOrMissing) {
  Boot(Lurra());
  DeviceLink holder;
  ASSERT_GT(DSOpen(&holder, transport_->SlavePath().c_str(), 9600), 0);
  EXPECT_LT(Start(), 0);
  ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
  EXPECT_EQ(ui_.shown[0].caption, "Connection Error");
  EXPECT_EQ(ui_.shown[0].text,
            "Comm Port \"simulated KCD\" is already in use by another application.\nPlease "
            "choose a new Comm Port to use or quit the application using this port.");
  DSClose(&holder);

  SelectPort(engine_.get(), dir_.File("no-such-port"), "COM9");
  EXPECT_LT(Start(), 0);
  ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
  EXPECT_EQ(ui_.shown[0].text,
            "Comm Port \"COM9\" isn't available.\nPlease choose a new Comm Port to use.");
  EXPECT_EQ(Facts().updates, 0u);
}

TEST_F(SensorUpdate, AnInstrumentIsNoCommDevice) {
  sim::InstrumentSettingsModel model({kTypeCvFour, 205});
  sim::SimDevice instrument(sim::OptionsForType(kTypeCvFour, 205));
  instrument.SetShellExtension(model.Extension());
  sim::PtyTransport line(&instrument);
  ASSERT_EQ(line.Start(), 1);
  Boot(Lurra());
  SelectPort(engine_.get(), line.SlavePath(), "simulated CVFOUR");
  EXPECT_EQ(Start(), kWrongDevice) << LogText();
  ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
  EXPECT_EQ(ui_.shown[0].caption, "Wrong Device");
  EXPECT_EQ(ui_.shown[0].text, "The " + std::string(kCaption) +
                                   " expected to find an Kyrel Comm Device (KCD or Readvane);\n"
                                   "however, it found a Corvel Four.\n\nThis updater can not "
                                   "work with a Corvel Four.");
  const std::vector<std::string> heard = model.Commands();
  EXPECT_EQ(std::count(heard.begin(), heard.end(), "get -batt"), 0) << "refused before the battery";
  engine_.reset();  // lets go of the instrument's line first
}

}  // namespace quendal::sensor_tests
