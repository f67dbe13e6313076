#pragma once
// Result codes of the instrument session beside the shared ones and the logger library's.
#include "host/status.h"
#include "logger/logger_link.h"

namespace quendal {

inline constexpr Status kCodeCorrupt = kRefused;             // the firmware's self-test failed
inline constexpr Status kNotForThisType = kUnsupportedKind;  // -13
inline constexpr Status kSerialNumberRefused = kCannotSetOverRadio;  // -12 here
inline constexpr Status kLoginFailed = -25;
// The settings could not be read twice alike: the line garbles what the device holds.
inline constexpr Status kSettingsUnverified = -38;
// A settings file of a unit of this type whose serial number did not come back from its
// restore: whether this device is that unit cannot be known, so neither is taken.
inline constexpr Status kUnitUncertain = -39;
inline constexpr Status kSettingsFileMissing = -102;
inline constexpr Status kSettingsFileDenied = -105;
inline constexpr Status kSettingsFileError6 = -106;

// The log source of the instrument session, its capture and restore, and the settings file.
inline constexpr const char* kProtocolSource = "Orve_protocol";

}  // namespace quendal
