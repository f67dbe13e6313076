#pragma once
// The loader host object: the firmware image in memory and the host side of the
// resident loader's protocol.
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/serial.h"
#include "host/status.h"
#include "loader/builtin_image.h"
#include "loader/device_types.h"

namespace quendal {

inline constexpr std::uint32_t kVectorCount = 16;
inline constexpr std::uint32_t kVectorBase = 0xFFE0;
inline constexpr std::uint32_t kLoaderBufferSize = 544;
// The longest frame: letter, 128 five-digit numbers, ".", checksum, CR and a zero.
inline constexpr std::uint32_t kCommandBufferSize = 1 + 128 * 5 + 1 + 4 + 1 + 1;

// Called while erasing ('X', in 512-byte segments) and uploading ('W', in image-text
// characters): phase 1 during the work, 2 once at its end. Returning 0 cancels.
using LoaderProgress =
    std::function<int(std::uint32_t total, std::uint32_t done, int phase, char kind)>;

struct HostBSL {
  explicit HostBSL(DiagnosticLog* log, const BuiltinImage& image = kBuiltinImage);
  ~HostBSL();  // takes back a lent port, closes its own
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
  std::string loadProblem;  // why the last file was refused: line, column and reason
  DiagnosticLog* log = nullptr;
  bool connected = false;
  bool reportProgress = false;
  std::uint32_t tries = 3;
  LoaderProgress progress;
  bool portLent = false;  // the port belongs to another object (BSLHandOff)
  // The last frame did not leave whole through the port: its silence proves nothing.
  bool frameUnsent = false;
  // The device being updated; while it holds a layout, nothing is erased or written for an
  // image that does not fit it.
  const DeviceProfile* target = nullptr;
  std::array<char, kCommandBufferSize> commandBuffer{};
  std::array<char, kLoaderBufferSize> dataBuffer{};
};

// Sum of the characters of an image text, each taken as a signed 8-bit value.
std::int32_t ImageTextSum(const char* text, std::uint32_t length);

// Replaces the image by a TI-Text file; a failed load changes nothing.
Status BSLLoadTIFile(HostBSL* host, const char* path);
// Writes the image in memory in the dump layout.
Status BSLWriteTIFile(HostBSL* host, const char* path);
// Writes the image in memory as a TI-Text file that BSLLoadTIFile reads back to the same
// image; 1, -60, or the negated system error number.
Status WriteTITextFile(HostBSL* host, const char* path);

}  // namespace quendal
