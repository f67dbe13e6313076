#include "sim/sdi_sensor.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "loader/device_types.h"
#include "loader/image_check.h"
#include "sim/time_scale.h"

namespace quendal::sim {
namespace {

struct TypeRow {
  char type;
  const char* model;
  std::uint32_t version;
  const char* x4;
  const char* xa;
};

// Calibrations in the forms the sensors keep them; X4 of the drain gauges below firmware
// 3.40 is the older nine-number form.
constexpr const char* kSixNumbers = "0.512 -2.471330e+02 6.102540e+02 0.000000e+00 21.5 6.5";
constexpr const char* kNineNumbers = "0.512 405.1 406.74 0 21 22 0 0 6.5";

constexpr TypeRow kTypes[] = {
    {'z', "Bremo ", 380, "0.04351 1.00214 -0.00052", "1 1.40211 2.04122 2.55031 2.9911"},
    {'x', "Cemmo ", 380, "0.03912 0.99871 0.00031", "1 1.38807 2.02216 2.53911 2.9902"},
    {'w', "Dorro ", 380, "0.01722 1.00105 -0.00018", "1 1.47102 2.04013 2.56611 2.9905"},
    {'y', "FeskoA", 212, "1.0021 0.0004 -0.52", "0.9987 1.0021 0.0004"},
    {'l', "FeskoB", 212, "1.0017 0.0011 -0.48", "0.9991 1.0008 0.0002"},
    {'u', "Gollo ", 345, kSixNumbers, ""},
    {'t', "Harvo ", 345, kSixNumbers, ""},
    {'s', "Lurra ", 396, "0.9982 0.0141 22.4", ""},
    {'r', "LurraR", 396, "1.0013 0.0122 22.1", ""},
    {'o', "LurraO", 396, "0.9971 0.0135 22.6", ""},
    {'n', "LurraN", 396, "1.0004 0.0118 22.3", ""},
    {'j', "HarvoJ", 345, kSixNumbers, ""},
    {'i', "HarvoI", 345, kSixNumbers, ""},
    {'}', "Valtu ", 120, "0.25 1.1 0", ""},
    {kSensorTypeKyrel, "Vomra ", 150, "1 0 0", ""},
};

const TypeRow* FindType(char type) {
  for (const TypeRow& row : kTypes) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

bool IsSdiAddress(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Sensor types travel as one visible character; "!" would end the command.
bool IsTypeCharacter(char c) {
  auto u = static_cast<unsigned char>(c);
  return u > ' ' && u <= 127 && c != '!';
}

// Exactly `width` characters: cut, or padded with blanks.
std::string Field(const std::string& text, std::size_t width) {
  std::string out = text.substr(0, width);
  out.resize(width, ' ');
  return out;
}

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return text;
}

constexpr std::size_t kMaxSetting = 96;

}  // namespace

bool SensorOptionsForType(char type, std::uint32_t version, SensorOptions* options) {
  const TypeRow* row = FindType(type);
  if (row == nullptr) return false;
  SensorOptions o;
  o.type = row->type;
  o.model = row->model;
  o.version = version != 0 ? version : row->version;
  o.serialNumber = "OV-10442";
  bool gauge = type == 'u' || type == 't' || type == 'j' || type == 'i';
  o.x4 = gauge && o.version < 340 ? kNineNumbers : row->x4;
  o.xa = row->xa;
  *options = std::move(o);
  return true;
}

bool ParseSensorType(std::string_view text, char* type) {
  if (text.size() == 1 && FindType(text[0]) != nullptr) {
    *type = text[0];
    return true;
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 127) {
    return false;
  }
  if (FindType(static_cast<char>(value)) == nullptr) return false;
  *type = static_cast<char>(value);
  return true;
}

SdiSensor::SdiSensor(SensorOptions options)
    : options_(std::move(options)),
      flash_(LayoutForType(kTypeDigitalSensor, options_.version)),
      loader_(&flash_),
      faults_(options_.faults),
      address_(options_.address),
      type_(options_.type),
      version_(options_.version),
      serialNumber_(options_.serialNumber),
      x4_(options_.x4),
      xa_(options_.xa) {
  if (!options_.imageText.empty()) {
    flash_.WriteImageText(options_.imageText);
    if (options_.imageVectors) flash_.StoreVectors(*options_.imageVectors);
  } else if (!options_.blankFlash) {
    flash_.InstallTestImage();
  }
  Start(Boot::kPowerOn, Clock::now());
}

std::uint32_t SdiSensor::CountCommand(std::string_view command) const {
  return static_cast<std::uint32_t>(std::count(commands_.begin(), commands_.end(), command));
}

void SdiSensor::SetCalibrations(std::string x4, std::string xa) {
  x4_ = std::move(x4);
  xa_ = std::move(xa);
}

void SdiSensor::SetFaults(FaultPlan plan) {
  faults_ = FaultInjector(std::move(plan));
}

void SdiSensor::Wake(TimePoint now) {
  if (state_ != DeviceState::kFirmware) return;
  awakeUntil_ = now + std::chrono::milliseconds(options_.awakeMs);
}

void SdiSensor::Command(std::string_view command, TimePoint now) {
  if (state_ != DeviceState::kFirmware || now < silentUntil_) return;
  if (now >= awakeUntil_) {
    ++counters_.commandsAsleep;
    return;
  }
  awakeUntil_ = now + std::chrono::milliseconds(options_.awakeMs);
  std::string heard;
  for (char c : command) {
    if (faults_.PassIn(&c)) heard.push_back(c);
  }
  ++counters_.commandsHeard;
  commands_.push_back(heard);
  if (commands_.size() > kCommandLog) commands_.pop_front();

  if (options_.silent || heard.size() < 2 || heard.back() != '!') return;
  if (heard[0] != '?' && heard[0] != address_) return;  // for another sensor on the bus
  std::string_view body(heard);
  body = body.substr(1, body.size() - 2);
  if (options_.probeOnly && !body.empty()) return;
  if (body == "B") {
    if (!options_.hasLoader) {
      Reply("No BSL", now);
      return;
    }
    Reply("", now);
    StartLoader(now);
    return;
  }
  if (std::optional<std::string> answer = Answer(body)) Reply(*answer, now);
}

std::optional<std::string> SdiSensor::Answer(std::string_view body) {
  if (body.empty()) return "";
  if (body == "I") {
    char version[8];
    std::snprintf(version, sizeof version, "%03u", static_cast<unsigned>(version_ % 1000));
    return "13" + Field(options_.vendor, 8) + Field(options_.model, 6) + version +
           options_.identityMore;
  }
  if (body == "X8") {
    if (options_.noTypeAnswer) return std::nullopt;
    return std::string(1, type_);
  }
  if (body == "X4") return " " + x4_;
  if (body == "Xa") {
    if (options_.xaFails) return std::nullopt;
    return " " + xa_;
  }
  if (body == "X#") return serialNumber_.empty() ? std::string() : " " + serialNumber_;
  if (body == "post") return SelfTestPasses() ? "Code Good" : "Code Corrupt";
  if (body.size() == 2 && body[0] == 'A') {
    if (!IsSdiAddress(body[1])) return std::nullopt;
    address_ = body[1];  // the reply already carries the new address
    return "";
  }
  if (body.size() >= 2 && body[0] == 'X') {
    std::string_view kind = body.substr(0, 2);
    std::string_view value = body.substr(2);
    if (kind == "X5" || kind == "Xb" || kind == "X#") return Setting(kind, SkipBlanks(value));
    if (kind == "X9" && value.size() == 2 && value[0] == ' ' && IsTypeCharacter(value[1])) {
      return Setting(kind, value.substr(1));
    }
  }
  return std::nullopt;
}

std::optional<std::string> SdiSensor::Setting(std::string_view kind, std::string_view value) {
  if (value.size() > kMaxSetting) return "ERROR";
  // A sensor that refuses a setting for a while: each kind keeps its own count.
  auto given = refusals_.find(kind);
  if (given == refusals_.end()) given = refusals_.emplace(std::string(kind), 0).first;
  if (given->second < options_.errorsBeforeOk) {
    ++given->second;
    return "ERROR";
  }
  if (kind == "X5") {
    x4_ = value;
  } else if (kind == "Xb") {
    xa_ = value;
  } else if (kind == "X#") {
    serialNumber_ = value;
  } else {
    type_ = value[0];
  }
  return "OK";
}

void SdiSensor::Reply(std::string_view body, TimePoint now) {
  std::string text(1, address_);
  text.append(body);
  text.append("\r\n");
  Emit(std::move(text), now);
}

void SdiSensor::Emit(std::string text, TimePoint notBefore) {
  std::string sent;
  sent.reserve(text.size());
  for (char c : text) {
    if (faults_.PassOut(&c)) sent.push_back(c);
  }
  if (!sent.empty()) outbox_.push_back(OutChunk{std::move(sent), notBefore, 0});
}

void SdiSensor::TakeOutput(std::vector<OutChunk>* out) {
  for (OutChunk& chunk : outbox_) out->push_back(std::move(chunk));
  outbox_.clear();
}

void SdiSensor::StartLoader(TimePoint now) {
  ++counters_.loaderStarts;
  loader_.Reset();
  state_ = DeviceState::kLoaderWaiting;
  SetPassThrough(passThrough_, now);
}

void SdiSensor::SetPassThrough(bool on, TimePoint now) {
  passThrough_ = on;
  // Only a loader that has firmware to go back to gives up waiting; unfed, it would wait
  // forever on a real line too.
  bool givesUp = state_ == DeviceState::kLoaderWaiting && !passThrough_ && flash_.ImageValid();
  loaderGivesUpAt_ = givesUp ? now + DeviceMs(options_.loaderTimeoutMs) : kNever;
}

void SdiSensor::PassThroughByte(char byte, TimePoint now) {
  // The firmware listens for SDI-12 only; raw bytes on its line are noise to it.
  if (state_ == DeviceState::kOff || state_ == DeviceState::kFirmware || now < silentUntil_) {
    return;
  }
  if (!faults_.PassIn(&byte)) return;
  ++counters_.loaderBytesIn;
  std::string handshake;
  std::string line;
  bool lineDone = loader_.Feed(static_cast<std::uint8_t>(byte), &handshake, &line);
  if (!handshake.empty()) Emit(std::move(handshake), now);
  if (loader_.state() == LoaderState::kActive) {
    state_ = DeviceState::kLoaderActive;
    loaderGivesUpAt_ = kNever;
  }
  if (lineDone) HandleFrame(std::move(line), now);
}

void SdiSensor::HandleFrame(std::string line, TimePoint now) {
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
  }
  SendFrameAnswer(f, &counters_, &outcome.answer);
  Emit(std::move(outcome.answer), now + DeviceMs(f.delayMs));
  if (outcome.restart) {
    ++counters_.updates;
    if (options_.restartMs == 0) {
      Start(Boot::kNewFirmware, now);
    } else {
      SwitchOff(now, options_.restartMs, Boot::kNewFirmware);
    }
  }
}

void SdiSensor::PowerCycle(TimePoint now, std::uint32_t offMs) {
  SwitchOff(now, offMs, Boot::kPowerOn);
}

void SdiSensor::SwitchOff(TimePoint now, std::uint32_t offMs, Boot boot) {
  if (boot == Boot::kPowerOn) ++counters_.powerCycles;
  state_ = DeviceState::kOff;
  pendingBoot_ = boot;
  offUntil_ = now + DeviceMs(offMs);
  loaderGivesUpAt_ = kNever;
}

void SdiSensor::Start(Boot boot, TimePoint now) {
  loader_.Reset();
  offUntil_ = kNever;
  awakeUntil_ = {};
  if (boot == Boot::kNewFirmware) {
    // New firmware starts from its defaults: the address, calibrations and serial number
    // the old one kept are gone.
    address_ = '0';
    x4_.clear();
    xa_.clear();
    serialNumber_.clear();
    refusals_.clear();
    // The new firmware reports its own version: the one given, else the image's own where
    // the simulator knows it.
    if (options_.versionAfterUpdate != 0) {
      version_ = options_.versionAfterUpdate;
    } else if (const std::uint32_t flashed = FlashedImageVersion(flash_); flashed != 0) {
      version_ = flashed;
    }
    if (options_.corruptAfterUpdate) SpoilWrittenImage(&flash_);
  }
  bool runFirmware = boot == Boot::kNewFirmware || flash_.ImageValid() || !options_.hasLoader;
  state_ = runFirmware ? DeviceState::kFirmware : DeviceState::kLoaderWaiting;
  SetPassThrough(passThrough_, now);
}

TimePoint SdiSensor::Advance(TimePoint now) {
  if (state_ == DeviceState::kOff && now >= offUntil_) Start(pendingBoot_, now);
  if (state_ == DeviceState::kLoaderWaiting && now >= loaderGivesUpAt_) {
    ++counters_.loaderTimeouts;
    Start(Boot::kPowerOn, now);
  }
  TimePoint next = kNever;
  if (state_ == DeviceState::kOff) next = offUntil_;
  if (state_ == DeviceState::kLoaderWaiting) next = std::min(next, loaderGivesUpAt_);
  if (now < silentUntil_) next = std::min(next, silentUntil_);
  return next;
}

}  // namespace quendal::sim
