// The settings file on its own: value lookup, the three layouts read back, the type lines,
// and what a failed write leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "host/file_ops.h"
#include "instrument/attempt_record.h"
#include "instrument/settings_capture.h"
#include "instrument/settings_file.h"
#include "logger/maintenance.h"
#include "tests/instrument/instrument_fixture.h"

namespace quendal {
namespace {

using test::InstrumentTest;
using test::ReadWholeFile;
using test::WriteWholeFile;

constexpr const char* kHeader = "***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n\r\n";

TEST(SettingsValues, TextNumbersAndFloatsAreFoundByTheirKeys) {
  const std::string file = std::string(kHeader) +
                           "name=\"Basnet\"\r\nsn=\"A1\"\r\nsite=\"Plateau\"\r\n"
                           "lat=\"-12.50000\"\r\ntimezone=\"-20\"\r\nwake=\"  42abc\"\r\n"
                           "empty=\"\"\r\nopen=\"no end\r\n"
                           "<Port number=\"1\" value=\"7\"/>\r\nnoquote=17\r\n";
  struct TextCase {
    const char* key;
    std::size_t capacity;
    bool found;
    const char* value;
  };
  const TextCase texts[] = {
      {"sn", 16, true, "A1"},     // not the "sn" inside "Basnet"
      {"name", 5, true, "Basn"},  // cut to capacity - 1
      {"empty", 16, false, ""},
      {"open", 64, true, "no end"},  // a value never runs into the next line
      {"Port number=\"1\" value", 16, true, "7"},
      {"noquote", 16, false, ""},
      {"missing", 16, false, ""},
  };
  for (const TextCase& c : texts) {
    char value[64] = "stale";
    EXPECT_EQ(ReadTextValue(file.c_str(), c.key, value, c.capacity), c.found) << c.key;
    EXPECT_STREQ(value, c.value) << c.key;
  }

  struct NumberCase {
    const char* key;
    bool found;
    std::int32_t value;
  };
  const NumberCase numbers[] = {
      {"timezone", true, -20}, {"wake", true, 42}, {"empty", true, 0}, {"missing", false, 0}};
  for (const NumberCase& c : numbers) {
    std::uint32_t n = 0;
    EXPECT_EQ(ReadNumberValue(file.c_str(), c.key, &n), c.found) << c.key;
    EXPECT_EQ(static_cast<std::int32_t>(n), c.value) << c.key;
  }
  double lat = 0;
  EXPECT_TRUE(ReadFloatValue(file.c_str(), "lat", &lat));  // not the "lat" of "Plateau"
  EXPECT_DOUBLE_EQ(lat, -12.5);
}

class SettingsFile : public InstrumentTest {
 protected:
  Status ReadAs(InstrumentSession* session, int type) {
    session->profileType = static_cast<std::uint8_t>(type);
    return ReadInfoFile(session, SettingsPath().c_str());
  }
  void WriteFile(const std::string& body) { WriteWholeFile(SettingsPath(), kHeader + body); }
};

TEST_F(SettingsFile, EveryTypeReadsBackWhatTheWriterWroteAndOlderTypeLines) {
  struct Case {
    int type;
    const char* olderTypeLine;  // accepted before the writer's own line was
  };
  const Case cases[] = {{kTypePrv, "HLM"},   {kTypeVinex, "BRAVN"}, {kTypeOgl, "Tarnx"},
                        {kTypeOgl, "Relmo"}, {kTypeRlm, "Tarnx"},   {kTypeCvFour, nullptr},
                        {kTypeWst, nullptr}, {kTypeTarnb, nullptr}, {kTypeDigitalSensor, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(DeviceTypeCode(c.type));
    InstrumentSession writer(&log);
    writer.profileType = static_cast<std::uint8_t>(c.type);
    writer.info.loggerType = c.type == kTypeOgl   ? kLoggerOgle
                             : c.type == kTypeRlm ? kLoggerRelmo
                             : c.type == kTypeWst ? kLoggerWeirstead
                                                  : kLoggerTarnb;
    writer.info.serialNumber.Set("SN-77");
    writer.info.name.Set("LOGGER01");  // all eight characters come back
    writer.capturedMask = kSetSerialNumber | kSetName;
    writer.settings.serialNumber.Set("SN-77");
    writer.settings.mask = kInstSerialNumber;
    writer.sdi.serialNumber.Set("SN-77");
    writer.sdi.address = '3';
    ASSERT_EQ(WriteInfoFile(&writer, SettingsPath().c_str()), 1);

    InstrumentSession reader(&log);
    ASSERT_EQ(ReadAs(&reader, c.type), 1) << ReadWholeFile(SettingsPath());
    if (c.type == kTypeDigitalSensor) {
      EXPECT_EQ(reader.sdi.serialNumber, "SN-77");
      EXPECT_EQ(reader.sdi.address, '3');
    } else if (reader.info.serialNumber == "SN-77") {
      EXPECT_EQ(reader.capturedMask & kSetName, kSetName);
      EXPECT_EQ(reader.info.name, "LOGGER01");
    } else {
      EXPECT_EQ(reader.settings.serialNumber, "SN-77");
      EXPECT_EQ(reader.settings.mask, kInstSerialNumber | kInstFileRead);
    }

    if (c.olderTypeLine) {
      std::string text = ReadWholeFile(SettingsPath());
      const std::string own = std::string("type=\"") +
                              (c.type == kTypeOgl   ? "Ogle"
                               : c.type == kTypeRlm ? "Relmo"
                                                    : DeviceTypeCode(c.type)) +
                              "\"";
      ASSERT_NE(text.find(own), std::string::npos);
      text.replace(text.find(own), own.size(), std::string("type=\"") + c.olderTypeLine + "\"");
      WriteWholeFile(SettingsPath(), text);
      InstrumentSession older(&log);
      EXPECT_EQ(ReadAs(&older, c.type), 1);
    }
  }
  // A file of another type is refused, and a type without a layout is not read at all.
  InstrumentSession other(&log);
  EXPECT_EQ(ReadAs(&other, kTypeWst), -30);
  EXPECT_EQ(ReadAs(&other, kTypeCvFtdl), -30);
  for (int type : {0, 1, 5, 40}) EXPECT_EQ(ReadAs(&other, type), -13);  // UNKNOWN, TARN, MRK
}

TEST_F(SettingsFile, LoggerAdcLinesFollowTheirBitsAndRadioSubchannelMarksTheTrait) {
  InstrumentSession writer(&log);
  writer.profileType = kTypeTarnx;
  writer.info.loggerType = kLoggerTarnx;
  writer.info.trait = 6;
  writer.info.radioSubchannel = 0x1F40;
  writer.info.knownMask = kSetTrait | kSetRadioSubchannel;
  writer.capturedMask = writer.info.knownMask;
  ASSERT_EQ(WriteInfoFile(&writer, SettingsPath().c_str()), 1);
  EXPECT_EQ(ReadWholeFile(SettingsPath()).find("ADC"), std::string::npos);

  InstrumentSession reader(&log);
  ASSERT_EQ(ReadAs(&reader, kTypeTarnx), 1);
  EXPECT_EQ(reader.capturedMask & (kSetAdc15 | kSetAdc30), 0u);
  EXPECT_EQ(reader.info.trait, 6u | kTraitKnown | kTraitRadio);
  EXPECT_EQ(reader.capturedMask & (kSetTrait | kSetRadioSubchannel),
            kSetTrait | kSetRadioSubchannel);
  EXPECT_EQ(reader.info.capabilities, 0x0707FFF7u);

  writer.info.knownMask |= kSetAdc15;
  writer.capturedMask = writer.info.knownMask;
  const std::uint8_t slopes[5] = {10, 11, 12, 13, 14};
  const std::uint8_t offsets[5] = {20, 21, 22, 23, 24};
  std::copy(slopes, slopes + 5, writer.info.adc15Cal.slopes);
  std::copy(offsets, offsets + 5, writer.info.adc15Cal.offsets);
  ASSERT_EQ(WriteInfoFile(&writer, SettingsPath().c_str()), 1);
  const std::string text = ReadWholeFile(SettingsPath());
  EXPECT_NE(text.find("ADC15 slopes=\"10 11 12 13 14\""), std::string::npos);
  EXPECT_EQ(text.find("ADC30"), std::string::npos);
  InstrumentSession again(&log);
  ASSERT_EQ(ReadAs(&again, kTypeTarnx), 1);
  EXPECT_EQ(again.capturedMask & (kSetAdc15 | kSetAdc30), kSetAdc15);
  EXPECT_EQ(again.info.adc15Cal.offsets[4], 24);
}

TEST_F(SettingsFile, OnlyWhatWasCapturedCountsAsRead) {
  // Older files have no mask line: a number line counts, and tau needs hadj beside it.
  WriteFile("type=\"CVFOUR\"\r\nsn=\"C4-1\"\r\ncontr=\"0\"\r\nhadj=\"1.5 2\"\r\n");
  InstrumentSession a(&log);
  ASSERT_EQ(ReadAs(&a, kTypeCvFour), 1);
  EXPECT_EQ(a.settings.mask, kInstFileRead | kInstSerialNumber);
  WriteFile("type=\"CVFOUR\"\r\nhadj=\"1.5 2\"\r\ntau=\"-40\"\r\n");
  InstrumentSession b(&log);
  ASSERT_EQ(ReadAs(&b, kTypeCvFour), 1);
  EXPECT_EQ(b.settings.mask, kInstFileRead | kInstHadjTau);
  EXPECT_EQ(b.settings.tau, -40);

  // A capture that could not read the contrast must not restore a contrast of 0.
  InstrumentSession writer(&log);
  writer.profileType = kTypeThx;
  writer.settings.units = 3;
  writer.settings.mask = kInstUnits;
  ASSERT_EQ(WriteInfoFile(&writer, SettingsPath().c_str()), 1);
  InstrumentSession reader(&log);
  ASSERT_EQ(ReadAs(&reader, kTypeThx), 1);
  EXPECT_EQ(reader.settings.mask, kInstFileRead | kInstUnits);
  EXPECT_EQ(reader.settings.units, 3);
}

TEST_F(SettingsFile, AFailedWriteLeavesTheEarlierFile) {
  InstrumentSession session(&log);
  session.profileType = kTypeCvFour;
  session.settings.serialNumber.Set("FIRST");
  ASSERT_EQ(WriteInfoFile(&session, SettingsPath().c_str()), 1);
  const std::string first = ReadWholeFile(SettingsPath());
  const std::string temp = TemporaryNameFor(SettingsPath());
  EXPECT_FALSE(std::filesystem::exists(temp));
  session.settings.serialNumber.Set("SECOND");
  session.settings.location.Set(std::string(120, 'x'));

  // A full disk: the file-size limit stops the write half way.
  {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 200;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Status rc = WriteInfoFile(&session, SettingsPath().c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(rc, -EFBIG);
  }
  EXPECT_EQ(ReadWholeFile(SettingsPath()), first);
  EXPECT_FALSE(std::filesystem::exists(temp));

  // Nowhere to write beside it.
  std::filesystem::create_directory(temp);
  EXPECT_LT(WriteInfoFile(&session, SettingsPath().c_str()), 0);
  EXPECT_EQ(ReadWholeFile(SettingsPath()), first);
  EXPECT_TRUE(Logged("WriteInfoFile got error"));
  std::filesystem::remove(temp);

  EXPECT_EQ(WriteInfoFile(&session, SettingsPath().c_str()), 1);
  EXPECT_NE(ReadWholeFile(SettingsPath()).find("sn=\"SECOND\""), std::string::npos);
  EXPECT_EQ(WriteInfoFile(&session, ""), -10);
}

TEST_F(SettingsFile, AMissingFileIsReportedAsSuch) {
  InstrumentSession session(&log);
  session.profileType = kTypeCvv;
  EXPECT_EQ(ReadInfoFile(&session, dir.File("none.txt").c_str()), -102);
  EXPECT_EQ(DPRestoreInfo(&session, dir.File("none.txt").c_str(), nullptr), -102);
  EXPECT_TRUE(Logged("DPRestoreInfo received error -102 trying to read device settings from"));
  EXPECT_EQ(session.captured, 0);
  EXPECT_EQ(ReadInfoFile(&session, nullptr), -10);
}

// Another user who can write in a shared data folder could plant a link in the settings
// file's place, to have a unit restored with values of their choosing: it is never read.
TEST_F(SettingsFile, ALinkInTheSettingsFilesPlaceIsNeverReadThrough) {
  WriteFile("type=\"CVFOUR\"\r\nsn=\"C4-1\"\r\nmask=\"2\"\r\n");
  InstrumentSession session(&log);
  ASSERT_EQ(ReadAs(&session, kTypeCvFour), 1) << "the file itself reads";
  const std::string elsewhere = dir.File("elsewhere.txt");
  std::filesystem::rename(SettingsPath(), elsewhere);
  std::filesystem::create_symlink(elsewhere, SettingsPath());
  EXPECT_EQ(ReadAs(&session, kTypeCvFour), kSymbolicLink);
  EXPECT_TRUE(Logged("it is a symbolic link, which the updater never reads through"));
  AttemptRecord record;
  EXPECT_EQ(ReadAttemptRecord(SettingsPath().c_str(), &record), kSymbolicLink);
}

TEST_F(SettingsFile, KeysAreFoundOnlyOnTheirOwnLinesAndQuotesComeBackWhole) {
  // Equation records whose texts hold the next record's key.
  WriteFile("type=\"CVFOUR\"\r\nsn=\"C4-1\"\r\neqn00=\"eqn01 x+1\"\r\nmask=\"268435458\"\r\n");
  InstrumentSession records(&log);
  ASSERT_EQ(ReadAs(&records, kTypeCvFour), 1);
  ASSERT_EQ(records.eqnRecords.count, 1);
  EXPECT_EQ(records.eqnRecords.records[0].text, "eqn01 x+1");

  // An older file without the mask line: a site that holds "mask" is no mask.
  WriteFile("type=\"Tarnx\"\r\nsn=\"T-9\"\r\nsite=\"Damask\"\r\nwake=\"15\"\r\n");
  InstrumentSession older(&log);
  ASSERT_EQ(ReadAs(&older, kTypeTarnx), 1);
  EXPECT_EQ(older.capturedMask & (kSetSerialNumber | kSetSite | kSetWake),
            kSetSerialNumber | kSetSite | kSetWake);
  EXPECT_EQ(older.info.site, "Damask");

  // A value that holds a quote, and one that holds a later key's text.
  InstrumentSession writer(&log);
  writer.profileType = kTypeLuma;
  writer.settings.location.Set("6\" pipe, \"north\" bank");
  writer.settings.chai.Set("adccal=\"1\"");
  writer.settings.mask = kInstLocation | kInstChai;
  ASSERT_EQ(WriteInfoFile(&writer, SettingsPath().c_str()), 1);
  InstrumentSession reader(&log);
  ASSERT_EQ(ReadAs(&reader, kTypeLuma), 1);
  EXPECT_EQ(reader.settings.location, "6\" pipe, \"north\" bank");
  EXPECT_EQ(reader.settings.chai, "adccal=\"1\"");
  EXPECT_EQ(reader.settings.mask & kInstAdcCal, 0u);
}

TEST_F(SettingsFile, TheAttemptRecordNamesTheUnitAndHowFarItsUpdateGot) {
  InstrumentSession writer(&log);
  writer.profileType = kTypeCvFour;
  writer.info.versionNumber = 205;
  writer.settings.serialNumber.Set("C4-9");
  writer.settings.config.Set("1000");
  writer.settings.mask = kInstSerialNumber | kInstConfig;
  ASSERT_EQ(WriteInfoFile(&writer, SettingsPath().c_str()), 1);
  const std::string written = ReadWholeFile(SettingsPath());
  AttemptRecord record;
  ASSERT_EQ(ReadAttemptRecord(SettingsPath().c_str(), &record), 1);
  EXPECT_TRUE(record.present);
  EXPECT_EQ(record.device, "CVFOUR");
  EXPECT_EQ(record.serial, "C4-9");
  EXPECT_EQ(record.firmware, 205u);
  EXPECT_EQ(record.phase, AttemptPhase::kCaptured);

  // Only the phase line changes; the values read as before.
  ASSERT_EQ(MarkAttemptPhase(SettingsPath().c_str(), AttemptPhase::kEraseBegun, &log), 1);
  std::string expected = written;
  const std::string captured = "attemptPhase=\"captured\"";
  expected.replace(expected.find(captured), captured.size(), "attemptPhase=\"erase begun\"");
  EXPECT_EQ(ReadWholeFile(SettingsPath()), expected);
  ASSERT_EQ(ReadAttemptRecord(SettingsPath().c_str(), &record), 1);
  EXPECT_EQ(record.phase, AttemptPhase::kEraseBegun);
  InstrumentSession reader(&log);
  ASSERT_EQ(ReadAs(&reader, kTypeCvFour), 1);
  EXPECT_EQ(reader.settings.config, "1000");

  // A file of an older updater: its unit from its own lines, its phase unknown.
  WriteFile(
      "type=\"Digital Sensor\"\r\naddressInt=\"51\"\r\nsn=\"FB-2 \"\r\nsensorType=\"108\"\r\n");
  ASSERT_EQ(ReadAttemptRecord(SettingsPath().c_str(), &record), 1);
  EXPECT_FALSE(record.present);
  EXPECT_EQ(record.device, "Digital Sensor l");
  EXPECT_EQ(record.serial, "FB-2");
  EXPECT_EQ(record.phase, AttemptPhase::kUnknown);
  EXPECT_EQ(ReadAttemptRecord(dir.File("none.txt").c_str(), &record), -102);
  EXPECT_LT(MarkAttemptPhase(dir.File("none.txt").c_str(), AttemptPhase::kEraseBegun, &log), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.txt")));

  struct Case {
    const char* fileDevice;
    const char* fileSerial;
    const char* device;
    const char* serial;
    bool same;
  } cases[] = {
      {"Digital Sensor y", "FA-1", "Digital Sensor y", "FA-1", true},
      {"Digital Sensor y", "FA-1", "Digital Sensor y", "", true},  // lost its identity
      {"Digital Sensor y", "FA-1", "Digital Sensor", "", true},    // told no type
      {"Digital Sensor y", "FA-1", "Digital Sensor l", "", false},
      {"Digital Sensor y", "FA-1", "Digital Sensor y", "FA-2", false},
      {"Digital Sensor y", "", "Digital Sensor y", "FA-2", false},
      {"CVFOUR", "C4-9", "CVFTDL", "C4-9", false},
      {"CVFOUR", "C4-9", "Digital Sensor", "", false},
  };
  for (const Case& c : cases) {
    AttemptRecord file;
    file.device = c.fileDevice;
    file.serial = c.fileSerial;
    AttemptRecord device;
    device.device = c.device;
    device.serial = c.serial;
    EXPECT_EQ(SameUnit(file, device), c.same) << c.fileDevice << " " << c.device << " " << c.serial;
  }
}

TEST_F(SettingsFile, AFileSetAsideOrCopiedIsNeverWrittenOver) {
  WriteFile("type=\"KCD\"\r\nsn=\"K-1\"\r\n");
  const std::string first = ReadWholeFile(SettingsPath());
  std::string aside1, aside2;
  ASSERT_EQ(SetSettingsFileAside(SettingsPath().c_str(), &aside1, &log), 1);
  EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
  WriteFile("type=\"KCD\"\r\nsn=\"K-2\"\r\n");
  ASSERT_EQ(SetSettingsFileAside(SettingsPath().c_str(), &aside2, &log), 1);
  EXPECT_NE(aside1, aside2);
  EXPECT_EQ(ReadWholeFile(aside1), first);
  EXPECT_NE(ReadWholeFile(aside2).find("K-2"), std::string::npos);

  WriteFile("type=\"KCD\"\r\nsn=\"K/3:x\"\r\n");
  AttemptRecord unit;
  unit.device = "KCD";
  unit.serial = "K/3:x";
  std::string copy1, copy2;
  ASSERT_EQ(KeepUnitCopy(SettingsPath().c_str(), unit, &copy1, &log), 1);
  ASSERT_EQ(KeepUnitCopy(SettingsPath().c_str(), unit, &copy2, &log), 1);
  EXPECT_NE(copy1, copy2);
  EXPECT_EQ(std::filesystem::path(copy1).parent_path(), UnitCopyFolder(SettingsPath().c_str()));
  EXPECT_EQ(std::filesystem::path(copy1).filename().string().rfind("KCD_K_3_x_", 0), 0u) << copy1;
  EXPECT_EQ(ReadWholeFile(copy2), ReadWholeFile(SettingsPath()));
}

}  // namespace
}  // namespace quendal
