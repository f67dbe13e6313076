// Captures read until two reads agree, and restores read back.
#include "instrument/settings_verify.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "host/timing.h"
#include "instrument/attempt_record.h"
#include "instrument/instrument_status.h"
#include "instrument/session_util.h"
#include "instrument/settings_file.h"
#include "logger/logger_link.h"
#include "logger/maintenance.h"

namespace quendal::instrument_detail {
namespace {

constexpr int kReadBackWaits = 3;
constexpr std::uint32_t kReadBackWaitMs = 1000;

using Lines = std::vector<std::pair<std::string, std::string>>;

// key="value" lines as the layout writes them.
Lines Split(const std::string& text) {
  Lines lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      std::string_view value = line.substr(equals + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      lines.emplace_back(std::string(line.substr(0, equals)), std::string(value));
    }
    at = end + 2;
  }
  return lines;
}

const std::string* Find(const Lines& lines, const std::string& key) {
  for (const auto& [k, v] : lines)
    if (k == key) return &v;
  return nullptr;
}

// "user07" is the word "user" and two digits.
bool Numbered(std::string_view key, std::string_view word) {
  return key.size() == word.size() + 2 && key.substr(0, word.size()) == word &&
         std::isdigit(static_cast<unsigned char>(key[word.size()])) &&
         std::isdigit(static_cast<unsigned char>(key[word.size() + 1]));
}

struct KeyBits {
  const char* key;
  std::uint32_t bits;
};

constexpr KeyBits kInstrumentKeys[] = {
    {"name", kInstName},          {"sn", kInstSerialNumber},
    {"lang", kInstLanguage},      {"contr", kInstContrast},
    {"config", kInstConfig},      {"fvals", kInstFvals | kInstPValues},
    {"uvals", kInstUvals | kInstPValues},
    {"units", kInstUnits},        {"adc", kInstAdc},
    {"adccal", kInstAdcCal},      {"PCUnits", kInstPcUnits},
    {"sample", kInstSample},      {"adc15", kInstAdc15},
    {"adc30", kInstAdc30},        {"location", kInstLocation},
    {"chai", kInstChai},          {"extCal", kInstExt},
    {"tadj", kInstTadj},          {"tau", kInstHadjTau},
    {"hadj", kInstHadjTau},       {"wtoffset", kInstWtOffset},
    {"wtfactory", kInstWtFactory}, {"p1offset", kInstP1Offset},
    {"autosec", kInstAutosec},    {"sys", kInstSys},
};

// The secrets "passwd" and "authkey" are not here: a logger never reports them back.
constexpr KeyBits kLoggerKeys[] = {
    {"deviceid", kSetDeviceId},     {"name", kSetName},
    {"sn", kSetSerialNumber},       {"trait", kSetTrait},
    {"wake", kSetWake},             {"padc", kSetPadc},
    {"ports", kSetPorts},           {"depth", kSetDepths},
    {"ADC15 slopes", kSetAdc15},    {"ADC15 offsets", kSetAdc15},
    {"ADC30 slopes", kSetAdc30},    {"ADC30 offsets", kSetAdc30},
    {"rmode", kSetRadioMode},       {"rch", kSetRadioChannel},
    {"rsch", kSetRadioSubchannel},  {"data", kSetDataParameter},
    {"site", kSetSite},             {"lat", kSetLatitude},
    {"lon", kSetLongitude},         {"timezone", kSetTimeZone},
    {"report", kSetReportMode},     {"apn", kSetApn},
    {"user", kSetApnUser},          {"host", kSetHost},
    {"ipport", kSetIpPort},         {"OrveBuild", kSetBuild},
};

// The bits a line's value belongs to; 0 for lines that are never compared.
std::uint32_t BitsOf(int type, const std::string& key, const char** shown) {
  *shown = nullptr;
  if (IsLoggerType(type)) {
    for (const KeyBits& k : kLoggerKeys)
      if (key == k.key) return k.bits;
    return 0;
  }
  if (type == kTypeDigitalSensor) {
    // What the restore writes back; identity and type are the new firmware's own.
    if (key == "address" || key == "calibration" || key == "calibration2" || key == "sn")
      return ~0u;
    return 0;
  }
  if (Numbered(key, "user")) {
    *shown = "user records";
    return kInstUserRecords;
  }
  if (Numbered(key, "eqn")) {
    *shown = "eqn records";
    return kInstEqnRecords;
  }
  if (Numbered(key, "cal")) {
    *shown = "cal list";
    return kInstCalList | kInstVinexCal;
  }
  for (const KeyBits& k : kInstrumentKeys)
    if (key == k.key) return k.bits;
  return 0;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

std::string Snapshot(const InstrumentSession* s, Status rc, std::uint32_t found) {
  std::string text = SettingsLayoutText(s);
  char tail[64];
  std::snprintf(tail, sizeof tail, "result=%d found=%u firmware=%u\r\n", rc > 0 ? 1 : rc,
                static_cast<unsigned>(found), static_cast<unsigned>(s->sdi.firmwareVersion));
  return text + tail;
}

// A dead line or a device that cannot be captured at all: reading again changes nothing.
bool EndsCapture(Status rc) {
  return rc == kNoAnswer || rc == kEcho || rc == kRelayActive || rc == kUninitialised ||
         rc == kNotForThisType || rc == kMissingArgument || rc == kOutOfMemory;
}

std::vector<Record> CopyOf(const RecordSet& set) {
  std::vector<Record> records;
  for (std::int32_t i = 0; set.records && i < set.count; ++i) records.push_back(set.records[i]);
  return records;
}

void Refill(RecordSet* set, const std::vector<Record>& records) {
  set->Free();
  if (records.empty()) return;
  set->records = std::make_unique<Record[]>(records.size());
  std::copy(records.begin(), records.end(), set->records.get());
  set->count = static_cast<std::int32_t>(records.size());
}

// A read that failed leaves the held value where it was read into, which would pass for the
// device's: what the read did not report is not read back. A sensor's read is all or nothing.
std::uint32_t Unread(const InstrumentSession* session, std::uint32_t restored,
                     std::uint32_t found) {
  return session->profileType == kTypeDigitalSensor ? 0 : restored & ~found;
}

}  // namespace

Status CaptureAlike(InstrumentSession* session, std::uint32_t* found, const CaptureRead& once) {
  // A logger's reads add to what its link knows: every read starts from the same point.
  const LoggerInfo info = session->info;
  const LoggerInfo linkInfo = session->link.info;
  session->unfitText.clear();
  std::string last;
  for (int read = 1; read <= kMostCaptureReads; ++read) {
    session->info = info;
    session->link.info = linkInfo;
    *found = 0;
    const Status rc = once(session, found);
    if (EndsCapture(rc)) return rc;
    std::string text = Snapshot(session, rc, *found);
    if (read > 1 && text == last) {
      if (read > 2)
        LogPrint(session->log, kLogStep, kProtocolSource,
                 "DPSaveInfo read the settings alike only after %d reads", read);
      return rc;
    }
    if (read > 1) {
      const std::vector<std::string> differing =
          DifferingSettings(session, last, text, ~0u);
      LogPrint(session->log, kLogStep, kProtocolSource,
               "DPSaveInfo read %s differently on read %d", 
               differing.empty() ? "the result" : Joined(differing).c_str(), read);
    }
    last = std::move(text);
  }
  LogPrint(session->log, kLogFailure, kProtocolSource,
           "DPSaveInfo could not read the settings twice alike in %d reads: the line garbles "
           "them",
           kMostCaptureReads);
  *found = 0;
  return kSettingsUnverified;
}

HeldSettings Hold(const InstrumentSession* s) {
  HeldSettings h;
  h.settings = s->settings;
  h.user = CopyOf(s->userRecords);
  h.eqn = CopyOf(s->eqnRecords);
  h.info = s->info;
  h.linkInfo = s->link.info;
  h.address = s->sdi.address;
  h.identity = s->sdi.identity;
  h.calibration = s->sdi.calibration;
  h.calibration2 = s->sdi.calibration2;
  h.serialNumber = s->sdi.serialNumber;
  h.typeCode = s->sdi.typeCode;
  h.firmwareVersion = s->sdi.firmwareVersion;
  return h;
}

void PutBack(InstrumentSession* s, const HeldSettings& h) {
  s->settings = h.settings;
  Refill(&s->userRecords, h.user);
  Refill(&s->eqnRecords, h.eqn);
  s->info = h.info;
  s->link.info = h.linkInfo;
  s->sdi.address = h.address;
  s->sdi.identity = h.identity;
  s->sdi.calibration = h.calibration;
  s->sdi.calibration2 = h.calibration2;
  s->sdi.serialNumber = h.serialNumber;
  s->sdi.typeCode = h.typeCode;
  s->sdi.firmwareVersion = h.firmwareVersion;
}

std::vector<std::string> DifferingSettings(const InstrumentSession* session,
                                           const std::string& wanted, const std::string& found,
                                           std::uint32_t restored, std::uint32_t unread) {
  const Lines want = Split(wanted);
  const Lines got = Split(found);
  const int type = session->profileType;
  std::vector<std::string> names;
  auto check = [&](const std::string& key) {
    const char* shown = nullptr;
    const std::uint32_t bits = BitsOf(type, key, &shown);
    if (!(bits & restored)) return;
    const std::string name = shown ? shown : key;
    if (bits & unread) {
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      return;
    }
    const std::string* a = Find(want, key);
    const std::string* b = Find(got, key);
    // A sensor's serial number or second calibration that was never there is not restored.
    if (type == kTypeDigitalSensor && key != "address" && (!a || a->empty())) return;
    if (a && b && *a == *b) return;
    if (!a && !b) return;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  for (const auto& line : want) check(line.first);
  for (const auto& line : got)
    if (!Find(want, line.first)) check(line.first);
  return names;
}

Status VerifyRestore(InstrumentSession* session, std::uint32_t restored,
                     const std::function<Status()>& writeAgain, const CaptureRead& capture,
                     const std::vector<std::string>& secretsNotWritten) {
  session->notRestored.clear();
  session->unitSerialNow.clear();
  std::string serialNow;
  bool serialKnown = false;
  const HeldSettings wanted = Hold(session);
  const std::string wantedText = SettingsLayoutText(session);
  const bool lookOnly = session->lookOnly;
  std::vector<std::string> differing;
  Status result = kOk;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      LogPrint(session->log, kLogFailure, kProtocolSource,
               "DPRestoreInfo read back %s unlike the saved settings: writing again",
               Joined(differing).c_str());
      writeAgain();
      PutBack(session, wanted);
    }
    session->lookOnly = true;
    std::uint32_t found = 0;
    // One read that gives back every saved value is proof enough: noise does not make the
    // saved values. Only a difference is read until two reads agree.
    Status rc = capture(session, &found);
    std::string readText = SettingsLayoutText(session);
    PutBack(session, wanted);
    const bool sameAtOnce =
        (rc >= 0 || rc == kSomeFailed) &&
        DifferingSettings(session, wantedText, readText, restored, Unread(session, restored, found))
            .empty();
    if (!sameAtOnce && rc != kNoAnswer && rc != kEcho && rc != kRelayActive) {
      rc = CaptureAlike(session, &found, capture);
      // A burst of noise passes: a read-back that never agreed is tried again after it.
      for (int wait = 0; wait < kReadBackWaits && rc == kSettingsUnverified; ++wait) {
        PutBack(session, wanted);
        DSSleep(kReadBackWaitMs);
        rc = CaptureAlike(session, &found, capture);
      }
      readText = SettingsLayoutText(session);
      if (rc >= 0 || rc == kSomeFailed) {
        serialNow = HeldUnit(session).serial;
        serialKnown = true;
      }
      PutBack(session, wanted);
    }
    session->lookOnly = lookOnly;
    if (rc == kNoAnswer || rc == kEcho || rc == kRelayActive) {
      LogPrint(session->log, kLogFailure, kProtocolSource,
               "DPRestoreInfo received error %d reading the restored settings back", rc);
      result = rc;
      break;
    }
    if (rc == kSettingsUnverified || (rc < 0 && rc != kSomeFailed)) {
      // Nothing read back is proof of nothing: every restored setting stays unconfirmed.
      differing = DifferingSettings(session, wantedText, std::string(), restored);
      if (differing.empty()) differing.push_back("every setting (not read back)");
    } else {
      differing = DifferingSettings(session, wantedText, readText, restored,
                                    Unread(session, restored, found));
    }
    if (differing.empty()) break;
  }
  for (const std::string& secret : secretsNotWritten) differing.push_back(secret);
  if (result < 0 && differing.empty()) differing.push_back("every setting (not read back)");
  if (differing.empty()) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "DPRestoreInfo read every restored setting back as saved");
    return kOk;
  }
  session->notRestored = Joined(differing);
  session->unitSerialNow = serialKnown ? serialNow : std::string(kSerialUnknown);
  LogPrint(session->log, kLogFailure, kProtocolSource,
           "DPRestoreInfo could not restore: %s", session->notRestored.c_str());
  return kSettingsNotRestored;
}

}  // namespace quendal::instrument_detail
