// The loader sequence against a device outside the test process: in the Windows job, a
// simulated device on the Linux side behind a COM port (.ci/windows.sh starts it and names
// its port in the environment).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "host/timing.h"
#include "loader/bsl_engine.h"
#include "loader/device_types.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

// Asks the restarted firmware to check itself; returns its answer.
std::string PostAnswer(const char* port) {
  DeviceLink link;
  if (DSOpen(&link, port, 9600) != 1) return "(no port)";
  DSFlush(&link, 1);
  std::uint32_t written = 0;
  DSWrite(&link, "post\r", 5, &written);
  DSWait(&link, 3000, '>');
  char reply[64] = {};
  std::uint32_t got = 0;
  DSRead(&link, reply, sizeof reply - 1, &got);
  DSClose(&link);
  return std::string(reply, got);
}

void FlashAndCheck(const char* port, int type, std::uint32_t version, const char* imageFile) {
  test::TempDir dir;
  DiagnosticLog log(dir.File("errors.txt").c_str(), kLogDetail);
  DeviceProfile profile;
  DescribeDevice(type, version, &profile);
  HostBSL host(&log);
  ASSERT_EQ(host.constructorError, 0);
  if (imageFile) {
    ASSERT_EQ(BSLLoadTIFile(&host, imageFile), 1) << imageFile;
  }
  const bool ext = profile.extendedAddresses;

  ASSERT_GT(BSLConnect(&host, port, profile.loaderBaud, false, 3), 0)
      << test::ReadWholeFile(dir.File("errors.txt"));
  EXPECT_GT(BSLEraseINFO(&host, profile.infoStart, profile.infoSegments, profile.infoSegmentSize,
                         ext),
            0);
  EXPECT_GT(BSLEraseFlash(&host, profile.flashStart, profile.flashEnd, ext), 0);
  EXPECT_GT(BSLSendFirmware(&host, ext), 0) << test::ReadWholeFile(dir.File("errors.txt"));
  EXPECT_GT(BSLSendVectors(&host), 0);
  EXPECT_EQ(BSLDisconnect(&host), 1);
  DSSleep(profile.restartWaitMs < 1000 ? profile.restartWaitMs : 1000);
  EXPECT_NE(PostAnswer(port).find("Code Good!"), std::string::npos)
      << test::ReadWholeFile(dir.File("errors.txt"));
}

TEST(ExternalDevice, UploadToADigitalSensor) {
  const char* port = std::getenv("QUENDAL_TEST_SENSOR_PORT");
  if (!port) GTEST_SKIP() << "QUENDAL_TEST_SENSOR_PORT names no simulated sensor";
  FlashAndCheck(port, kTypeDigitalSensor, 396, nullptr);
}

TEST(ExternalDevice, UploadWithExtendedAddresses) {
  const char* port = std::getenv("QUENDAL_TEST_RDV_PORT");
  const char* image = std::getenv("QUENDAL_TEST_RDV_IMAGE");
  if (!port || !image) GTEST_SKIP() << "QUENDAL_TEST_RDV_PORT names no simulated Readvane";
  FlashAndCheck(port, kTypeRdv, 123, image);
}

}  // namespace
}  // namespace quendal
