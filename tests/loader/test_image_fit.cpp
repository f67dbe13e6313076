// Whether an image fits a device type: every byte inside what the type's update erases.
#include <gtest/gtest.h>

#include <string>

#include "loader/builtin_image.h"
#include "loader/device_types.h"
#include "loader/host_bsl.h"
#include "loader/image_fit.h"

namespace quendal {
namespace {

// An image-text segment of `bytes` bytes (whole words) at `address`.
std::string Segment(std::uint32_t address, std::uint32_t bytes) {
  char head[8];
  std::snprintf(head, sizeof head, "@%05X", static_cast<unsigned>(address));
  return head + std::string(bytes * 2, 'A');
}

DeviceProfile Profile(int type) {
  DeviceProfile p;
  DescribeDevice(type, 999, &p);
  return p;
}

TEST(ImageFit, WhatEachLayoutTakes) {
  struct Case {
    const char* what;
    int type;
    std::string text;
    Status rc;
    const char* says;  // part of the reason given
  } cases[] = {
      {"sensor: information memory and program flash", kTypeDigitalSensor,
       Segment(0x1000, 192) + Segment(0x8000, 0x100) + Segment(0xF9F0, 16), kOk, ""},
      {"sensor: a segment whose start fits but whose end crosses 0xFA00", kTypeDigitalSensor,
       Segment(0xF9F0, 64), kImageDoesNotFit, "loader's area"},
      {"sensor: a data logger's image, written where the sensor keeps its loader",
       kTypeDigitalSensor, Segment(0x1100, 0x200) + Segment(0x8000, 2), kImageDoesNotFit,
       "another device's memory layout"},
      {"sensor: information memory past its three segments", kTypeDigitalSensor,
       Segment(0x1000, 194), kImageDoesNotFit, "outside the memory"},
      {"sensor: extended address on a device without them", kTypeDigitalSensor, Segment(0x1A000, 4),
       kImageDoesNotFit, "no extended addresses"},
      {"only vectors: no program data", kTypeDigitalSensor, "", kImageDoesNotFit,
       "no program data"},
      {"an empty segment is no program data either", kTypeDigitalSensor, Segment(0x8000, 0),
       kImageDoesNotFit, "no program data"},
      {"overlapping segments", kTypeDigitalSensor, Segment(0x8000, 8) + Segment(0x8004, 8),
       kImageDoesNotFit, "overlap"},
      {"odd start", kTypeDigitalSensor, Segment(0x8001, 2), kImageDoesNotFit, "odd address"},
      {"more than the flash holds", kTypeDigitalSensor,
       Segment(0x8000, 0x7A00) + Segment(0x8000, 0x7A00), kImageDoesNotFit, "more than"},
      {"damaged text", kTypeDigitalSensor, "@08000AB", kImageDoesNotFit, "damaged"},
      {"Corvel Four: above 0xFFFF and in its information memory", kTypeCvFour,
       Segment(0x1000, 192) + Segment(0x2100, 64) + Segment(0x1A000, 4) + Segment(0x1FE00, 0x100),
       kOk, ""},
      {"Corvel Four: the loader's area stays out of reach", kTypeCvFour, Segment(0xFA00, 2),
       kImageDoesNotFit, "loader's area"},
      {"Corvel Four: past its flash end", kTypeCvFour, Segment(0x1FF00, 4), kImageDoesNotFit,
       "outside"},
      {"Corvel Four: a data logger's flash below 0x2100", kTypeCvFour, Segment(0x1100, 64),
       kImageDoesNotFit, "another device's memory layout"},
      {"Tarnx: 0x1100 up is its program flash", kTypeTarnx, Segment(0x1100, 0x200), kOk, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_EQ(CheckImageFits(c.text, Profile(c.type), &why), c.rc);
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
}

TEST(ImageFit, TheBuiltInImageFitsItsDevice) {
  HostBSL host(nullptr);
  ASSERT_EQ(host.constructorError, 0);
  // An instrument build's image is named for its type ("CVFOUR 2.10"); the sensors' is not.
  std::string word = kBuiltinImage.name;
  word = word.substr(0, word.find(' '));
  const int type = FindDeviceTypeCode(word.c_str());
  std::string why;
  EXPECT_EQ(CheckImageFits(host, Profile(type > 0 ? type : kTypeDigitalSensor), &why), kOk) << why;
}

}  // namespace
}  // namespace quendal
