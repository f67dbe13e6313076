#pragma once
// Access to an SDI-12 digital sensor through the comm device that relays its commands:
// one transaction routine with wake-up, probing and retries, and the sensor operations
// an update needs (capture and restore of identity, calibrations and serial number,
// loader start, firmware self-check, type setting).
#include <array>
#include <cstdint>
#include <string>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/serial.h"
#include "host/status.h"

namespace quendal {

// Codes of this layer beside the shared ones.
inline constexpr Status kFirmwareCorrupt = -66;  // the sensor's self-test failed
inline constexpr Status kNoSensorLoader = -82;   // the sensor has no resident loader

inline constexpr std::uint32_t kSdiReceiveBufferSize = 256;
inline constexpr std::uint32_t kSdiReplySize = 256;
// Commands are built in buffers of this size, terminating zero included.
inline constexpr std::uint32_t kSdiCommandBufferSize = 64;
// The longest text that fits a "?X5"/"?Xb" command: prefix, "!" and zero take five bytes.
inline constexpr std::uint32_t kSdiMaxCalibrationCommandText = kSdiCommandBufferSize - 5;

inline constexpr std::uint32_t kSdiDefaultRetryCount = 5;
inline constexpr std::uint32_t kSdiDefaultReplyTimeoutMs = 2000;

// Sensor type codes this layer treats specially; 260..262 name families (targets only).
inline constexpr std::uint32_t kSensorFamilyLurra = 260;
inline constexpr std::uint32_t kSensorFamilyFesko = 261;
inline constexpr std::uint32_t kSensorFamilyHarvo = 262;

struct SdiSensorLink {
  SdiSensorLink(DiagnosticLog* log, DeviceLink* link) : log(log), link(link) {}

  char address = '0';
  BoundedText<36> identity;
  BoundedText<256> calibration;
  BoundedText<256> calibration2;
  // As long as a reply can be: a serial number is held whole, and one too long for its
  // command is refused before the update rather than cut.
  BoundedText<kSdiReplySize> serialNumber;
  std::uint8_t typeCode = 0;
  std::uint32_t firmwareVersion = 0;
  DiagnosticLog* log;  // not owned; may be null
  DeviceLink* link;    // not owned; the session's link to the comm device
  std::array<char, kSdiReceiveBufferSize + 1> receiveBuffer{};
  std::uint32_t replyTimeoutMs = kSdiDefaultReplyTimeoutMs;
  std::uint32_t retryCount = kSdiDefaultRetryCount;
};

// Sends `command` and collects the reply up to its carriage return. `reply` may be null;
// otherwise `*capacity` is its size on entry and the copied length on return. Returns the
// received byte count, or a negative code (the reply is then empty).
Status SDISendCommand(SdiSensorLink* sdi, const char* command, char* reply, std::uint32_t* capacity,
                      std::uint32_t* elapsedMs);

// Return codes, by operation: kMissingArgument for a null link throughout, and "send"
// for the negative codes of SDISendCommand passed through.

// Reads the identification: the firmware version (0 when the reply holds none);
// kNotRecognised when the reply starts with no sensor address, send.
Status SDIGetSensorVersion(SdiSensorLink* sdi);
// kOk with the type character stored; kRefused when neither "?X8!" nor the identity names it.
Status SDIGetSensorType(SdiSensorLink* sdi);
// kOk with the serial number stored, kNothingDone when the sensor has none; send.
Status SDIGetSensorSN(SdiSensorLink* sdi);
// kOk with the calibrations the type has stored; send.
Status SDIGetSensorCalibration(SdiSensorLink* sdi);
// kOk when an old firmware's calibration was converted, kNothingDone when none was due.
Status SDIConvertCalibration(SdiSensorLink* sdi);

// kOk when the sensor answers at `address`; kBadArgument for no SDI-12 address,
// kNotRecognised when it answered another, send.
Status SDISetSensorAddress(SdiSensorLink* sdi, char address);
// `text` null: the stored calibration. kOk; kNothingDone with nothing to write,
// kBadArgument for a text no command can carry, kDeviceError (the sensor said "ERROR"),
// kNoAttempt (never confirmed), send.
Status SDISetSensorCalibration(SdiSensorLink* sdi, const char* text);
// The codes of SDISetSensorCalibration, for the stored serial number.
Status SDISetSensorSN(SdiSensorLink* sdi);
// kOk; kNotRecognised when the sensor's type is no member of the family `code` names or it
// did not confirm, kBadArgument for a type no command can carry, send.
Status SDISetSensorType(SdiSensorLink* sdi, std::uint32_t code);

// Identity, type, serial number and calibrations: kOk, or the code of SDIGetSensorVersion
// or SDIGetSensorCalibration (type and serial number are best effort).
Status SDISaveInfo(SdiSensorLink* sdi);
// Calibrations, address and serial number back: kOk, or the first failure's code of
// SDISetSensorCalibration, SDISetSensorAddress, SDISetSensorSN.
Status SDIRestoreInfo(SdiSensorLink* sdi);
// Whether the held serial number and calibrations can be written back as they are; false
// with the reason (for the operator) when one does not fit a command.
bool SDISettingsFit(const SdiSensorLink* sdi, std::string* problem);

// Starts the sensor's loader and hands the line to it: kOk; kNoAnswer without a link,
// kNoSensorLoader ("No BSL"), send and serial driver codes.
Status SDIInvokeQuendal(SdiSensorLink* sdi);
// The new firmware's self-test: kOk ("Code Good"), kFirmwareCorrupt, kRefused when the
// answer tells neither, send.
Status SDICheckBinary(SdiSensorLink* sdi);

}  // namespace quendal
