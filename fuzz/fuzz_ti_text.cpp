// The TI-Text reader and the fit check on what it makes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "loader/device_types.h"
#include "loader/image_fit.h"
#include "loader/ti_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quendal;
  std::string text;
  std::array<std::uint32_t, kTITextVectorCount> vectors{};
  TITextProblem problem;
  std::string_view content(reinterpret_cast<const char*>(data), size);
  Status rc = ParseTIText(content, &text, &vectors, &problem);
  if (rc < 0) {
    // A refusal always says why.
    if (problem.why.empty()) std::abort();
    return 0;
  }
  // What the reader makes is always image text that the loader engine can walk.
  std::vector<ImageSegment> segments;
  if (!ImageTextSegments(text, &segments)) std::abort();
  for (const ImageSegment& s : segments) {
    if (s.address % 2 != 0 || (s.address >= 0xFA00 && s.address < 0x10000)) std::abort();
  }
  if (text.find_first_of("abcdef") != std::string::npos) std::abort();
  for (int type = 0; type <= kLastDeviceType; ++type) {
    DeviceProfile profile;
    DescribeDevice(type, 999, &profile);
    std::string why;
    if (CheckImageFits(text, profile, &why) < 0 && why.empty()) std::abort();
  }
  return 0;
}
