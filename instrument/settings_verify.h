#pragma once
// What reaches the settings is checked, because the line is not: a capture counts only when
// two reads in a row agree, and a restore only when the device reads back what was captured.
// For the capture and restore code of instrument/ only.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/status.h"
#include "instrument/instrument_session.h"

namespace quendal::instrument_detail {

// Reads before a capture gives up on a device whose answers keep changing.
inline constexpr int kMostCaptureReads = 4;

// One read of every setting the device type captures; the bits found in `found`.
using CaptureRead = std::function<Status(InstrumentSession*, std::uint32_t* found)>;

// One read of the session's device type's settings (the capture's single pass).
Status CaptureOnce(InstrumentSession* session, std::uint32_t* found);

// Runs `once` until two reads in a row leave the same settings and the same result, or a
// read ends on a dead line. The agreed result; -38 when no two reads agreed.
Status CaptureAlike(InstrumentSession* session, std::uint32_t* found, const CaptureRead& once);

// Everything a capture fills, so that a read-back can look without losing what is held.
struct HeldSettings {
  InstrumentSettings settings;
  std::vector<Record> user;
  std::vector<Record> eqn;
  LoggerInfo info;
  LoggerInfo linkInfo;
  char address = '0';
  decltype(SdiSensorLink::identity) identity;
  BoundedText<256> calibration;
  BoundedText<256> calibration2;
  decltype(SdiSensorLink::serialNumber) serialNumber;
  std::uint8_t typeCode = 0;
  std::uint32_t firmwareVersion = 0;
};
HeldSettings Hold(const InstrumentSession* session);
void PutBack(InstrumentSession* session, const HeldSettings& held);

// The names of the settings in `restored` (the held mask's bits, or for a sensor every
// setting it takes back) whose values differ between two layout texts of one device type,
// and of those in `unread` (a read-back that did not report them) whatever the texts say.
std::vector<std::string> DifferingSettings(const InstrumentSession* session,
                                           const std::string& wanted, const std::string& found,
                                           std::uint32_t restored, std::uint32_t unread = 0);

// After the writes: reads the device back, writes once more what differs and reads again.
// `secretsNotWritten` names settings that the device never reports and whose write was not
// confirmed. 1 when every setting is back; -140 with `session->notRestored` naming the
// rest; or the code of a read-back that found no device.
Status VerifyRestore(InstrumentSession* session, std::uint32_t restored,
                     const std::function<Status()>& writeAgain, const CaptureRead& capture,
                     const std::vector<std::string>& secretsNotWritten);

}  // namespace quendal::instrument_detail
