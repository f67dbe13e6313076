#include "sim/logger_shell.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "loader/device_types.h"
#include "sim/time_scale.h"

namespace quendal::sim {
namespace {

using namespace std::chrono;
using feature::kBaud;
using feature::kClock;
using feature::kRadio;
using feature::kSecondsClock;

// An unset seconds clock reads as all ones.
constexpr std::uint64_t kUnsetSeconds = 0xFFFFFFFFull;

// "set -baud" takes a code, not a rate.
constexpr std::uint32_t kBaudByCode[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Only hexadecimal digits, and no more than `high`.
bool ParseHex(std::string_view text, std::uint32_t high, std::uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
    if (digit < 0) return false;
    v = v * 16 + static_cast<std::uint64_t>(digit);
  }
  if (v > high) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

// Exactly `count` blank-free numbers separated by `separator`, and nothing else.
bool ParseTriple(std::string_view text, char separator, int* a, int* b, int* c) {
  std::string s(text);
  char format[16];
  std::snprintf(format, sizeof format, "%%d%c%%d%c%%d%%n", separator, separator);
  int used = 0;
  if (std::sscanf(s.c_str(), format, a, b, c, &used) != 3) return false;
  return used == static_cast<int>(s.size()) && s.find(' ') == std::string::npos;
}

constexpr sys_days kEpoch = sys_days{year{2000} / January / 1};

struct Calendar {
  int year, month, day, hour, minute, second;
};

Calendar CalendarOf(std::int64_t seconds) {
  std::int64_t dayCount = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --dayCount;
  }
  const year_month_day date{kEpoch + days{dayCount}};
  return {static_cast<int>(date.year()),
          static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())),
          static_cast<int>(rest / 3600),
          static_cast<int>(rest % 3600 / 60),
          static_cast<int>(rest % 60)};
}

}  // namespace

LoggerOptions LoggerOptionsFor(LoggerKind kind) {
  const LoggerProfile& profile = ProfileOf(kind);
  LoggerOptions o;
  o.kind = kind;
  o.name = profile.preset;
  o.device = OptionsForType(profile.deviceType, profile.version);
  o.device.name = profile.preset;
  o.device.shell.versionText = VersionText(profile);
  o.device.shell.oldFirmware = profile.oldFirmware;
  return o;
}

bool LoggerPreset(std::string_view name, LoggerOptions* options) {
  const LoggerProfile* profile = FindLoggerProfile(name);
  if (profile == nullptr) return false;
  *options = LoggerOptionsFor(profile->kind);
  return true;
}

SimLogger::SimLogger(LoggerOptions options)
    : options_(std::move(options)),
      profile_(&ProfileOf(options_.kind)),
      device_(options_.device),
      settings_(*profile_, options_.hardware),
      records_(options_.records) {
  if (options_.versionText.empty()) options_.versionText = VersionText(*profile_);
  if ((profile_->features & kRadio) && options_.hardware.radio) radio_.emplace(options_.radio);
  if (!options_.factoryFresh) settings_.FillInService();
  // A clock in hours and minutes runs from its first power-on; one in seconds waits to be set.
  if (profile_->features & kClock) {
    SetClockLocked(options_.factoryFresh ? 0 : 24 * 365 * 86400LL, Clock::now());
    clockSet_ = !(profile_->features & kSecondsClock) || !options_.factoryFresh;
  }
  DeviceCounters c = device_.Counters();
  seenRestarts_ = c.restarts;
  seenPowerCycles_ = c.powerCycles;
  away_ = device_.State() != DeviceState::kFirmware;
}

// --- the serial line ---

