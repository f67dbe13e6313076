#pragma once
// Result codes shared by every layer. Success is 1 or a positive count, 0 means that
// nothing was to be done; failures are negative. Failed system calls return the negated
// system error number.
#include <cstdint>

namespace quendal {

using Status = std::int32_t;

inline constexpr Status kOk = 1;
inline constexpr Status kNothingDone = 0;

inline constexpr Status kRefused = -1;
inline constexpr Status kNeverOpened = -6;  // baud change on a link that never had a port
inline constexpr Status kMissingArgument = -10;
inline constexpr Status kBadArgument = -11;
inline constexpr Status kNothingListening = -20;
inline constexpr Status kNoAnswer = -21;  // closed port, failed read or write, or silence
inline constexpr Status kNoAttempt = -22;
inline constexpr Status kNotRecognised = -30;
inline constexpr Status kBarePrompt = -31;
inline constexpr Status kEcho = -32;
inline constexpr Status kDeviceError = -34;
inline constexpr Status kCancelled = -40;
inline constexpr Status kOutOfMemory = -60;
inline constexpr Status kLoaderActive = -80;
inline constexpr Status kLoaderWaiting = -81;
inline constexpr Status kNotTIText = -100;
inline constexpr Status kImageCheckFailed = -101;
inline constexpr Status kHandshakeFailed = -110;
inline constexpr Status kNoLoader = -112;
inline constexpr Status kNotSupported = -120;
inline constexpr Status kWrongDevice = -121;
inline constexpr Status kBatteryLow = -130;
// The new firmware runs, but not every captured setting is back; the settings file is kept.
inline constexpr Status kSettingsNotRestored = -140;
// A value of the device that the settings file or its command cannot carry back whole
// (a line break, a NUL, too long); nothing was written or erased.
inline constexpr Status kSettingsUnfit = -150;
// The settings were read but the settings file could not be written (full disk, read-only
// folder); the device was not touched.
inline constexpr Status kSettingsWriteFailed = -151;
// Another running updater holds the settings file of this kind of device.
inline constexpr Status kSettingsFileBusy = -152;
// A file of the data folder is a symbolic link, which the updater never reads or writes
// through: another user may have planted it.
inline constexpr Status kSymbolicLink = -153;

}  // namespace quendal
