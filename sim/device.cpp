#include "sim/device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sim/time_scale.h"

namespace quendal::sim {

const char* DeviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::kFirmware:
      return "firmware";
    case DeviceState::kLoaderWaiting:
      return "loader waiting";
    case DeviceState::kLoaderActive:
      return "loader active";
    case DeviceState::kOff:
      return "off";
  }
  return "?";
}

DeviceOptions OptionsForType(int type, std::uint32_t version) {
  DeviceProfile profile;
  DescribeDevice(type, version, &profile);
  DeviceOptions o;
  const char* code = DeviceTypeCode(profile.type);
  o.name = code;
  std::transform(o.name.begin(), o.name.end(), o.name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  o.layout = LayoutOf(profile);
  char text[48];
  std::snprintf(text, sizeof text, "%s %u.%02u", code, static_cast<unsigned>(version / 100),
                static_cast<unsigned>(version % 100));
  o.shell.versionText = text;
  return o;
}

bool PresetOptions(std::string_view name, DeviceOptions* options) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  struct Alias {
    const char* name;
    int type;
    std::uint32_t version;
  };
  static constexpr Alias kAliases[] = {
      {"SENSOR", kTypeDigitalSensor, 396},
      {"READVANE", kTypeRdv, 205},
      {"COMM", kTypeCommDevice, 123},
      {"KCD", kTypeCommDevice, 123},
  };
  for (const Alias& a : kAliases) {
    if (upper == a.name) {
      *options = OptionsForType(a.type, a.version);
      options->name = std::string(name);
      return true;
    }
  }
  int type = FindDeviceTypeCode(upper.c_str());
  if (type == kTypeUnknown) return false;
  *options = OptionsForType(type, 200);
  return true;
}

SimDevice::SimDevice(DeviceOptions options)
    : options_(std::move(options)),
      flash_(options_.layout),
      loader_(&flash_, options_.loaderVersion),
      shell_(options_.shell),
      faults_(options_.faults) {
  if (!options_.imageText.empty()) {
    flash_.WriteImageText(options_.imageText);
    if (options_.imageVectors) flash_.StoreVectors(*options_.imageVectors);
  } else if (!options_.blankFlash) {
    flash_.InstallTestImage();
  }
  Start(Boot::kPowerOn);
}

std::uint32_t SimDevice::BaudLocked() const {
  if (faults_.echo()) return 0;
  switch (state_) {
    case DeviceState::kLoaderWaiting:
    case DeviceState::kLoaderActive:
      return options_.layout.loaderBaud;
    default:
      return options_.shellBaud;
  }
}

std::uint32_t SimDevice::Baud() const {
  std::lock_guard lock(mu_);
  return BaudLocked();
}

void SimDevice::SetWakeHook(std::function<void()> wake) {
  std::lock_guard lock(mu_);
  wake_ = std::move(wake);
}

void SimDevice::WakeLocked() {
  // Called under the lock, so that once a transport has taken its hook away no call is
  // still on its way into it.
  if (wake_) wake_();
}

void SimDevice::Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
                        TimePoint now) {
  std::lock_guard lock(mu_);
  if (faults_.echo()) {
    counters_.bytesIn += count;
    Emit(std::string(reinterpret_cast<const char*>(bytes), count), now);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (state_ == DeviceState::kOff || now < silentUntil_) return;
    // The speed can change with any byte (a boot command hands over to the loader).
    char c = static_cast<char>(SameSpeed(hostBaud, BaudLocked()) ? bytes[i] : Garble(bytes[i]));
    if (!faults_.PassIn(&c)) continue;
    ++counters_.bytesIn;
    Hear(c, now);
  }
}

