#pragma once
// Test helper: what a device's memory holds after an image text is written into erased flash.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace quendal::test {

inline constexpr std::size_t kTestMemorySize = 0x100000;

// Decodes "@AAAAA" addresses and words (high byte first) into a flat array of erased (0xFF)
// memory. `touched` marks every byte that a word wrote. Returns false on malformed text.
inline bool DecodeImageText(const std::string& text, std::vector<std::uint8_t>* memory,
                            std::vector<bool>* touched = nullptr) {
  memory->assign(kTestMemorySize, 0xFF);
  if (touched) touched->assign(kTestMemorySize, false);
  std::size_t i = 0;
  std::uint32_t address = 0;
  bool haveAddress = false;
  while (i < text.size()) {
    if (text[i] == '@') {
      if (i + 6 > text.size()) return false;
      address = static_cast<std::uint32_t>(std::stoul(text.substr(i + 1, 5), nullptr, 16));
      haveAddress = true;
      i += 6;
      continue;
    }
    if (!haveAddress || i + 4 > text.size() || address + 1 >= kTestMemorySize) return false;
    unsigned word = static_cast<unsigned>(std::stoul(text.substr(i, 4), nullptr, 16));
    (*memory)[address] = static_cast<std::uint8_t>(word & 0xFF);
    (*memory)[address + 1] = static_cast<std::uint8_t>(word >> 8);
    if (touched) (*touched)[address] = (*touched)[address + 1] = true;
    address += 2;
    i += 4;
  }
  return true;
}

}  // namespace quendal::test
