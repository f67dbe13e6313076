// Writing captured settings back into a device, and reading them back to check.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/attempt_record.h"
#include "instrument/instrument_types.h"
#include "instrument/session_util.h"
#include "instrument/settings_capture.h"
#include "instrument/settings_file.h"
#include "instrument/settings_verify.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"

namespace quendal {

using namespace instrument_detail;

namespace {

std::uint32_t CharacterSum(std::string_view text) {
  std::uint32_t sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return sum;
}

}  // namespace

namespace {

// Puts a new serial number into the held settings, once per restore.
void TakeNewSerial(InstrumentSession* session, const char* newSerial) {
  const int type = session->profileType;
  if (IsLoggerType(type)) {
    session->info.serialNumber.Set(newSerial);
    session->info.knownMask |= kSetSerialNumber;
  } else if (type != kTypeDigitalSensor) {
    InstrumentSettings& v = session->settings;
    const BoundedText<15> serial(newSerial);
    // The config carries a sum over the serial number's characters. One never read is
    // left alone: a sum over nothing would write a made-up config.
    if (InstrumentType(type).corvelFourSettings && (v.mask & kInstConfig)) {
      std::uint32_t config = ParseUnsigned(v.config.c_str());
      config = config - CharacterSum(v.serialNumber.view()) + CharacterSum(serial.view());
      char text[16];
      std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(config));
      v.config.Set(text);
      v.mask |= kInstConfig;
    }
    v.serialNumber = serial;
    v.mask |= kInstSerialNumber;
  }
}

// The bits a logger restore asks for.
std::uint32_t LoggerRestoreRequest(InstrumentSession* session) {
  LoggerInfo& info = session->info;
  // A logger with a device ID is known by it; its serial number stays.
  if (info.knownMask & kSetDeviceId) info.knownMask &= ~kSetSerialNumber;
  std::uint32_t request = info.knownMask;
  // A trait that the logger has no command for (a Weirstead's comes from its radio) is
  // nothing to restore; asking for it would report every such restore as partly failed.
  if (!(info.capabilities & kCapDeviceId)) request &= ~kSetTrait;
  return request;
}

// Writes the held settings; `done` gets a logger's confirmed bits.
Status WriteHeld(InstrumentSession* session, std::uint32_t* done) {
  const int type = session->profileType;
  if (IsLoggerType(type)) {
    std::uint32_t request = LoggerRestoreRequest(session);
    Status rc = DeviceSettings(&session->link, &session->info, &request, kWrite);
    *done = request;
    return rc;
  }
  if (type == kTypeDigitalSensor) return SDIRestoreInfo(&session->sdi);
  return SetInstInfo(session, session->settings.mask);
}

}  // namespace

Status DPRestoreInfo(InstrumentSession* session, const char* path, const char* newSerial) {
  if (!session) return kMissingArgument;
  DiagnosticLog* log = session->log;
  session->notRestored.clear();
  if (!session->captured) {
    Status rc = ReadInfoFile(session, path);
    if (rc < 0) {
      LogPrint(log, kLogFailure, kProtocolSource,
               "DPRestoreInfo received error %d trying to read device settings from %s", rc,
               path ? path : "");
      return rc;
    }
    session->captured = 1;
    session->info.knownMask = session->capturedMask;
  }
  const int type = session->profileType;
  if (InstrumentType(type).form == SettingsForm::kNone) return kNotForThisType;
  if (newSerial && newSerial[0] != '\0') TakeNewSerial(session, newSerial);

  std::uint32_t done = 0;
  const std::uint32_t request = IsLoggerType(type) ? LoggerRestoreRequest(session) : 0;
  Status rc = WriteHeld(session, &done);
  if (IsLoggerType(type) && ((rc < 0 && rc != kSomeFailed) || done == 0)) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPRestoreInfo received error %d trying to upload device settings", rc);
    return rc;
  }
  if (type == kTypeDigitalSensor && rc == kBadArgument) return rc;  // refused before writing

  // What the device reads back decides, not the writes' answers.
  std::uint32_t restored = ~0u;
  std::vector<std::string> secrets;
  if (IsLoggerType(type)) {
    restored = request;
    if ((request & kSetApnPassword) && !(done & kSetApnPassword)) secrets.push_back("passwd");
    if ((request & kSetAuthKey) && !(done & kSetAuthKey)) secrets.push_back("authkey");
  } else if (type != kTypeDigitalSensor) {
    restored = session->settings.mask;
  }
  auto writeAgain = [&] {
    std::uint32_t again = 0;
    return WriteHeld(session, &again);
  };
  rc = VerifyRestore(session, restored, writeAgain, CaptureOnce, secrets);
  // A serial number the line garbled on its way in would make the unit a stranger to its
  // own file at the next Start.
  if (rc == kSettingsNotRestored && path && path[0] != '\0' && !session->unitSerialNow.empty() &&
      session->unitSerialNow != HeldUnit(session).serial) {
    if (MarkUnitSerialNow(path, session->unitSerialNow, log) == kBadArgument)
      MarkUnitSerialNow(path, kSerialUnknown, log);
  }
  if (rc >= 0)
    LogPrint(log, kLogStep, kProtocolSource, "DPRestoreInfo successfully restored device setting");
  return rc;
}

}  // namespace quendal
