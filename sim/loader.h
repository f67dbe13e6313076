#pragma once
// The resident loader of a simulated device: the handshake, and framed commands that set an
// address, write, erase and store the vectors.
//
// A frame is a letter, a hex payload, ".", and four hex digits holding the sum of the bytes
// before them (letter, payload and ".") modulo 65535, ended by CR.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/flash.h"

namespace quendal::sim {

inline constexpr std::uint32_t kLoaderVersion = 15;

enum class LoaderState { kWaiting, kActive };

enum class FrameCheck { kGood, kMalformed, kBadChecksum };

struct ParsedFrame {
  char letter = 0;
  std::string_view payload;
  FrameCheck check = FrameCheck::kMalformed;
};

// The sum of the bytes of `text` modulo 65535, as the frame checksum takes it.
std::uint32_t FrameSum(std::string_view text);
// Splits a line (without its CR) into letter and payload and checks its checksum.
ParsedFrame ParseFrame(std::string_view line);

struct LoaderOutcome {
  std::string answer;
  bool restart = false;  // vectors with a reset vector arrived: run the new firmware
};

class ResidentLoader {
 public:
  // Longer lines are noise; once their CR comes they are answered like an unknown letter.
  static constexpr std::size_t kMaxLine = 2048;

  ResidentLoader(Flash* flash, std::uint32_t version = kLoaderVersion);

  // Back to waiting for the handshake, with no write address.
  void Reset();
  // Skips the handshake, as after a "P".
  void Activate();

  LoaderState state() const { return state_; }
  bool addressSet() const { return addressSet_; }
  std::uint32_t address() const { return address_; }

  // Takes one byte from the line. Handshake answers are appended to `answer`. In the active
  // state a CR completes a line: the result is then true and `line` holds it without the CR.
  bool Feed(std::uint8_t byte, std::string* answer, std::string* line);

  // Carries out one line of the active state.
  LoaderOutcome Execute(std::string_view line);

 private:
  bool SetAddress(std::string_view digits);
  bool Write(std::string_view hex);
  bool Erase(std::string_view digits);
  bool Vectors(std::string_view hex, bool* restart);
  bool AddressDigits(std::string_view digits, std::uint32_t* value) const;

  Flash* flash_;
  std::uint32_t version_;
  LoaderState state_ = LoaderState::kWaiting;
  std::string line_;
  bool overlong_ = false;
  bool addressSet_ = false;
  std::uint32_t address_ = 0;
};

}  // namespace quendal::sim
