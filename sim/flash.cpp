#include "sim/flash.h"

#include <algorithm>

#include <cstdio>
#include <string_view>

#include "loader/builtin_image.h"
#include "loader/image_check.h"

namespace quendal::sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex(std::string_view text, std::uint32_t* value) {
  std::uint32_t v = 0;
  for (char c : text) {
    int d = HexValue(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<std::uint32_t>(d);
  }
  *value = v;
  return !text.empty();
}

}  // namespace

MemoryLayout LayoutOf(const DeviceProfile& p) {
  MemoryLayout l;
  l.flashStart = p.flashStart;
  l.flashEnd = p.flashEnd;
  l.extendedAddresses = p.extendedAddresses;
  l.infoStart = p.infoStart;
  l.infoSegments = p.infoSegments;
  l.infoSegmentSize = p.infoSegmentSize;
  l.loaderBaud = p.loaderBaud != 0 ? p.loaderBaud : 9600;
  return l;
}

MemoryLayout LayoutForType(int type, std::uint32_t version) {
  DeviceProfile profile;
  DescribeDevice(type, version, &profile);
  return LayoutOf(profile);
}

Flash::Flash(const MemoryLayout& layout) : layout_(layout), memory_(kAddressSpace, 0xFF) {}

std::uint8_t Flash::Read(std::uint32_t address) const {
  return address < kAddressSpace ? memory_[address] : 0xFF;
}

bool Flash::InInfo(std::uint32_t address) const {
  std::uint64_t end = std::uint64_t{layout_.infoStart} +
                      std::uint64_t{layout_.infoSegments} * layout_.infoSegmentSize;
  return layout_.infoSegmentSize != 0 && address >= layout_.infoStart && address < end;
}

bool Flash::Program(std::uint32_t address, const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t end = std::uint64_t{address} + count;
  if (end > kAddressSpace) return false;
  if (address < kLoaderAreaEnd && end > kLoaderArea) return false;
  for (std::size_t i = 0; i < count; ++i) memory_[address + i] &= bytes[i];
  return true;
}

bool Flash::EraseSegmentAt(std::uint32_t address) {
  if (address >= kAddressSpace || InLoaderArea(address)) return false;
  if (InInfo(address)) {
    std::uint32_t first = address - (address - layout_.infoStart) % layout_.infoSegmentSize;
    std::fill_n(memory_.begin() + first, layout_.infoSegmentSize, 0xFF);
    return true;
  }
  std::uint32_t first = address - address % kMainSegmentSize;
  for (std::uint32_t a = first; a < first + kMainSegmentSize; ++a) {
    if (!InInfo(a)) memory_[a] = 0xFF;
  }
  return true;
}

void Flash::EraseAll() {
  std::fill(memory_.begin(), memory_.end(), 0xFF);
}

void Flash::StoreVectors(const VectorTable& vectors) {
  for (std::size_t i = 0; i < kVectorWords; ++i) {
    memory_[kVectorArea + 2 * i] = static_cast<std::uint8_t>(vectors[i] & 0xFF);
    memory_[kVectorArea + 2 * i + 1] = static_cast<std::uint8_t>(vectors[i] >> 8);
  }
}

VectorTable Flash::Vectors() const {
  VectorTable v{};
  for (std::size_t i = 0; i < kVectorWords; ++i) {
    v[i] = static_cast<std::uint16_t>(memory_[kVectorArea + 2 * i] |
                                      memory_[kVectorArea + 2 * i + 1] << 8);
  }
  return v;
}

Status Flash::WriteImageText(std::string_view text) {
  std::size_t p = 0;
  std::uint32_t address = 0;
  bool haveAddress = false;
  while (p < text.size()) {
    if (text[p] == '@') {
      if (p + 6 > text.size() || !ParseHex(text.substr(p + 1, 5), &address)) {
        return kBadArgument;
      }
      haveAddress = true;
      p += 6;
      continue;
    }
    std::uint32_t word = 0;
    if (!haveAddress || p + 4 > text.size() || !ParseHex(text.substr(p, 4), &word)) {
      return kBadArgument;
    }
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(word & 0xFF),
                                   static_cast<std::uint8_t>(word >> 8)};
    if (!Program(address, bytes, 2)) return kBadArgument;
    address += 2;
    p += 4;
  }
  return kOk;
}

