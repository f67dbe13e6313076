#include "loader/image_check.h"

namespace quendal {
namespace {

std::uint32_t Word(const std::uint8_t* memory, std::uint32_t address) {
  return static_cast<std::uint32_t>(memory[address]) |
         static_cast<std::uint32_t>(memory[address + 1]) << 8;
}

}  // namespace

std::uint16_t Crc16Ccitt(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (static_cast<std::uint16_t>(bytes[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

std::uint16_t ImageCheckCrc(const std::uint8_t* memory, std::uint32_t from, std::uint32_t to) {
  std::uint16_t crc = 0xFFFF;
  if (from < kProtectedAreaStart) {
    std::uint32_t end = to < kProtectedAreaStart ? to : kProtectedAreaStart;
    if (from < end) crc = Crc16Ccitt(crc, memory + from, end - from);
  }
  std::uint32_t upper = from > kProtectedAreaEnd ? from : kProtectedAreaEnd;
  if (upper < to) crc = Crc16Ccitt(crc, memory + upper, to - upper);
  return crc;
}

Status VerifyImageCheck(const std::uint8_t* memory, std::size_t size, std::uint32_t flashStart) {
  if (!memory) return kMissingArgument;
  std::uint64_t blockEnd = static_cast<std::uint64_t>(flashStart) + kImageCheckBlockSize;
  if (blockEnd > size) return kImageCheckFailed;
  if (Word(memory, flashStart) != kImageCheckMagic) return kImageCheckFailed;
  std::uint32_t end = Word(memory, flashStart + 2) | Word(memory, flashStart + 4) << 16;
  if (end < blockEnd || end > size) return kImageCheckFailed;
  std::uint16_t crc = ImageCheckCrc(memory, static_cast<std::uint32_t>(blockEnd), end);
  return crc == Word(memory, flashStart + 6) ? kOk : kImageCheckFailed;
}

}  // namespace quendal
