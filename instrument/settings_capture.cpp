// Capture of instrument settings, and the flag-bit reads and writes.
#include "instrument/settings_capture.h"

#include <cstdio>
#include <cstring>

#include "host/timing.h"
#include "instrument/attempt_record.h"
#include "instrument/instrument_types.h"
#include "instrument/session_util.h"
#include "instrument/settings_file.h"
#include "instrument/settings_verify.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"

namespace quendal {

using namespace instrument_detail;

namespace {

constexpr std::size_t kSetCommandChars = 200;

constexpr int kReadOrder[] = {3,  1,  4, 11, 5,  6,  7,  8,  20, 9,  10, 12, 17, 13, 31,
                              14, 23, 0, 18, 19, 15, 21, 24, 25, 26, 28, 27, 29, 30, 22};
constexpr int kWriteOrder[] = {1,  3, 4,  5,  11, 6,  7,  8,  20, 10, 12, 17, 13, 31, 14,
                               23, 0, 18, 19, 15, 21, 24, 25, 26, 28, 27, 29, 30, 22};

bool UsesPvUser(const InstrumentSession* s) {
  return InstrumentType(s->profileType).corvelFourSettings;
}

// The cal list's command prefix and first index.
struct CalList {
  const char* prefix;
  int first;
  int slots;
};
CalList CalListOf(const InstrumentSession* s) {
  if (InstrumentType(s->profileType).cal == CalForm::kVinex) return {"-cal", 1, 7};
  return {"-cal ", 0, kCalSlots};
}

// One read step: the step's status, and whether the setting now holds a value.
struct Step {
  Status rc;
  bool found;
};

template <std::size_t N>
Step ReadText(InstrumentSession* s, const char* command, BoundedText<N>* field) {
  Status rc = GetValueString(s, command, kSettingTimeoutMs, field);
  return {rc, rc > 0};
}

Step ReadLong(InstrumentSession* s, const char* command, std::int32_t* field) {
  Status rc = GetValueLong(s, command, kSettingTimeoutMs, field);
  return {rc, rc > 0};
}

Step ReadCalList(InstrumentSession* s) {
  const CalList list = CalListOf(s);
  int read = 0;
  Status rc = kOk;
  for (int slot = 0; slot < list.slots; ++slot) {
    char command[32];
    std::snprintf(command, sizeof command, "get %s%d", list.prefix, list.first + slot);
    rc = GetValueString(s, command, kSettingTimeoutMs, &s->settings.cal[slot]);
    if (rc <= 0) break;
    ++read;
  }
  for (int slot = read; slot < kCalSlots; ++slot) s->settings.cal[slot].Clear();
  if (read > 0) return {kOk, true};
  return {rc, false};
}

Step ReadSetting(InstrumentSession* s, int bit) {
  InstrumentSettings& v = s->settings;
  switch (bit) {
    case 0:
      return ReadText(s, "get -i", &v.name);
    case 1:
      return ReadText(s, "get -sn", &v.serialNumber);
    case 3:
      return ReadLong(s, "get -lang", &v.language);
    case 4:
      return ReadLong(s, "get -contr", &v.contrast);
    case 5:
      return ReadText(s, "get -fvals", &v.fvals);
    case 6:
      return ReadText(s, UsesPvUser(s) ? "get -pvuser" : "get -uvals", &v.uvals);
    case 7:
      return ReadLong(s, "get -units", &v.units);
    case 8:
      return ReadText(s, "get -adc", &v.adc);
    case 9:
      return ReadLong(s, "get -int", &v.interval);
    case 10:
      return ReadText(s, "get -adccal", &v.adccal);
    case 11:
      return ReadText(s, "get -config", &v.config);
    case 12:
      return ReadText(s, "get -wtoffset", &v.wtoffset);
    case 13:
      return ReadText(s, "get -p1offset", &v.p1offset);
    case 14:
      return ReadText(s, "get -auto", &v.autosec);
    case 15: {
      if (InstrumentType(s->profileType).cal != CalForm::kVinex) return {kNothingDone, false};
      v.cal[1].Clear();
      Step first = ReadText(s, "get -cal7", &v.cal[0]);
      if (!first.found) return first;
      Step second = ReadText(s, "get -calA", &v.cal[1]);
      return {second.rc, true};
    }
    case 17:
      return ReadText(s, "get -wtfactory", &v.wtfactory);
    case 18:
      return ReadText(s, "get -adc15", &v.adc15);
    case 19:
      return ReadText(s, "get -adc30", &v.adc30);
    case 20: {
      // Not every firmware of these types has it.
      Step step = ReadText(s, "get -sample", &v.sample);
      if (step.rc < 0) step.rc = kNothingDone;
      return step;
    }
    case 21:
      return ReadCalList(s);
    case 22: {
      Step p = ReadText(s, "get -p", &v.fvals);
      if (!p.found) return p;
      return ReadText(s, "get -pv", &v.uvals);
    }
    case 23:
      return ReadText(s, "get -units", &v.pcUnits);
    case 24:
      return ReadText(s, "get -loc", &v.location);
    case 25:
      return ReadText(s, "get -x", &v.chai);
    case 26:
      return ReadText(s, "get -ext", &v.ext);
    case 27: {
      Status rc = GetRecords_Serial(s, &s->userRecords, kUserRecordType);
      return {rc, rc > 0};
    }
    case 28: {
      Status rc = GetRecords_Serial(s, &s->eqnRecords, kEqnRecordType);
      return {rc, rc > 0};
    }
    case 29:
      return ReadText(s, "get -tadj", &v.tadj);
    case 30: {
      // Older firmware has neither; the capture goes on without them.
      Step hadj = ReadText(s, "get -hadj", &v.hadj);
      if (!hadj.found) return {kNothingDone, false};
      Step tau = ReadLong(s, "get -tau", &v.tau);
      return {kOk, tau.found};
    }
    case 31:
      return ReadText(s, "get -sys", &v.sys);
    default:
      return {kNothingDone, false};
  }
}

// One "set" command. A confirmed write logs `what` with `shown` through `logFormat`.
Status Write(InstrumentSession* s, const char* command, bool* confirmed) {
  char answer[kShortAnswer];
  Status rc = Transact(s, command, kSettingTimeoutMs, answer);
  *confirmed = rc > 0 && Contains(answer, "OK");
  return rc;
}

Status WriteText(InstrumentSession* s, const char* format, const char* value,
                 const char* logFormat) {
  char command[kSetCommandChars];
  std::snprintf(command, sizeof command, format, value);
  const std::uint32_t start = DSTicks();
  bool confirmed = false;
  Status rc = Write(s, command, &confirmed);
  if (confirmed) LogPrint(s->log, kLogStep, kProtocolSource, logFormat, value, Since(start));
  return rc;
}

Status WriteLong(InstrumentSession* s, const char* format, std::int32_t value,
                 const char* logFormat) {
  char command[kSetCommandChars];
  std::snprintf(command, sizeof command, format, static_cast<long>(value));
  const std::uint32_t start = DSTicks();
  bool confirmed = false;
  Status rc = Write(s, command, &confirmed);
  if (confirmed)
    LogPrint(s->log, kLogStep, kProtocolSource, logFormat, static_cast<long>(value), Since(start));
  return rc;
}

// Keeps the first failure; a broken line ends the list at once.
Status Worse(Status sofar, Status rc) {
  return (sofar >= 0 && rc < 0) ? rc : sofar;
}
bool Fatal(Status rc) {
  return rc == kNoAnswer || rc == kEcho || rc == kRelayActive;
}

Status WriteCalList(InstrumentSession* s) {
  const CalList list = CalListOf(s);
  Status result = kOk;
  for (int slot = 0; slot < list.slots && !s->settings.cal[slot].empty(); ++slot) {
    const int index = list.first + slot;
    char command[kSetCommandChars];
    std::snprintf(command, sizeof command, "set %s%d %s\r", list.prefix, index,
                  s->settings.cal[slot].c_str());
    const std::uint32_t start = DSTicks();
    bool confirmed = false;
    Status rc = Write(s, command, &confirmed);
    if (confirmed)
      LogPrint(s->log, kLogStep, kProtocolSource, "SetInstInfo set cal %d to \"%s\" (%d ms)", index,
               s->settings.cal[slot].c_str(), Since(start));
    result = Worse(result, rc);
    if (Fatal(rc)) break;
  }
  return result;
}

Status WriteSetting(InstrumentSession* s, int bit) {
  InstrumentSettings& v = s->settings;
  switch (bit) {
    case 0:
      return WriteText(s, "set -i %s\r", v.name.c_str(), "SetInstInfo set name to \"%s\" (%d ms)");
    case 1: {
      Status rc = WriteText(s, "set -sn %s\r", v.serialNumber.c_str(),
                            "SetInstInfo set device serial number to \"%s\" (%d ms)");
      return rc == kDeviceError ? kSerialNumberRefused : rc;
    }
    case 3:
      return WriteLong(s, "set -lang %ld\r", v.language,
                       "SetInstInfo set device language to \"%ld\" (%d ms)");
    case 4:
      return WriteLong(s, "set -contr %ld\r", v.contrast,
                       "SetInstInfo set device contrast to \"%ld\" (%d ms)");
    case 5:
      return WriteText(s, "set -fvals %s\r", v.fvals.c_str(),
                       "SetInstInfo set fvals to \"%s\" (%d ms)");
    case 6: {
      char format[40];
      std::snprintf(format, sizeof format, "%s %%s\r",
                    UsesPvUser(s) ? "set -pvuser" : "set -uvals");
      char command[kSetCommandChars];
      std::snprintf(command, sizeof command, format, v.uvals.c_str());
      const std::uint32_t start = DSTicks();
      bool confirmed = false;
      Status rc = Write(s, command, &confirmed);
      if (confirmed)
        LogPrint(s->log, kLogStep, kProtocolSource,
                 "SetInstInfo set uvals/pvuser to \"%s\" (%d ms)", v.uvals.c_str(), Since(start));
      return rc;
    }
    case 7:
      return WriteLong(s, "set -units %ld\r", v.units,
                       "SetInstInfo set device units to \"%ld\" (%d ms)");
    case 8:
      return WriteText(s, "set -adc %s\r", v.adc.c_str(), "SetInstInfo set adc to \"%s\" (%d ms)");
    case 10:
      return WriteText(s, "set -adccal %s\r", v.adccal.c_str(),
                       "SetInstInfo set adccal to \"%s\" (%d ms)");
    case 11:
      return WriteText(s, "set -config %s\r", v.config.c_str(),
                       "SetInstInfo set config to \"%s\" (%d ms)");
    case 12:
      return WriteText(s, "set -wtoffset %s\r", v.wtoffset.c_str(),
                       "SetInstInfo set wtoffset to \"%s\" (%d ms)");
    case 13:
      return WriteText(s, "set -p1offset %s\r", v.p1offset.c_str(),
                       "SetInstInfo set p1offset to \"%s\" (%d ms)");
    case 14:
      return WriteText(s, "set -auto %s\r", v.autosec.c_str(),
                       "SetInstInfo set autosec to \"%s\" (%d ms)");
    case 15: {
      if (InstrumentType(s->profileType).cal != CalForm::kVinex || v.cal[0].empty())
        return kNothingDone;
      Status rc = WriteText(s, "set -cal7 %s\r", v.cal[0].c_str(),
                            "SetInstInfo set cal7 to \"%s\" (%d ms)");
      if (Fatal(rc) || v.cal[1].empty()) return rc;
      return Worse(rc, WriteText(s, "set -calA %s\r", v.cal[1].c_str(),
                                 "SetInstInfo set calA to \"%s\" (%d ms)"));
    }
    case 17:
      return WriteText(s, "set -wtfactory %s\r", v.wtfactory.c_str(),
                       "SetInstInfo set wtfactory to \"%s\" (%d ms)");
    case 18:
      return WriteText(s, "set -adc15 %s\r", v.adc15.c_str(),
                       "SetInstInfo set adc15 to \"%s\" (%d ms)");
    case 19:
      return WriteText(s, "set -adc30 %s\r", v.adc30.c_str(),
                       "SetInstInfo set adc30 to \"%s\" (%d ms)");
    case 20:
      return WriteText(s, "set -sample %s\r", v.sample.c_str(),
                       "SetInstInfo set sample to \"%s\" (%d ms)");
    case 21:
      return WriteCalList(s);
    case 22: {
      // A file may hold only one of the pair; an empty value is never sent.
      Status rc = kNothingDone;
      if (!v.fvals.empty())
        rc = WriteText(s, "set -p %s\r", v.fvals.c_str(), "SetInstInfo set -p to \"%s\" (%d ms)");
      if (Fatal(rc) || v.uvals.empty()) return rc;
      return Worse(rc, WriteText(s, "set -pv %s\r", v.uvals.c_str(),
                                 "SetInstInfo set -pv to \"%s\" (%d ms)"));
    }
    case 23:
      return WriteText(s, "set -units %s\r", v.pcUnits.c_str(),
                       "SetInstInfo set pcUnits to \"%s\" (%d ms)");
    case 24:
      return WriteText(s, "set -loc %s\r", v.location.c_str(),
                       "SetInstInfo set location to \"%s\" (%d ms)");
    case 25:
      return WriteText(s, "set -x %s\r", v.chai.c_str(), "SetInstInfo set chai to \"%s\" (%d ms)");
    case 26:
      return WriteText(s, "set -ext %s\r", v.ext.c_str(), "SetInstInfo set ext to \"%s\" (%d ms)");
    case 27:
      return SetRecords_Serial(s, &s->userRecords, kUserRecordType);
    case 28:
      return SetRecords_Serial(s, &s->eqnRecords, kEqnRecordType);
    case 29:
      return WriteText(s, "set -tadj %s\r", v.tadj.c_str(),
                       "SetInstInfo set tadj to \"%s\" (%d ms)");
    case 30: {
      Status rc = WriteLong(s, "set -tau %ld\r", v.tau, "SetInstInfo set tau to \"%ld\" (%d ms)");
      if (Fatal(rc)) return rc;
      return Worse(rc, WriteText(s, "set -hadj %s\r", v.hadj.c_str(),
                                 "SetInstInfo set hadj to \"%s\" (%d ms)"));
    }
    case 31:
      return WriteText(s, "set -sys %s\r", v.sys.c_str(), "SetInstInfo set sys to \"%s\" (%d ms)");
    default:
      return kNothingDone;
  }
}

// The loop both directions share: one bit per pass in the given order.
template <std::size_t N, typename Pass>
Status RunBits(std::uint32_t bits, const int (&order)[N], bool endsOnRelay, Pass pass) {
  std::uint32_t request = bits;
  std::uint32_t lastRequest = 0;
  Status result = kOk;
  Status step = kOk;
  bool first = true;
  for (;;) {
    if (request == 0 || (!first && request == lastRequest)) break;
    if (step == kEcho || step == kNoAnswer || (endsOnRelay && step == kRelayActive)) {
      result = step;
      break;
    }
    if (step < 0) result = kSomeFailed;
    first = false;
    lastRequest = request;
    for (int bit : order) {
      const std::uint32_t b = 1u << bit;
      if (request & b) {
        request &= ~b;
        step = pass(bit, b);
        break;
      }
    }
  }
  if (result == kOk && step < 0) result = step;
  return result;
}

}  // namespace

std::uint32_t InstrumentCaptureBits(int type, std::uint32_t version) {
  const InstrumentTypeRow& row = InstrumentType(type);
  if (row.form != SettingsForm::kInstrument) return 0;
  return row.capture | (row.newerCapture != 0 && version >= row.newerFrom ? row.newerCapture : 0);
}

Status GetInstInfo(InstrumentSession* session, std::uint32_t bits) {
  if (!session) return kMissingArgument;
  if (bits == 0) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetInstInfo should be called with non-zero flags");
    return kNothingDone;
  }
  session->settings.typeCode = session->profileType;
  Status lastFailure = kOk;
  Status result = RunBits(bits, kReadOrder, false, [&](int bit, std::uint32_t b) {
    Step step = ReadSetting(session, bit);
    if (step.found) session->settings.mask |= b;
    if (step.rc < 0) lastFailure = step.rc;
    return step.rc;
  });
  // Which setting failed must not decide between a partial capture and none: any setting
  // read makes it partial, wherever the failure stood in the read order; none read is no
  // capture at all.
  if (result < 0 && result != kEcho && result != kNoAnswer) {
    result = session->settings.mask != 0 ? kSomeFailed : lastFailure;
  }
  if (result < 0)
    LogPrint(session->log, kLogStep, kProtocolSource, "GetInstInfo could not collect all settings");
  return result;
}