void SimDevice::Hear(char byte, TimePoint now) {
  if (state_ == DeviceState::kFirmware) {
    std::string command;
    if (!shell_.Feed(byte, &command)) return;
    ++counters_.commands;
    counters_.lastCommand = command;
    InstrumentShell::Answer answer = shell_.Run(command, flash_.ImageValid());
    Emit(std::move(answer.text), now);
    if (answer.action == InstrumentShell::Action::kStartLoader) {
      loader_.Reset();
      state_ = DeviceState::kLoaderWaiting;
    }
    return;
  }
  std::string handshake;
  std::string line;
  bool lineDone = loader_.Feed(static_cast<std::uint8_t>(byte), &handshake, &line);
  if (!handshake.empty()) Emit(std::move(handshake), now);
  if (loader_.state() == LoaderState::kActive) state_ = DeviceState::kLoaderActive;
  if (lineDone) HandleFrame(std::move(line), now);
}

void SimDevice::HandleFrame(std::string line, TimePoint now) {
  const FrameFaults f = TakeFrame(&faults_, &counters_, &line);
  if (f.powerLoss) {
    SwitchOff(now, f.powerOffMs, Boot::kPowerOn);
    return;
  }
  if (f.silence) {
    silentUntil_ = now + DeviceMs(f.silenceMs);
    return;
  }

  LoaderOutcome outcome;
  if (f.refuse) {
    outcome.answer = "-\r";
  } else {
    outcome = loader_.Execute(line);
    if (!line.empty() && line[0] == '@' && outcome.answer[0] == '+') {
      counters_.lastAddress = loader_.address();
    }
    if (!line.empty() && line[0] == 'X' && outcome.answer[0] == '+' && infoEraseHook_) {
      const MemoryLayout& l = options_.layout;
      const std::uint32_t erased = static_cast<std::uint32_t>(
          std::stoul(std::string(ParseFrame(line).payload), nullptr, 16));
      if (erased >= l.infoStart && erased < l.infoStart + l.infoSegments * l.infoSegmentSize) {
        infoEraseHook_();
      }
    }
  }
  SendFrameAnswer(f, &counters_, &outcome.answer);
  Emit(std::move(outcome.answer), now + DeviceMs(f.delayMs));
  if (outcome.restart) {
    ++counters_.restarts;
    if (options_.corruptAfterUpdate) SpoilWrittenImage(&flash_);
    if (options_.restartMs == 0) {
      Start(Boot::kNewFirmware);
    } else {
      SwitchOff(now, options_.restartMs, Boot::kNewFirmware);
    }
  }
}

void SimDevice::Emit(std::string text, TimePoint notBefore) {
  std::string sent;
  sent.reserve(text.size());
  for (char c : text) {
    if (faults_.PassOut(&c)) sent.push_back(c);
  }
  if (sent.empty()) return;
  counters_.bytesOut += sent.size();
  outbox_.push_back(OutChunk{std::move(sent), notBefore, BaudLocked()});
}

void SimDevice::SwitchOff(TimePoint now, std::uint32_t offMs, Boot boot) {
  if (boot == Boot::kPowerOn) ++counters_.powerCycles;
  state_ = DeviceState::kOff;
  pendingBoot_ = boot;
  offUntil_ = now + DeviceMs(offMs);
}

void SimDevice::Start(Boot boot) {
  shell_.Reset();
  loader_.Reset();
  offUntil_ = kNever;
  // The loader keeps a device without a complete image out of it; the vectors' restart
  // runs whatever was written, which then reports itself in its self-test.
  bool runFirmware = boot == Boot::kNewFirmware || flash_.ImageValid() || !options_.shell.hasLoader;
  state_ = runFirmware ? DeviceState::kFirmware : DeviceState::kLoaderWaiting;
  if (boot == Boot::kNewFirmware) {
    flashedVersion_ = FlashedImageVersion(flash_);
    shell_.SetVersionText(WithVersion(shell_.options().versionText, flashedVersion_));
  }
  if (startHook_) startHook_();
}

TimePoint SimDevice::Advance(TimePoint now) {
  std::lock_guard lock(mu_);
  if (state_ == DeviceState::kOff && now >= offUntil_) Start(pendingBoot_);
  TimePoint next = kNever;
  if (state_ == DeviceState::kOff) next = offUntil_;
  if (now < silentUntil_) next = std::min(next, silentUntil_);
  return next;
}

