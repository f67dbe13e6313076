#pragma once
// The loader host object: the firmware image in memory and the host side of the
// resident loader's protocol.
#include <array>
#include <cstdint>
#include <string>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/serial.h"
#include "host/status.h"
#include "loader/builtin_image.h"

namespace quendal {

inline constexpr std::uint32_t kVectorCount = 16;
inline constexpr std::uint32_t kVectorBase = 0xFFE0;
inline constexpr std::uint32_t kLoaderBufferSize = 544;

struct HostBSL {
  explicit HostBSL(DiagnosticLog* log, const BuiltinImage& image = kBuiltinImage);
  HostBSL(const HostBSL&) = delete;
  HostBSL& operator=(const HostBSL&) = delete;

  DeviceLink link;
  std::int32_t loaderVersion = 0;
  BoundedText<64> imageName;
  std::int32_t imageVersion = 0;
  std::int8_t deviceKind = 10;
  Status constructorError = 0;
  std::uint32_t imageTextLength = 0;
  std::string imageText;
  std::array<std::uint32_t, kVectorCount> vectors{};
  bool imageFromFile = false;
  DiagnosticLog* log = nullptr;
  bool connected = false;
  bool reportProgress = false;
  std::uint32_t tries = 3;
  std::array<char, kLoaderBufferSize> commandBuffer{};
  std::array<char, kLoaderBufferSize> dataBuffer{};
};

// Sum of the characters of an image text, each taken as a signed 8-bit value.
std::int32_t ImageTextSum(const char* text, std::uint32_t length);

// Replaces the image by a TI-Text file; a failed load changes nothing.
Status BSLLoadTIFile(HostBSL* host, const char* path);
// Writes the image in memory in the dump layout.
Status BSLWriteTIFile(HostBSL* host, const char* path);

}  // namespace quendal
