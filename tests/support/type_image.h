#pragma once
// A synthetic image for the flash layout of a device type, made by quendal-mkimage, whose
// check block the simulated device's self-test finds. For tests built with
// QUENDAL_MKIMAGE_PATH.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "loader/device_types.h"
#include "tests/support/run_program.h"

namespace quendal::test {

// Writes `path` once for the type that `code` names; false when the generator failed.
inline bool MakeTypeImage(const std::string& code, const std::string& path) {
  if (std::filesystem::exists(path)) return true;
  DeviceProfile layout;
  DescribeDevice(FindDeviceTypeCode(code.c_str()), 0, &layout);
  char options[96];
  std::snprintf(options, sizeof options, " --flash 0x%X-0xF9FF --info 0x%X:%u --segments 40 ",
                static_cast<unsigned>(layout.flashStart), static_cast<unsigned>(layout.infoStart),
                static_cast<unsigned>(layout.infoSegments * layout.infoSegmentSize));
  return std::system((ShellQuote(QUENDAL_MKIMAGE_PATH) + options + ShellQuote(path) + " >/dev/null")
                         .c_str()) == 0;
}

}  // namespace quendal::test