void SimLogger::Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
                        TimePoint now) {
  std::lock_guard lock(mu_);
  SyncLocked();
  for (std::size_t i = 0; i < count; ++i) {
    if (now < silentUntil_) return;
    // The shell can hand the line over (and get it back) with any byte.
    if (device_.State() != DeviceState::kFirmware) {
      away_ = true;
      device_.Receive(bytes + i, 1, hostBaud, now);
      std::vector<OutChunk> chunks;
      device_.TakeOutput(&chunks);
      for (OutChunk& chunk : chunks) outbox_.push_back(std::move(chunk));
      // A frame may have restarted it into new firmware.
      if (device_.State() == DeviceState::kFirmware) SyncLocked();
      continue;
    }
    if (away_) {
      away_ = false;
      ResetSessionLocked();
    }
    char c = static_cast<char>(bytes[i]);
    if (!SameSpeed(hostBaud, baud_)) {
      c = static_cast<char>(Garble(bytes[i]));
      ++counters_.misheardBytes;
    }
    HearLocked(c, now);
  }
}

TimePoint SimLogger::Advance(TimePoint now) {
  std::lock_guard lock(mu_);
  TimePoint next = device_.Advance(now);
  SyncLocked();
  return next;
}

void SimLogger::TakeOutput(std::vector<OutChunk>* out) {
  std::lock_guard lock(mu_);
  for (OutChunk& chunk : outbox_) out->push_back(std::move(chunk));
  outbox_.clear();
}

std::uint32_t SimLogger::Baud() const {
  std::lock_guard lock(mu_);
  if (device_.State() != DeviceState::kFirmware) return device_.Baud();
  // Back from the loader or a restart, the firmware starts at its usual rate.
  return away_ ? kShellBaud : baud_;
}

void SimLogger::SetWakeHook(std::function<void()> wake) {
  std::lock_guard lock(mu_);
  device_.SetWakeHook(std::move(wake));
}

// Follows what the instrument did on its own: a restart into new firmware, a power cycle.
void SimLogger::SyncLocked() {
  DeviceCounters c = device_.Counters();
  bool restarted = false;
  if (c.restarts != seenRestarts_) {
    seenRestarts_ = c.restarts;
    restarted = true;
    options_.versionText = WithVersion(options_.versionText, device_.FlashedVersion());
    if (options_.updateResetsSettings) {
      // A logger known by its device ID keeps its identity, serial number included, apart
      // from the settings that the new firmware starts without.
      LoggerSettings fresh(*profile_, options_.hardware);
      const std::string deviceId = settings_.Get("devid").value_or("");
      if (!deviceId.empty()) {
        fresh.Set("devid", deviceId);
        fresh.Set("sn", settings_.Get("sn").value_or(""));
      }
      settings_ = fresh;
    }
    DeviceProfile described;
    DescribeDevice(profile_->deviceType, profile_->version, &described);
    if (described.erasesOldData) records_ = 0;
  }
  if (c.powerCycles != seenPowerCycles_) {
    seenPowerCycles_ = c.powerCycles;
    restarted = true;
  }
  if (restarted) {
    ResetSessionLocked();
    if (radio_) radio_->Restart();
  }
  if (device_.State() != DeviceState::kFirmware) away_ = true;
}

void SimLogger::ResetSessionLocked() {
  baud_ = kShellBaud;
  line_.clear();
  passThrough_ = false;
  passLine_.clear();
  airLine_.clear();
  loggedIn_ = false;
}

void SimLogger::HearLocked(char byte, TimePoint now) {
  if (passThrough_) {
    PassThroughLocked(byte, now);
    return;
  }
  if (byte == '\n') return;
  if (byte != '\r') {
    // Past the limit the line is cut, as the firmware's buffer would.
    if (line_.size() < kMaxLine) line_.push_back(byte);
    return;
  }
  std::string line;
  line.swap(line_);
  NoteLineLocked(line);
  if (MutedLocked(line)) return;
  Reply reply = RunLocked(line, now, false);
  switch (reply.action) {
    case Action::kInstrument:
      InstrumentLocked(line, now, nullptr);
      return;
    case Action::kSwitchBaud:
      // The answer still goes at the old rate; the new one holds from the next byte.
      EmitLocked(std::move(reply.text), now);
      baud_ = reply.baud;
      ++counters_.baudSwitches;
      return;
    case Action::kPassThrough:
      EmitLocked(std::move(reply.text), now);
      passThrough_ = true;
      passLine_.clear();
      return;
    case Action::kNone:
      EmitLocked(std::move(reply.text), now);
      return;
  }
}

