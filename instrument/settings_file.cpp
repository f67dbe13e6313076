// Writing and reading the settings file.
#include "instrument/settings_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "host/device_text.h"
#include "host/file_ops.h"
#include "instrument/attempt_record.h"
#include "instrument/instrument_types.h"
#include "instrument/session_util.h"
#include "instrument/settings_capture.h"
#include "logger/maintenance.h"

namespace quendal {

using namespace instrument_detail;

namespace {

constexpr const char* kHeader = "***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n\r\n";
// The mask of what was captured. Without it every value in the file would count as read,
// and a setting that could not be read would be restored as zero or empty.
constexpr const char* kMaskKey = "mask";
constexpr std::uint32_t kTarnxCapabilities = 0x0707FFF7;
constexpr std::uint32_t kTarnbCapabilities = 0x000474BE;
constexpr std::uint32_t kWstCapabilities = 0x00024583;
constexpr std::uint32_t kAdcUnset = 255;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The file's text, and the first value it could not hold as one line.
struct Layout {
  std::string text;
  std::string unfit;
  bool visible = false;  // for a listing: control characters shown as escapes
};

void Append(Layout* out, const char* key, std::string_view value) {
  out->text.append(key);
  out->text.append("=\"");
  out->text.append(value);
  out->text.append("\"\r\n");
}

// key="value" CR LF, for the numbers the layouts format.
void Line(Layout* out, const char* key, const char* format, ...)
    __attribute__((format(gnu_printf, 3, 4)));
void Line(Layout* out, const char* key, const char* format, ...) {
  char value[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  Append(out, key, out->visible ? std::string_view(VisibleText(value)) : value);
}

// A text from the device goes in whole or not at all: a line break or NUL in it would add,
// hide or cut a line, and the reader would restore something the device never held.
void Text(Layout* out, const char* key, std::string_view value) {
  if (out->unfit.empty() && !FitsOnOneLine(value)) {
    // The message goes to the log, which must not show a secret.
    const bool secret = std::strcmp(key, "passwd") == 0 || std::strcmp(key, "authkey") == 0;
    out->unfit = std::string("its ") + key;
    if (!secret) {
      out->unfit += " \"";
      out->unfit += VisibleText(value);
      out->unfit += '"';
    }
    out->unfit += " holds a line break or control character that the settings file cannot keep";
  }
  Append(out, key, value);
}

void FiveNumbers(Layout* out, const char* key, const std::uint8_t* n) {
  Line(out, key, "%u %u %u %u %u", n[0], n[1], n[2], n[3], n[4]);
}

void LoggerLayout(const InstrumentSession* s, Layout* out) {
  const LoggerInfo& i = s->info;
  const char* typeName =
      i.loggerType < LoggerTypeNames.size() ? LoggerTypeNames[i.loggerType] : LoggerTypeNames[0];
  Text(out, "type", typeName);
  Text(out, "deviceid", i.deviceId.view());
  Text(out, "name", i.name.view());
  Text(out, "sn", i.serialNumber.view());
  Line(out, "trait", "%d", static_cast<int>(i.trait));
  Line(out, "wake", "%d", static_cast<int>(i.wake));
  Line(out, "padc", "%d", static_cast<int>(i.padc));
  FiveNumbers(out, "ports", i.ports);
  FiveNumbers(out, "depth", i.depths);
  if (i.knownMask & kSetAdc15) {
    FiveNumbers(out, "ADC15 slopes", i.adc15Cal.slopes);
    FiveNumbers(out, "ADC15 offsets", i.adc15Cal.offsets);
  }
  if (i.knownMask & kSetAdc30) {
    FiveNumbers(out, "ADC30 slopes", i.adc30Cal.slopes);
    FiveNumbers(out, "ADC30 offsets", i.adc30Cal.offsets);
  }
  Line(out, "rmode", "%d", static_cast<int>(i.radioMode));
  Line(out, "rch", "%d", static_cast<int>(i.radioChannel));
  Line(out, "rsch", "%d", static_cast<int>(i.radioSubchannel));
  Line(out, "data", "%d", static_cast<int>(i.dataParameter));
  Text(out, "site", i.site.view());
  Line(out, "lat", "%+.5f", i.latitude);
  Line(out, "lon", "%+.5f", i.longitude);
  Line(out, "timezone", "%d", static_cast<int>(i.timeZone));
  Line(out, "report", "%u", static_cast<unsigned>(i.reportMode));
  Text(out, "apn", i.apn.view());
  Text(out, "user", i.apnUser.view());
  Text(out, "passwd", i.apnPassword.view());
  Text(out, "host", i.host.view());
  Text(out, "authkey", i.authKey.view());
  Line(out, "ipport", "%u", static_cast<unsigned>(i.ipPort));
  if (i.knownMask & kSetBuild) Text(out, "OrveBuild", i.build.view());
  Line(out, kMaskKey, "%u", static_cast<unsigned>(s->capturedMask));
}

void InstrumentLayout(const InstrumentSession* s, Layout* out) {
  const InstrumentSettings& v = s->settings;
  const char* code = DeviceTypeCode(s->profileType);
  Text(out, "type", code ? code : "");
  Text(out, "name", v.name.view());
  Text(out, "sn", v.serialNumber.view());
  Line(out, "lang", "%ld", static_cast<long>(v.language));
  Text(out, "OrveBuild", v.build.view());
  Line(out, "contr", "%ld", static_cast<long>(v.contrast));
  Text(out, "config", v.config.view());
  Text(out, "fvals", v.fvals.view());
  Text(out, "uvals", v.uvals.view());
  Line(out, "units", "%ld", static_cast<long>(v.units));
  Text(out, "adc", v.adc.view());
  Text(out, "adccal", v.adccal.view());
  Text(out, "calprefs", v.calprefs.view());
  Text(out, "PCUnits", v.pcUnits.view());
  Text(out, "sample", v.sample.view());
  Text(out, "adc15", v.adc15.view());
  Text(out, "adc30", v.adc30.view());
  Text(out, "location", v.location.view());
  Text(out, "chai", v.chai.view());
  Text(out, "extCal", v.ext.view());
  Text(out, "tadj", v.tadj.view());
  Line(out, "tau", "%ld", static_cast<long>(v.tau));
  Text(out, "hadj", v.hadj.view());
  char key[16];
  const CalForm cal = InstrumentType(s->profileType).cal;
  if (cal == CalForm::kCalList) {
    for (int slot = 0; slot < kCalSlots && !v.cal[slot].empty(); ++slot) {
      std::snprintf(key, sizeof key, "cal%02d", slot);
      Text(out, key, v.cal[slot].view());
    }
  } else if (cal == CalForm::kVinex) {
    for (int slot = 0; slot < 2 && !v.cal[slot].empty(); ++slot) {
      std::snprintf(key, sizeof key, "cal%02d", slot + 1);
      Text(out, key, v.cal[slot].view());
    }
  }
  const RecordSet* sets[] = {&s->userRecords, &s->eqnRecords};
  const char* words[] = {"user", "eqn"};
  for (int k = 0; k < 2; ++k) {
    const RecordSet& set = *sets[k];
    for (std::int32_t i = 0; set.records && i < set.count && !set.records[i].text.empty(); ++i) {
      std::snprintf(key, sizeof key, "%s%02d", words[k], static_cast<int>(i));
      Text(out, key, set.records[i].text.view());
    }
  }
  // Settings of the Sorbex that the layout had no line for; after every older line, so
  // that an older reader's search finds its own keys first.
  Text(out, "wtoffset", v.wtoffset.view());
  Text(out, "wtfactory", v.wtfactory.view());
  Text(out, "p1offset", v.p1offset.view());
  Text(out, "autosec", v.autosec.view());
  Text(out, "sys", v.sys.view());
  Line(out, kMaskKey, "%u", static_cast<unsigned>(v.mask));
}

void SensorLayout(const InstrumentSession* s, Layout* out) {
  const SdiSensorLink& d = s->sdi;
  Text(out, "type", "Digital Sensor");
  Text(out, "identity", d.identity.view());
  Text(out, "address", std::string_view(&d.address, 1));
  Line(out, "addressInt", "%i", static_cast<int>(d.address));
  Text(out, "calibration", d.calibration.view());
  Text(out, "calibration2", d.calibration2.view());
  Text(out, "sn", d.serialNumber.view());
  // Which calibrations a sensor takes back depends on its type; without this line a file
  // read after a restart could not restore a second calibration.
  Line(out, "sensorType", "%u", static_cast<unsigned>(d.typeCode));
}

int ErrorNumber() {
  return errno != 0 ? errno : EIO;
}

void LayoutOf(const InstrumentSession* s, Layout* out) {
  const SettingsForm form = InstrumentType(s->profileType).form;
  if (IsLoggerForm(form))
    LoggerLayout(s, out);
  else if (form == SettingsForm::kSensor)
    SensorLayout(s, out);
  else
    InstrumentLayout(s, out);
}

}  // namespace

std::string SettingsLayoutText(const InstrumentSession* session) {
  Layout text;
  if (session) LayoutOf(session, &text);
  return text.text;
}

namespace {

Status ComposeInfoFile(const InstrumentSession* session, Layout* text) {
  try {
    text->text = kHeader;
    LayoutOf(session, text);
    // Which unit the values are of, and that nothing of it has been touched yet.
    const AttemptRecord unit = HeldUnit(session);
    Text(text, kUnitDeviceKey, unit.device);
    Text(text, kUnitSerialKey, unit.serial);
    Line(text, kUnitFirmwareKey, "%u", static_cast<unsigned>(unit.firmware));
    Text(text, kAttemptPhaseKey, AttemptPhaseName(AttemptPhase::kCaptured));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace

std::string SettingsListing(const InstrumentSession* session) {
  Layout text;
  text.visible = true;
  if (!session || ComposeInfoFile(session, &text) < 0) return {};
  return text.text;
}

bool SettingsFileHolds(const InstrumentSession* session, std::string* problem) {
  if (!session) return false;
  Layout text;
  if (ComposeInfoFile(session, &text) < 0) return true;  // nothing known against the values
  if (text.unfit.empty()) return true;
  if (problem) *problem = text.unfit;
  return false;
}

Status WriteInfoFile(InstrumentSession* session, const char* path) {
  if (!session || !path || path[0] == '\0') return kMissingArgument;
  Layout text;
  if (Status rc = ComposeInfoFile(session, &text); rc < 0) return rc;
  if (!text.unfit.empty()) {
    LogPrint(session->log, kLogFailure, kProtocolSource,
             "WriteInfoFile did not write settings file %s: %s", path, text.unfit.c_str());
    return kSettingsUnfit;
  }

  // The file of an earlier attempt may be the only copy of the settings: it is replaced
  // only by a complete new one that has reached the disk.
  Status rc = WriteFileAtomically(path, text.text);
  if (rc < 0) {
    LogPrint(session->log, kLogFailure, kProtocolSource,
             "WriteInfoFile got error %d trying to write settings file %s", -rc, path);
    return rc;
  }
  return kOk;
}

const char* FindSettingsKey(const char* fileText, const char* key) {
  if (!fileText || !key || key[0] == '\0') return nullptr;
  const std::size_t length = std::strlen(key);
  for (const char* at = std::strstr(fileText, key); at; at = std::strstr(at + 1, key)) {
    // A key stands at the start of its line; the port lines of older logger files stand
    // in angle brackets. A key's text inside a value or another key is never the key.
    const char* lineStart = at;
    if (lineStart > fileText && lineStart[-1] == '<') --lineStart;
    const bool atLineStart =
        lineStart == fileText || lineStart[-1] == '\n' || lineStart[-1] == '\r';
    if (atLineStart && at[length] == '=') return at + length;
  }
  return nullptr;
}

namespace {

// The text just after the opening quote of the key's value; null when there is none.
const char* ValueStart(const char* fileText, const char* key) {
  const char* at = FindSettingsKey(fileText, key);
  if (!at || at[0] != '=' || at[1] != '"') return nullptr;
  return at + 2;
}

}  // namespace

std::uint32_t ParseUnsigned(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f') ++p;
  // A negative number (a time zone west of UTC) comes back through the 32-bit wrap.
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  return negative ? 0u - value : value;
}

bool ReadTextValue(const char* fileText, const char* key, char* destination, std::size_t capacity) {
  if (!destination || capacity == 0) return false;
  destination[0] = '\0';
  const char* value = ValueStart(fileText, key);
  if (!value) return false;
  // A value ends at the last quote of its line, so that a quote inside it ("6\" pipe")
  // comes back whole; values never span lines.
  std::size_t end = 0;
  std::size_t lastQuote = SIZE_MAX;
  for (; value[end] != '\0' && value[end] != '\r' && value[end] != '\n'; ++end)
    if (value[end] == '"') lastQuote = end;
  if (lastQuote != SIZE_MAX) end = lastQuote;
  std::size_t n = end < capacity - 1 ? end : capacity - 1;
  std::memcpy(destination, value, n);
  destination[n] = '\0';
  return n > 0;
}

bool ReadNumberValue(const char* fileText, const char* key, std::uint32_t* value) {
  const char* start = ValueStart(fileText, key);
  if (!start || !value) return false;
  *value = ParseUnsigned(start);
  return true;
}

bool ReadFloatValue(const char* fileText, const char* key, double* value) {
  const char* start = ValueStart(fileText, key);
  if (!start || !value) return false;
  char* end = nullptr;
  *value = std::strtod(start, &end);
  if (end == start) *value = 0;
  return true;
}

namespace {

class Reader {
 public:
  Reader(const char* text, std::uint32_t* found) : text_(text), found_(found) {}

  template <std::size_t N>
  void Text(const char* key, BoundedText<N>* field, std::uint32_t bit) {
    if (ReadTextValue(text_, key, field)) *found_ |= bit;
  }
  void Number(const char* key, std::int32_t* field, std::uint32_t bit) {
    std::uint32_t n = 0;
    if (!ReadNumberValue(text_, key, &n)) return;
    *field = static_cast<std::int32_t>(n);
    *found_ |= bit;
  }
  void Number(const char* key, std::uint32_t* field, std::uint32_t bit) {
    if (ReadNumberValue(text_, key, field)) *found_ |= bit;
  }
  // Five numbers; false unless all five were there.
  bool Five(const char* key, std::uint8_t* out) {
    char text[64];
    if (!ReadTextValue(text_, key, text, sizeof text)) return false;
    unsigned n[5];
    if (std::sscanf(text, "%u %u %u %u %u", &n[0], &n[1], &n[2], &n[3], &n[4]) != 5) return false;
    for (int i = 0; i < 5; ++i) out[i] = static_cast<std::uint8_t>(n[i]);
    return true;
  }
  // The bits the writer recorded as captured, when the file has them.
  bool Mask(std::uint32_t* mask) const { return ReadNumberValue(text_, kMaskKey, mask); }
  const char* text() const { return text_; }

 private:
  const char* text_;
  std::uint32_t* found_;
};

void ReadAdc(Reader& r, const char* slopesKey, const char* offsetsKey, AdcCalibration* cal,
             std::uint32_t bit, std::uint32_t* found) {
  AdcCalibration read;
  if (!r.Five(slopesKey, read.slopes) || !r.Five(offsetsKey, read.offsets)) return;
  *cal = read;
  auto set = [](std::uint8_t v) { return v != 0 && v != kAdcUnset; };
  if (set(read.slopes[0]) && set(read.offsets[0])) *found |= bit;
}

// Whether the file has one of the type lines of the session's type.
bool HasTypeLine(const InstrumentSession* s, const char* text) {
  for (const char* line : InstrumentType(s->profileType).typeLines)
    if (line && std::strstr(text, line)) return true;
  return false;
}

Status ReadLoggerFile(InstrumentSession* s, const char* text) {
  LoggerInfo& i = s->info;
  const SettingsForm form = InstrumentType(s->profileType).form;
  if (!HasTypeLine(s, text)) return kNotRecognised;
  std::uint32_t found = 0;
  Reader r(text, &found);
  std::uint32_t capabilities = 0;
  std::uint32_t mask = 0;
  const bool hasMask = r.Mask(&mask);
  // The sub-channel line is always written; only one that was read tells of a radio.
  auto subchannelRead = [&](std::uint32_t before) {
    return found != before && (!hasMask || (mask & kSetRadioSubchannel));
  };

  if (form == SettingsForm::kLoggerFull) {
    r.Text("deviceid", &i.deviceId, kSetDeviceId);
    r.Text("name", &i.name, kSetName);
    r.Text("sn", &i.serialNumber, kSetSerialNumber);
    r.Number("trait", &i.trait, kSetTrait);
    r.Number("wake", &i.wake, kSetWake);
    r.Number("padc", &i.padc, kSetPadc);
    if (r.Five("ports", i.ports)) found |= kSetPorts;
    if (r.Five("depth", i.depths)) found |= kSetDepths;
    ReadAdc(r, "ADC15 slopes", "ADC15 offsets", &i.adc15Cal, kSetAdc15, &found);
    ReadAdc(r, "ADC30 slopes", "ADC30 offsets", &i.adc30Cal, kSetAdc30, &found);
    r.Text("OrveBuild", &i.build, kSetBuild);
    r.Number("data", &i.dataParameter, kSetDataParameter);
    r.Number("rmode", &i.radioMode, kSetRadioMode);
    r.Number("rch", &i.radioChannel, kSetRadioChannel);
    std::uint32_t before = found;
    r.Number("rsch", &i.radioSubchannel, kSetRadioSubchannel);
    if (subchannelRead(before)) {
      found |= kSetTrait;
      i.trait |= kTraitKnown | kTraitRadio;
    }
    r.Text("site", &i.site, kSetSite);
    if (ReadFloatValue(text, "lat", &i.latitude)) found |= kSetLatitude;
    if (ReadFloatValue(text, "lon", &i.longitude)) found |= kSetLongitude;
    r.Number("timezone", &i.timeZone, kSetTimeZone);
    r.Number("report", &i.reportMode, kSetReportMode);
    r.Text("apn", &i.apn, kSetApn);
    r.Text("user", &i.apnUser, kSetApnUser);
    r.Text("passwd", &i.apnPassword, kSetApnPassword);
    r.Text("host", &i.host, kSetHost);
    r.Text("authkey", &i.authKey, kSetAuthKey);
    r.Number("ipport", &i.ipPort, kSetIpPort);
    capabilities = kTarnxCapabilities;
  } else if (form == SettingsForm::kLoggerTarnb) {
    r.Text("name", &i.name, kSetName);
    r.Text("sn", &i.serialNumber, kSetSerialNumber);
    r.Number("wake", &i.wake, kSetWake);
    r.Number("padc", &i.padc, kSetPadc);
    std::uint32_t port = 0;
    bool portRead = false;
    for (int p = 0; p < 5; ++p) {
      char key[32];
      std::snprintf(key, sizeof key, "Port number=\"%d\" value", p + 1);
      if (ReadNumberValue(text, key, &port)) {
        i.ports[p] = static_cast<std::uint8_t>(port);
        portRead = true;
      }
    }
    if (portRead) {
      if (port > 0) found |= kSetPorts;
    } else if (r.Five("ports", i.ports)) {
      // What this writer puts in the file for every logger.
      found |= kSetPorts;
    }
    r.Text("OrveBuild", &i.build, kSetBuild);
    capabilities = kTarnbCapabilities;
  } else {
    r.Text("name", &i.name, kSetName);
    r.Text("sn", &i.serialNumber, kSetSerialNumber);
    r.Number("rch", &i.radioChannel, kSetRadioChannel);
    std::uint32_t before = found;
    r.Number("rsch", &i.radioSubchannel, kSetRadioSubchannel);
    if (subchannelRead(before)) {
      found |= kSetTrait;
      i.trait = kTraitKnown | kTraitRadio;
    }
    r.Number("data", &i.dataParameter, kSetDataParameter);
    capabilities = kWstCapabilities;
  }
  if (hasMask) found &= mask;
  s->capturedMask = found;
  i.capabilities = capabilities;
  return kOk;
}

Status ReadInstrumentFile(InstrumentSession* s, const char* text) {
  const int type = s->profileType;
  if (!HasTypeLine(s, text)) return kNotRecognised;

  // Nothing of an earlier instrument may stay beside what the file holds.
  s->settings = InstrumentSettings{};
  s->userRecords.Free();
  s->eqnRecords.Free();
  InstrumentSettings& v = s->settings;
  v.typeCode = static_cast<std::uint8_t>(type);
  std::uint32_t found = kInstFileRead;
  Reader r(text, &found);
  // Every setting the type's capture takes is read back, whichever firmware wrote it.
  std::uint32_t captured = InstrumentCaptureBits(type, UINT32_MAX);
  // Files of these types have always carried the pair, though a capture does not take it.
  if (InstrumentType(type).corvelFourSettings) captured |= kInstHadjTau;
  std::uint32_t mask = 0;
  const bool hasMask = r.Mask(&mask);
  // A number line is written even when nothing was read; without the mask line only the
  // numbers that older files were always read for are taken (a Lumaro's contrast was not).
  const bool trustNumbers = hasMask || !InstrumentType(type).numbersNeedMask;
  auto textValue = [&](const char* key, auto* field, std::uint32_t bit) {
    if (captured & bit) r.Text(key, field, bit);
  };
  auto number = [&](const char* key, std::int32_t* field, std::uint32_t bit) {
    if ((captured & bit) && trustNumbers) r.Number(key, field, bit);
  };
  textValue("name", &v.name, kInstName);
  textValue("sn", &v.serialNumber, kInstSerialNumber);
  number("lang", &v.language, kInstLanguage);
  number("contr", &v.contrast, kInstContrast);
  textValue("fvals", &v.fvals, kInstFvals);
  textValue("uvals", &v.uvals, kInstUvals);
  number("units", &v.units, kInstUnits);
  textValue("adc", &v.adc, kInstAdc);
  textValue("adccal", &v.adccal, kInstAdcCal);
  textValue("config", &v.config, kInstConfig);
  textValue("wtoffset", &v.wtoffset, kInstWtOffset);
  textValue("p1offset", &v.p1offset, kInstP1Offset);
  textValue("autosec", &v.autosec, kInstAutosec);
  textValue("wtfactory", &v.wtfactory, kInstWtFactory);
  textValue("adc15", &v.adc15, kInstAdc15);
  textValue("adc30", &v.adc30, kInstAdc30);
  textValue("sample", &v.sample, kInstSample);
  textValue("PCUnits", &v.pcUnits, kInstPcUnits);
  textValue("location", &v.location, kInstLocation);
  textValue("chai", &v.chai, kInstChai);
  textValue("extCal", &v.ext, kInstExt);
  textValue("tadj", &v.tadj, kInstTadj);
  textValue("sys", &v.sys, kInstSys);
  if (captured & kInstPValues) {
    r.Text("fvals", &v.fvals, kInstPValues);
    r.Text("uvals", &v.uvals, kInstPValues);
  }
  if (captured & kInstHadjTau) {
    std::uint32_t pair = 0;
    Reader both(text, &pair);
    both.Number("tau", &v.tau, 1);
    both.Text("hadj", &v.hadj, 2);
    if (pair == 3) found |= kInstHadjTau;
  }
  char key[16];
  if (const CalForm cal = InstrumentType(type).cal; cal != CalForm::kNone) {
    const bool vinex = cal == CalForm::kVinex;
    const int slots = vinex ? 2 : kCalSlots;
    for (int slot = 0; slot < slots; ++slot) {
      std::snprintf(key, sizeof key, "cal%02d", vinex ? slot + 1 : slot);
      if (!ReadTextValue(text, key, &v.cal[slot])) break;
      found |= vinex ? kInstVinexCal : kInstCalList;
    }
  }
  if ((captured & kInstUserRecords) &&
      GetRecords_File(s, &s->userRecords, kUserRecordType, text) > 0 && s->userRecords.count > 0)
    found |= kInstUserRecords;
  if ((captured & kInstEqnRecords) &&
      GetRecords_File(s, &s->eqnRecords, kEqnRecordType, text) > 0 && s->eqnRecords.count > 0)
    found |= kInstEqnRecords;

  if (hasMask) found &= mask | kInstFileRead;
  v.mask = found;
  s->capturedMask = found;
  return kOk;
}

Status ReadSensorFile(InstrumentSession* s, const char* text) {
  if (!HasTypeLine(s, text)) return kNotRecognised;
  SdiSensorLink& d = s->sdi;
  std::uint32_t address = 0;
  if (ReadNumberValue(text, "addressInt", &address)) d.address = static_cast<char>(address);
  ReadTextValue(text, "calibration", &d.calibration);
  ReadTextValue(text, "calibration2", &d.calibration2);
  ReadTextValue(text, "sn", &d.serialNumber);
  std::uint32_t type = 0;
  if (ReadNumberValue(text, "sensorType", &type) && type <= 0xFF)
    d.typeCode = static_cast<std::uint8_t>(type);
  return kOk;
}

Status OpenError(int error) {
  switch (error) {
    case ENOENT:
      return kSettingsFileMissing;
    case EACCES:
    case EPERM:
    case 5:
      return kSettingsFileDenied;
    case 6:
      return kSettingsFileError6;
    default:
      return -error;
  }
}

}  // namespace

Status ReadInfoFile(InstrumentSession* session, const char* path) {
  if (!session || !path || path[0] == '\0') return kMissingArgument;
  if (const std::string why = InputFileProblem(path, kMaxSettingsFileBytes); !why.empty()) {
    LogPrint(session->log, kLogFailure, kProtocolSource, "ReadInfoFile refused %s: %s", path,
             why.c_str());
    return kBadArgument;
  }
  Status error = kOk;
  File file(OpenDataFile(path, &error));
  if (error == kSymbolicLink) {
    LogPrint(session->log, kLogFailure, kProtocolSource,
             "ReadInfoFile refused %s: it is a symbolic link, which the updater never reads "
             "through",
             path);
    return kSymbolicLink;
  }
  if (!file) return OpenError(-error);

  std::string text;
  try {
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, n);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (std::ferror(file.get())) return -ErrorNumber();
  file.reset();

  const SettingsForm form = InstrumentType(session->profileType).form;
  if (form == SettingsForm::kNone) return kNotForThisType;
  if (IsLoggerForm(form)) return ReadLoggerFile(session, text.c_str());
  if (form == SettingsForm::kSensor) return ReadSensorFile(session, text.c_str());
  return ReadInstrumentFile(session, text.c_str());
}

}  // namespace quendal
