// Every seed and every kept finding of the fuzz targets runs through its harness in the
// normal suite: a finding that comes back crashes or trips a harness check here.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int QuendalFuzz_ti_text(const std::uint8_t* data, std::size_t size);
extern "C" int QuendalFuzz_loader(const std::uint8_t* data, std::size_t size);
extern "C" int QuendalFuzz_shell(const std::uint8_t* data, std::size_t size);
extern "C" int QuendalFuzz_sdi12(const std::uint8_t* data, std::size_t size);
extern "C" int QuendalFuzz_settings_file(const std::uint8_t* data, std::size_t size);
extern "C" int QuendalFuzz_version_reply(const std::uint8_t* data, std::size_t size);

namespace quendal {
namespace {

namespace fs = std::filesystem;

TEST(FuzzReplay, SeedsAndFindingsRunClean) {
  struct Target {
    const char* name;
    int (*run)(const std::uint8_t*, std::size_t);
  } targets[] = {
      {"ti_text", QuendalFuzz_ti_text},
      {"loader", QuendalFuzz_loader},
      {"shell", QuendalFuzz_shell},
      {"sdi12", QuendalFuzz_sdi12},
      {"settings_file", QuendalFuzz_settings_file},
      {"version_reply", QuendalFuzz_version_reply},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(t.name);
    int replayed = 0;
    for (const char* kind : {"corpus", "regressions"}) {
      const fs::path folder = fs::path(QUENDAL_FUZZ_DIR) / kind / t.name;
      if (!fs::is_directory(folder)) continue;
      for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        EXPECT_EQ(t.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
        ++replayed;
      }
    }
    EXPECT_GT(replayed, 0) << "every target keeps seeds";
  }
}

}  // namespace
}  // namespace quendal
