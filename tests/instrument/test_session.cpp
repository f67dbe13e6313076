// The session's single operations against simulated instruments and scripted answers.
#include <gtest/gtest.h>

#include <cerrno>

#include <algorithm>
#include <string>

#include "host/serial.h"
#include "host/timing.h"
#include "instrument/instrument_session.h"
#include "logger/maintenance.h"
#include "tests/instrument/instrument_fixture.h"
#include "tests/support/eventually.h"
#include "tests/support/pty_rig.h"

namespace quendal {
namespace {

using test::Connect;
using test::InstrumentTest;
using test::PtyRig;
using test::SimInstrument;

class Session : public InstrumentTest {};

TEST_F(Session, ConnectIdentifiesTheDeviceOrTellsWhyNot) {
  struct Case {
    const char* versionText;
    Status result;
    int type;
    const char* logLine;
  };
  const Case cases[] = {
      {"CVFOUR 2.05", 1, kTypeCvFour, "DPConnect successfully connected to device"},
      {"TARNX 1.02", -120, kTypeTarnx, "DPConnect this firmware version is not supported"},
      {"FOO 1.00", -120, kTypeUnknown, "DPConnect this device must not be supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.versionText);
    sim::DeviceOptions options = sim::OptionsForType(kTypeCvFour, 205);
    options.shell.versionText = c.versionText;
    SimInstrument device(options);
    ASSERT_TRUE(device.started);
    InstrumentSession session(&log);
    DeviceProfile profile;
    EXPECT_EQ(Connect(&session, device.Path(), &profile), c.result);
    EXPECT_EQ(profile.type, c.type);
    EXPECT_TRUE(Logged(c.logLine));
    if (c.result > 0) {
      EXPECT_EQ(session.profileType, kTypeCvFour);
      EXPECT_EQ(session.profile.version, 205u);
      EXPECT_EQ(session.info.versionNumber, 205);
      EXPECT_EQ(session.info.version, "CVFOUR 2.05");
      EXPECT_EQ(session.info.newFirmware, 1);
    }
    DPLogout(&session, 0);
  }
  InstrumentSession session(&log);
  DeviceProfile profile;
  EXPECT_EQ(DPConnect(&session, "", 2, 3, &profile), -10);
  // A name longer than the request holds is refused, never cut (a cut path names another
  // device: /dev/serial/by-id/usb-...-port0 and ...-port01 differ only at their end).
  const std::string longName = "/dev/serial/by-id/" + std::string(46, 'x') + "1";
  EXPECT_EQ(DPConnect(&session, longName.c_str(), 2, 3, &profile), -11);
  EXPECT_EQ(DPConnect(&session, "/dev/ttyUSB100", 2, 3, &profile), -ENOENT) << "paths fit";
}

TEST_F(Session, SlowConnectFindsTheLoaderAndLeavesThePortFree) {
  sim::DeviceOptions options = sim::OptionsForType(kTypeCvMini, 120);
  options.blankFlash = true;  // the loader waits for its handshake
  SimInstrument device(options);
  ASSERT_TRUE(device.started);
  InstrumentSession session(&log);
  EXPECT_EQ(Connect(&session, device.Path()), -81);
  EXPECT_TRUE(Logged("DPConnect found the Quendal listening (-81)"));

  // Once past its handshake the loader answers a shell command with its version.
  DeviceLink raw;
  ASSERT_EQ(DSOpen(&raw, device.Path().c_str(), 9600), 1);
  std::uint32_t written = 0;
  DSWrite(&raw, "\rP", 2, &written);
  test::Eventually([&] { return device.device.State() == sim::DeviceState::kLoaderActive; });
  DSClose(&raw);
  ASSERT_EQ(device.device.State(), sim::DeviceState::kLoaderActive);
  EXPECT_EQ(Connect(&session, device.Path()), -80);
  EXPECT_TRUE(Logged("DPConnect found the Quendal listening (-80)"));
  ASSERT_EQ(DSOpen(&raw, device.Path().c_str(), 9600), 1);  // the loader engine can take it
}

TEST_F(Session, LoginLogoutFirmwareCheckAndErase) {
  SimInstrument cvmini(kTypeCvMini, 120);
  InstrumentSession session(&log);
  ASSERT_EQ(Connect(&session, cvmini.Path()), 1);
  EXPECT_GT(DPLogin(&session), 0);
  EXPECT_TRUE(cvmini.model.LoggedIn());
  EXPECT_TRUE(Logged("DPConnect successfully loged into the device"));
  EXPECT_EQ(DPCheckFirmware(&session, 1), 1);
  cvmini.model.ClearCommands();
  EXPECT_EQ(DPEraseData(&session), -13);  // a Corvel Mini keeps no data to erase
  EXPECT_EQ(DPLogout(&session, 1), 1);
  EXPECT_FALSE(cvmini.model.LoggedIn());
  EXPECT_EQ(cvmini.model.Commands(), std::vector<std::string>{"logout"});

  SimInstrument thx(kTypeThx, 200, {.dataFlashFails = true});
  ASSERT_EQ(Connect(&session, thx.Path()), 1);
  EXPECT_EQ(DPEraseData(&session), -65);
  EXPECT_TRUE(Logged("DPEraseData failed due to a broken DataFlash"));
  thx.model.SetDataFlashFails(false);
  EXPECT_EQ(DPEraseData(&session), 1);
  EXPECT_EQ(thx.model.Erasures(), 2);
  DPLogout(&session, 1);

  SimInstrument kcd(kTypeCommDevice, 123);
  ASSERT_EQ(Connect(&session, kcd.Path()), 1);
  kcd.model.ClearCommands();
  EXPECT_EQ(DPEraseData(&session), -13);
  EXPECT_EQ(DPSetTime(&session), -13);  // no clock either
  EXPECT_TRUE(kcd.model.Commands().empty());
  DPLogout(&session, 1);

  // A shell without the service login refuses it.
  SimInstrument plain(sim::OptionsForType(kTypeCvMini, 120));
  ASSERT_EQ(Connect(&session, plain.Path()), 1);
  EXPECT_EQ(DPLogin(&session), -25);
  EXPECT_TRUE(Logged("DPConnect couldn't log into the device"));
}

TEST_F(Session, SetTimeSendsLocalSecondsSince2000) {
  SimInstrument luma(kTypeLuma, 200);
  InstrumentSession session(&log);
  ASSERT_EQ(Connect(&session, luma.Path()), 1);
  session.wallClock = [](std::time_t*) {
    return static_cast<std::time_t>(kSeconds1970To2000 - LocalUtcOffset());
  };
  EXPECT_EQ(DPSetTime(&session), 1);
  EXPECT_EQ(luma.model.ClockSeconds(), 0);
  EXPECT_TRUE(Logged("DPSetTime set the time to: 0"));

  session.wallClock = [](std::time_t*) { return static_cast<std::time_t>(-1); };
  EXPECT_EQ(DPSetTime(&session), -30);
  DPLogout(&session, 1);

  // Types without the seconds command set the clock through the logger library.
  SimInstrument thx(kTypeThx, 200);
  ASSERT_EQ(Connect(&session, thx.Path()), 1);
  EXPECT_EQ(DPSetTime(&session), 1);
  const std::string clock = thx.model.ClockText();
  EXPECT_NE(clock.find('-'), std::string::npos) << clock;
  EXPECT_NE(clock.find(':'), std::string::npos) << clock;
}

class ScriptedSession : public InstrumentTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.ok());
    ASSERT_EQ(DSOpen(&session.link, rig.SlavePath().c_str(), 9600), 1);
  }
  PtyRig rig;
  InstrumentSession session{&log};
};

