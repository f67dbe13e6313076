#pragma once
// TI-Text read strictly, as the tools that write it lay it out: "@" lines with an address
// only, lines of hex pairs separated by blanks, "q" at the end, LF or CR LF line ends.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/status.h"

namespace quendal {

inline constexpr std::uint32_t kTITextVectorCount = 16;
// Larger files cannot describe the largest flash with sensible spacing; refused unread.
inline constexpr std::uint64_t kMaxTITextFileBytes = 16u << 20;

// Where and why a file was refused; line and column count from 1 (0: the file as a whole).
struct TITextProblem {
  int line = 0;
  int column = 0;
  std::string why;

  std::string Describe() const;
};

// Turns the content of a TI-Text file into the image text ("@%05X" per segment, words high
// byte first, upper case) and the 16 vector words. Segments in the loader's area
// (0xFA00-0xFFDF) are dropped. Returns 1, -100 (with `problem` filled) or -60.
Status ParseTIText(std::string_view content, std::string* imageText,
                   std::array<std::uint32_t, kTITextVectorCount>* vectors, TITextProblem* problem);

// The image text and vectors as a TI-Text file that ParseTIText, and other tools that read
// TI-Text, turn back into the same bytes: "@ADDR" lines, up to 16 bytes a line in address
// order, the vectors at 0xFFE0 and "q". Empty when the image text is not in its own form.
std::string ImageToTIText(std::string_view imageText,
                          const std::array<std::uint32_t, kTITextVectorCount>& vectors);

}  // namespace quendal