void SimDevice::TakeOutput(std::vector<OutChunk>* out) {
  std::lock_guard lock(mu_);
  for (OutChunk& chunk : outbox_) out->push_back(std::move(chunk));
  outbox_.clear();
}

DeviceState SimDevice::State() const {
  std::lock_guard lock(mu_);
  return state_;
}

std::uint32_t SimDevice::FlashedVersion() const {
  std::lock_guard lock(mu_);
  return flashedVersion_;
}

DeviceCounters SimDevice::Counters() const {
  std::lock_guard lock(mu_);
  return counters_;
}

std::uint32_t SimDevice::FramesReceived(char letter) const {
  std::lock_guard lock(mu_);
  return counters_.framesByLetter[static_cast<std::uint8_t>(letter)];
}

std::vector<std::uint8_t> SimDevice::ReadFlash(std::uint32_t address, std::size_t count) const {
  std::lock_guard lock(mu_);
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = flash_.Read(static_cast<std::uint32_t>(address + i));
  }
  return bytes;
}

std::vector<std::uint8_t> SimDevice::FlashCopy() const {
  std::lock_guard lock(mu_);
  return std::vector<std::uint8_t>(flash_.data(), flash_.data() + kAddressSpace);
}

VectorTable SimDevice::Vectors() const {
  std::lock_guard lock(mu_);
  return flash_.Vectors();
}

bool SimDevice::SelfTestPasses() const {
  std::lock_guard lock(mu_);
  return flash_.ImageValid();
}

bool SimDevice::LoaderAddressSet() const {
  std::lock_guard lock(mu_);
  return loader_.addressSet();
}

std::uint32_t SimDevice::LoaderAddress() const {
  std::lock_guard lock(mu_);
  return loader_.address();
}

MemoryLayout SimDevice::Layout() const {
  std::lock_guard lock(mu_);
  return options_.layout;
}

void SimDevice::SetFaults(FaultPlan plan) {
  std::lock_guard lock(mu_);
  faults_ = FaultInjector(std::move(plan));
  WakeLocked();
}

void SimDevice::SetRestartMs(std::uint32_t ms) {
  std::lock_guard lock(mu_);
  options_.restartMs = ms;
}

void SimDevice::SetCorruptAfterUpdate(bool corrupt) {
  std::lock_guard lock(mu_);
  options_.corruptAfterUpdate = corrupt;
}

void SimDevice::SetOldFirmware(bool old) {
  std::lock_guard lock(mu_);
  shell_.SetOldFirmware(old);
}

void SimDevice::SetShellExtension(InstrumentShell::Extension extension) {
  std::lock_guard lock(mu_);
  shell_.SetExtension(std::move(extension));
}

void SimDevice::SetStartHook(std::function<void()> hook) {
  std::lock_guard lock(mu_);
  startHook_ = std::move(hook);
}

void SimDevice::SetInfoEraseHook(std::function<void()> hook) {
  std::lock_guard lock(mu_);
  infoEraseHook_ = std::move(hook);
}

void SimDevice::PowerCycle(std::uint32_t offMs) {
  std::lock_guard lock(mu_);
  SwitchOff(Clock::now(), offMs, Boot::kPowerOn);
  WakeLocked();
}

void SimDevice::GoSilent(std::uint32_t ms) {
  std::lock_guard lock(mu_);
  silentUntil_ = Clock::now() + DeviceMs(ms);
  WakeLocked();
}

void SimDevice::EraseFlash() {
  std::lock_guard lock(mu_);
  flash_.EraseAll();
}

Status SimDevice::LoadImageText(std::string_view text, const VectorTable& vectors) {
  std::lock_guard lock(mu_);
  Status rc = flash_.WriteImageText(text);
  if (rc > 0) flash_.StoreVectors(vectors);
  return rc;
}

}  // namespace quendal::sim
