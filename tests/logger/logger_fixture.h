#pragma once
// What the logger tests share: a log file in a fresh folder, a link, and reading back
// what the library wrote.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "host/diagnostic_log.h"
#include "logger/logger_link.h"
#include "tests/support/temp_dir.h"

namespace quendal::test {

class LoggerTest : public testing::Test {
 protected:
  LoggerTest() { log.Open(dir.File("log.txt").c_str(), kLogTrace); }

  std::string LogText() const { return ReadWholeFile(dir.File("log.txt")); }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

  // Fewer tries keep the silent cases short.
  void UseRetries(LoggerLink& link, std::uint32_t retries) {
    LinkOptions options;
    options.serialRetries = retries;
    ASSERT_EQ(DeviceOptions(&link, &options, 1), 1);
  }

  static long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  }

  TempDir dir;
  DiagnosticLog log;
};

}  // namespace quendal::test
