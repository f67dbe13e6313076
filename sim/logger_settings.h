#pragma once
// The logger models and what a logger remembers: its settings by command key, each checked
// the way the firmware checks a "set" before it takes the value.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quendal::sim {

enum class LoggerKind {
  kTarn,     // old firmware: "show", "hertz", "time"
  kTarnNew,  // the same logger on current firmware
  kTarnx,
  kTarnb,
  kWeirstead,
  kRelmo,
  kOgle,
  kReadvane,  // the one with a clock kept in seconds
};

// What a logger's firmware offers, by the capability bits its identification stands for.
namespace feature {
inline constexpr std::uint32_t kBaud = 1u << 0;
inline constexpr std::uint32_t kWake = 1u << 4;  // "w" and "padc"
inline constexpr std::uint32_t kPorts = 1u << 5;
inline constexpr std::uint32_t kTrait = 1u << 6;
inline constexpr std::uint32_t kRadio = 1u << 8;  // "rch", "rsch", "rver", "term"
inline constexpr std::uint32_t kRadioMode = 1u << 9;
inline constexpr std::uint32_t kClock = 1u << 12;
inline constexpr std::uint32_t kAdcCal = 1u << 16;
inline constexpr std::uint32_t kDataParameter = 1u << 17;
inline constexpr std::uint32_t kBuild = 1u << 18;
inline constexpr std::uint32_t kSecondsClock = 1u << 19;
inline constexpr std::uint32_t kSingleAdcCal = 1u << 20;
inline constexpr std::uint32_t kNewer = 1u << 24;  // "devid", "report", "depth", "site", "tz"
inline constexpr std::uint32_t kPosition = 1u << 26;
}  // namespace feature

struct LoggerProfile {
  LoggerKind kind = LoggerKind::kTarnx;
  const char* preset = "";    // quendal-devsim's name for it
  const char* typeWord = "";  // the first word of "get -ver" (or of "show"'s version)
  std::uint32_t version = 0;  // 205 is 2.05
  int deviceType = 0;         // row of the device-type table: flash layout and loader
  bool oldFirmware = false;
  std::uint32_t features = 0;
  bool cellularOption = false;  // may carry a cellular modem ("apn", "host", ...)
  bool fixedRadioMode = false;  // always radio mode 16
};

const LoggerProfile& ProfileOf(LoggerKind kind);
// By quendal-devsim name ("tarnx", "wst", ...), case ignored; null when none.
const LoggerProfile* FindLoggerProfile(std::string_view name);
// "Tarnx 2.05".
std::string VersionText(const LoggerProfile& profile);

// What is fitted to one logger; a logger's trait reports it.
struct LoggerHardware {
  bool radio = true;  // for kinds with the radio feature
  bool modem = true;  // for kinds with the cellular option
};

class LoggerSettings {
 public:
  // Every setting of the profile at its factory value: no name (an uninitialised logger).
  LoggerSettings(const LoggerProfile& profile, const LoggerHardware& hardware);

  // Whether this logger knows the key at all.
  bool Has(std::string_view key) const;
  std::optional<std::string> Get(std::string_view key) const;
  // The value as the firmware checks and stores it; false (nothing changes) for a key the
  // logger does not have or a value it refuses.
  bool Set(std::string_view key, std::string_view value);
  // Stores a value the firmware would refuse (too long, control characters), as a damaged
  // logger might hold it: for tests of a host that meets one.
  void Force(std::string_view key, std::string_view value) { values_[std::string(key)] = value; }
  const std::map<std::string, std::string, std::less<>>& All() const { return values_; }

  // Settings that an in-service logger of this kind might hold.
  void FillInService();

 private:
  const LoggerProfile* profile_;
  std::map<std::string, std::string, std::less<>> values_;
};

// Sum of the ten calibration bytes modulo 256 (or slope and offset of a single-value set).
unsigned AdcChecksum(const unsigned* values, int count);

}  // namespace quendal::sim