TEST_F(ScriptedSession, BatteryAnswers) {
  struct Case {
    const char* answer;
    Status result;
    std::int32_t percent;
  };
  const Case cases[] = {{"\r87\r>", 1, 87}, {"\r\r>", -31, -1}, {"\rfull\r>", -30, 99}};
  for (const Case& c : cases) {
    rig.Expect("get -batt\r").Send(c.answer);
    std::int32_t percent = 99;
    EXPECT_EQ(DPCheckBattery(&session, &percent), c.result) << c.answer;
    EXPECT_EQ(percent, c.percent) << c.answer;
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  }
  EXPECT_EQ(DPCheckBattery(&session, nullptr), -10);
  EXPECT_TRUE(Logged("DPCheckBattery: 87% battery"));
}

TEST_F(ScriptedSession, ValuesAreTheFirstLineOfTheAnswer) {
  for (int i = 0; i < 3; ++i) rig.Expect("get -sn\r").Send("\r>");
  char value[16] = "stale";
  EXPECT_EQ(GetValueString(&session, "get -sn", 500, value, 15), -30);
  EXPECT_STREQ(value, "");
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_TRUE(Logged("GetValueString found a leading prompt character executing command"));

  rig.Expect("get -loc\r").Send("\rError 4\r>").Expect("get -loc\r").Send("\r\nNorth F\r>");
  char location[8];
  EXPECT_EQ(GetValueString(&session, "get -loc", 500, location, 7), 1);
  EXPECT_STREQ(location, "North F");
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(session.unfitText, "");

  // A value longer than its field is never cut to fit: it is no value, and it is named.
  rig.Expect("get -loc\r").Send("\r\nNorth Field 7\r>");
  EXPECT_EQ(GetValueString(&session, "get -loc", 500, location, 7), -30);
  EXPECT_STREQ(location, "");
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(session.unfitText,
            "its answer to \"get -loc\" has 13 characters, more than the 7 it can keep");

  // Nor is one cut at a NUL: the settings file could not hold it whole either.
  session.unfitText.clear();
  rig.Expect("get -loc\r").Send(std::string("\r\nNo\0rth\r>", 9));
  EXPECT_EQ(GetValueString(&session, "get -loc", 500, location, 7), -30);
  EXPECT_STREQ(location, "");
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_EQ(session.unfitText,
            "its answer to \"get -loc\" \"No\\0rth\" holds a NUL, which the settings file cannot "
            "keep");

  rig.Expect("get -tau\r").Send("\rnone\r>").Expect("get -tau\r").Send("\r\n-40\r>");
  std::int32_t tau = 0;
  EXPECT_EQ(GetValueLong(&session, "get -tau", 500, &tau), 1);
  EXPECT_EQ(tau, -40);
  ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  EXPECT_TRUE(Logged("GetValueLong found get -tau \"-40\""));
}

