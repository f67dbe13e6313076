#include "sim/logger_radio.h"

#include <cstdio>

#include "sim/logger_shell.h"

namespace quendal::sim {
namespace {

bool ParseHexValue(const std::string& text, std::uint32_t high, std::uint32_t* value) {
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

}  // namespace

void RadioModule::Feed(char byte, std::string* reply, std::string* air) {
  if (!atMode_) {
    if (byte == '+') {
      if (++pluses_ == 3) {
        pluses_ = 0;
        atMode_ = true;
        line_.clear();
        reply->append("OK\r");
      }
      return;
    }
    // Not the escape after all: the held pluses were data.
    air->append(static_cast<std::size_t>(pluses_), '+');
    pluses_ = 0;
    air->push_back(byte);
    return;
  }
  if (byte == '\n') return;
  if (byte != '\r') {
    if (line_.size() < 64) line_.push_back(byte);
    return;
  }
  std::string line;
  line.swap(line_);
  reply->append(RunAt(line));
}

std::string RadioModule::RunAt(const std::string& line) {
  if (line.empty()) return "";
  if (line.compare(0, 2, "AT") != 0) return "ERROR\r";
  const std::string command = line.substr(2, 2);
  const std::string argument = line.size() > 4 ? line.substr(4) : "";
  char text[16];
  if (line == "AT") return "OK\r";
  if (command == "HP" || command == "DT") {
    const bool channel = command == "HP";
    if (argument.empty()) {
      std::snprintf(text, sizeof text, "%X\r",
                    static_cast<unsigned>(channel ? config_.channel : config_.subChannel));
      return text;
    }
    std::uint32_t n = 0;
    if (!ParseHexValue(argument, channel ? kHighestChannel : kHighestSubChannel, &n))
      return "ERROR\r";
    if (channel)
      config_.channel = n;
    else
      config_.subChannel = n;
    return "OK\r";
  }
  if (!argument.empty()) return "ERROR\r";
  if (command == "VR") return config_.version + "\r";
  if (command == "WR") {
    saved_ = config_;
    return "OK\r";
  }
  if (command == "CN") {
    atMode_ = false;
    return "OK\r";
  }
  return "ERROR\r";
}

bool RadioModule::SetChannel(std::uint32_t channel) {
  if (channel > kHighestChannel) return false;
  // The logger's own command stores at once.
  config_.channel = saved_.channel = channel;
  return true;
}

bool RadioModule::SetSubChannel(std::uint32_t subChannel) {
  if (subChannel > kHighestSubChannel) return false;
  config_.subChannel = saved_.subChannel = subChannel;
  return true;
}

void RadioModule::Restart() {
  config_ = saved_;
  atMode_ = false;
  pluses_ = 0;
  line_.clear();
}

RadioLink::RadioLink(SimLogger* remote, RadioConfig modem) : modem_(modem), remote_(remote) {}

void RadioLink::Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
                        TimePoint now) {
  std::lock_guard lock(mu_);
  std::string reply;
  std::string air;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = SameSpeed(hostBaud, kBaud) ? bytes[i] : Garble(bytes[i]);
    modem_.Feed(static_cast<char>(b), &reply, &air);
  }
  if (!reply.empty()) outbox_.push_back(OutChunk{std::move(reply), now, kBaud});
  if (air.empty() || remote_ == nullptr) return;
  overAir_ += air.size();
  // Both ends must be on the same channel to hear each other at all.
  if (!remote_->RadioHears(modem_)) return;
  std::string answer;
  remote_->HearOverRadio(air, now, &answer);
  if (!answer.empty()) outbox_.push_back(OutChunk{std::move(answer), now, kBaud});
}

TimePoint RadioLink::Advance(TimePoint now) {
  return remote_ ? remote_->Advance(now) : kNever;
}

void RadioLink::TakeOutput(std::vector<OutChunk>* out) {
  std::lock_guard lock(mu_);
  for (OutChunk& chunk : outbox_) out->push_back(std::move(chunk));
  outbox_.clear();
}

void RadioLink::SetWakeHook(std::function<void()> wake) {
  if (remote_) remote_->SetWakeHook(std::move(wake));
}

RadioConfig RadioLink::Modem() const {
  std::lock_guard lock(mu_);
  return modem_.config();
}

bool RadioLink::ModemInAtMode() const {
  std::lock_guard lock(mu_);
  return modem_.atMode();
}

std::uint64_t RadioLink::BytesOverAir() const {
  std::lock_guard lock(mu_);
  return overAir_;
}

}  // namespace quendal::sim
