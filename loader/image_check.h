#pragma once
// The check block that every image made by quendal-mkimage carries at the first address of
// its program flash, so that a device's self-test can tell a complete, correctly written
// image from a damaged or partial one (firmware/README.md describes the layout).
//
//   +0  magic word 0x4B43
//   +2  end address (exclusive), low word
//   +4  end address, high word
//   +6  CRC-16 over the flash from +8 up to the end address
//
// Words are little-endian in memory. The CRC is CCITT (polynomial 0x1021, initial 0xFFFF,
// no reflection, no final XOR) over the bytes in address order; the loader's own area
// 0xFA00-0xFFFF is skipped, and bytes that no segment wrote count as erased (0xFF).
#include <cstddef>
#include <cstdint>

#include "host/status.h"

namespace quendal {

inline constexpr std::uint16_t kImageCheckMagic = 0x4B43;
inline constexpr std::uint32_t kImageCheckBlockSize = 8;
inline constexpr std::uint32_t kProtectedAreaStart = 0xFA00;
inline constexpr std::uint32_t kProtectedAreaEnd = 0x10000;  // exclusive

std::uint16_t Crc16Ccitt(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count);

// CRC of memory[from, to) as the check block defines it; `memory` holds at least `to` bytes.
std::uint16_t ImageCheckCrc(const std::uint8_t* memory, std::uint32_t from, std::uint32_t to);

// Checks the block at `flashStart` of a memory array indexed by address (`size` bytes).
// Returns 1 for a complete, correctly written image; -101 when the block is missing, names an
// end outside the memory, or its CRC does not match; -10 without memory.
Status VerifyImageCheck(const std::uint8_t* memory, std::size_t size, std::uint32_t flashStart);

}  // namespace quendal
