// The digital-sensor update and what it keeps on disk: settings files of this and other
// sensors, the record, device text in files, a full disk, a second updater and planted links.
#include "tests/app/sensor_update_fixture.h"

namespace quendal::sensor_tests {

// A file another sensor left is never restored into this one: it is moved aside and kept,
// whether this sensor's own settings were read, could not be, or the update takes up an
// interrupted one.
TEST_F(SensorUpdate, SlowAnotherSensorsFileIsSetAsideNeverRestored) {
  const std::string other =
      "***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n\r\n"
      "type=\"Digital Sensor\"\r\nidentity=\"013ORVELLE Fesko 396SX1\"\r\naddress=\"5\"\r\n"
      "addressInt=\"53\"\r\ncalibration=\"FB cal\"\r\ncalibration2=\"FB cal 2\"\r\n"
      "sn=\"FB-2\"\r\nsensorType=\"108\"\r\nunitDevice=\"Digital Sensor l\"\r\n"
      "unitSerial=\"FB-2\"\r\nunitFirmware=\"396\"\r\n";
  struct Case {
    const char* name;
    const char* phase;
    bool unreadable;  // this sensor's own settings cannot be read; the operator goes on
    bool inLoader;    // this sensor waits in its loader, as an interrupted update leaves it
    Status result;
    std::string captions;
  } cases[] = {
      {"own settings read", "erase begun", false, false, 1, "Settings File Set Aside"},
      {"own settings unreadable", "erase begun", true, false, 1,
       "Settings File Set Aside, Settings Retrieve Error"},
      {"resumed, cancelled run's file", "captured", false, true, kSettingsNotRestored,
       "Settings File Set Aside"},
      {"resumed, another type's file", "erase begun", false, true, kSettingsNotRestored,
       "Settings File Set Aside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SensorOptions fesko;
    ASSERT_TRUE(sim::SensorOptionsForType('y', 390, &fesko));
    fesko.versionAfterUpdate = 396;
    fesko.address = '4';
    fesko.serialNumber = "FA-1";
    fesko.xaFails = c.unreadable;
    fesko.blankFlash = c.inLoader;
    fesko.loaderTimeoutMs = c.inLoader ? 600000 : 300;
    Boot(fesko, {"-rep"});
    SelectSensorType(engine_.get(), 261);
    const std::string path =
        engine_->dataFolder + "/" + engine_->targetDisplayName + ".settings.txt";
    std::filesystem::create_directories(dir_.File("data"));
    test::WriteWholeFile(path, other + "attemptPhase=\"" + c.phase + "\"\r\n");
    ui_ = RecordingOperator{};
    ui_.answers = {kBoxOk};

    EXPECT_EQ(RunUpdate(engine_.get()), c.result) << ui_.Captions() << "\n" << LogText();
    EXPECT_EQ(ui_.Captions().find(c.captions), 0u) << ui_.Captions();
    const SensorFacts after = Facts();
    EXPECT_NE(after.serialNumber, "FB-2");
    EXPECT_NE(after.x4, "FB cal");
    EXPECT_NE(after.address, '5');
    if (!c.unreadable && !c.inLoader) {
      EXPECT_EQ(after.serialNumber, "FA-1") << "its own settings came back";
      EXPECT_EQ(after.address, '4');
    }
    // The other sensor's file is kept whole beside the settings file.
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File("data"))) {
      if (entry.path().filename().string().find(".set-aside-") != std::string::npos) {
        EXPECT_EQ(test::ReadWholeFile(entry.path().string()).find(other), 0u);
        ++kept;
        std::filesystem::remove(entry.path());
      }
    }
    EXPECT_EQ(kept, 1);
  }
}

