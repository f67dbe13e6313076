#pragma once
// A simulated SDI-12 digital sensor: its firmware answers the commands a comm device relays
// from the bus, and its resident loader, on its own flash, takes the bytes the comm device
// passes through. Driven by the comm device under the comm device's lock; not thread-safe
// by itself.
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"
#include "sim/faults.h"
#include "sim/flash.h"
#include "sim/loader.h"
#include "sim/wire.h"

namespace quendal::sim {

inline constexpr char kSensorTypeKyrel = 127;  // the KYREL-SX reports the delete character

struct SensorOptions {
  char type = 's';
  std::string vendor = "ORVELLE ";  // 8 characters of the identification
  std::string model = "Lurra ";     // 6 characters; the host reads some types from it
  std::uint32_t version = 396;      // three digits: 396 is 3.96
  std::string identityMore = "SX1";
  char address = '0';
  std::string serialNumber;  // empty: "?X#!" gets the address alone
  std::string x4;
  std::string xa;
  // What a firmware update reports as its version; 0 keeps `version`.
  std::uint32_t versionAfterUpdate = 0;

  bool hasLoader = true;  // without: "?B!" answers "No BSL"
  // Flash at power-on, as for SimDevice: a small valid test image unless `blankFlash`
  // (the sensor comes up in its waiting loader) or `imageText` with `imageVectors`.
  bool blankFlash = false;
  std::string imageText;
  std::optional<VectorTable> imageVectors;
  std::uint32_t restartMs = 0;  // the vectors' restart keeps the sensor off this long
  // A waiting loader that the comm device no longer feeds gives up after this long and the
  // sensor restarts.
  std::uint32_t loaderTimeoutMs = 300;
  // Without a wake ("|") or other traffic for this long the sensor sleeps through commands.
  std::uint32_t awakeMs = 1000;

  // Failure variants.
  bool silent = false;               // answers nothing, the probe neither
  bool probeOnly = false;            // answers "?!" and "a!" only
  bool noTypeAnswer = false;         // "?X8!" goes unanswered
  bool xaFails = false;              // "?Xa!" goes unanswered
  std::uint32_t errorsBeforeOk = 0;  // each kind of setting is refused "ERROR" this often first
  bool corruptAfterUpdate = false;   // a flash cell fails while the new firmware is written
  FaultPlan faults;                  // on the loader's frames and the sensor's bytes
};

// A sensor of one of the type characters the host knows ("z", "x", "w", "y", "l", "u", "t",
// "s", "r", "o", "n", "j", "i", "}", 127), with that type's identity, usual firmware version
// and plausible calibrations; `version` 0 keeps the type's usual one. False for any other.
bool SensorOptionsForType(char type, std::uint32_t version, SensorOptions* options);
// "z", "}" or a type's number ("122", "125", "127"), as a command line names a sensor.
bool ParseSensorType(std::string_view text, char* type);

struct SensorCounters {
  std::array<std::uint32_t, 256> framesByLetter{};
  std::uint32_t framesAccepted = 0;
  std::uint32_t framesRefused = 0;
  std::uint32_t framesUnknown = 0;
  std::uint32_t commandsHeard = 0;   // SDI-12 commands the firmware heard, any address
  std::uint32_t commandsAsleep = 0;  // commands that came while the sensor slept
  std::uint32_t loaderStarts = 0;    // by "?B!"
  std::uint32_t loaderTimeouts = 0;
  std::uint32_t updates = 0;  // restarts by the vectors
  std::uint32_t powerCycles = 0;
  std::uint64_t loaderBytesIn = 0;  // bytes that reached the loader
};

class SdiSensor {
 public:
  static constexpr std::size_t kCommandLog = 256;  // the latest commands kept for inspection

  explicit SdiSensor(SensorOptions options);

  // One command from the bus, from its address to its "!", heard at `now` while the bus is
  // awake. The reply, if any, goes to the output.
  void Command(std::string_view command, TimePoint now);
  // A wake on the bus.
  void Wake(TimePoint now);
  // A byte the comm device passes through to the sensor's serial line.
  void PassThroughByte(char byte, TimePoint now);
  // Whether the comm device passes bytes through to the sensor now.
  void SetPassThrough(bool on, TimePoint now);
  // Runs what has fallen due; returns when it next needs to run.
  TimePoint Advance(TimePoint now);
  // What the sensor has said, with the time it may leave.
  void TakeOutput(std::vector<OutChunk>* out);

  void PowerCycle(TimePoint now, std::uint32_t offMs);
  void SetFaults(FaultPlan plan);
  SensorOptions& options() { return options_; }

  // Inspection.
  const SensorOptions& options() const { return options_; }
  DeviceState state() const { return state_; }
  char address() const { return address_; }
  char type() const { return type_; }
  std::uint32_t version() const { return version_; }
  const std::string& serialNumber() const { return serialNumber_; }
  const std::string& x4() const { return x4_; }
  const std::string& xa() const { return xa_; }
  bool SelfTestPasses() const { return flash_.ImageValid(); }
  const Flash& flash() const { return flash_; }
  const SensorCounters& counters() const { return counters_; }
  // Every command heard (the latest kCommandLog), "!" included.
  const std::deque<std::string>& commands() const { return commands_; }
  std::uint32_t CountCommand(std::string_view command) const;

  // Changes for tests: the sensor's settings as its firmware keeps them.
  void SetAddress(char address) { address_ = address; }
  void SetSerialNumber(std::string text) { serialNumber_ = std::move(text); }
  void SetCalibrations(std::string x4, std::string xa);

 private:
  enum class Boot { kPowerOn, kNewFirmware };

  std::optional<std::string> Answer(std::string_view body);
  std::optional<std::string> Setting(std::string_view kind, std::string_view value);
  void Reply(std::string_view body, TimePoint now);
  void Emit(std::string text, TimePoint notBefore);
  void HandleFrame(std::string line, TimePoint now);
  void SwitchOff(TimePoint now, std::uint32_t offMs, Boot boot);
  void Start(Boot boot, TimePoint now);
  void StartLoader(TimePoint now);

  SensorOptions options_;
  Flash flash_;
  ResidentLoader loader_;
  FaultInjector faults_;
  DeviceState state_ = DeviceState::kOff;
  Boot pendingBoot_ = Boot::kPowerOn;
  TimePoint offUntil_ = kNever;
  TimePoint silentUntil_{};
  TimePoint awakeUntil_{};
  TimePoint loaderGivesUpAt_ = kNever;
  bool passThrough_ = false;

  char address_;
  char type_;
  std::uint32_t version_;
  std::string serialNumber_;
  std::string x4_;
  std::string xa_;
  std::map<std::string, std::uint32_t, std::less<>> refusals_;  // "ERROR"s given, by setting

  SensorCounters counters_;
  std::deque<std::string> commands_;
  std::vector<OutChunk> outbox_;
};

}  // namespace quendal::sim
