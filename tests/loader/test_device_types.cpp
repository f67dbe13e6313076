#include "loader/device_types.h"

#include <gtest/gtest.h>

#include <string>

namespace quendal {
namespace {

TEST(DeviceType, ParseDeviceIdentityReadsWordAndVersion) {
  const std::string longAnswer = std::string(5000, 'x') + " 1.00";
  struct Case {
    const char* text;
    Status result;
    int type;
    std::uint32_t version;
    bool newEnough;
  };
  const Case cases[] = {
      {"tarnx 1.02", kOk, kTypeTarnx, 102, false},
      {"TARNX 1.03", kOk, kTypeTarnx, 103, true},
      {"TARNX 1.2", kOk, kTypeTarnx, 120, true},
      {"TARNX 1.234", kOk, kTypeTarnx, 123, true},
      {"TARNX 12.34x", kOk, kTypeTarnx, 1234, true},
      {"Kyrel-sx 2.5", kOk, kTypeDigitalSensor, 250, true},
      {" \r\n KCD\t\t+3.96\r\n", kOk, kTypeCommDevice, 396, true},
      {"KCD 3. 9 6", kOk, kTypeCommDevice, 396, true},  // each one-digit field skips blanks
      {"KCD -0.50", kOk, kTypeCommDevice, 50, true},
      {"KCD 42949672.95", kOk, kTypeCommDevice, 4294967295u, true},
      {"KCD", kOk, kTypeUnknown, 0, false},
      {"FOO 1.00", kNotRecognised, kTypeUnknown, 100, false},
      {"END 1.00", kNotRecognised, kTypeUnknown, 100, false},
      {"UNKNOWN 1.00", kNotRecognised, kTypeUnknown, 100, false},
      {"TARNXX 1.03", kNotRecognised, kTypeUnknown, 103, false},
      {longAnswer.c_str(), kNotRecognised, kTypeUnknown, 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text).substr(0, 40));
    DeviceProfile p;
    p.version = 77;
    EXPECT_EQ(ParseDeviceIdentity(c.text, &p), c.result);
    EXPECT_EQ(p.type, c.type);
    EXPECT_EQ(p.version, c.version);
    EXPECT_EQ(p.firmwareNewEnough, c.newEnough);
    EXPECT_EQ(p.displayName.view(), DeviceTypeDisplayName(c.type));
    EXPECT_EQ(p.identification.view(), std::string(c.text).substr(0, 64));
  }
}

TEST(DeviceType, ParseDeviceIdentityRefusesWithoutFillingTheProfile) {
  const char* notRead[] = {
      "TARNX 1.",    "TARNX 1 .02",     "TARNX1.02",
      "TARNX .02",   "TARNX 1.-2",      "TARNX +.5",
      "TARNX -1.05", "KCD 42949672.96", "KCD 99999999999999999999999.00",
      ". ",
  };
  for (const char* text : notRead) {
    SCOPED_TRACE(text);
    DeviceProfile p;
    p.version = 77;
    EXPECT_EQ(ParseDeviceIdentity(text, &p), kNotRecognised);
    EXPECT_EQ(p.version, 77u);
    EXPECT_TRUE(p.displayName.empty());
    EXPECT_TRUE(p.identification.empty());
  }
  DeviceProfile p;
  EXPECT_EQ(ParseDeviceIdentity(nullptr, &p), kMissingArgument);
  EXPECT_EQ(ParseDeviceIdentity("", &p), kMissingArgument);
  EXPECT_EQ(ParseDeviceIdentity("TARNX 1.03", nullptr), kMissingArgument);
  EXPECT_TRUE(p.displayName.empty());
}

TEST(DeviceType, FirmwareNewEnoughPerType) {
  struct Case {
    int type;
    std::uint32_t version;
    bool newEnough;
  };
  const Case cases[] = {
      {kTypeUnknown, 999, false}, {kTypeTarn, 999, false},
      {kTypeMrk, 999, false},     {kTypeTarnx, 102, false},
      {kTypeTarnx, 103, true},    {kTypeWst, 104, false},
      {kTypeWst, 105, true},      {kTypeCvMini, 117, false},
      {kTypeCvMini, 118, true},   {kTypeLuma, 149, false},
      {kTypeLuma, 150, true},     {kTypeCvTri, 350, false},
      {kTypeCvTri, 351, true},    {kTypeDigitalSensor, 0, true},
      {kTypeRdv, 0, true},        {kTypeCvFour, 0, true},
      {23, 999, false},           {-1, 999, false},
      {kTypeTarnb, 0, true},      {kTypeThx, 0, true},
      {kTypePrv, 0, true},        {kTypeCommDevice, 0, true},
      {kTypeCvv, 0, true},        {kTypeCvFtdl, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type * 10000 + static_cast<int>(c.version));
    DeviceProfile p;
    DescribeDevice(c.type, c.version, &p);
    EXPECT_EQ(p.firmwareNewEnough, c.newEnough);
  }
}

// The rows themselves are the table's; what matters here is that nothing of the device
// described before stays behind. Whole updates check each type's layout and waits.
TEST(DeviceType, DescribeDeviceLeavesNothingOfThePreviousDevice) {
  for (int type : {static_cast<int>(kTypeTarnx), static_cast<int>(kTypeDigitalSensor), 99}) {
    SCOPED_TRACE(type);
    DeviceProfile p;
    DescribeDevice(kTypeCvFour, 100, &p);
    ASSERT_TRUE(p.versionRangeApplies);
    p.identification.Set("stale");
    DescribeDevice(type, 321, &p);
    EXPECT_EQ(p.type, type == 99 ? 0 : type);
    EXPECT_EQ(p.version, 321u);
    EXPECT_TRUE(p.identification.empty());
    EXPECT_FALSE(p.versionRangeApplies);
    EXPECT_GT(p.restartWaitMs, 0u);
  }
  DeviceProfile unknown;
  DescribeDevice(99, 1, &unknown);
  EXPECT_EQ(unknown.displayName.view(), "UNKNOWN");
  DeviceProfile four;
  DescribeDevice(kTypeCvFour, 100, &four);
  EXPECT_EQ(four.minimumVersion, 202u);
  EXPECT_EQ(four.maximumVersion, 999u);
  DescribeDevice(kTypeCvFour, 100, nullptr);
}

TEST(DeviceType, CodesNamesAndPaths) {
  struct Lookup {
    const char* word;
    int index;
  };
  const Lookup lookups[] = {{"TARN", 1},    {"TARNX", 3},  {"KYREL-SX", 10}, {"CVFTDL", 22},
                            {"tarnx", 0},   {"TARNX ", 0}, {"TAR", 0},       {"END", 0},
                            {"UNKNOWN", 0}, {"", 0},       {nullptr, 0}};
  for (const Lookup& l : lookups) EXPECT_EQ(FindDeviceTypeCode(l.word), l.index) << l.index;
  for (int i = 1; i <= kLastDeviceType; ++i) EXPECT_EQ(FindDeviceTypeCode(DeviceTypeCode(i)), i);

  EXPECT_STREQ(DeviceTypeCode(0), "UNKNOWN");
  EXPECT_STREQ(DeviceTypeCode(23), "END");
  EXPECT_EQ(DeviceTypeCode(24), nullptr);
  EXPECT_EQ(DeviceTypeCode(-1), nullptr);
  EXPECT_STREQ(DeviceTypeDisplayName(23), "UNKNOWN");
  EXPECT_STREQ(DeviceTypeDisplayName(-3), "UNKNOWN");
  EXPECT_STREQ(VersionFinderPath(19), "/versionfinder/OGL2-Firmware.html");
  EXPECT_STREQ(VersionFinderPath(15), "/versionfinder/CorvelSeries4.txt");
  EXPECT_STREQ(VersionFinderPath(21), "");
  EXPECT_STREQ(VersionFinderPath(40), "");
  EXPECT_TRUE(DeviceTypeEraseWarning(1));
  EXPECT_FALSE(DeviceTypeEraseWarning(kTypeCvMini));
  EXPECT_FALSE(DeviceTypeEraseWarning(0));
  EXPECT_FALSE(DeviceTypeEraseWarning(23));
}

TEST(DeviceType, SensorNames) {
  struct Case {
    std::uint32_t code;
    const char* name;
  };
  const Case cases[] = {
      {95, "Kemmo Anemometer"},
      {117, "Gollo Drain Gauge"},
      {124, "KYREL-SX Sensor"},
      {125, "Valtu Sensor"},
      {127, "KYREL-SX Sensor"},
      {261, "Fesko-A or Fesko-B"},
      {123, "Unknown Sensor (type 123)"},
      {105, "Unknown Sensor (type 105)"},
      {4294967295u, "Unknown Sensor (type 4294967295)"},
  };
  for (const Case& c : cases) {
    BoundedText<32> name("stale");
    SensorName(c.code, &name);
    EXPECT_EQ(name.view(), c.name);
  }
  SensorName(95, nullptr);
}

}  // namespace
}  // namespace quendal
