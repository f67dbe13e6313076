#include "loader/device_types.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

namespace quendal {
namespace {

struct DeviceTypeRow {
  const char* code;
  const char* displayName;
  std::uint32_t restartWaitMs;
  bool savesSettings;
  bool erasesOldData;
  bool eraseWarning;
  bool checksBattery;
  bool needsLogin;
  bool setsClock;
  bool firmwareCheck;
  bool calibrationNotice;
  std::uint32_t flashStart;
  std::uint32_t flashEnd;
  bool extendedAddresses;
  std::uint32_t infoStart;
  std::uint32_t infoSegments;
  std::uint32_t infoSegmentSize;
  std::uint32_t loaderBaud;
  // The firmware that can be updated: from this version on (kNever: none).
  std::uint32_t updatableFrom;
  // The version range of the identity rules; 0 to 0 where none applies.
  std::uint32_t minimumVersion;
  std::uint32_t maximumVersion;
  const char* versionFinderPath;
};

constexpr std::uint32_t kNever = UINT32_MAX;

// clang-format off
constexpr DeviceTypeRow kRows[] = {
  // code       display name       wait  save erase warn batt login clock fwchk cal  flash          ext  info  n  size baud   new-enough from, version range, version-finder path
  {"UNKNOWN",  "UNKNOWN",         7000, 0, 0, 0, 0, 0, 0, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  kNever, 0,   0,   ""},
  {"TARN",     "Tarn",            1000, 1, 0, 1, 1, 0, 1, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  kNever, 0,   0,   "/versionfinder/Tarn-Firmware.html"},
  {"TARNB",    "Tarnb",           1000, 1, 0, 1, 1, 0, 1, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/Tarnb-Firmware.html"},
  {"TARNX",    "Tarnx",           6000, 1, 1, 1, 1, 0, 1, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  103,    0,   0,   "/versionfinder/Tarnx-Firmware.html"},
  {"WST",      "Weirstead",       6000, 1, 1, 1, 1, 0, 0, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  105,    0,   0,   "/versionfinder/Weirstead-Firmware.html"},
  {"MRK",      "Merrick",         4000, 1, 1, 1, 0, 0, 0, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  kNever, 0,   0,   ""},
  {"CVMINI",   "Corvel Mini",     8500, 1, 0, 0, 0, 1, 0, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  118,    0,   0,   "/versionfinder/CvMini-Firmware.txt"},
  {"THX",      "Thermix",         7000, 1, 1, 1, 1, 0, 1, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/thermix-firmware.html"},
  {"LUMA",     "Lumaro",          3000, 1, 1, 1, 0, 0, 1, 0, 1, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  150,    0,   0,   "/versionfinder/LUMAFirmware.txt"},
  {"PRV",      "Pervane",         7000, 1, 1, 1, 1, 0, 1, 0, 1, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/pervane-firmware.html"},
  // The digital sensors keep their loader below 0x8000 and use small INFO segments.
  {"KYREL-SX", "Digital Sensor",  1000, 0, 0, 0, 0, 0, 0, 0, 0, 0x8000, 0xF9FF,  0, 0x1000, 3, 64,  9600,  0,      0,   0,   ""},
  {"SRBX",     "Sorbex",          2000, 1, 1, 1, 0, 0, 1, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/SRBX-Firmware.txt"},
  {"CVTRI",    "Corvel Tri",      2000, 1, 0, 0, 0, 1, 0, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  351,    0,   0,   "/versionfinder/CvTri-Firmware.txt"},
  {"KCD",      "KCD",             7000, 1, 0, 0, 1, 0, 0, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   ""},
  {"RDV",      "Readvane",        2000, 1, 1, 1, 1, 0, 1, 0, 0, 0x2100, 0x1FF00, 1, 0x1000, 3, 64,  57600, 0,      0,   0,   "/versionfinder/Readvane-Firmware.html"},
  {"CVFOUR",   "Corvel Four",     8000, 1, 1, 1, 0, 1, 1, 0, 0, 0x2100, 0x1FF00, 1, 0x1000, 3, 64,  57600, 0,      202, 999, "/versionfinder/CorvelSeries4.txt"},
  {"CVV",      "Corvel V",        8000, 1, 1, 1, 0, 0, 1, 0, 0, 0x5C00, 0x3BFFF, 1, 0x1800, 3, 128, 57600, 0,      0,   0,   "/versionfinder/CVVFirmware.txt"},
  {"POTEX",    "POTEX",           2000, 1, 0, 0, 0, 1, 0, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/POTEX-Firmware.txt"},
  {"RLM",      "Relmo",           6000, 1, 1, 1, 1, 0, 1, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/Relmo-Firmware.html"},
  {"OGL",      "Ogle Logger",     6000, 1, 1, 1, 0, 0, 1, 1, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/OGL2-Firmware.html"},
  {"CVQ",      "Corvel Q",        2000, 1, 0, 0, 0, 1, 0, 0, 0, 0x1100, 0xF9FF,  0, 0x1000, 2, 128, 9600,  0,      0,   0,   "/versionfinder/Cvq-Firmware.txt"},
  {"VINEX",    "vinex",           6000, 1, 0, 0, 0, 0, 1, 1, 0, 0x2100, 0x1FF00, 1, 0x1000, 3, 64,  57600, 0,      0,   0,   ""},
  {"CVFTDL",   "Corvel Four TDL", 8000, 1, 1, 1, 0, 1, 1, 0, 0, 0x8000, 0x27FFF, 1, 0x1800, 3, 128, 57600, 0,      0,   0,   "/versionfinder/CVFTDL-Firmware.txt"},
};
// clang-format on
static_assert(std::size(kRows) == kLastDeviceType + 1);

// Closes the list; never matched.
constexpr const char* kEndCode = "END";

struct SensorNameRow {
  std::uint32_t code;
  const char* name;
};

constexpr SensorNameRow kSensorNames[] = {
    {95, "Kemmo Anemometer"},   {108, "Fesko-B Sensor"}, {109, "Ustraf Sensor"},
    {112, "Jarro Sensor"},      {113, "Ustra Sensor"},   {116, "Harvo Sensor"},
    {117, "Gollo Drain Gauge"}, {118, "Elvan Sensor"},   {119, "Dorro Sensor"},
    {120, "Cemmo Sensor"},      {121, "Fesko-A Sensor"}, {122, "Bremo Sensor"},
    {124, "KYREL-SX Sensor"},   {125, "Valtu Sensor"},   {126, "KYREL-SX Sensor"},
    {127, "KYREL-SX Sensor"},   {260, "Lurra Family"},   {261, "Fesko-A or Fesko-B"},
    {262, "Harvo Family"},
};

bool IsKnownIndex(int index) {
  return index >= 1 && index <= kLastDeviceType;
}

// The C locale's white space, as the scanning conversions skip it.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
char ToUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Compares the word as if upper-cased first, so a device answer of any length needs no copy.
int FindCode(std::string_view word, bool upperCaseWord) {
  for (int i = 1; i <= kLastDeviceType; ++i) {
    std::string_view code = kRows[i].code;
    if (code.size() != word.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < code.size() && same; ++k) {
      char c = upperCaseWord ? ToUpper(word[k]) : word[k];
      same = c == code[k];
    }
    if (same) return i;
  }
  return kTypeUnknown;
}

struct ScannedIdentity {
  int items = 0;
  std::string_view word;
  bool negative = false;
  std::uint64_t whole = 0;
  int digit1 = 0;
  int digit2 = 0;
};

// Reads "word whole.d[d]" the way a "%s %d.%1d%1d" scan does, counting the items read.
ScannedIdentity ScanIdentity(const char* text) {
  ScannedIdentity out;
  const char* p = text;
  auto skipSpace = [&p] {
    while (*p != '\0' && IsSpace(*p)) ++p;
  };

  skipSpace();
  const char* wordStart = p;
  while (*p != '\0' && !IsSpace(*p)) ++p;
  if (p == wordStart) return out;
  out.word = std::string_view(wordStart, static_cast<std::size_t>(p - wordStart));
  out.items = 1;

  skipSpace();
  if (*p == '+' || *p == '-') out.negative = *p++ == '-';
  if (!IsDigit(*p)) return out;
  // Saturates far above any usable version, yet consumes every digit as the scan would.
  constexpr std::uint64_t kCap = std::uint64_t{1} << 40;
  for (; IsDigit(*p); ++p) {
    out.whole = out.whole * 10 + static_cast<std::uint64_t>(*p - '0');
    if (out.whole > kCap) out.whole = kCap;
  }
  out.items = 2;

  if (*p != '.') return out;
  ++p;
  // A one-character field leaves no room for a sign, so only a digit converts.
  skipSpace();
  if (!IsDigit(*p)) return out;
  out.digit1 = *p++ - '0';
  out.items = 3;

  skipSpace();
  if (!IsDigit(*p)) return out;
  out.digit2 = *p - '0';
  out.items = 4;
  return out;
}

}  // namespace

const char* DeviceTypeCode(int index) {
  if (index >= 0 && index <= kLastDeviceType) return kRows[index].code;
  if (index == kLastDeviceType + 1) return kEndCode;
  return nullptr;
}

const char* DeviceTypeDisplayName(int index) {
  return IsKnownIndex(index) ? kRows[index].displayName : kRows[kTypeUnknown].displayName;
}

const char* VersionFinderPath(int index) {
  return IsKnownIndex(index) ? kRows[index].versionFinderPath : "";
}

bool DeviceTypeEraseWarning(int index) {
  return IsKnownIndex(index) && kRows[index].eraseWarning;
}

int FindDeviceTypeCode(const char* upperWord) {
  if (upperWord == nullptr) return kTypeUnknown;
  return FindCode(upperWord, false);
}

void DescribeDevice(int type, std::uint32_t version, DeviceProfile* profile) {
  if (profile == nullptr) return;
  if (!IsKnownIndex(type)) type = kTypeUnknown;
  const DeviceTypeRow& row = kRows[type];

  DeviceProfile& d = *profile;
  d = DeviceProfile{};
  d.type = static_cast<std::int8_t>(type);
  d.version = version;
  d.displayName.Set(row.displayName);
  d.restartWaitMs = row.restartWaitMs;
  d.savesSettings = row.savesSettings;
  d.erasesOldData = row.erasesOldData;
  d.checksBattery = row.checksBattery;
  d.needsLogin = row.needsLogin;
  d.setsClock = row.setsClock;
  d.firmwareCheck = row.firmwareCheck;
  d.calibrationNotice = row.calibrationNotice;
  d.flashStart = row.flashStart;
  d.flashEnd = row.flashEnd;
  d.extendedAddresses = row.extendedAddresses;
  d.infoStart = row.infoStart;
  d.infoSegments = row.infoSegments;
  d.infoSegmentSize = row.infoSegmentSize;
  d.loaderBaud = row.loaderBaud;

  d.firmwareNewEnough = row.updatableFrom != kNever && version >= row.updatableFrom;
  d.versionRangeApplies = row.maximumVersion != 0;
  d.minimumVersion = row.minimumVersion;
  d.maximumVersion = row.maximumVersion;
}

Status ParseDeviceIdentity(const char* text, DeviceProfile* profile) {
  if (profile == nullptr || text == nullptr || text[0] == '\0') return kMissingArgument;

  if (std::strchr(text, '.') == nullptr) {
    DescribeDevice(kTypeUnknown, 0, profile);
    profile->identification.Set(text);
    return kOk;
  }

  ScannedIdentity scan = ScanIdentity(text);
  if (scan.items < 3) return kNotRecognised;

  // A negative or oversized number is no firmware version; wrapping it into the unsigned field
  // would make garbage look like the newest firmware.
  std::uint64_t version = scan.whole * 100 + static_cast<std::uint64_t>(scan.digit1 * 10) +
                          static_cast<std::uint64_t>(scan.digit2);
  if (version > UINT32_MAX || (scan.negative && scan.whole != 0)) {
    return kNotRecognised;
  }

  int type = FindCode(scan.word, true);
  DescribeDevice(type, static_cast<std::uint32_t>(version), profile);
  profile->identification.Set(text);
  return type == kTypeUnknown ? kNotRecognised : kOk;
}

void SensorName(std::uint32_t sensorType, BoundedText<32>* name) {
  if (name == nullptr) return;
  for (const SensorNameRow& row : kSensorNames) {
    if (row.code == sensorType) {
      name->Set(row.name);
      return;
    }
  }
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "Unknown Sensor (type %u)",
                static_cast<unsigned>(sensorType));
  name->Set(buffer);
}

}  // namespace quendal
