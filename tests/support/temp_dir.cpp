#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
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
    // Appended, not `"t" + …`: MinGW's GCC 12 takes that for an overlapping copy.
    const unsigned n = counter.fetch_add(1);
    std::string name;
    if (HermeticRoot().empty()) name = "quendal-test-" + std::to_string(stamp) + "-";
    else name.push_back('t');
    name += std::to_string(n);
    auto candidate = base / name;
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