// The line belongs to the radio module; the logger only listens for the word that ends it.
void SimLogger::PassThroughLocked(char byte, TimePoint now) {
  std::string reply;
  std::string air;
  radio_->Feed(byte, &reply, &air);
  if (!reply.empty()) EmitLocked(std::move(reply), now);
  if (byte == '\n') return;
  if (byte != '\r') {
    if (passLine_.size() < kMaxLine) passLine_.push_back(byte);
    return;
  }
  const bool end = Trim(passLine_) == "term" && !radio_->atMode();
  passLine_.clear();
  if (!end) return;
  NoteLineLocked("term");
  passThrough_ = false;
  EmitLocked(InstrumentShell::Framed(""), now);
}

bool SimLogger::MutedLocked(const std::string& line) {
  for (auto& [prefix, count] : mutes_) {
    if (count > 0 && StartsWith(line, prefix)) {
      --count;
      return true;
    }
  }
  return false;
}

void SimLogger::NoteLineLocked(const std::string& line) {
  counters_.lines.push_back(line);
  if (counters_.lines.size() > kMaxLinesKept) counters_.lines.pop_front();
}

void SimLogger::InstrumentLocked(const std::string& line, TimePoint now, std::string* overAir) {
  std::string bytes = line + "\r";
  device_.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), device_.Baud(),
                  now);
  std::vector<OutChunk> chunks;
  device_.TakeOutput(&chunks);
  for (OutChunk& chunk : chunks) {
    if (overAir) {
      overAir->append(chunk.bytes);
    } else {
      chunk.baud = baud_;  // said by the firmware, at the logger's rate
      outbox_.push_back(std::move(chunk));
    }
  }
  if (device_.State() != DeviceState::kFirmware) away_ = true;
}

void SimLogger::EmitLocked(std::string text, TimePoint now) {
  if (text.empty()) return;
  outbox_.push_back(OutChunk{std::move(text), now, baud_});
}

// --- over the air ---

bool SimLogger::RadioHears(const RadioModule& modem) const {
  std::lock_guard lock(mu_);
  return radio_ && radio_->Hears(modem);
}

void SimLogger::HearOverRadio(std::string_view bytes, TimePoint now, std::string* answer) {
  std::lock_guard lock(mu_);
  SyncLocked();
  if (device_.State() != DeviceState::kFirmware || !radio_) return;
  for (char byte : bytes) {
    if (now < silentUntil_ || now < asleepUntil_) continue;
    if (byte == '\n') continue;
    if (byte != '\r') {
      if (airLine_.size() < kMaxLine) airLine_.push_back(byte);
      continue;
    }
    std::string line;
    line.swap(airLine_);
    std::string_view c = Trim(line);
    if (c.empty()) continue;  // wake-up carriage returns
    NoteLineLocked(line);
    if (MutedLocked(line)) continue;
    const std::string name = settings_.Get("i").value_or("");
    if (!loggedIn_) {
      // Until a login names it, a logger only tells its name.
      if (c == "query") {
        if (!name.empty()) *answer += name + "\r";
      } else if (c == "login" || StartsWith(c, "login ")) {
        std::string_view who = Trim(c.substr(5));
        if (who.empty() || who == name) {
          loggedIn_ = true;
          *answer += InstrumentShell::Framed("OK");
        }
      }
      continue;
    }
    if (c == "logout") {
      // It drops the connection without a word and keeps its radio off for a while.
      loggedIn_ = false;
      asleepUntil_ = now + DeviceMs(options_.logoutSleepMs);
      continue;
    }
    Reply reply = RunLocked(line, now, true);
    if (reply.action == Action::kInstrument) {
      InstrumentLocked(line, now, answer);
    } else {
      *answer += reply.text;
    }
  }
}

// --- the commands ---