Status SetInstInfo(InstrumentSession* session, std::uint32_t bits) {
  if (!session) return kMissingArgument;
  if (bits == 0) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "SetInstInfo should be called with non-zero flags");
    return kNothingDone;
  }
  Status result = RunBits(bits, kWriteOrder, true,
                          [&](int bit, std::uint32_t) { return WriteSetting(session, bit); });
  if (result < 0)
    LogPrint(session->log, kLogStep, kProtocolSource, "SetInstInfo could not restore all settings");
  return result;
}

Status instrument_detail::CaptureOnce(InstrumentSession* session, std::uint32_t* foundBits) {
  DiagnosticLog* log = session->log;
  const int type = session->profileType;
  Status rc;
  std::uint32_t found = 0;

  const InstrumentTypeRow& row = InstrumentType(type);
  if (IsLoggerForm(row.form)) {
    found = row.capture;
    session->link.unfitText.clear();
    rc = DeviceSettings(&session->link, &session->info, &found, kRead);
    if (!session->link.unfitText.empty()) session->unfitText = session->link.unfitText;
    if (rc == kUninitialised) {
      session->captured = 0;
      session->capturedMask = 0;
      LogPrint(log, kLogStep, kProtocolSource,
               "DPSaveInfo does not save data for an uninitialized device");
      return kUninitialised;
    }
  } else if (row.form == SettingsForm::kSensor) {
    rc = SDISaveInfo(&session->sdi);
  } else {
    std::uint32_t bits = InstrumentCaptureBits(
        type, row.newerByIdentity ? session->profile.version
                                  : static_cast<std::uint32_t>(session->info.versionNumber));
    if (bits == 0) return kNotForThisType;
    if (row.zeroSensorBeforeCapture && !session->lookOnly) {
      const std::uint32_t start = DSTicks();
      char answer[kShortAnswer];
      Status sensor = Transact(session, "set -sensor 0\r", kSettingTimeoutMs, answer);
      if (sensor > 0 && !Contains(answer, "OK")) sensor = kNotRecognised;
      if (sensor > 0) {
        LogPrint(log, kLogStep, kProtocolSource, "DPSaveInfo set CVFOUR sensor type to '0' (%d ms)",
                 Since(start));
      } else {
        LogPrint(log, kLogStep, kProtocolSource,
                 "DPSaveInfo received error %d setting CVFOUR sensor type to '0' (%d ms)", sensor,
                 Since(start));
      }
    }
    // Nothing of an earlier instrument may be mistaken for this one's.
    session->settings = InstrumentSettings{};
    session->userRecords.Free();
    session->eqnRecords.Free();
    rc = GetInstInfo(session, bits);
    found = session->settings.mask;
  }
  *foundBits = found;
  return rc;
}

