#pragma once
// A simulated instrument: flash, resident loader and the firmware's shell in front of it,
// with its line speed, power and faults. Driven by a transport; inspected by tests from
// any thread.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/status.h"
#include "sim/faults.h"
#include "sim/flash.h"
#include "sim/loader.h"
#include "sim/shell.h"
#include "sim/wire.h"

namespace quendal::sim {

enum class DeviceState {
  kFirmware,       // the firmware runs; for an instrument that is its shell
  kLoaderWaiting,  // the loader waits for its handshake
  kLoaderActive,   // the loader takes frames
  kOff,            // no power, or restarting: hears and says nothing
};
const char* DeviceStateName(DeviceState state);

struct DeviceOptions {
  std::string name = "kcd";  // names the device's link in quendal-devsim
  MemoryLayout layout;
  ShellOptions shell;
  std::uint32_t shellBaud = kShellBaud;
  std::uint32_t loaderVersion = kLoaderVersion;
  // Flash at power-on: a small valid test image, unless `blankFlash` (nothing: the device
  // comes up in its waiting loader) or `imageText` (image-text form) with `imageVectors`.
  bool blankFlash = false;
  std::string imageText;
  std::optional<VectorTable> imageVectors;
  std::uint32_t restartMs = 0;      // the vectors' restart keeps the device off this long
  bool corruptAfterUpdate = false;  // a flash cell fails while the new firmware is written
  FaultPlan faults;
};

// A device of the type table, with the table's layout and "CODE major.minor" as its answer
// to "get -ver" (version 123 gives "KCD 1.23").
DeviceOptions OptionsForType(int type, std::uint32_t version);
// "sensor", "readvane", "kcd" / "comm", or any type code of the table (case ignored).
bool PresetOptions(std::string_view name, DeviceOptions* options);

struct DeviceCounters {
  std::array<std::uint32_t, 256> framesByLetter{};  // loader lines, by their first byte
  std::uint32_t framesAccepted = 0;                 // answered "+"
  std::uint32_t framesRefused = 0;                  // answered "-"
  std::uint32_t framesUnknown = 0;                  // answered "?"
  std::uint32_t commands = 0;                       // shell command lines
  std::string lastCommand;
  std::uint32_t lastAddress = 0;  // the last "@" that was taken
  std::uint32_t restarts = 0;     // restarts by the vectors
  std::uint32_t powerCycles = 0;
  std::uint64_t bytesIn = 0;   // as the device heard them
  std::uint64_t bytesOut = 0;  // as they left the device
};

class SimDevice : public Endpoint {
 public:
  explicit SimDevice(DeviceOptions options);

  // Endpoint, for the transport.
  void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
               TimePoint now) override;
  TimePoint Advance(TimePoint now) override;
  void TakeOutput(std::vector<OutChunk>* out) override;
  std::uint32_t Baud() const override;
  void SetWakeHook(std::function<void()> wake) override;

  // Inspection.
  DeviceState State() const;
  DeviceCounters Counters() const;
  // The version of the image the last update wrote, where the simulator knows the image
  // (FlashedImageVersion); 0 otherwise.
  std::uint32_t FlashedVersion() const;
  std::uint32_t FramesReceived(char letter) const;
  std::vector<std::uint8_t> ReadFlash(std::uint32_t address, std::size_t count) const;
  std::vector<std::uint8_t> FlashCopy() const;  // all kAddressSpace bytes
  VectorTable Vectors() const;
  bool SelfTestPasses() const;
  bool LoaderAddressSet() const;
  std::uint32_t LoaderAddress() const;  // where the next "W" writes
  MemoryLayout Layout() const;

  // Control.
  void SetFaults(FaultPlan plan);  // counting starts again
  void SetOldFirmware(bool old);
  void SetRestartMs(std::uint32_t ms);
  void SetCorruptAfterUpdate(bool corrupt);
  // More shell commands, for richer instruments built on this one. Runs on the transport's
  // thread with the device locked: it must not call back into the device.
  void SetShellExtension(InstrumentShell::Extension extension);
  // Called whenever the firmware starts again (restart or power), with the device locked.
  void SetStartHook(std::function<void()> hook);
  // Called, with the device locked, when the loader erases a segment of the information
  // memory, where an instrument keeps its settings.
  void SetInfoEraseHook(std::function<void()> hook);
  // Power goes now, flash as it is, and comes back after `offMs`.
  void PowerCycle(std::uint32_t offMs);
  void GoSilent(std::uint32_t ms);
  void EraseFlash();
  Status LoadImageText(std::string_view text, const VectorTable& vectors);

 private:
  enum class Boot { kPowerOn, kNewFirmware };

  std::uint32_t BaudLocked() const;
  void Hear(char byte, TimePoint now);
  void HandleFrame(std::string line, TimePoint now);
  void Emit(std::string text, TimePoint notBefore);
  void SwitchOff(TimePoint now, std::uint32_t offMs, Boot boot);
  void Start(Boot boot);
  void WakeLocked();

  mutable std::mutex mu_;
  DeviceOptions options_;
  Flash flash_;
  ResidentLoader loader_;
  InstrumentShell shell_;
  FaultInjector faults_;
  DeviceState state_ = DeviceState::kOff;
  Boot pendingBoot_ = Boot::kPowerOn;
  TimePoint offUntil_ = kNever;
  TimePoint silentUntil_{};
  DeviceCounters counters_;
  std::vector<OutChunk> outbox_;
  std::function<void()> wake_;
  std::function<void()> startHook_;
  std::uint32_t flashedVersion_ = 0;
  std::function<void()> infoEraseHook_;
};

}  // namespace quendal::sim
