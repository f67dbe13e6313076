#pragma once
// Whether an image can be written to a device type before anything on the device is touched:
// every byte inside the memory the update erases, nothing in the loader's area, no byte
// given twice.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/status.h"
#include "loader/device_types.h"

namespace quendal {

struct HostBSL;

inline constexpr Status kImageDoesNotFit = -103;

struct ImageSegment {
  std::uint32_t address = 0;
  std::uint32_t bytes = 0;  // whole words, as the image text holds them
};

// The segments of an image text ("@%05X" and words). False when the text is not in that form.
bool ImageTextSegments(std::string_view text, std::vector<ImageSegment>* segments);

// 1 when every segment of the image text lies in memory that the profile's update erases
// and writes; -103 with a sentence for the operator in `why` when not.
Status CheckImageFits(std::string_view imageText, const DeviceProfile& profile, std::string* why);
Status CheckImageFits(const HostBSL& host, const DeviceProfile& profile, std::string* why);

// What an image is made for: the device kind it carries and the device its name's first
// word names (a type code such as "TARNX", or a digital sensor's model such as "Lurra").
// 1 when both are `type`, or the name names nothing; else -103 with the reason in `why`.
Status CheckImagePurpose(const HostBSL& host, int type, std::string* why);

// The device type that the first word of an image's name names; 0 when it names none.
int TypeNamedByImage(std::string_view imageName);

}  // namespace quendal