SimLogger::Reply SimLogger::RunLocked(std::string_view line, TimePoint now, bool overAir) {
  if (profile_->oldFirmware) return RunOldLocked(line, now);
  auto framed = [](std::string_view body) { return Reply{InstrumentShell::Framed(body)}; };
  std::string_view c = Trim(line);
  if (c.empty()) return framed("");
  if (c == "boot ZAVE" || c == "post" || c == "post -init") return {"", Action::kInstrument};
  if (c == "get -ver") return framed(options_.versionText);
  if (c == "yes") return framed(EraseLocked());
  if (c == "term") {
    if (!(profile_->features & kRadio) || overAir) return framed("Unsupported");
    if (!radio_) return framed("No Radio");
    return {"", Action::kPassThrough};
  }
  if (c == "login" || StartsWith(c, "login ") || c == "logout") return framed("OK");

  const std::size_t blank = c.find(' ');
  const std::string_view verb = c.substr(0, blank);
  std::string_view rest = blank == std::string_view::npos ? "" : c.substr(blank + 1);
  if ((verb != "get" && verb != "set") || !StartsWith(rest, "-")) return framed("Unsupported");
  rest.remove_prefix(1);
  const std::size_t split = rest.find(' ');
  const std::string_view key = rest.substr(0, split);
  const std::string_view value = split == std::string_view::npos ? "" : rest.substr(split + 1);
  if (verb == "get") return value.empty() ? GetLocked(key, now) : framed("Unsupported");
  return SetLocked(key, value, now, overAir);
}

SimLogger::Reply SimLogger::GetLocked(std::string_view key, TimePoint now) {
  auto framed = [](std::string_view body) { return Reply{InstrumentShell::Framed(body)}; };
  const std::uint32_t features = profile_->features;
  char text[48];
  if (key == "batt") return framed(options_.battery);
  if (key == "rch" || key == "rsch" || key == "rver") {
    if (!(features & kRadio)) return framed("Unsupported");
    if (!radio_) return framed("No Radio");
    const RadioConfig& radio = radio_->config();
    if (key == "rver") return framed(radio.version);
    std::snprintf(text, sizeof text, "%X",
                  static_cast<unsigned>(key == "rch" ? radio.channel : radio.subChannel));
    return framed(text);
  }
  if (key == "sec" && (features & kSecondsClock)) {
    const std::uint64_t seconds =
        clockSet_ ? static_cast<std::uint64_t>(std::max<std::int64_t>(ClockNowLocked(now), 0))
                  : kUnsetSeconds;
    return framed(std::to_string(std::min(seconds, kUnsetSeconds)));
  }
  if (key == "t" && (features & kClock) && !(features & kSecondsClock))
    return framed(CalendarLocked(now));
  if (std::optional<std::string> value = settings_.Get(key)) return framed(*value);
  return framed("Unsupported");
}

SimLogger::Reply SimLogger::SetLocked(std::string_view key, std::string_view value, TimePoint now,
                                      bool overAir) {
  auto framed = [](std::string_view body) { return Reply{InstrumentShell::Framed(body)}; };
  const std::uint32_t features = profile_->features;
  const std::string_view v = Trim(value);
  if (key == "baud") {
    if (!(features & kBaud)) return framed("Unsupported");
    std::uint32_t code = 0;
    if (overAir || !ParseHex(v, 6, &code) || v.size() != 1) return framed("ERROR");
    return {InstrumentShell::Framed("OK"), Action::kSwitchBaud, kBaudByCode[code]};
  }
  if (key == "rch" || key == "rsch") {
    if (!(features & kRadio)) return framed("Unsupported");
    if (!radio_) return framed("No Radio");
    std::uint32_t n = 0;
    const bool channel = key == "rch";
    if (!ParseHex(v, channel ? RadioModule::kHighestChannel : RadioModule::kHighestSubChannel, &n))
      return framed("ERROR");
    if (channel)
      radio_->SetChannel(n);
    else
      radio_->SetSubChannel(n);
    // The Tarn passes on its radio module's own confirmation.
    return framed(profile_->kind == LoggerKind::kTarnNew ? "OK\r\rOK" : "OK");
  }
  if (key == "sec" && (features & kSecondsClock)) {
    std::uint32_t seconds = 0;
    std::string digits(v);
    char* end = nullptr;
    const unsigned long long n = std::strtoull(digits.c_str(), &end, 10);
    if (digits.empty() || end != digits.c_str() + digits.size() || digits[0] == '-' ||
        n >= kUnsetSeconds)
      return framed("ERROR");
    seconds = static_cast<std::uint32_t>(n);
    SetClockLocked(seconds, now);
    return framed("OK");
  }
  if ((key == "t" || key == "d") && (features & kClock) && !(features & kSecondsClock)) {
    const bool ok = key == "t" ? SetTimeOfDayLocked(v, now) : SetDateLocked(v, now);
    return framed(ok ? "OK" : "ERROR");
  }
  if (!settings_.Has(key)) return framed("Unsupported");
  return framed(settings_.Set(key, value) ? "OK" : "ERROR");
}

