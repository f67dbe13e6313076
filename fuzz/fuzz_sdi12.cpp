// The SDI-12 reply parsers: identity and version, type, serial number, calibrations and
// the self-test, each fed the input's replies in turn.
#include <cstdint>
#include <string>

#include "fuzz/fake_device.h"
#include "host/serial.h"
#include "sdi12/sdi_sensor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quendal;
  fuzz::Input input(data, size);
  fuzz::SetReplies(input.TakeReplies(32));
  DeviceLink link;
  if (DSOpen(&link, "fuzz", 9600) < 0) return 0;
  SdiSensorLink sdi(nullptr, &link);
  SDIGetSensorVersion(&sdi);
  SDIGetSensorType(&sdi);
  SDIGetSensorSN(&sdi);
  SDIGetSensorCalibration(&sdi);
  SDIConvertCalibration(&sdi);
  SDICheckBinary(&sdi);
  DSClose(&link);
  return 0;
}