// What the sensor could not take back is known before anything is touched; a type that is
// refused once is asked again.
TEST_F(SensorUpdate, SlowValuesAreCheckedBeforeTheEraseAndTheTypeIsAskedTwice) {
  sim::SensorOptions longCalibration = Lurra();
  longCalibration.x4 = std::string(70, '7');
  Boot(longCalibration);
  EXPECT_EQ(Start(), kBadArgument);
  ASSERT_EQ(ui_.Captions(), "Settings Error");
  EXPECT_NE(ui_.shown[0].text.find("its calibration has 70 characters, more than the 59 a "
                                   "command takes"),
            std::string::npos)
      << ui_.shown[0].text;
  EXPECT_EQ(Facts().updates, 0u) << "nothing was erased";
  EXPECT_EQ(Facts().x4, std::string(70, '7'));

  sim::SensorOptions refusesOnce = Lurra();
  refusesOnce.errorsBeforeOk = 1;
  Boot(refusesOnce);
  const SensorFacts before = Facts();
  ASSERT_EQ(Start(), 1) << ui_.Captions() << "\n" << LogText();
  EXPECT_TRUE(ui_.shown.empty()) << ui_.Captions();
  ExpectKept(before, Facts());
  EXPECT_EQ(device_->WithSensor([](const SdiSensor& s) { return s.type(); }), 's');
}

