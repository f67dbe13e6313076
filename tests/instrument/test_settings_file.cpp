// The settings file on its own: value lookup, the three layouts read back, the type lines,
// and what a failed write leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <string>

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
      {"open", 64, true, "no end\r\n<Port number="},
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
  const std::string temp = SettingsPath() + ".tmp";
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

}  // namespace
}  // namespace quendal
