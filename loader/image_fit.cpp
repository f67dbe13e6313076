#include "loader/image_fit.h"

#include <algorithm>
#include <cstdio>

#include "loader/host_bsl.h"

namespace quendal {
namespace {

constexpr std::uint32_t kLoaderFirst = 0xFA00;
constexpr std::uint32_t kLoaderEnd = 0x10000;

struct Range {
  std::uint32_t first = 0;
  std::uint32_t end = 0;  // exclusive

  bool Holds(const ImageSegment& s) const {
    return s.address >= first && s.address + s.bytes <= end;
  }
  std::uint32_t Size() const { return end > first ? end - first : 0; }
};

// What the update of this type erases: its information segments and its program flash,
// which never includes the loader's area.
std::vector<Range> WritableRanges(const DeviceProfile& p) {
  std::vector<Range> ranges;
  if (p.infoSegments > 0 && p.infoSegmentSize > 0)
    ranges.push_back({p.infoStart, p.infoStart + p.infoSegments * p.infoSegmentSize});
  const std::uint32_t flashEnd = p.flashEnd + 1;
  if (p.flashStart < kLoaderFirst) {
    ranges.push_back({p.flashStart, std::min(flashEnd, kLoaderFirst)});
  }
  if (flashEnd > kLoaderEnd) ranges.push_back({std::max(p.flashStart, kLoaderEnd), flashEnd});
  return ranges;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

std::string Where(const ImageSegment& s) {
  return Format("The segment at 0x%05X (%u bytes)", s.address, s.bytes);
}

// Would another type's update erase this segment? Then the image was made for that layout.
bool AnotherLayoutHolds(const ImageSegment& s, int type) {
  for (int other = 1; other <= kLastDeviceType; ++other) {
    if (other == type) continue;
    DeviceProfile p;
    DescribeDevice(other, 999, &p);
    for (const Range& r : WritableRanges(p)) {
      if (r.Holds(s) && (s.address + s.bytes <= kLoaderEnd || p.extendedAddresses)) return true;
    }
  }
  return false;
}

}  // namespace

bool ImageTextSegments(std::string_view text, std::vector<ImageSegment>* segments) {
  segments->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '@' || i + 6 > text.size()) return false;
    std::uint32_t address = 0;
    for (std::size_t d = i + 1; d < i + 6; ++d) {
      if (Hex(text[d]) < 0) return false;
      address = address << 4 | static_cast<std::uint32_t>(Hex(text[d]));
    }
    std::size_t end = text.find('@', i + 6);
    if (end == std::string_view::npos) end = text.size();
    const std::size_t digits = end - i - 6;
    if (digits % 4 != 0) return false;
    for (std::size_t d = i + 6; d < end; ++d) {
      if (Hex(text[d]) < 0) return false;
    }
    segments->push_back({address, static_cast<std::uint32_t>(digits / 2)});
    i = end;
  }
  return true;
}

Status CheckImageFits(std::string_view imageText, const DeviceProfile& profile, std::string* why) {
  std::string unused;
  if (!why) why = &unused;
  why->clear();
  const std::string device = std::string("the ") + profile.displayName.c_str();
  std::vector<ImageSegment> segments;
  if (!ImageTextSegments(imageText, &segments)) {
    *why = "The firmware image is damaged.";
    return kImageDoesNotFit;
  }

  const std::vector<Range> ranges = WritableRanges(profile);
  std::uint64_t capacity = 0;
  for (const Range& r : ranges) capacity += r.Size();
  std::uint64_t total = 0;
  for (const ImageSegment& s : segments) total += s.bytes;
  if (total == 0) {
    *why = "The firmware image holds no program data.";
    return kImageDoesNotFit;
  }
  if (total > capacity) {
    *why = Format("The firmware image holds %u bytes, more than the %u bytes that ",
                  static_cast<unsigned>(total), static_cast<unsigned>(capacity)) +
           device + " can take.";
    return kImageDoesNotFit;
  }

  for (const ImageSegment& s : segments) {
    if (s.bytes == 0) continue;
    const std::uint32_t end = s.address + s.bytes;
    if (s.address % 2 != 0) {
      *why = Where(s) + " starts at an odd address.";
      return kImageDoesNotFit;
    }
    if (end > kLoaderEnd && !profile.extendedAddresses) {
      *why = Where(s) + " lies above 0xFFFF, but " + device + " has no extended addresses.";
      return kImageDoesNotFit;
    }
    if (s.address < kLoaderEnd && end > kLoaderFirst) {
      *why = Where(s) + " reaches into the loader's area 0xFA00-0xFFFF.";
      return kImageDoesNotFit;
    }
    if (std::none_of(ranges.begin(), ranges.end(), [&](const Range& r) { return r.Holds(s); })) {
      *why = Where(s) + " lies outside the memory that the update of " + device + " erases";
      *why += AnotherLayoutHolds(s, profile.type)
                  ? ": the image is made for another device's memory layout."
                  : ".";
      return kImageDoesNotFit;
    }
  }

  std::vector<ImageSegment> order;
  for (const ImageSegment& s : segments) {
    if (s.bytes > 0) order.push_back(s);
  }
  std::sort(order.begin(), order.end(),
            [](const ImageSegment& a, const ImageSegment& b) { return a.address < b.address; });
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (order[i - 1].address + order[i - 1].bytes > order[i].address) {
      *why = Format("The segments at 0x%05X and 0x%05X overlap.", order[i - 1].address,
                    order[i].address);
      return kImageDoesNotFit;
    }
  }
  return kOk;
}

int TypeNamedByImage(std::string_view imageName) {
  std::string word(imageName.substr(0, imageName.find_first_of(" -_")));
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (word.empty()) return kTypeUnknown;
  if (const int type = FindDeviceTypeCode(word.c_str()); type != kTypeUnknown) return type;
  // The sensors' models ("Lurra Family", "Bremo Sensor") are all updated as digital sensors.
  const auto namesSensor = [&word](std::uint32_t code) {
    BoundedText<32> name;
    SensorName(code, &name);
    std::string model(name.view().substr(0, name.view().find(' ')));
    for (char& c : model) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return model != "UNKNOWN" && model == word;
  };
  for (std::uint32_t code = 95; code <= 127; ++code) {
    if (namesSensor(code)) return kTypeDigitalSensor;
  }
  for (std::uint32_t code = 260; code <= 262; ++code) {
    if (namesSensor(code)) return kTypeDigitalSensor;
  }
  return kTypeUnknown;
}

Status CheckImagePurpose(const HostBSL& host, int type, std::string* why) {
  std::string unused;
  if (!why) why = &unused;
  why->clear();
  auto named = [](int t) {
    return std::string(DeviceTypeCode(t) ? DeviceTypeCode(t) : "?") + " (" +
           DeviceTypeDisplayName(t) + ")";
  };
  const std::string image = std::string("The image \"") + host.imageName.c_str() + "\"";
  if (host.deviceKind != type) {
    *why = image + " is made for " + named(host.deviceKind) + ", not for " + named(type) + ".";
    return kImageDoesNotFit;
  }
  const int byName = TypeNamedByImage(host.imageName.view());
  if (byName != kTypeUnknown && byName != type) {
    *why = image + " is named for " + named(byName) + ", not for " + named(type) + ".";
    return kImageDoesNotFit;
  }
  return kOk;
}

Status CheckImageFits(const HostBSL& host, const DeviceProfile& profile, std::string* why) {
  const std::size_t length = std::min<std::size_t>(host.imageTextLength, host.imageText.size());
  return CheckImageFits(std::string_view(host.imageText.data(), length), profile, why);
}

}  // namespace quendal
