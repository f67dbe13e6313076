// The shell answer parsers: identity, "show", status and settings, clock and battery,
// each fed the input's replies in turn.
#include <cstdint>
#include <string>

#include "fuzz/fake_device.h"
#include "instrument/instrument_session.h"
#include "logger/logger_link.h"
#include "logger/maintenance.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quendal;
  fuzz::Input input(data, size);
  const std::string identity = input.TakeString(64);
  DeviceProfile profile;
  ParseDeviceIdentity(identity.c_str(), &profile);

  const int which = input.TakeChoice(4);
  fuzz::SetReplies(input.TakeReplies(48));
  InstrumentSession session(nullptr);
  if (which == 0) {
    // The whole connect: login, identification, type and version.
    if (DPConnect(&session, "fuzz", 2, 2, &profile) > 0) {
      std::int32_t percent = 0;
      DPCheckBattery(&session, &percent);
      DPCheckFirmware(&session, 0);
    }
    DPLogout(&session, 0);
    return 0;
  }
  if (DSOpen(&session.link, "fuzz", 9600) < 0) return 0;
  if (which == 1) {
    session.link.info.loggerType = kLoggerTarn;
    session.link.info.newFirmware = 0;
    ParseShowCommand(&session.link, nullptr);
    BoundedText<8> id;
    ParseShowCommand(&session.link, &id);
    VerCommand(&session.link, 0);
  } else if (which == 2) {
    std::int32_t percent = 0;
    DPCheckBattery(&session, &percent);
    DPCheckFirmware(&session, 1);
    std::int32_t value = 0;
    GetValueLong(&session, "get -test", 1000, &value);
  } else {
    LoggerInfo block;
    std::uint32_t flags = ~0u;
    DeviceSettings(&session.link, &block, &flags, 0);
    std::int32_t seconds = 0;
    DeviceTime(&session.link, &seconds, 0);
  }
  DSClose(&session.link);
  return 0;
}
