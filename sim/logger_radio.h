#pragma once
// Radio modules: the one inside a logger (reached through the logger's "term" pass-through)
// and the PC's own on the end of a serial line, which carries a radio connection to a
// logger over the air. Both have a transparent mode and an AT command mode behind "+++".
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/wire.h"

namespace quendal::sim {

class SimLogger;

struct RadioConfig {
  std::uint32_t channel = 1;       // ATHP, 0..6
  std::uint32_t subChannel = 100;  // ATDT, 0..0xFFFF
  std::string version = "10A5";    // ATVR; four hex digits
};

class RadioModule {
 public:
  static constexpr std::uint32_t kHighestChannel = 6;
  static constexpr std::uint32_t kHighestSubChannel = 0xFFFF;

  explicit RadioModule(RadioConfig config = {}) : config_(config), saved_(config) {}

  // One byte from the serial side. In AT mode the module's answer goes to `reply`; in
  // transparent mode the byte is for the air and goes to `air` (the escape sequence "+++"
  // is held back until it is known not to be one).
  void Feed(char byte, std::string* reply, std::string* air);

  bool atMode() const { return atMode_; }
  const RadioConfig& config() const { return config_; }
  const RadioConfig& saved() const { return saved_; }  // as "ATWR" last stored it
  bool SetChannel(std::uint32_t channel);
  bool SetSubChannel(std::uint32_t subChannel);
  // Power-on: the stored configuration, transparent mode.
  void Restart();
  // Whether two modules hear each other.
  bool Hears(const RadioModule& other) const {
    return config_.channel == other.config_.channel &&
           config_.subChannel == other.config_.subChannel;
  }

 private:
  std::string RunAt(const std::string& line);

  RadioConfig config_;
  RadioConfig saved_;
  bool atMode_ = false;
  int pluses_ = 0;
  std::string line_;
};

// The PC's radio modem on a serial line at 9600 baud, and a logger somewhere beyond it.
// The logger must not be on a transport of its own: this link drives it.
class RadioLink : public Endpoint {
 public:
  static constexpr std::uint32_t kBaud = 9600;

  RadioLink(SimLogger* remote, RadioConfig modem = {});

  void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
               TimePoint now) override;
  TimePoint Advance(TimePoint now) override;
  void TakeOutput(std::vector<OutChunk>* out) override;
  std::uint32_t Baud() const override { return kBaud; }
  void SetWakeHook(std::function<void()> wake) override;

  RadioConfig Modem() const;
  bool ModemInAtMode() const;
  // Bytes the modem sent over the air, heard by the logger or not.
  std::uint64_t BytesOverAir() const;

 private:
  mutable std::mutex mu_;
  RadioModule modem_;
  SimLogger* remote_;
  std::vector<OutChunk> outbox_;
  std::uint64_t overAir_ = 0;
};

}  // namespace quendal::sim
