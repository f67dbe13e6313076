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

Status SDIGetSensorVersion(SdiSensorLink* sdi);
Status SDIGetSensorType(SdiSensorLink* sdi);
Status SDIGetSensorSN(SdiSensorLink* sdi);
Status SDIGetSensorCalibration(SdiSensorLink* sdi);
Status SDIConvertCalibration(SdiSensorLink* sdi);

Status SDISetSensorAddress(SdiSensorLink* sdi, char address);
// `text` null: the stored calibration.
Status SDISetSensorCalibration(SdiSensorLink* sdi, const char* text);
Status SDISetSensorSN(SdiSensorLink* sdi);
Status SDISetSensorType(SdiSensorLink* sdi, std::uint32_t code);

Status SDISaveInfo(SdiSensorLink* sdi);
Status SDIRestoreInfo(SdiSensorLink* sdi);
// Whether the held serial number and calibrations can be written back as they are; false
// with the reason (for the operator) when one does not fit a command.
bool SDISettingsFit(const SdiSensorLink* sdi, std::string* problem);

Status SDIInvokeQuendal(SdiSensorLink* sdi);
Status SDICheckBinary(SdiSensorLink* sdi);

}  // namespace quendal
