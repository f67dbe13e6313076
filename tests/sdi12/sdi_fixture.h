#pragma once
// The SDI-12 layer over a real pseudo-terminal and the real serial driver, with a fake
// comm device and sensor on the other side.
#include <gtest/gtest.h>

#include <string>

#include "sdi12/sdi_sensor.h"
#include "tests/sdi12/fake_sensor.h"
#include "tests/support/temp_dir.h"

namespace quendal::test {

class SdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(DSOpen(&link, device.SlaveName().c_str(), 9600), 1);
    Write("[");
  }

  void Write(const char* bytes) {
    std::uint32_t written = 0;
    DSWrite(&link, bytes, static_cast<std::uint32_t>(std::strlen(bytes)), &written);
  }
  bool Logged(const std::string& text) const {
    return ReadWholeFile(dir.File("errors.txt")).find(text) != std::string::npos;
  }
  // For tests that keep the sensor silent: a short reply wait and a single attempt.
  void Impatient(std::uint32_t retries = 1) {
    sdi.replyTimeoutMs = 300;
    sdi.retryCount = retries;
  }
  template <typename F>
  auto Sensor(F f) {
    return device.With(f);
  }
  FakeSensor Seen() {
    return device.With([](FakeSensor& s) { return s; });
  }
  // A fresh sensor record between the rows of a table.
  void Reset(FakeSensor fresh = {}) {
    device.With([&](FakeSensor& s) { s = fresh; });
    sdi = SdiSensorLink(&log, &link);
  }

  TempDir dir;
  DiagnosticLog log{dir.File("errors.txt").c_str(), kLogDetail};
  FakeCommDevice device;
  DeviceLink link;
  SdiSensorLink sdi{&log, &link};
};

// A script answering `command` with `reply` as it stands and everything else as usual.
inline auto Answering(std::string command, std::string reply) {
  return [command, reply](FakeSensor&, const std::string& got) -> std::optional<std::string> {
    if (got == command) return reply;
    return std::nullopt;
  };
}

}  // namespace quendal::test