// Old firmware: a few words of its own, and "ERROR" for everything else.
SimLogger::Reply SimLogger::RunOldLocked(std::string_view line, TimePoint now) {
  auto framed = [](std::string_view body) { return Reply{InstrumentShell::Framed(body)}; };
  std::string_view c = Trim(line);
  if (c.empty()) return framed("");
  if (c == "boot ZAVE" || c == "post" || c == "post -init") return {"", Action::kInstrument};
  if (c == "show") return framed(ShowLocked());
  if (c == "hertz") return framed(settings_.Get("padc").value_or("0"));
  if (c == "time") return framed("Date\\Time: " + CalendarLocked(now));
  if (c == "yes") return framed(EraseLocked());
  if (c == "term") {
    if (!radio_) return framed("ERROR");
    return {"", Action::kPassThrough};
  }
  // The old sets confirm by saying the value back under its "show" label.
  struct OldSet {
    const char* command;
    const char* key;
    const char* label;
  };
  static constexpr OldSet kSets[] = {
      {"set -w ", "w", "Wake: "},
      {"set -p ", "padc", "Hertz: "},
      {"set -i ", "i", "ID: "},
      {"set -r ", "r", "Radio: "},
  };
  for (const OldSet& s : kSets) {
    if (!StartsWith(c, s.command)) continue;
    if (!settings_.Set(s.key, c.substr(std::string_view(s.command).size()))) return framed("ERROR");
    return framed(std::string(s.label) + settings_.Get(s.key).value_or(""));
  }
  if (StartsWith(c, "set -t ") && SetTimeOfDayLocked(Trim(c.substr(7)), now))
    return framed("Time: " + CalendarLocked(now).substr(11));
  if (StartsWith(c, "set -d ") && SetDateLocked(Trim(c.substr(7)), now))
    return framed("Date: " + CalendarLocked(now).substr(0, 10));
  return framed("ERROR");
}

std::string SimLogger::ShowLocked() {
  char resets[16];
  std::snprintf(resets, sizeof resets, "%u", device_.Counters().powerCycles);
  return "ID: " + settings_.Get("i").value_or("") + "\rVersion: " + options_.versionText +
         "\rRadio: " + settings_.Get("r").value_or("0") +
         "\rWake: " + settings_.Get("w").value_or("0") + "\rResets: " + resets;
}

std::string SimLogger::EraseLocked() {
  const bool old = profile_->oldFirmware;
  if (options_.dataFlashFails) return old ? "DataFlash FAIL!" : "DataFlash FAIL";
  records_ = 0;
  ++counters_.erases;
  // Old firmware ends its answer with "!", which the host waits for.
  return old ? "Erased OK!" : "OK";
}

// --- the clock ---

std::int64_t SimLogger::ClockNowLocked(TimePoint now) const {
  return clockBase_ + duration_cast<seconds>(now - clockAt_).count();
}

