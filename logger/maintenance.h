#pragma once
// Operations above the single parameter: reading and writing sets of settings, the
// logger clock, erasing the logger's data, and the radio settings.
#include <cstdint>

#include "host/bounded_text.h"
#include "host/status.h"
#include "logger/logger_link.h"

namespace quendal {

// Settings bits: the same bits select settings in DeviceSettings, mark what was read in
// LoggerInfo::knownMask, and appear in the settings file.
enum SettingsBit : std::uint32_t {
  kSetName = 1u << 0,
  kSetSerialNumber = 1u << 1,
  kSetIdentity = 1u << 2,
  kSetTrait = 1u << 3,
  kSetWake = 1u << 4,
  kSetPorts = 1u << 5,
  kSetPadc = 1u << 6,
  kSetDeviceId = 1u << 7,
  kSetDataParameter = 1u << 8,
  kSetRadioMode = 1u << 9,
  kSetRadioChannel = 1u << 10,
  kSetRadioSubchannel = 1u << 11,
  kSetRadioVersion = 1u << 12,
  kSetDepths = 1u << 13,
  kSetSite = 1u << 14,
  kSetLatitude = 1u << 15,
  kSetLongitude = 1u << 16,
  kSetTimeZone = 1u << 17,
  kSetApn = 1u << 18,
  kSetApnUser = 1u << 19,
  kSetApnPassword = 1u << 20,
  kSetHost = 1u << 21,
  kSetAuthKey = 1u << 22,
  kSetIpPort = 1u << 23,
  kSetReportMode = 1u << 24,
  kSetAdc30 = 1u << 25,
  kSetAdc15 = 1u << 26,
  kSetBuild = 1u << 27,
};
inline constexpr std::uint32_t kRadioBits =
    kSetRadioChannel | kSetRadioSubchannel | kSetRadioVersion;

// Seconds of local time since 2000-01-01 00:00:00.
inline constexpr std::int64_t kSeconds1970To2000 = 946684800;

// flags: in the bits asked for, out the bits done. direction 0 reads into the link and
// then copies the link's LoggerInfo into block; 1 writes block's values.
Status DeviceSettings(LoggerLink* link, LoggerInfo* block, std::uint32_t* flags, int direction);

// Reads (direction 0) or sets the logger clock. A write of null or 0 seconds sets the
// PC's current time and hands it back.
Status DeviceTime(LoggerLink* link, std::int32_t* seconds, int direction);

// Erases the logger's stored data once it has shown that it is still the logger that
// was connected.
Status EraseData(LoggerLink* link);

// Radio bits (kRadioBits) in: asked for; out: done. 0: no radio found.
Status MSRadioCommand(LoggerLink* link, std::int32_t* channel, std::int32_t* subChannel,
                      BoundedText<8>* version, int direction, std::uint32_t* bits);
// Talks to the radio module itself in its AT command mode.
Status RadmoConfig(LoggerLink* link, std::int32_t* channel, std::int32_t* subChannel,
                   BoundedText<8>* version, int direction, std::uint32_t* bits);

// Local calendar time of seconds since 2000 (no time zone applied), and back. False for
// a time that does not exist or does not fit.
struct LoggerClock {
  int year, month, day, hour, minute, second;
};
LoggerClock ClockFromSeconds(std::int32_t seconds);
bool SecondsFromClock(const LoggerClock& clock, std::int32_t* seconds);

}  // namespace quendal
