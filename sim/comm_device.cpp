#include "sim/comm_device.h"

#include <algorithm>
#include <cctype>

#include "sim/time_scale.h"

namespace quendal::sim {
namespace {

constexpr char kRelayByte = '[';
constexpr char kPassThroughByte = ']';
constexpr char kShellByte = '`';
constexpr char kWakeByte = '|';
constexpr std::size_t kMaxSdiCommand = 100;
constexpr std::size_t kModeHistory = 256;

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

const char* CommModeName(CommMode mode) {
  switch (mode) {
    case CommMode::kShell:
      return "shell";
    case CommMode::kSdi12:
      return "SDI-12 relay";
    case CommMode::kPassThrough:
      return "pass-through";
  }
  return "?";
}

bool CommPresetOptions(std::string_view name, CommDeviceOptions* options) {
  std::string lower = Lower(name);
  bool kcd = lower == "kcd" || lower == "comm";
  bool rdv = lower == "rdv" || lower == "readvane";
  if (!kcd && !rdv) return false;
  CommDeviceOptions o;
  if (!PresetOptions(name, &o.device)) return false;
  if (rdv) {
    o.hardwareRevision = "B";
    o.serialNumber = "RV-03381";
    o.name = "RDV01";
  }
  *options = std::move(o);
  return true;
}

CommDeviceOptions DemoCommDeviceOptions() {
  CommDeviceOptions comm;
  CommPresetOptions("kcd", &comm);
  SensorOptions sensor;
  SensorOptionsForType('s', 390, &sensor);
  sensor.versionAfterUpdate = 396;
  sensor.address = '3';
  sensor.serialNumber = "LU-20931";
  comm.sensor = sensor;
  return comm;
}

CommDevice::CommDevice(CommDeviceOptions options)
    : facts_(std::make_shared<ShellFacts>()), own_(options.device) {
  facts_->hardwareRevision = options.hardwareRevision;
  facts_->battery = options.battery;
  facts_->serialNumber = options.serialNumber;
  facts_->name = options.name;
  echo_ = options.device.faults.echo;
  own_.SetShellExtension([facts = facts_](std::string_view c) -> std::optional<std::string> {
    std::lock_guard lock(facts->mu);
    if (c == "get -batt") {
      if (facts->battery < 0) return std::nullopt;  // a battery that cannot be read
      return std::to_string(facts->battery);
    }
    if (c == "get -sn") return facts->serialNumber;
    if (c == "get -i") return facts->name;
    if (c == "get -hver" && !facts->hardwareRevision.empty()) return facts->hardwareRevision;
    if (StartsWith(c, "set -sn ")) {
      facts->serialNumber = c.substr(8);
      return "OK";
    }
    if (StartsWith(c, "set -i ")) {
      facts->name = c.substr(7);
      return "OK";
    }
    return std::nullopt;
  });
  if (options.sensor) sensor_ = std::make_unique<SdiSensor>(*options.sensor);
}

void CommDevice::SetWakeHook(std::function<void()> wake) {
  std::lock_guard lock(mu_);
  wake_ = std::move(wake);
}

void CommDevice::WakeLocked() {
  if (wake_) wake_();
}

std::uint32_t CommDevice::Baud() const {
  std::lock_guard lock(mu_);
  return own_.Baud();
}

void CommDevice::Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
                         TimePoint now) {
  std::lock_guard lock(mu_);
  for (std::size_t i = 0; i < count && now >= silentUntil_; ++i) {
    const std::uint8_t raw = bytes[i];
    // Its own loader, a power cut, or no device at all: the instrument takes the byte.
    if (echo_ || own_.State() != DeviceState::kFirmware) {
      own_.Receive(&raw, 1, hostBaud, now);
      lineOpen_ = false;
      continue;
    }
    char heard = static_cast<char>(SameSpeed(hostBaud, own_.Baud()) ? raw : Garble(raw));
    Hear(raw, heard, hostBaud, now);
  }
  CollectOutput();
}

void CommDevice::Hear(std::uint8_t raw, char heard, std::uint32_t hostBaud, TimePoint now) {
  // A loader line never holds a mode byte, so the pass-through takes them anywhere.
  bool betweenLines = mode_ == CommMode::kShell   ? !lineOpen_
                      : mode_ == CommMode::kSdi12 ? pending_.empty() && !overlong_
                                                  : true;
  if (betweenLines && (heard == kRelayByte || heard == kPassThroughByte || heard == kShellByte)) {
    SwitchMode(heard == kRelayByte         ? CommMode::kSdi12
               : heard == kPassThroughByte ? CommMode::kPassThrough
                                           : CommMode::kShell,
               heard, now);
    return;
  }
  switch (mode_) {
    case CommMode::kShell:
      own_.Receive(&raw, 1, hostBaud, now);
      if (heard == '\r') {
        lineOpen_ = false;
      } else if (heard != '\n') {
        lineOpen_ = true;
      }
      break;
    case CommMode::kSdi12:
      if (heard == kWakeByte) {
        ++counters_.wakes;
        pending_.clear();
        overlong_ = false;
        if (sensor_) sensor_->Wake(now);
        break;
      }
      // Line ends typed between commands by hand are no part of either.
      if (pending_.empty() && (heard == '\r' || heard == '\n')) break;
      if (pending_.size() < kMaxSdiCommand) {
        pending_.push_back(heard);
      } else {
        overlong_ = true;
      }
      if (heard == '!') {
        // A command cut to fit the relay's buffer would carry a wrong value: it is dropped.
        if (!overlong_) {
          ++counters_.relayed;
          if (sensor_) sensor_->Command(pending_, now);
        }
        pending_.clear();
        overlong_ = false;
      }
      break;
    case CommMode::kPassThrough:
      ++counters_.passedToSensor;
      if (sensor_) sensor_->PassThroughByte(heard, now);
      break;
  }
}

void CommDevice::SwitchMode(CommMode mode, char byte, TimePoint now) {
  counters_.modeBytes.push_back(byte);
  if (counters_.modeBytes.size() > kModeHistory) counters_.modeBytes.erase(0, 1);
  mode_ = mode;
  pending_.clear();
  overlong_ = false;
  if (sensor_) sensor_->SetPassThrough(mode == CommMode::kPassThrough, now);
}

void CommDevice::CollectOutput() {
  own_.TakeOutput(&outbox_);
  if (!sensor_) return;
  std::vector<OutChunk> said;
  sensor_->TakeOutput(&said);
  // The sensor's words leave at the comm device's speed.
  const std::uint32_t baud = own_.Baud();
  for (OutChunk& chunk : said) {
    chunk.baud = baud;
    counters_.fromSensor += chunk.bytes.size();
    outbox_.push_back(std::move(chunk));
  }
}

TimePoint CommDevice::Advance(TimePoint now) {
  std::lock_guard lock(mu_);
  TimePoint next = own_.Advance(now);
  if (sensor_) next = std::min(next, sensor_->Advance(now));
  if (now < silentUntil_) next = std::min(next, silentUntil_);
  CollectOutput();
  return next;
}

void CommDevice::TakeOutput(std::vector<OutChunk>* out) {
  std::lock_guard lock(mu_);
  CollectOutput();
  for (OutChunk& chunk : outbox_) out->push_back(std::move(chunk));
  outbox_.clear();
}

CommMode CommDevice::Mode() const {
  std::lock_guard lock(mu_);
  return mode_;
}

CommCounters CommDevice::Counters() const {
  std::lock_guard lock(mu_);
  return counters_;
}

DeviceState CommDevice::State() const {
  std::lock_guard lock(mu_);
  return own_.State();
}

DeviceCounters CommDevice::OwnCounters() const {
  std::lock_guard lock(mu_);
  return own_.Counters();
}

bool CommDevice::HasSensor() const {
  std::lock_guard lock(mu_);
  return sensor_ != nullptr;
}

void CommDevice::AttachSensor(SensorOptions options) {
  std::lock_guard lock(mu_);
  sensor_ = std::make_unique<SdiSensor>(std::move(options));
  sensor_->SetPassThrough(mode_ == CommMode::kPassThrough, Clock::now());
  WakeLocked();
}

void CommDevice::DetachSensor() {
  std::lock_guard lock(mu_);
  sensor_.reset();
}

void CommDevice::SetBattery(int percent) {
  std::lock_guard lock(facts_->mu);
  facts_->battery = percent;
}

void CommDevice::PowerCycle(std::uint32_t offMs) {
  std::lock_guard lock(mu_);
  own_.PowerCycle(offMs);
  mode_ = CommMode::kShell;
  lineOpen_ = false;
  pending_.clear();
  overlong_ = false;
  if (sensor_) {
    TimePoint now = Clock::now();
    sensor_->SetPassThrough(false, now);
    sensor_->PowerCycle(now, offMs);
  }
  WakeLocked();
}

void CommDevice::PowerCycleSensor(std::uint32_t offMs) {
  std::lock_guard lock(mu_);
  if (sensor_) sensor_->PowerCycle(Clock::now(), offMs);
  WakeLocked();
}

void CommDevice::SetFaults(FaultPlan plan) {
  std::lock_guard lock(mu_);
  echo_ = plan.echo;
  own_.SetFaults(std::move(plan));
  WakeLocked();
}

void CommDevice::SetSensorFaults(FaultPlan plan) {
  std::lock_guard lock(mu_);
  if (sensor_) sensor_->SetFaults(std::move(plan));
  WakeLocked();
}

void CommDevice::GoSilent(std::uint32_t ms) {
  std::lock_guard lock(mu_);
  silentUntil_ = Clock::now() + DeviceMs(ms);
  WakeLocked();
}

}  // namespace quendal::sim
