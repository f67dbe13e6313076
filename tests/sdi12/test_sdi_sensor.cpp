#include <string>
#include <vector>

#include "tests/sdi12/sdi_fixture.h"

namespace quendal::test {
namespace {

constexpr const char* kOldXa = "1 1.44832 1.91683 2.35961 2.991";
constexpr const char* kBremoXa = "1 1.39619 2.03054 2.54573 2.9907";
constexpr const char* kDorroXa = "1 1.4724 2.03944 2.5652 2.9907";

// Answers every command that starts with `prefix` with the next of `bodies` (the last
// one repeats).
auto Sequence(std::string prefix, std::vector<std::string> bodies) {
  return [prefix, bodies, n = std::size_t{0}](
             FakeSensor& s, const std::string& got) mutable -> std::optional<std::string> {
    if (got.rfind(prefix, 0) != 0) return std::nullopt;
    return s.Reply(bodies[std::min(n++, bodies.size() - 1)]);
  };
}

TEST_F(SdiTest, IdentityGivesAddressVersionAndIdentity) {
  const std::string longer = "ORVELLE Lurra 396" + std::string(30, 'L');
  struct Case {
    std::string reply;
    Status result;
    char address;
    std::string identity;
  } cases[] = {
      {"013ORVELLE Lurra 396SX1\r\n", 396, '0', "ORVELLE Lurra 396SX1"},
      {"b13ORVELLE Bremo 3x6\r\n", 3, 'b', "ORVELLE Bremo 3x6"},
      {"013ORV\r\n", 0, '0', "ORV"},
      {"713" + longer + "\r\n", 396, '7', longer.substr(0, 36)},
      // A garbled first character is no address to restore later.
      {"#13ORVELLE Lurra 396\r\n", kNotRecognised, '0', ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Reset();
    Sensor([&](FakeSensor& s) { s.script = Answering("?I!", c.reply); });
    EXPECT_EQ(SDIGetSensorVersion(&sdi), c.result);
    EXPECT_EQ(sdi.address, c.address);
    EXPECT_EQ(sdi.identity, c.identity);
  }
}

TEST_F(SdiTest, SensorTypeFromX8OrFromTheIdentity) {
  struct Case {
    const char* x8;  // null: no answer
    const char* model;
    Status result;
    int type;
  } cases[] = {
      {"0z\r\n", "Lurra ", kOk, 'z'}, {"0 w\r\n", "Lurra ", kOk, 'w'},
      {"0\r\n", "Bremo ", kOk, 'z'},  {nullptr, "Valtu ", kOk, '}'},
      {nullptr, "Vomra ", kOk, 127},  {nullptr, "Lurra ", kRefused, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    Reset();
    Impatient();
    Sensor([&](FakeSensor& s) {
      s.model = c.model;
      s.script = Answering("?X8!", c.x8 ? c.x8 : "");
    });
    EXPECT_EQ(SDIGetSensorType(&sdi), c.result);
    EXPECT_EQ(sdi.typeCode, c.type);
    // Only a failed "?X8!" falls back to the identity, read first when missing.
    EXPECT_EQ(Seen().Count("?I!"), c.x8 && c.x8[1] != '\r' ? 0 : 1);
  }
  EXPECT_TRUE(Logged("SDIGetSensorType couldn't detirmine sensor type"));
}

TEST_F(SdiTest, SerialNumberWithAndWithoutText) {
  struct Case {
    std::string sn;
    Status read;
    std::string stored;
    Status write;
  } cases[] = {
      {"SN-0042", kOk, "SN-0042", kOk},
      {"", kNothingDone, "", kNothingDone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sn);
    Reset();
    Sensor([&](FakeSensor& s) { s.serialNumber = c.sn; });
    EXPECT_EQ(SDIGetSensorSN(&sdi), c.read);
    EXPECT_EQ(sdi.serialNumber, c.stored);
    Sensor([](FakeSensor& s) { s.serialNumber = "other"; });
    EXPECT_EQ(SDISetSensorSN(&sdi), c.write);
    // With nothing stored nothing is written.
    EXPECT_EQ(Seen().serialNumber, c.stored.empty() ? "other" : c.stored);
  }
}

TEST_F(SdiTest, MinusOneRepairOnlyForBremoAndCemmo) {
  struct Case {
    char type;
    std::string x4;
    std::string stored;
  } cases[] = {
      {'z', "-1 2.5 -1", "+0 2.5 +0"},
      {'x', "1 -1 2.5e-1 -1 3-1", "1 +0 2.5e-1 +0 3-1"},
      {'w', "-1 2.5 -1", "-1 2.5 -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x4);
    Reset();
    sdi.typeCode = static_cast<std::uint8_t>(c.type);
    sdi.firmwareVersion = 500;
    Sensor([&](FakeSensor& s) {
      s.x4 = c.x4;
      s.xa = "2 2.1 2.2 2.3 2.4";
    });
    EXPECT_EQ(SDIGetSensorCalibration(&sdi), kOk);
    EXPECT_EQ(sdi.calibration, c.stored);
    EXPECT_EQ(sdi.calibration2, "2 2.1 2.2 2.3 2.4");
  }
}

TEST_F(SdiTest, XaDefaultsByTypeAndVersion) {
  struct Case {
    char type;
    std::uint32_t version;
    std::string xa;  // what the sensor holds; the reply is " " + this
    std::string stored;
    const char* word;
  } cases[] = {
      {'w', 352, "1", kOldXa, "set"},
      {'w', 353, "", kDorroXa, "set"},
      {'w', 401, "", kDorroXa, "set"},
      {'w', 402, "", "", "found"},
      {'z', 355, "", kOldXa, "set"},
      {'z', 356, "", kBremoXa, "set"},
      {'x', 399, "", kBremoXa, "set"},
      {'z', 400, "", "", "found"},
      // A sensor still holding the older default gets the one of its firmware...
      {'x', 380, kOldXa, kBremoXa, "set"},
      {'w', 360, kOldXa, kDorroXa, "set"},
      // ...a calibrated one keeps its values, and outside those versions nothing changes.
      {'z', 380, "1 1.5 2.0 2.5 3.0", "1 1.5 2.0 2.5 3.0", "found"},
      {'z', 340, kOldXa, kOldXa, "found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " " + std::to_string(c.version));
    Reset();
    sdi.typeCode = static_cast<std::uint8_t>(c.type);
    sdi.firmwareVersion = c.version;
    Sensor([&](FakeSensor& s) {
      s.x4 = "1 2 3";
      s.xa = c.xa;
    });
    EXPECT_EQ(SDIGetSensorCalibration(&sdi), kOk);
    EXPECT_EQ(sdi.calibration2, c.stored);
    EXPECT_TRUE(Logged(std::string("SDIGetSensorCalibration ") + c.word + " calibration Xa \"" +
                       c.stored + "\""));
  }
}

TEST_F(SdiTest, FailedXaReadIsFatalOnlyForFeskoA) {
  struct Case {
    char type;
    Status result;
    std::string calibration2;
  } cases[] = {
      {'y', kNoAttempt, ""},
      {'l', kOk, ""},
      {'w', kOk, kOldXa},  // firmware 350: the default stands in
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    Reset();
    Impatient();
    Sensor([&](FakeSensor& s) {
      s.type = c.type;
      s.version = "350";
      s.x4 = "1 2 3";
      s.script = Answering("?Xa!", "");
    });
    EXPECT_EQ(SDISaveInfo(&sdi), c.result);
    EXPECT_EQ(sdi.calibration2, c.calibration2);
  }
}

TEST(SdiConvert, SixNumberFormBelowVersion340) {
  struct Case {
    std::uint32_t version;
    const char* x4;
    Status result;
    const char* stored;
  } cases[] = {
      {339, "1 2 4 0 10 20 0 0 7", kOk, "1.000 -1.000000e+03 5.000000e+02 0.000000e+00 15.0 7.0"},
      {340, "1 2 4 0 10 20 0 0 7", kNothingDone, "1 2 4 0 10 20 0 0 7"},
      // Fewer than nine numbers, or equal second and third ones, leave the text as read.
      {339, "1 2 4 0 10 20 0 0", kNothingDone, "1 2 4 0 10 20 0 0"},
      {339, "1 2 2 0 10 20 0 0 7", kNothingDone, "1 2 2 0 10 20 0 0 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x4);
    SdiSensorLink sdi(nullptr, nullptr);
    sdi.firmwareVersion = c.version;
    sdi.calibration.Set(c.x4);
    EXPECT_EQ(SDIConvertCalibration(&sdi), c.result);
    EXPECT_EQ(sdi.calibration, c.stored);
  }
}

TEST_F(SdiTest, ConfirmedWritesRetryUntilOk) {
  struct Case {
    char type;
    std::vector<std::string> x5, xb;
    Status result;
    int x5Sends, xbSends;
  } cases[] = {
      {'s', {"ERROR"}, {}, kDeviceError, 5, 0},
      {'s', {"ERROR", "ERROR", "OK"}, {}, kOk, 3, 0},
      {'s', {"BUSY"}, {}, kNoAttempt, 5, 0},
      {'z', {"OK"}, {"ERROR", "OK"}, kOk, 1, 2},
      // An Xb step the sensor never confirms is no success.
      {'z', {"OK"}, {"BUSY"}, kNoAttempt, 1, 5},
      {'z', {"ERROR"}, {"OK"}, kDeviceError, 5, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x5.front() + (c.xb.empty() ? "" : " / " + c.xb.front()));
    Reset();
    sdi.typeCode = static_cast<std::uint8_t>(c.type);
    sdi.calibration.Set("1 2 3");
    sdi.calibration2.Set("4 5 6");
    auto x5 = Sequence("?X5", c.x5);
    auto xb = Sequence("?Xb", c.xb.empty() ? std::vector<std::string>{"OK"} : c.xb);
    Sensor([&](FakeSensor& s) {
      s.script = [x5, xb](FakeSensor& s, const std::string& got) mutable {
        return got.rfind("?X5", 0) == 0 ? x5(s, got) : xb(s, got);
      };
    });
    EXPECT_EQ(SDISetSensorCalibration(&sdi, nullptr), c.result);
    FakeSensor seen = Seen();
    EXPECT_EQ(seen.Count("?X51 2 3!"), c.x5Sends);
    EXPECT_EQ(seen.Count("?Xb4 5 6!"), c.xbSends);
  }
}

TEST_F(SdiTest, CalibrationThatDoesNotFitOneCommandIsRefusedNotCut) {
  const std::string fits(59, '7');
  const std::string tooLong(60, '7');
  struct Case {
    char type;
    std::string x4, xa;
    Status result;
    std::string sensorX4, sensorXa;
  } cases[] = {
      {'s', fits, "", kOk, fits, ""},
      {'s', tooLong, "", kBadArgument, "", ""},
      {'s', "1 2!3", "", kBadArgument, "", ""},
      // What fits is still written; the refusal is the result.
      {'z', "1 2 3", tooLong, kBadArgument, "1 2 3", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x4 + " / " + c.xa);
    Reset();
    sdi.typeCode = static_cast<std::uint8_t>(c.type);
    sdi.calibration.Set(c.x4);
    sdi.calibration2.Set(c.xa);
    EXPECT_EQ(SDISetSensorCalibration(&sdi, nullptr), c.result);
    FakeSensor seen = Seen();
    EXPECT_EQ(seen.x4, c.sensorX4);
    EXPECT_EQ(seen.xa, c.sensorXa);
    for (const std::string& command : seen.commands) EXPECT_LE(command.size(), 63u);
  }
  EXPECT_TRUE(Logged("SDISetSensorCalibration refused X5 calibration \"" + tooLong + "\""));
  EXPECT_TRUE(Logged("SDISetSensorCalibration did not set sensor calibration"));
}

TEST_F(SdiTest, AddressWrites) {
  struct Case {
    char address;
    bool sensorConfirms;
    Status result;
    char sensorAddress;
    int sends;
  } cases[] = {
      {'b', true, kOk, 'b', 1},
      {'c', false, kNotRecognised, '0', 1},
      {'!', true, kBadArgument, '0', 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    Reset();
    if (!c.sensorConfirms) {
      Sensor([](FakeSensor& s) {
        s.script = [](FakeSensor& s, const std::string& got) -> std::optional<std::string> {
          if (got[1] == 'A') return s.Reply("");
          return std::nullopt;
        };
      });
    }
    EXPECT_EQ(SDISetSensorAddress(&sdi, c.address), c.result);
    FakeSensor seen = Seen();
    EXPECT_EQ(seen.address, c.sensorAddress);
    EXPECT_EQ(static_cast<int>(seen.commands.size()), c.sends);
  }
}

TEST_F(SdiTest, SetSensorTypeChecksFamilies) {
  struct Case {
    int stored;
    std::uint32_t code;
    Status result;
    const char* sent;  // null: nothing sent
  } cases[] = {
      {'s', kSensorFamilyLurra, kOk, "?X9 s!"},
      {'z', kSensorFamilyLurra, kNotRecognised, nullptr},
      {'l', kSensorFamilyFesko, kOk, "?X9 l!"},
      {'s', kSensorFamilyFesko, kNotRecognised, nullptr},
      {'j', kSensorFamilyHarvo, kOk, "?X9 j!"},
      {0, kSensorFamilyHarvo, kNotRecognised, nullptr},
      {'s', 'z', kOk, "?X9 z!"},
      {'s', 0, kBadArgument, nullptr},
      {'s', 255, kBadArgument, nullptr},
      {'s', 300, kBadArgument, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.stored) + " " + std::to_string(c.code));
    Reset();
    sdi.typeCode = static_cast<std::uint8_t>(c.stored);
    EXPECT_EQ(SDISetSensorType(&sdi, c.code), c.result);
    std::vector<std::string> expected;
    if (c.sent) expected.push_back(c.sent);
    EXPECT_EQ(Seen().commands, expected);
  }
  // A sensor that does not confirm the type.
  Reset();
  Sensor([](FakeSensor& s) { s.script = Answering("?X9 z!", "0ERROR\r\n"); });
  EXPECT_EQ(SDISetSensorType(&sdi, 'z'), kNotRecognised);
}

TEST_F(SdiTest, LoaderStartSendsItsBytesUnlessTheSensorHasNoLoader) {
  struct Case {
    const char* name;
    bool hasLoader;
    bool silent;
    Status result;
    const char* switches;  // after the last switch to relaying
    const char* loaderBytes;
  } cases[] = {
      {"loader", true, false, kOk, "[]", "P"},
      {"no loader", false, false, kNoSensorLoader, "[", ""},
      {"silent", true, true, kOk, "[]", "P"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Write("`[");
    const bool silent = c.silent;
    Sensor([&](FakeSensor& s) {
      s.hasLoader = c.hasLoader;
      if (silent) s.script = Answering("?B!", "");
    });
    EXPECT_EQ(SDIInvokeQuendal(&sdi), c.result);
    FakeSensor seen = Seen();
    EXPECT_EQ(seen.Count("?B!"), 1);
    EXPECT_EQ(seen.switchBytes.substr(seen.switchBytes.rfind('[')), c.switches);
    EXPECT_EQ(seen.loaderBytes, c.loaderBytes);
    EXPECT_EQ(sdi.retryCount, 5u);
    EXPECT_EQ(sdi.replyTimeoutMs, 2000u);
  }
  EXPECT_TRUE(Logged("SDIInvokeQuendal: sensor reported a missing Quendal"));
}

TEST_F(SdiTest, FirmwareSelfCheck) {
  struct Case {
    const char* reply;
    Status result;
  } cases[] = {
      {"0Code Good\r\n", kOk},
      {"0Code Corrupt\r\n", kFirmwareCorrupt},
      {"0Code ?\r\n", kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Reset();
    Sensor([&](FakeSensor& s) { s.script = Answering("?post!", c.reply); });
    EXPECT_EQ(SDICheckBinary(&sdi), c.result);
  }
}

TEST_F(SdiTest, SaveResetRestoreLeavesTheSensorAsItWas) {
  struct Case {
    FakeSensor sensor;
    std::string restoredX4;
  } cases[2];
  cases[0].sensor.type = 'z';
  cases[0].sensor.model = "Bremo ";
  cases[0].sensor.address = 'b';
  cases[0].sensor.serialNumber = "ZB-1001";
  cases[0].sensor.x4 = "0.1 2 3";
  cases[0].sensor.xa = "1 1.5 2 2.5 3";
  cases[0].restoredX4 = "0.1 2 3";
  cases[1].sensor.type = 'u';
  cases[1].sensor.version = "339";
  cases[1].sensor.address = '3';
  cases[1].sensor.x4 = "1 2 4 0 10 20 0 0 7";
  cases[1].restoredX4 = "1.000 -1.000000e+03 5.000000e+02 0.000000e+00 15.0 7.0";

  for (const Case& c : cases) {
    SCOPED_TRACE(c.sensor.type);
    Reset(c.sensor);
    ASSERT_EQ(SDISaveInfo(&sdi), kOk);
    EXPECT_EQ(sdi.typeCode, static_cast<std::uint8_t>(c.sensor.type));
    Sensor([](FakeSensor& s) { s.FactoryReset(); });
    EXPECT_EQ(SDIRestoreInfo(&sdi), kOk);
    FakeSensor seen = Seen();
    EXPECT_EQ(seen.address, c.sensor.address);
    EXPECT_EQ(seen.x4, c.restoredX4);
    EXPECT_EQ(seen.xa, c.sensor.xa);
    EXPECT_EQ(seen.serialNumber, c.sensor.serialNumber);
  }
}

}  // namespace
}  // namespace quendal::test
