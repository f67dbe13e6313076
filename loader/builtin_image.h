#pragma once
// The firmware image built into the program (generated from a TI-Text file at build time).
#include <cstdint>

namespace quendal {

struct BuiltinImage {
  const char* name;
  std::uint32_t vectors[16];
  const char* text;  // image-text form: "@AAAAA" then data words, high byte first
  std::uint32_t length;  // stored figures, checked against the text at start-up
  std::int32_t sum;
};

extern const BuiltinImage kBuiltinImage;

}  // namespace quendal
