#pragma once
// A simulated data logger: the logger firmware's command shell with its settings, clock and
// data memory, in front of the instrument it runs on (flash and resident loader, so that
// "boot ZAVE" and "post" keep working), with its radio module behind "term". Reached over its
// serial line as an Endpoint, or over the air through a RadioLink.
//
// Besides the loggers, two things a port may have on its other end: a loop-back adapter and
// nothing at all.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"
#include "sim/logger_radio.h"
#include "sim/logger_settings.h"
#include "sim/wire.h"

namespace quendal::sim {

struct LoggerOptions {
  LoggerKind kind = LoggerKind::kTarnx;
  std::string name;         // names the link in quendal-devsim; empty: the profile's preset
  std::string versionText;  // the identification line; empty: from the profile
  LoggerHardware hardware;
  bool factoryFresh = false;  // every setting at its factory value, no name yet
  bool dataFlashFails = false;
  std::uint32_t records = 0;  // measurements in the data memory
  std::string battery = "87";
  RadioConfig radio;  // the fitted radio module's configuration
  // After "logout" the logger keeps its radio off this long before it listens again.
  std::uint32_t logoutSleepMs = 1000;
  // The firmware that a loader update brings starts from factory settings.
  bool updateResetsSettings = true;
  // The instrument under the shell; LoggerOptionsFor fills it for the kind.
  DeviceOptions device;
};

LoggerOptions LoggerOptionsFor(LoggerKind kind);
// quendal-devsim's names: "tarn", "tarn-new", "tarnx", "tarnb", "wst", "relmo", "ogle",
// "rdv-logger" (and "weirstead", "rlm", "ogl").
bool LoggerPreset(std::string_view name, LoggerOptions* options);

struct LoggerCounters {
  std::deque<std::string> lines;    // command lines heard (the most recent few thousand)
  std::uint64_t misheardBytes = 0;  // arrived at another line speed than the logger's
  std::uint32_t baudSwitches = 0;
  std::uint32_t erases = 0;
};

class SimLogger : public Endpoint {
 public:
  static constexpr std::size_t kMaxLine = 256;
  static constexpr std::size_t kMaxLinesKept = 4096;

  explicit SimLogger(LoggerOptions options);

  // Endpoint: the logger's serial line.
  void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
               TimePoint now) override;
  TimePoint Advance(TimePoint now) override;
  void TakeOutput(std::vector<OutChunk>* out) override;
  std::uint32_t Baud() const override;
  void SetWakeHook(std::function<void()> wake) override;

  // Over the air, from a RadioLink whose modem the logger's radio hears: "query" and
  // "login NAME" first, then the shell until "logout". The logger's answer is appended.
  void HearOverRadio(std::string_view bytes, TimePoint now, std::string* answer);
  bool RadioHears(const RadioModule& modem) const;

  // Inspection and control, from any thread.
  SimDevice& Device() { return device_; }
  const LoggerProfile& Profile() const { return *profile_; }
  std::optional<std::string> Setting(std::string_view key) const;
  bool SetSetting(std::string_view key, std::string_view value);
  void ForceSetting(std::string_view key, std::string_view value);
  std::map<std::string, std::string, std::less<>> Settings() const;
  std::optional<RadioConfig> Radio() const;  // none without a radio module
  std::uint32_t Records() const;
  void SetRecords(std::uint32_t records);
  void SetDataFlashFails(bool fails);
  // Seconds of local time since 2000; none for a seconds clock that was never set.
  std::optional<std::int64_t> ClockSeconds() const;
  LoggerCounters Counters() const;
  int Heard(std::string_view line) const;  // how often this exact command line came
  // The next `count` command lines that begin with `prefix` are lost on their way in.
  void Mute(std::string prefix, std::uint32_t count);
  // Hears and says nothing for `ms`.
  void GoSilent(std::uint32_t ms);

 private:
  enum class Action { kNone, kInstrument, kSwitchBaud, kPassThrough };
  struct Reply {
    std::string text;
    Action action = Action::kNone;
    std::uint32_t baud = 0;
  };

  void SyncLocked();
  void ResetSessionLocked();
  void HearLocked(char byte, TimePoint now);
  void PassThroughLocked(char byte, TimePoint now);
  bool MutedLocked(const std::string& line);
  void NoteLineLocked(const std::string& line);
  void InstrumentLocked(const std::string& line, TimePoint now, std::string* overAir);
  void EmitLocked(std::string text, TimePoint now);

  Reply RunLocked(std::string_view line, TimePoint now, bool overAir);
  Reply RunOldLocked(std::string_view line, TimePoint now);
  Reply GetLocked(std::string_view key, TimePoint now);
  Reply SetLocked(std::string_view key, std::string_view value, TimePoint now, bool overAir);
  std::string EraseLocked();
  std::string ShowLocked();
  std::string CalendarLocked(TimePoint now) const;
  bool SetTimeOfDayLocked(std::string_view text, TimePoint now);
  bool SetDateLocked(std::string_view text, TimePoint now);

  std::int64_t ClockNowLocked(TimePoint now) const;
  void SetClockLocked(std::int64_t seconds, TimePoint now);

  mutable std::mutex mu_;
  LoggerOptions options_;
  const LoggerProfile* profile_;
  SimDevice device_;
  LoggerSettings settings_;
  std::optional<RadioModule> radio_;
  std::uint32_t records_;

  bool clockSet_ = false;
  std::int64_t clockBase_ = 0;  // seconds at clockAt_
  TimePoint clockAt_{};

  // The serial session.
  std::uint32_t baud_ = kShellBaud;
  std::string line_;
  bool passThrough_ = false;
  std::string passLine_;
  // The radio session.
  std::string airLine_;
  bool loggedIn_ = false;
  TimePoint asleepUntil_{};
  // What the instrument did that the shell must follow.
  bool away_ = false;  // the loader has the line, or the power is off
  std::uint32_t seenRestarts_ = 0;
  std::uint32_t seenPowerCycles_ = 0;

  TimePoint silentUntil_{};
  std::vector<std::pair<std::string, std::uint32_t>> mutes_;
  LoggerCounters counters_;
  std::vector<OutChunk> outbox_;
};

// A loop-back adapter: every byte comes straight back, at any line speed.
class LoopbackPlug : public Endpoint {
 public:
  void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
               TimePoint now) override;
  TimePoint Advance(TimePoint) override { return kNever; }
  void TakeOutput(std::vector<OutChunk>* out) override;
  std::uint32_t Baud() const override { return 0; }
  void SetWakeHook(std::function<void()>) override {}

 private:
  std::mutex mu_;
  std::vector<OutChunk> outbox_;
};

// A line with nothing on its other end: it hears everything and says nothing.
class SilentLine : public Endpoint {
 public:
  void Receive(const std::uint8_t*, std::size_t count, std::uint32_t, TimePoint) override {
    heard_ += count;
  }
  TimePoint Advance(TimePoint) override { return kNever; }
  void TakeOutput(std::vector<OutChunk>*) override {}
  std::uint32_t Baud() const override { return kShellBaud; }
  void SetWakeHook(std::function<void()>) override {}
  std::uint64_t BytesHeard() const { return heard_.load(); }

 private:
  std::atomic<std::uint64_t> heard_{0};
};

}  // namespace quendal::sim
