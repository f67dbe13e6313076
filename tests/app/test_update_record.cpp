// The traceability record: one JSON line per attempt, readable whatever the device said,
// and whole lines even when many processes append at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <string>

#include "app/engine/update_record.h"
#include "host/file_ops.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using nlohmann::json;

TEST(UpdateRecord, LineParsesBackWhateverTheDeviceSaid) {
  struct Case {
    std::string serial;
    std::string parsed;  // what a JSON reader gets back
  } cases[] = {
      {"LU-20931", "LU-20931"},
      {"a\"b\\c/d", "a\"b\\c/d"},
      {"tab\there\nnl\rcr", "tab\there\nnl\rcr"},
      {std::string("nul\0x\x01\x1f\x7f", 8), std::string("nul\0x\x01\x1f\x7f", 8)},
      {"M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80", "M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80"},
      // Bytes that are no UTF-8 are kept as the code points of their values.
      {"bad\xff", "bad\xc3\xbf"},
      {"cut\xc3", "cut\xc3\x83"},
      {"over\xc0\xaf", "over\xc3\x80\xc2\xaf"},
      {"surrogate\xed\xa0\x80", "surrogate\xc3\xad\xc2\xa0\xc2\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parsed);
    UpdateRecord r;
    r.start = 1796800262;  // 2026-12-09T07:11:02Z
    r.end = r.start + 75;
    r.host = "bench-3";
    r.port = "/dev/ttyUSB0";
    r.device = "Digital Sensor s";
    r.serial = c.serial;
    r.firmwareBefore = 390;
    r.imageVersion = 396;
    r.imageSum = -1234;
    r.settingsCaptured = "all";
    r.settingsRestored = "partial";
    r.code = kSettingsNotRestored;
    r.text = "Firmware updated; settings not all restored";
    r.seconds = 75;
    const std::string line = UpdateRecordLine(r);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
    const json parsed = json::parse(line, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << line;
    EXPECT_EQ(parsed["serial"], c.parsed);
    EXPECT_EQ(parsed["start"], "2026-12-09T07:11:02Z");
    EXPECT_EQ(parsed["end"], "2026-12-09T07:12:17Z");
    EXPECT_EQ(parsed["updater"], QUENDAL_BUILD_ENGINE_VERSION);
    EXPECT_EQ(parsed["firmwareBefore"], "3.90");
    EXPECT_TRUE(parsed["firmwareAfter"].is_null());
    EXPECT_EQ(parsed["imageVersion"], "3.96");
    EXPECT_EQ(parsed["imageSum"], -1234);
    EXPECT_EQ(parsed["code"], kSettingsNotRestored);
    EXPECT_EQ(parsed["settingsRestored"], "partial");
    EXPECT_EQ(parsed["seconds"], 75);
  }
}

// Eight writers, as a station's eight units, each appending long lines at the same time.
TEST(UpdateRecord, ConcurrentAppendsKeepLinesWhole) {
  test::TempDir dir;
  const std::string path = dir.File(kUpdateRecordFileName);
  constexpr int kWriters = 8;
  constexpr int kLines = 400;
  // The writers start together when the pipe closes.
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      char byte;
      while (read(start[0], &byte, 1) > 0) {
      }
      for (int i = 0; i < kLines; ++i) {
        UpdateRecord r;
        r.port = "writer" + std::to_string(w);
        r.serial = std::to_string(i);
        r.text = std::string(1500, static_cast<char>('a' + w));
        const std::string line = UpdateRecordLine(r);
        if (AppendWhole(path, line.data(), line.size()) < 0) _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream file(path);
  std::map<std::string, int> next;
  std::string line;
  int count = 0;
  while (std::getline(file, line)) {
    ++count;
    const json parsed = json::parse(line, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << "line " << count << " is mixed";
    const std::string port = parsed["port"];
    // Each writer's lines come in its own order, none lost or doubled.
    EXPECT_EQ(parsed["serial"], std::to_string(next[port]++));
  }
  EXPECT_EQ(count, kWriters * kLines);
  EXPECT_EQ(next.size(), static_cast<std::size_t>(kWriters));
}

TEST(UpdateRecord, AnUnwritableRecordFileIsAnError) {
  test::TempDir dir;
  EXPECT_LT(AppendWhole(dir.File("missing/updates.jsonl"), "{}\n", 3), 0);
}

}  // namespace
}  // namespace quendal