// A sensor that answers nothing: the settings cannot be read. Only with "-rep" or
// "-factory" may the operator go on.
TEST_F(SensorUpdate, SlowSettingsReadFailure) {
  sim::SensorOptions silent = Lurra();
  silent.silent = true;
  struct Case {
    std::vector<std::string> switches;
    std::vector<int> answers;
    Status result;
    std::vector<std::string> captions;
  } cases[] = {
      {{}, {}, kNoAttempt, {"Settings Error"}},
      {{"-rep"}, {kBoxCancel}, kCancelled, {"Settings Retrieve Error"}},
      // OK goes on to the type check and the loader start, which the silent sensor fails.
      {{"-factory"},
       {kBoxOk, kBoxOk},
       kHandshakeFailed,
       {"Settings Retrieve Error", "Wrong Sensor Type", "Firmware Loader Error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches.empty() ? "no switch" : c.switches[0]);
    Boot(silent, c.switches);
    engine_->session->sdi.replyTimeoutMs = 300;
    engine_->session->sdi.retryCount = 1;
    ui_.answers.assign(c.answers.begin(), c.answers.end());
    const Status rc = RunUpdate(engine_.get());
    if (c.result == kNoAttempt) {
      EXPECT_LT(rc, 0);
      EXPECT_NE(rc, kCancelled);
    } else {
      EXPECT_EQ(rc, c.result);
    }
    ASSERT_EQ(ui_.shown.size(), c.captions.size()) << ui_.Captions();
    for (std::size_t i = 0; i < c.captions.size(); ++i) {
      EXPECT_EQ(ui_.shown[i].caption, c.captions[i]);
    }
  }
}

// Each Start adds its record line, and a failed connect names no unit of an earlier Start.
TEST_F(SensorUpdate, TheRecordNamesOnlyTheUnitThisAttemptReached) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.versionAfterUpdate = 396;
  lurra.serialNumber = "LU-20931";
  Boot(lurra);
  ASSERT_EQ(Start(), kOk) << LogText();
  SelectPort(engine_.get(), dir_.File("no-such-port"), "gone");
  const Status failed = Start();
  ASSERT_LT(failed, 0);
  const std::string records = test::ReadWholeFile(dir_.File("data") + "/updates.jsonl");
  const std::size_t second = records.find('\n') + 1;
  ASSERT_EQ(records.find('\n', second), records.size() - 1) << records;
  const std::string first = records.substr(0, second);
  for (const std::string& field :
       {"\"port\":\"" + transport_->SlavePath() + "\"", std::string("\"serial\":\"LU-20931\""),
        std::string("\"firmwareBefore\":\"3.90\",\"firmwareAfter\":\"3.96\""),
        std::string("\"settingsCaptured\":\"all\",\"settingsRestored\":\"all\",\"code\":1,")}) {
    EXPECT_NE(first.find(field), std::string::npos) << field << "\n" << first;
  }
  const std::string last = records.substr(second);
  EXPECT_NE(last.find("\"serial\":\"\""), std::string::npos) << last;
  EXPECT_NE(last.find("\"code\":" + std::to_string(failed) + ","), std::string::npos) << last;
  EXPECT_NE(last.find("\"result\":\"Connection Error\""), std::string::npos) << last;
}

// Device text is data: a line break or NUL in what a sensor says never becomes, hides or
// cuts a line of the settings file; such a value stops the update before anything is
// erased, naming it. A stray byte and a long serial number are kept whole.
TEST_F(SensorUpdate, DeviceTextNeverForgesOrCutsASetting) {
  const std::string forty = "LU-" + std::string(37, '7');
  struct Case {
    const char* what;
    void (*set)(sim::SensorOptions*, const std::string&);
    const char* named;  // empty: the update goes through
  } cases[] = {
      {"line feed in the identity",
       [](sim::SensorOptions* s, const std::string&) {
         s->identityMore = "SX1\ncalibration=\"1";
       },
       "identity"},
      {"line feed in the serial number",
       [](sim::SensorOptions* s, const std::string&) { s->serialNumber = "LU-1\ncalibration=\"1"; },
       "sn"},
      {"NUL in the calibration",
       [](sim::SensorOptions* s, const std::string&) {
         s->x4 = std::string("+1.0 +2.0\0+3.0", 14);
       },
       "calibration"},
      {"bytes that are no UTF-8",
       [](sim::SensorOptions* s, const std::string&) { s->serialNumber = "LU-\xFF\xFE"; }, ""},
      {"a 40-character serial number",
       [](sim::SensorOptions* s, const std::string& sn) { s->serialNumber = sn; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::SensorOptions sensor = Lurra();
    c.set(&sensor, forty);
    Boot(sensor, {"-rep"});
    ui_.answers = {kBoxOk, kBoxOk, kBoxOk};
    const SensorFacts before = Facts();
    const Status rc = Start();
    const SensorFacts after = Facts();
    if (c.named[0] == '\0') {
      EXPECT_EQ(rc, kOk) << ui_.Captions() << "\n" << LogText();
      ExpectKept(before, after);
    } else {
      EXPECT_LT(rc, 0);
      EXPECT_EQ(after.updates, 0u);
      ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
      EXPECT_EQ(ui_.shown[0].caption, "Settings Error");
      EXPECT_NE(ui_.shown[0].text.find(std::string("its ") + c.named + " \""), std::string::npos)
          << ui_.shown[0].text;
      EXPECT_FALSE(SettingsFileExists());
    }
    // Every line of the log is one entry of the log.
    const std::string log = LogText();
    EXPECT_EQ(log.find("\ncalibration="), std::string::npos) << log;
  }
}

// The settings were read but the disk could not keep them: the update stops before the
// loader in every mode, naming the file and the system's error, and never asks whether
// to go on without settings.
TEST_F(SensorUpdate, AFullDiskIsNoFailedCapture) {
  const FileFault settingsFile = [](const std::string& path) {
    return path.find("unit-settings") == std::string::npos &&
                   path.find(".settings.txt") != std::string::npos
               ? ENOSPC
               : 0;
  };
  const FileFault unitCopy = [](const std::string& path) {
    return path.find("unit-settings") != std::string::npos ? EROFS : 0;
  };
  struct Case {
    std::vector<std::string> switches;
    FileFault fault;
    int error;
    std::string names;
  } cases[] = {
      {{}, settingsFile, ENOSPC, "Lurra Family.settings.txt"},
      {{"-rep"}, settingsFile, ENOSPC, "Lurra Family.settings.txt"},
      {{"-factory"}, settingsFile, ENOSPC, "Lurra Family.settings.txt"},
      {{"-rep"}, unitCopy, EROFS, "unit-settings"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.switches.empty() ? "no switch" : c.switches[0]) + " " + c.names);
    Boot(Lurra(), c.switches);
    ui_.answers = {kBoxOk, kBoxOk, kBoxOk};
    SetFileFault(c.fault);
    const Status rc = Start();
    SetFileFault(nullptr);
    EXPECT_LT(rc, 0);
    EXPECT_EQ(Facts().updates, 0u);
    ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
    EXPECT_EQ(ui_.shown[0].caption, "Settings Error");
    EXPECT_NE(ui_.shown[0].text.find(dir_.File("data") + "/" + c.names), std::string::npos)
        << ui_.shown[0].text;
    EXPECT_NE(ui_.shown[0].text.find(std::strerror(c.error)), std::string::npos)
        << ui_.shown[0].text;
  }
}

// Two updaters on one data folder: while one holds the settings file, the other refuses
// before it opens its port, naming who holds it; once the first lets go (as a killed
// one does), the next Start goes ahead.
TEST_F(SensorUpdate, ASecondUpdaterRefusesWhileTheFirstHoldsTheSettings) {
  Boot(Lurra());
  FileLock first;
  std::string holder;
  ASSERT_EQ(first.TryLock(dir_.File("data") + "/Lurra Family.settings.txt.lock",
                          "process 4242 on port COM3", &holder),
            kOk);
  EXPECT_EQ(Start(), kSettingsFileBusy);
  EXPECT_EQ(device_->WithSensor([](const SdiSensor& s) { return s.counters().commandsHeard; }),
            0u);
  ASSERT_EQ(ui_.shown.size(), 1u) << ui_.Captions();
  EXPECT_EQ(ui_.shown[0].caption, "Settings File In Use");
  EXPECT_NE(ui_.shown[0].text.find("process 4242 on port COM3"), std::string::npos)
      << ui_.shown[0].text;
  first.Release();
  EXPECT_EQ(Start(), kOk) << ui_.Captions() << "\n" << LogText();
}

// Links planted in the data folder (another user's files) are replaced, never written
// through; what the updater creates there is its user's only.
TEST_F(SensorUpdate, LinksInTheDataFolderAreNotFollowed) {
  const std::string data = dir_.File("data");
  ASSERT_TRUE(std::filesystem::create_directory(data));
  test::TempDir other;
  const std::string victim = other.File("victim.txt");
  test::WriteWholeFile(victim, "theirs\n");
  const std::string planted[] = {
      data + "/" + kCaption + ".errors.txt", data + "/updates.jsonl",
      data + "/Lurra Family.settings.txt." + std::to_string(getpid()) + ".tmp"};
  for (const std::string& link : planted) ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  Boot(Lurra());
  ASSERT_EQ(Start(), kOk) << ui_.Captions();
  EXPECT_EQ(test::ReadWholeFile(victim), "theirs\n");
  for (const std::string& file : {planted[0], planted[1]}) {
    SCOPED_TRACE(file);
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);
  }
}

// A record line cut short by a full disk is ended before the next record is added, so the
// next one stays readable.
TEST_F(SensorUpdate, ARecordCutShortDoesNotSwallowTheNext) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_.File("data")));
  test::WriteWholeFile(dir_.File("data") + "/updates.jsonl", "{\"start\":\"2026-12-09T07:3");
  Boot(Lurra());
  ASSERT_EQ(Start(), kOk) << ui_.Captions();
  const std::string records = test::ReadWholeFile(dir_.File("data") + "/updates.jsonl");
  const std::size_t cut = records.find('\n');
  ASSERT_NE(cut, std::string::npos) << records;
  EXPECT_EQ(records.substr(0, cut), "{\"start\":\"2026-12-09T07:3");
  EXPECT_EQ(records.compare(cut + 1, 10, "{\"start\":\""), 0) << records;
  EXPECT_EQ(records.find('\n', cut + 1), records.size() - 1) << records;
}

}  // namespace quendal::sensor_tests
