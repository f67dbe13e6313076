#pragma once
// The device types the updater knows, their loader parameters and workflow choices, and
// the names of the digital sensor types. What this layer knows of a type is one row of the
// table in device_types.cpp; the instrument layer's facts are in instrument/instrument_types.h.
#include <cstdint>

#include "host/bounded_text.h"
#include "host/status.h"

namespace quendal {

enum DeviceType : std::int8_t {
  kTypeUnknown = 0,
  kTypeTarn = 1,
  kTypeTarnb = 2,
  kTypeTarnx = 3,
  kTypeWst = 4,
  kTypeMrk = 5,
  kTypeCvMini = 6,
  kTypeThx = 7,
  kTypeLuma = 8,
  kTypePrv = 9,
  kTypeDigitalSensor = 10,
  kTypeSrbx = 11,
  kTypeCvTri = 12,
  kTypeCommDevice = 13,
  kTypeRdv = 14,
  kTypeCvFour = 15,
  kTypeCvv = 16,
  kTypePotex = 17,
  kTypeRlm = 18,
  kTypeOgl = 19,
  kTypeCvq = 20,
  kTypeVinex = 21,
  kTypeCvFtdl = 22,
};
inline constexpr int kLastDeviceType = 22;

// One row of the table made concrete for a connected device and its firmware version.
struct DeviceProfile {
  std::int8_t type = kTypeUnknown;
  BoundedText<32> displayName;
  BoundedText<64> identification;
  std::uint32_t version = 0;
  std::uint32_t restartWaitMs = 0;
  bool savesSettings = false;
  bool erasesOldData = false;
  bool checksBattery = false;
  bool needsLogin = false;
  bool setsClock = false;
  bool firmwareNewEnough = false;
  bool firmwareCheck = false;
  bool calibrationNotice = false;
  std::uint32_t flashStart = 0;
  std::uint32_t flashEnd = 0;
  bool extendedAddresses = false;
  std::uint32_t infoStart = 0;
  std::uint32_t infoSegments = 0;
  std::uint32_t infoSegmentSize = 0;
  std::uint32_t loaderBaud = 0;
  bool versionRangeApplies = false;
  std::uint32_t minimumVersion = 0;
  std::uint32_t maximumVersion = 0;
};

// The type code of an index ("UNKNOWN" ... "CVFTDL", 23 "END"); null beyond 23.
const char* DeviceTypeCode(int index);
// The display name of an index; "UNKNOWN" outside 1..22.
const char* DeviceTypeDisplayName(int index);
// The path of the type's page on the version service; empty when it has none.
const char* VersionFinderPath(int index);
// Whether updating this type erases stored measurement data (read by the help text).
bool DeviceTypeEraseWarning(int index);

// Exact comparison of an upper-case word with the codes of entries 1 to 22; 0 when none.
int FindDeviceTypeCode(const char* upperWord);

// The type's row made concrete for `version`; a type outside 0..22 gives the unknown row.
void DescribeDevice(int type, std::uint32_t version, DeviceProfile* profile);
// Returns 1, -10 (no text) or -30 (not understood); fills the profile.
Status ParseDeviceIdentity(const char* text, DeviceProfile* profile);

// The name of a digital sensor type code (95..127, 260..262).
void SensorName(std::uint32_t sensorType, BoundedText<32>* name);

}  // namespace quendal