void Flash::InstallTestImage() {
  constexpr std::uint32_t kProgramBytes = 64;
  const std::uint32_t start = layout_.flashStart;
  const std::uint32_t end = start + kImageCheckBlockSize + kProgramBytes;
  if (end > kAddressSpace) return;
  for (std::uint32_t a = start; a < end; a += kMainSegmentSize) EraseSegmentAt(a);
  EraseSegmentAt(end - 1);
  std::uint8_t program[kProgramBytes];
  for (std::uint32_t i = 0; i < kProgramBytes; ++i) {
    program[i] = static_cast<std::uint8_t>(0x31 + 7 * i);
  }
  Program(start + kImageCheckBlockSize, program, kProgramBytes);
  // The CRC reads the program back from memory, so it sees what actually landed there.
  std::uint16_t crc = ImageCheckCrc(memory_.data(), start + kImageCheckBlockSize, end);
  const std::uint8_t block[kImageCheckBlockSize] = {
      static_cast<std::uint8_t>(kImageCheckMagic & 0xFF),
      static_cast<std::uint8_t>(kImageCheckMagic >> 8),
      static_cast<std::uint8_t>(end & 0xFF),
      static_cast<std::uint8_t>(end >> 8 & 0xFF),
      static_cast<std::uint8_t>(end >> 16 & 0xFF),
      static_cast<std::uint8_t>(end >> 24 & 0xFF),
      static_cast<std::uint8_t>(crc & 0xFF),
      static_cast<std::uint8_t>(crc >> 8)};
  Program(start, block, kImageCheckBlockSize);
  VectorTable vectors;
  vectors.fill(0xFFFF);
  vectors[kVectorWords - 1] = static_cast<std::uint16_t>(start + kImageCheckBlockSize);
  StoreVectors(vectors);
}

bool Flash::ImageValid() const {
  return VerifyImageCheck(memory_.data(), memory_.size(), layout_.flashStart) == kOk;
}

void SpoilWrittenImage(Flash* flash) {
  // One bit that will not stay set, in the middle of what the check block covers.
  const std::uint32_t start = flash->layout().flashStart;
  if (flash->Read(start) != (kImageCheckMagic & 0xFF) ||
      flash->Read(start + 1) != kImageCheckMagic >> 8) {
    return;
  }
  std::uint32_t end = 0;
  for (int i = 3; i >= 0; --i)
    end = end << 8 | flash->Read(start + 2 + static_cast<std::uint32_t>(i));
  const std::uint32_t from = start + kImageCheckBlockSize;
  if (end <= from || end > kAddressSpace) return;
  for (std::uint32_t a = from + (end - from) / 2; a < end; ++a) {
    std::uint8_t byte = flash->Read(a);
    if (byte == 0 || Flash::InLoaderArea(a)) continue;
    std::uint8_t spoilt = static_cast<std::uint8_t>(byte & (byte - 1));
    if (flash->Program(a, &spoilt, 1)) return;
  }
}

std::uint32_t FlashedImageVersion(const Flash& flash) {
  if (!flash.ImageValid()) return 0;
  // The image written into an erased part of the same layout, as the loader would have.
  Flash known(flash.layout());
  if (known.WriteImageText(kBuiltinImage.text) < 0 || !known.ImageValid()) return 0;
  const std::uint32_t block = flash.layout().flashStart;
  for (std::uint32_t i = 0; i < kImageCheckBlockSize; ++i) {
    if (flash.Read(block + i) != known.Read(block + i)) return 0;
  }
  // The digits after the name's first blank or "-", as the updater reads a version.
  const std::string_view name = kBuiltinImage.name;
  const std::size_t start = name.find_first_of(" -");
  if (start == std::string_view::npos) return 0;
  std::uint32_t version = 0;
  int digits = 0;
  for (char c : name.substr(start + 1)) {
    if (c < '0' || c > '9') continue;
    if (++digits > 6) return 0;
    version = version * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return version;
}

std::string WithVersion(std::string text, std::uint32_t version) {
  // The last word must be digits, a point and two digits.
  const std::size_t blank = text.find_last_of(' ');
  const std::string_view word =
      std::string_view(text).substr(blank == std::string::npos ? 0 : blank + 1);
  const std::size_t point = word.find('.');
  const auto digits = [](std::string_view part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (version == 0 || point == std::string_view::npos || !digits(word.substr(0, point)) ||
      word.size() - point != 3 || !digits(word.substr(point + 1))) {
    return text;
  }
  char number[32];
  std::snprintf(number, sizeof number, "%u.%02u", static_cast<unsigned>(version / 100),
                static_cast<unsigned>(version % 100));
  text.resize(text.size() - word.size());
  text += number;
  return text;
}

}  // namespace quendal::sim
