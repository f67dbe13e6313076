#pragma once
// A simulated comm device: an instrument of its own (shell, flash, resident loader) that
// also relays SDI-12 commands to the digital sensor plugged into it and passes bytes
// through to that sensor's loader. Outside a command line the bytes "[" (relay SDI-12),
// "]" (pass through to the sensor) and "`" (back to the shell) switch its mode.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "sim/device.h"
#include "sim/sdi_sensor.h"
#include "sim/wire.h"

namespace quendal::sim {

enum class CommMode { kShell, kSdi12, kPassThrough };
const char* CommModeName(CommMode mode);

struct CommDeviceOptions {
  DeviceOptions device;  // the comm device's own firmware, shell and loader
  // The answer to "get -hver" (the Readvane's hardware revision); empty: the command is
  // unknown, as on the KCD.
  std::string hardwareRevision;
  int battery = 87;  // "get -batt", percent; below 0 the command is not known
  std::string serialNumber = "KC-20417";
  std::string name = "KCD01";                             // "get -i"
  std::optional<SensorOptions> sensor = SensorOptions{};  // nothing: an empty bus
};

// "kcd" / "comm" (the KCD, version 1.23), "rdv" / "readvane" (the Readvane, with hardware
// revision "B"), with versions as PresetOptions gives them, and a Lurra sensor attached.
// False for any other name.
bool CommPresetOptions(std::string_view name, CommDeviceOptions* options);

// The demonstration: a KCD with a Lurra sensor at 3.90 (address '3', serial number
// "LU-20931") that an update takes to 3.96.
CommDeviceOptions DemoCommDeviceOptions();

struct CommCounters {
  std::string modeBytes;             // the mode switches taken, in order (the latest 256)
  std::uint32_t wakes = 0;           // "|" on the bus
  std::uint32_t relayed = 0;         // SDI-12 commands put on the bus
  std::uint64_t passedToSensor = 0;  // bytes passed through to the sensor's line
  std::uint64_t fromSensor = 0;      // bytes the sensor said, replies and loader alike
};

class CommDevice : public Endpoint {
 public:
  explicit CommDevice(CommDeviceOptions options);

  // Endpoint, for the transport.
  void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
               TimePoint now) override;
  TimePoint Advance(TimePoint now) override;
  void TakeOutput(std::vector<OutChunk>* out) override;
  std::uint32_t Baud() const override;
  void SetWakeHook(std::function<void()> wake) override;

  // Inspection.
  CommMode Mode() const;
  CommCounters Counters() const;
  DeviceState State() const;  // of the comm device's own firmware and loader
  DeviceCounters OwnCounters() const;
  bool HasSensor() const;
  // Runs `f` on the attached sensor (a const or non-const `SdiSensor&`) with the device
  // locked; `f` must not call back into the device. Without a sensor `f` is not called
  // and the result is a default value.
  template <typename F>
  auto WithSensor(F f) const {
    std::lock_guard lock(mu_);
    return Call<const SdiSensor&>(f, sensor_.get());
  }
  template <typename F>
  auto WithSensor(F f) {
    std::lock_guard lock(mu_);
    return Call<SdiSensor&>(f, sensor_.get());
  }

  // Control.
  void AttachSensor(SensorOptions options);  // plugs in a fresh sensor
  void DetachSensor();
  void SetBattery(int percent);
  // Power goes for the comm device and the sensor it feeds; it comes back in the shell.
  void PowerCycle(std::uint32_t offMs);
  void PowerCycleSensor(std::uint32_t offMs);
  void SetFaults(FaultPlan plan);  // the comm device's own loader and shell
  void SetSensorFaults(FaultPlan plan);
  void GoSilent(std::uint32_t ms);

 private:
  // The result is copied while the lock is held, so a reference into the sensor never
  // leaves it.
  template <typename S, typename F>
  static auto Call(F& f, SdiSensor* sensor) {
    using R = std::decay_t<decltype(f(std::declval<S>()))>;
    if constexpr (std::is_void_v<R>) {
      if (sensor) f(static_cast<S>(*sensor));
    } else {
      if (!sensor) return R{};
      return R(f(static_cast<S>(*sensor)));
    }
  }

  struct ShellFacts {
    std::mutex mu;
    std::string hardwareRevision;
    int battery = 0;
    std::string serialNumber;
    std::string name;
  };

  void Hear(std::uint8_t raw, char heard, std::uint32_t hostBaud, TimePoint now);
  void SwitchMode(CommMode mode, char byte, TimePoint now);
  void ForwardToShell(std::uint8_t raw, std::uint32_t hostBaud, TimePoint now);
  void CollectOutput();
  void WakeLocked();

  mutable std::mutex mu_;
  // Read by the shell extension, which runs with the inner device locked: kept apart so
  // that the extension never needs `mu_`.
  std::shared_ptr<ShellFacts> facts_;
  SimDevice own_;
  std::unique_ptr<SdiSensor> sensor_;
  CommMode mode_ = CommMode::kShell;
  bool lineOpen_ = false;  // the shell holds part of a command line
  std::string pending_;    // the SDI-12 command being relayed
  bool overlong_ = false;  // it grew past any command: dropped at its "!"
  bool echo_ = false;
  TimePoint silentUntil_{};
  CommCounters counters_;
  std::vector<OutChunk> outbox_;
  std::function<void()> wake_;
};

}  // namespace quendal::sim
