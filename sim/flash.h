#pragma once
// The flash memory of a simulated device: 1 MiB of address space that reads 0xFF when
// erased, where a write can only clear bits and erasing works on whole segments.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/status.h"
#include "loader/device_types.h"

namespace quendal::sim {

inline constexpr std::uint32_t kAddressSpace = 0x100000;  // addresses 0 .. 0xFFFFF
inline constexpr std::uint32_t kMainSegmentSize = 512;
inline constexpr std::uint32_t kLoaderArea = 0xFA00;  // up to 0xFFFF: the loader's own
inline constexpr std::uint32_t kLoaderAreaEnd = 0x10000;
inline constexpr std::uint32_t kVectorArea = 0xFFE0;
inline constexpr std::size_t kVectorWords = 16;

using VectorTable = std::array<std::uint16_t, kVectorWords>;

// Where a device keeps its program and information memory, and how its loader talks.
struct MemoryLayout {
  std::uint32_t flashStart = 0x1100;
  std::uint32_t flashEnd = 0xF9FF;
  bool extendedAddresses = false;  // five-digit addresses in loader frames
  std::uint32_t infoStart = 0x1000;
  std::uint32_t infoSegments = 2;
  std::uint32_t infoSegmentSize = 128;
  std::uint32_t loaderBaud = 9600;
};

// The layout the device-type table gives for a type and firmware version.
MemoryLayout LayoutOf(const DeviceProfile& profile);
MemoryLayout LayoutForType(int type, std::uint32_t version);

class Flash {
 public:
  explicit Flash(const MemoryLayout& layout);

  const MemoryLayout& layout() const { return layout_; }
  const std::uint8_t* data() const { return memory_.data(); }
  std::uint8_t Read(std::uint32_t address) const;

  static bool InLoaderArea(std::uint32_t address) {
    return address >= kLoaderArea && address < kLoaderAreaEnd;
  }
  bool InInfo(std::uint32_t address) const;

  // Clears the bits that are 0 in `bytes` from `address` on. Refused (false, nothing
  // written) when the range leaves the address space or touches the loader's area.
  bool Program(std::uint32_t address, const std::uint8_t* bytes, std::size_t count);
  // Erases the information segment or the 512-byte main segment holding `address`; a main
  // segment never takes information memory with it. Refused for the loader's area.
  bool EraseSegmentAt(std::uint32_t address);
  // Everything to 0xFF, vectors included: a factory-fresh part.
  void EraseAll();

  // The loader rewrites its own vector segment; entry 15 is the reset vector.
  void StoreVectors(const VectorTable& vectors);
  VectorTable Vectors() const;

  // Writes image-text form ("@" and five address digits, then words of four hex digits,
  // high byte first) as the loader would. kBadArgument for malformed text or a segment
  // that the loader would refuse; what came before stays written.
  Status WriteImageText(std::string_view text);
  // A small image with a valid check block at the start of program flash and the reset
  // vector pointing behind it: enough for the firmware to come up and pass its self-test.
  void InstallTestImage();
  // The firmware's self-test: a complete, correctly written image.
  bool ImageValid() const;

 private:
  MemoryLayout layout_;
  std::vector<std::uint8_t> memory_;
};

// The version of the firmware in `flash` where the simulator knows the image: the image
// built into this program (by its check block, which covers the whole program), with the
// version its name gives ("Lurra 3.96": 396); 0 for any other image or none.
std::uint32_t FlashedImageVersion(const Flash& flash);
// `text` ("KCD 1.23") with the version number at its end made `version` (396: "KCD 3.96");
// unchanged when it ends in no version number.
std::string WithVersion(std::string text, std::uint32_t version);

// A flash cell that fails while a new image is written: one bit of the image, in the middle
// of what its check block covers, stays cleared, so the new firmware reports itself corrupt.
void SpoilWrittenImage(Flash* flash);

}  // namespace quendal::sim
