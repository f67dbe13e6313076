#include <gtest/gtest.h>

#include "host/build_version.h"
#include "host/program_version.h"

namespace quendal {
namespace {

// On Windows this reads the resource linked into this very test program, so a resource
// that is missing, in another language block or out of date with the build shows here.
TEST(ProgramVersion, IsTheVersionOfTheBuild) {
  EXPECT_EQ(ProgramFileVersion(), QUENDAL_BUILD_ENGINE_VERSION);
  EXPECT_STRNE(QUENDAL_BUILD_ENGINE_VERSION, "");
}

}  // namespace
}  // namespace quendal
