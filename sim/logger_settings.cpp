#include "sim/logger_settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "loader/device_types.h"

namespace quendal::sim {
namespace {

using namespace feature;

// clang-format off
constexpr LoggerProfile kProfiles[] = {
  // kind                  preset        word     ver  device type old   features     cell   rmode 16
  {LoggerKind::kTarn,      "tarn",      "Tarn",  172, kTypeTarn,  true,  0x0000331C, false, false},
  {LoggerKind::kTarnNew,   "tarn-new",  "Tarn",  180, kTypeTarn,  false, 0x0000371F, false, false},
  {LoggerKind::kTarnx,     "tarnx",     "Tarnx", 205, kTypeTarnx, false, 0x05E7FFF7, true,  false},
  {LoggerKind::kTarnb,     "tarnb",     "Tarnb", 204, kTypeTarnb, false, 0x000474BE, false, false},
  {LoggerKind::kWeirstead, "wst",       "WST",   109, kTypeWst,   false, 0x00024583, false, false},
  {LoggerKind::kRelmo,     "relmo",     "RLM",   100, kTypeRlm,   false, 0x05E3FFF7, false, true},
  {LoggerKind::kOgle,      "ogle",      "OGL",   100, kTypeOgl,   false, 0x07C3F6F7, false, false},
  {LoggerKind::kReadvane,  "rdv-logger", "RDV",  205, kTypeRdv,   false, 0x001D3083, false, false},
};
// clang-format on

struct Alias {
  const char* name;
  LoggerKind kind;
};
constexpr Alias kAliases[] = {
    {"weirstead", LoggerKind::kWeirstead},
    {"rlm", LoggerKind::kRelmo},
    {"ogl", LoggerKind::kOgle},
};

enum class Form {
  kName,      // one word a name may be
  kText,      // printable text up to `limit`
  kInteger,   // from `low` to `high`
  kFive,      // five numbers 0..255
  kPosition,  // degrees within +-`limit`, or nothing
  kHexKey,    // exactly 32 hexadecimal digits
  kAdc,       // slopes and offsets with their checksum
};

struct Rule {
  const char* key;
  Form form;
  std::uint32_t need;  // a feature bit; 0: every logger
  bool cellular;       // only with a cellular modem
  long long low;
  long long high;  // also the longest text
};

constexpr long long kIntMin = -2147483647LL - 1;
constexpr long long kIntMax = 2147483647LL;

constexpr Rule kRules[] = {
    {"i", Form::kName, 0, false, 0, 8},
    {"sn", Form::kText, 0, false, 0, 15},
    {"trait", Form::kInteger, kTrait, false, 0, 255},
    {"w", Form::kInteger, kWake, false, 0, kIntMax},
    {"padc", Form::kInteger, kWake, false, 0, kIntMax},
    {"ports", Form::kFive, kPorts, false, 0, 255},
    {"devid", Form::kText, kNewer, false, 0, 8},
    {"data", Form::kInteger, kDataParameter, false, kIntMin, kIntMax},
    {"r", Form::kInteger, kRadioMode, false, 0, 255},
    {"depth", Form::kFive, kNewer, false, 0, 255},
    {"site", Form::kText, kNewer, false, 0, 25},
    {"lat", Form::kPosition, kPosition, false, 0, 90},
    {"long", Form::kPosition, kPosition, false, 0, 180},
    // Quarter hours: UTC-12 to UTC+14.
    {"tz", Form::kInteger, kNewer, false, -48, 56},
    {"report", Form::kInteger, kNewer, false, kIntMin, kIntMax},
    {"apn", Form::kText, 0, true, 0, 35},
    {"user", Form::kText, 0, true, 0, 35},
    {"passwd", Form::kText, 0, true, 0, 35},
    {"host", Form::kText, 0, true, 0, 63},
    {"authkey", Form::kHexKey, 0, true, 32, 32},
    {"ipport", Form::kInteger, 0, true, 0, 65535},
    {"adc30", Form::kAdc, kAdcCal, false, 0, 255},
    {"adc15", Form::kAdc, kAdcCal, false, 0, 255},
    {"build", Form::kText, kBuild, false, 0, 16},
};

const Rule* FindRule(std::string_view key) {
  for (const Rule& r : kRules)
    if (key == r.key) return &r;
  return nullptr;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ParseInteger(std::string_view text, long long low, long long high, long long* value) {
  std::string s(Trim(text));
  if (s.empty()) return false;
  std::size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (i == s.size() || s.size() - i > 12) return false;
  for (std::size_t k = i; k < s.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(s[k]))) return false;
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

// Blank-separated integers within `low`..`high`; false for anything else in the text.
bool ParseNumbers(std::string_view text, long long low, long long high,
                  std::vector<long long>* out) {
  out->clear();
  std::size_t p = 0;
  while (p < text.size()) {
    while (p < text.size() && text[p] == ' ') ++p;
    if (p == text.size()) break;
    std::size_t end = text.find(' ', p);
    if (end == std::string_view::npos) end = text.size();
    long long v = 0;
    if (!ParseInteger(text.substr(p, end - p), low, high, &v)) return false;
    out->push_back(v);
    p = end;
  }
  return true;
}

std::string JoinNumbers(const std::vector<long long>& values) {
  std::string s;
  for (long long v : values) {
    if (!s.empty()) s += ' ';
    s += std::to_string(v);
  }
  return s;
}

bool Printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

bool NameCharacter(char c) {
  return c > ' ' && c <= '~' && std::string_view("?\\\"/<>*|:;,").find(c) == std::string::npos;
}

std::string FactoryAdc(bool single) {
  std::vector<unsigned> pairs;
  for (int i = 0; i < (single ? 1 : 5); ++i) {
    pairs.push_back(128);
    pairs.push_back(100);
  }
  std::string s;
  for (unsigned v : pairs) s += std::to_string(v) + " ";
  return s + std::to_string(AdcChecksum(pairs.data(), static_cast<int>(pairs.size())));
}

}  // namespace

const LoggerProfile& ProfileOf(LoggerKind kind) {
  for (const LoggerProfile& p : kProfiles)
    if (p.kind == kind) return p;
  return kProfiles[0];
}

const LoggerProfile* FindLoggerProfile(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const LoggerProfile& p : kProfiles)
    if (lower == p.preset) return &p;
  for (const Alias& a : kAliases)
    if (lower == a.name) return &ProfileOf(a.kind);
  return nullptr;
}

std::string VersionText(const LoggerProfile& profile) {
  char text[40];
  std::snprintf(text, sizeof text, "%s %u.%02u", profile.typeWord,
                static_cast<unsigned>(profile.version / 100),
                static_cast<unsigned>(profile.version % 100));
  return text;
}

unsigned AdcChecksum(const unsigned* values, int count) {
  unsigned sum = 0;
  for (int i = 0; i < count; ++i) sum += values[i];
  return sum % 256;
}

LoggerSettings::LoggerSettings(const LoggerProfile& profile, const LoggerHardware& hardware)
    : profile_(&profile) {
  const bool modem = profile.cellularOption && hardware.modem;
  const bool radio = (profile.features & kRadio) && hardware.radio;
  for (const Rule& r : kRules) {
    if (r.need != 0 && !(profile.features & r.need)) continue;
    if (r.cellular && !modem) continue;
    std::string value;
    switch (r.form) {
      case Form::kInteger:
        value = "0";
        break;
      case Form::kFive:
        value = "0 0 0 0 0";
        break;
      case Form::kAdc:
        value = FactoryAdc(profile.features & kSingleAdcCal);
        break;
      default:
        break;
    }
    values_[r.key] = value;
  }
  // The firmware keeps 255 minus the fitted features: bit 0 a radio, bit 3 a modem.
  if (Has("trait")) values_["trait"] = std::to_string(255 - (radio ? 1 : 0) - (modem ? 8 : 0));
  if (Has("w")) values_["w"] = "600";
  if (Has("padc")) values_["padc"] = "60";
  if (profile.fixedRadioMode) values_["r"] = "16";
}

bool LoggerSettings::Has(std::string_view key) const {
  return values_.find(key) != values_.end();
}

std::optional<std::string> LoggerSettings::Get(std::string_view key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool LoggerSettings::Set(std::string_view key, std::string_view value) {
  auto it = values_.find(key);
  const Rule* rule = FindRule(key);
  if (it == values_.end() || rule == nullptr) return false;
  std::string_view v = Trim(value);
  std::string stored;
  switch (rule->form) {
    case Form::kName:
      if (v.empty() || static_cast<long long>(v.size()) > rule->high ||
          !std::all_of(v.begin(), v.end(), NameCharacter))
        return false;
      stored = v;
      break;
    case Form::kText:
      if (static_cast<long long>(v.size()) > rule->high || !Printable(v)) return false;
      stored = v;
      break;
    case Form::kInteger: {
      long long n = 0;
      if (!ParseInteger(v, rule->low, rule->high, &n)) return false;
      if (profile_->fixedRadioMode && key == "r" && n != 16) return false;
      stored = std::to_string(n);
      break;
    }
    case Form::kFive: {
      std::vector<long long> n;
      if (!ParseNumbers(v, rule->low, rule->high, &n) || n.size() != 5) return false;
      stored = JoinNumbers(n);
      break;
    }
    case Form::kPosition: {
      if (v.empty()) break;  // no position
      std::string s(v);
      char* end = nullptr;
      double d = std::strtod(s.c_str(), &end);
      if (end != s.c_str() + s.size() || !std::isfinite(d) ||
          std::fabs(d) > static_cast<double>(rule->high))
        return false;
      char text[32];
      std::snprintf(text, sizeof text, "%+.5f", d);
      stored = text;
      break;
    }
    case Form::kHexKey:
      if (v.size() != 32 || !std::all_of(v.begin(), v.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
          }))
        return false;
      stored = v;
      break;
    case Form::kAdc: {
      std::vector<long long> n;
      const std::size_t count = (profile_->features & kSingleAdcCal) ? 3 : 11;
      if (!ParseNumbers(v, rule->low, rule->high, &n) || n.size() != count) return false;
      std::vector<unsigned> pairs(n.begin(), n.end() - 1);
      if (AdcChecksum(pairs.data(), static_cast<int>(pairs.size())) != n.back()) return false;
      stored = JoinNumbers(n);
      break;
    }
  }
  it->second = stored;
  return true;
}

void LoggerSettings::FillInService() {
  const std::pair<const char*, const char*> values[] = {
      {"i", "LOGGER01"},
      {"sn", "SN-1001"},
      {"w", "300"},
      {"padc", "50"},
      {"ports", "1 1 2 0 0"},
      {"devid", "STN-0042"},
      {"data", "3"},
      {"r", "2"},
      {"depth", "10 30 60 0 0"},
      {"site", "North Field"},
      {"lat", "46.52314"},
      {"long", "6.63215"},
      {"tz", "4"},
      {"report", "1"},
      {"apn", "internet.example"},
      {"user", "field"},
      {"passwd", "secret"},
      {"host", "collector.example.org"},
      {"authkey", "0123456789ABCDEF0123456789ABCDEF"},
      {"ipport", "8080"},
      {"build", "B2051"},
  };
  for (const auto& [key, value] : values) Set(key, value);
}

}  // namespace quendal::sim