// What the line made of an answer is no value: the value is asked again.
TEST_F(ScriptedSession, GarbledAnswersAreNoValue) {
  struct Case {
    const char* garbled;
    const char* good;
    bool number;
  };
  const Case cases[] = {
      {"\rEROR\r>", "\ru0\r>", false},          // an error word that lost a letter
      {"\rUnsuported\r>", "\ru0\r>", false},
      {"\rerrr\r>", "\ru0\r>", false},
      {"\r-0.12 -1.6>\r>", "\ru0\r>", false},  // the prompt inside the value
      {"\r3x\r>", "\r3\r>", true},              // a number with something after it
      {"\r99999999999\r>", "\r3\r>", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.garbled);
    rig.Expect("get -x\r").Send(c.garbled).Expect("get -x\r").Send(c.good);
    if (c.number) {
      std::int32_t value = 0;
      EXPECT_EQ(GetValueLong(&session, "get -x", 500, &value), 1);
      EXPECT_EQ(value, 3);
    } else {
      char value[32];
      EXPECT_EQ(GetValueString(&session, "get -x", 500, value, 31), 1);
      EXPECT_STREQ(value, "u0");
    }
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  }
  // Values that only look alike stay values.
  for (const char* answer : {"\rERRATA 2\r>", "\rEROS\r>"}) {
    rig.Expect("get -x\r").Send(answer);
    char value[32];
    EXPECT_EQ(GetValueString(&session, "get -x", 500, value, 31), 1) << answer;
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  }
}

TEST_F(ScriptedSession, FirmwareCheckAnswers) {
  struct Case {
    std::uint8_t init;
    const char* command;
    const char* answer;
    Status result;
  };
  const Case cases[] = {{0, "post\r", "\rCode Good!\r>", 1},
                        {1, "post -init\r", "\rCode Corrupt!\r>", -1},
                        {0, "post\r", "\rCode Fine\r>", -30}};
  for (const Case& c : cases) {
    rig.Expect(c.command).Send(c.answer);
    EXPECT_EQ(DPCheckFirmware(&session, c.init), c.result) << c.answer;
    ASSERT_TRUE(rig.WaitDone()) << rig.FailureText();
  }
}

}  // namespace
}  // namespace quendal