namespace {

// The line can change a value on its way: what is kept is what two reads agree on.
Status Capture(InstrumentSession* session, std::uint32_t* foundBits) {
  return CaptureAlike(session, foundBits, CaptureOnce);
}

// Takes the settings of an earlier attempt on this unit from its file.
bool TakeEarlierAttempt(InstrumentSession* session, const char* path) {
  session->captured = 0;
  Status rc = ReadInfoFile(session, path);
  if (rc < 0) {
    LogPrint(session->log, kLogFailure, kProtocolSource,
             "DPSaveInfo received error %d trying to read the earlier attempt's settings from %s",
             rc, path);
    return false;
  }
  session->captured = 1;
  session->info.knownMask = session->capturedMask;
  return true;
}

}  // namespace

Status DPSaveInfo(InstrumentSession* session, const char* path, SaveOutcome* outcome) {
  if (!session) return kMissingArgument;
  DiagnosticLog* log = session->log;
  SaveOutcome ignored;
  SaveOutcome& out = outcome ? *outcome : ignored;
  out = SaveOutcome{};
  std::uint32_t found = 0;
  Status rc = Capture(session, &found);
  const bool captureFailed = rc < 0 && rc != kSomeFailed;

  // A file still here is of an attempt that did not end in a full restore.
  AttemptRecord pending;
  if (path && path[0] != '\0' && ReadAttemptRecord(path, &pending) >= 0) {
    const AttemptRecord device = HeldUnit(session);
    const bool erased = pending.phase != AttemptPhase::kCaptured;
    if (erased && SameUnit(pending, device)) {
      LogPrint(log, kLogFailure, kProtocolSource,
               "DPSaveInfo found the settings of an earlier attempt on this %s (serial \"%s\", "
               "%s) in %s: restoring those instead of capturing the device again",
               pending.device.c_str(), pending.serial.c_str(), AttemptPhaseName(pending.phase),
               path);
      if (TakeEarlierAttempt(session, path)) {
        out.fromEarlierAttempt = true;
        return kOk;
      }
    }
    if (erased && pending.serialNow == kSerialUnknown && pending.device == device.device) {
      LogPrint(log, kLogFailure, kProtocolSource,
               "DPSaveInfo found the settings of a %s (serial \"%s\") in %s whose serial number "
               "could not be read back after its restore; this device reports serial \"%s\". "
               "If it is that unit, restore that file into it; if not, move the file away",
               pending.device.c_str(), pending.serial.c_str(), path, device.serial.c_str());
      return kUnitUncertain;
    }
    // The same unit captured again before anything was touched: the new capture replaces it.
    const bool replaced = !captureFailed && !erased && pending.device == device.device &&
                          pending.serial == device.serial;
    if (!replaced) {
      LogPrint(log, kLogFailure, kProtocolSource,
               "DPSaveInfo found settings of another unit in %s (%s, serial \"%s\", %s); this "
               "device is a %s, serial \"%s\"",
               path, pending.device.c_str(), pending.serial.c_str(),
               AttemptPhaseName(pending.phase), device.device.c_str(), device.serial.c_str());
      Status aside = SetSettingsFileAside(path, &out.setAside, log);
      // Rather no capture than one written over another unit's only copy.
      if (aside < 0) return aside;
    }
  }

  if (captureFailed) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPSaveInfo received error %d trying to collect device settings", rc);
    return rc;
  }
  session->captured = 1;
  session->capturedMask = found;
  rc = WriteInfoFile(session, path);
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPSaveInfo received error %d trying to save device settings to a temp file", rc);
    // The settings were read: a disk that cannot keep them is no failed capture.
    if (rc == kSettingsUnfit || rc == kMissingArgument || rc == kOutOfMemory) return rc;
    out.writeError = -rc;
    return kSettingsWriteFailed;
  }
  LogPrint(log, kLogStep, kProtocolSource,
           "DPSaveInfo successfully retreived and saved device settings to a temp file");
  // A look keeps nothing of what it read.
  if (session->lookOnly) return kOk;
  // The operator's backup of every unit, which a later restore may need: a disk that
  // cannot keep it stops the update like one that cannot keep the settings file.
  rc = KeepUnitCopy(path, HeldUnit(session), &out.unitCopy, log);
  if (rc < 0 && rc != kSettingsUnfit && rc != kOutOfMemory) {
    out.writeError = -rc;
    out.failedFile = UnitCopyFolder(path);
    return kSettingsWriteFailed;
  }
  return kOk;
}

Status DPCaptureInfo(InstrumentSession* session) {
  if (!session) return kMissingArgument;
  std::uint32_t found = 0;
  Status rc = Capture(session, &found);
  if (rc < 0 && rc != kSomeFailed) return rc;
  session->captured = 1;
  session->capturedMask = found;
  return rc;
}

bool SettingsRestorable(const InstrumentSession* session, std::string* problem) {
  if (!session) return false;
  if (!SettingsFileHolds(session, problem)) return false;
  if (!session->unfitText.empty()) {
    if (problem) *problem = session->unfitText;
    return false;
  }
  // Instrument and logger values are held in fields that always fit their commands.
  if (session->profileType != kTypeDigitalSensor) return true;
  return SDISettingsFit(&session->sdi, problem);
}

}  // namespace quendal
