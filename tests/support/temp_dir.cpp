#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>

#include "tests/support/hermetic.h"

namespace quendal::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    // Inside the tests' own temporary folder a number is unique enough, and short names
    // keep port paths below a serial link's 63 characters.
    const unsigned n = counter.fetch_add(1);
    auto candidate = HermeticRoot().empty()
                         ? base / ("quendal-test-" + std::to_string(stamp) + "-" + std::to_string(n))
                         : base / ("t" + std::to_string(n));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace quendal::test