void SimLogger::SetClockLocked(std::int64_t seconds, TimePoint now) {
  clockBase_ = seconds;
  clockAt_ = now;
  clockSet_ = true;
}

std::string SimLogger::CalendarLocked(TimePoint now) const {
  const Calendar t = CalendarOf(ClockNowLocked(now));
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

bool SimLogger::SetTimeOfDayLocked(std::string_view text, TimePoint now) {
  int h = 0, m = 0, s = 0;
  if (!ParseTriple(text, ':', &h, &m, &s) || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
    return false;
  const std::int64_t current = ClockNowLocked(now);
  std::int64_t day = current / 86400 - (current % 86400 < 0 ? 1 : 0);
  SetClockLocked(day * 86400 + h * 3600 + m * 60 + s, now);
  return true;
}

bool SimLogger::SetDateLocked(std::string_view text, TimePoint now) {
  int y = 0, m = 0, d = 0;
  if (!ParseTriple(text, '-', &y, &m, &d) || y < 2000 || y > 2099 || m < 1 || m > 12 || d < 1)
    return false;
  const year_month_day date{year{y}, month{static_cast<unsigned>(m)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok()) return false;
  const std::int64_t current = ClockNowLocked(now);
  std::int64_t timeOfDay = current % 86400;
  if (timeOfDay < 0) timeOfDay += 86400;
  SetClockLocked((sys_days{date} - kEpoch).count() * 86400LL + timeOfDay, now);
  return true;
}

// --- inspection and control ---

std::optional<std::string> SimLogger::Setting(std::string_view key) const {
  std::lock_guard lock(mu_);
  return settings_.Get(key);
}

bool SimLogger::SetSetting(std::string_view key, std::string_view value) {
  std::lock_guard lock(mu_);
  return settings_.Set(key, value);
}

void SimLogger::ForceSetting(std::string_view key, std::string_view value) {
  std::lock_guard lock(mu_);
  settings_.Force(key, value);
}

std::map<std::string, std::string, std::less<>> SimLogger::Settings() const {
  std::lock_guard lock(mu_);
  return settings_.All();
}

std::optional<RadioConfig> SimLogger::Radio() const {
  std::lock_guard lock(mu_);
  if (!radio_) return std::nullopt;
  return radio_->config();
}

std::uint32_t SimLogger::Records() const {
  std::lock_guard lock(mu_);
  return records_;
}

void SimLogger::SetRecords(std::uint32_t records) {
  std::lock_guard lock(mu_);
  records_ = records;
}

void SimLogger::SetDataFlashFails(bool fails) {
  std::lock_guard lock(mu_);
  options_.dataFlashFails = fails;
}

std::optional<std::int64_t> SimLogger::ClockSeconds() const {
  std::lock_guard lock(mu_);
  if (!clockSet_) return std::nullopt;
  return ClockNowLocked(Clock::now());
}

LoggerCounters SimLogger::Counters() const {
  std::lock_guard lock(mu_);
  return counters_;
}

int SimLogger::Heard(std::string_view line) const {
  std::lock_guard lock(mu_);
  return static_cast<int>(std::count(counters_.lines.begin(), counters_.lines.end(), line));
}

void SimLogger::Mute(std::string prefix, std::uint32_t count) {
  std::lock_guard lock(mu_);
  mutes_.emplace_back(std::move(prefix), count);
}

void SimLogger::GoSilent(std::uint32_t ms) {
  std::lock_guard lock(mu_);
  silentUntil_ = Clock::now() + DeviceMs(ms);
}

// --- the other ends a port may have ---

void LoopbackPlug::Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t,
                           TimePoint now) {
  std::lock_guard lock(mu_);
  outbox_.push_back(OutChunk{std::string(reinterpret_cast<const char*>(bytes), count), now, 0});
}

void LoopbackPlug::TakeOutput(std::vector<OutChunk>* out) {
  std::lock_guard lock(mu_);
  for (OutChunk& chunk : outbox_) out->push_back(std::move(chunk));
  outbox_.clear();
}

}  // namespace quendal::sim
