#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "host/diagnostic_log.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

// "7 Dec 2026 16:51:45 - Source: text\r\n"
const std::regex kLine(
    R"(([1-9]|[12][0-9]|3[01]) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
    R"(\d{4} ([0-9]|1[0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] - (.*): (.*)\r\n)");

TEST(DiagnosticLog, LevelsDecideWhatIsWritten) {
  struct Case {
    std::uint32_t logLevel;
    std::uint32_t lineLevel;
    bool written;
  } cases[] = {
      {30, 40, false}, {30, 30, true}, {30, 1, true}, {1, 10, false},  {1, 1, true},
      {40, 40, true},  {0, 1, false},  {0, 0, false}, {10, 30, false}, {10, 10, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    DiagnosticLog log(dir.File("e.txt").c_str(), c.logLevel);
    int n = log.Print(c.lineLevel, "Quendal", "line %d", 7);
    std::string text = ReadWholeFile(dir.File("e.txt"));
    SCOPED_TRACE(testing::Message() << "log " << c.logLevel << " line " << c.lineLevel);
    if (c.written) {
      EXPECT_EQ(n, static_cast<int>(text.size()));
      EXPECT_TRUE(std::regex_match(text, kLine)) << text;
      EXPECT_NE(text.find(" - Quendal: line 7\r\n"), std::string::npos);
    } else {
      EXPECT_EQ(n, 0);
      EXPECT_TRUE(text.empty());
    }
  }
}

TEST(DiagnosticLog, InvalidLevelsAreRefused) {
  DiagnosticLog log("x.txt", 5);
  EXPECT_EQ(log.Level(), 1u);
  EXPECT_TRUE(log.SetLevel(30));
  for (std::uint32_t bad : {2u, 5u, 20u, 31u, 41u, 100u}) {
    EXPECT_FALSE(log.SetLevel(bad)) << bad;
    EXPECT_EQ(log.Level(), 30u);
  }
  for (std::uint32_t good : {0u, 1u, 10u, 40u}) {
    EXPECT_TRUE(log.SetLevel(good));
    EXPECT_EQ(log.Level(), good);
  }
  DiagnosticLog unnamed(nullptr, 30);
  EXPECT_EQ(unnamed.Path(), "error.txt");
}

TEST(DiagnosticLog, LinesAppendAndKeepTheirBytes) {
  TempDir dir;
  WriteWholeFile(dir.File("e.txt"), "earlier run\r\n");
  DiagnosticLog log(dir.File("e.txt").c_str(), 30);
  log.Print(1, "ErrorOK Told User:", "%s", "100% done\nnext");
  log.Print(10, "", "%s", "");
  std::string text = ReadWholeFile(dir.File("e.txt"));
  ASSERT_EQ(text.rfind("earlier run\r\n", 0), 0u) << "earlier lines are never dropped";
  // "%" goes through untouched; a line break inside the text is shown, so that no text
  // (a device's least of all) can start a line of its own.
  EXPECT_NE(text.find(" - ErrorOK Told User:: 100% done\\nnext\r\n"), std::string::npos) << text;
  // An empty source and message still make a whole line.
  EXPECT_EQ(text.substr(text.size() - 7), " - : \r\n");
}

TEST(DiagnosticLog, TimeStampHasNoLeadingZeros) {
  struct Case {
    int year, month, day, hour, minute, second;
    const char* expected;
  } cases[] = {
      {2027, 2, 1, 9, 5, 3, "1 Mar 2027 9:05:03"},
      {2026, 11, 7, 16, 51, 45, "7 Dec 2026 16:51:45"},
      {2026, 0, 31, 0, 0, 0, "31 Jan 2026 0:00:00"},
      {1999, 5, 15, 23, 59, 59, "15 Jun 1999 23:59:59"},
  };
  for (const Case& c : cases) {
    std::tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    EXPECT_EQ(FormatLogTimeStamp(t), c.expected);
  }
}

TEST(DiagnosticLog, KeepTailStartsAtALineStart) {
  TempDir dir;
  std::string path = dir.File("e.txt");
  std::string content;
  for (int i = 0; content.size() < 40000; ++i) {
    content += "line " + std::to_string(i) + " of the log with some more text\r\n";
  }
  content.resize(40000);  // the last line may be cut: it has no line end then
  WriteWholeFile(path, content);
  DiagnosticLog log(path.c_str(), 30);
  ASSERT_EQ(log.FileSize(), 40000);

  ASSERT_TRUE(log.KeepTail(32768));
  std::string kept = ReadWholeFile(path);
  EXPECT_LE(kept.size(), 32768u);
  EXPECT_GT(kept.size(), 32768u - 80u) << "only the partial first line is dropped";
  EXPECT_EQ(kept.rfind("line ", 0), 0u);
  EXPECT_EQ(content.substr(content.size() - kept.size()), kept);
  EXPECT_FALSE(std::filesystem::exists(path + ".temp"));
}

TEST(DiagnosticLog, KeepTailEdgeSizes) {
  TempDir dir;
  std::string path = dir.File("e.txt");
  DiagnosticLog log(path.c_str(), 30);

  // Smaller than the tail: nothing changes.
  std::string small(100, 'x');
  WriteWholeFile(path, small);
  EXPECT_TRUE(log.KeepTail(32768));
  EXPECT_EQ(ReadWholeFile(path), small);

  // Exactly the tail size: the first line goes.
  WriteWholeFile(path, "first\r\nsecond\r\n");
  EXPECT_TRUE(log.KeepTail(15));
  EXPECT_EQ(ReadWholeFile(path), "second\r\n");

  // A stale temp file from an interrupted run is not glued in front of the tail.
  WriteWholeFile(path, "one\r\ntwo\r\nthree\r\n");
  WriteWholeFile(path + ".temp", "STALE");
  EXPECT_TRUE(log.KeepTail(12));
  EXPECT_EQ(ReadWholeFile(path), "three\r\n");

  // A missing file: nothing to cut from.
  DiagnosticLog missing(dir.File("none.txt").c_str(), 30);
  EXPECT_FALSE(missing.KeepTail(32768));
  EXPECT_LT(missing.FileSize(), 0);
  // The first line written creates the file.
  missing.Print(10, "Quendal Firmware Updater", "Launching web feedback with an empty error file.");
  EXPECT_GT(missing.FileSize(), 0);
}

TEST(DiagnosticLog, UnwritableFileDropsTheLineQuietly) {
  TempDir dir;
  DiagnosticLog log(dir.File("no/such/folder/e.txt").c_str(), 40);
  EXPECT_EQ(log.Print(1, "Quendal", "lost"), 0);
  EXPECT_LT(log.FileSize(), 0);
}

// Two running copies share one error file: long lines (longer than any stdio buffer) from
// both must come out whole, never one inside the other.
TEST(DiagnosticLog, TwoWritersNeverSplitALine) {
  TempDir dir;
  const std::string path = dir.File("e.txt");
  constexpr int kLines = 400;
  constexpr std::size_t kLength = 20000;
  std::atomic<int> ready{0};
  auto writer = [&path, &ready](char letter) {
    DiagnosticLog log(path.c_str(), 30);
    const std::string body(kLength, letter);
    ++ready;
    while (ready < 2) std::this_thread::yield();
    for (int i = 0; i < kLines; ++i) log.Print(1, "W", "%s", body.c_str());
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  const std::string text = ReadWholeFile(path);
  int whole[2] = {0, 0};
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    const std::size_t at = line.find(" - W: ");
    ASSERT_NE(at, std::string::npos) << line.substr(0, 80);
    const std::string body = line.substr(at + 6);
    ASSERT_EQ(body.size(), kLength) << "a line was split by the other writer";
    ASSERT_TRUE(body == std::string(kLength, body[0]));
    ++whole[body[0] == 'b'];
    start = end + 2;
  }
  EXPECT_EQ(whole[0], kLines);
  EXPECT_EQ(whole[1], kLines);
}

#ifdef _WIN32
// Another program holds the error file open (sharing delete): the replace fails, and the
// log must still be there afterwards rather than removed ahead of the replace.
TEST(DiagnosticLog, KeepTailNeverLosesTheLogWhenTheReplaceFails) {
  TempDir dir;
  const std::string path = dir.File("e.txt");
  std::string content;
  for (int i = 0; content.size() < 4000; ++i) content += "line " + std::to_string(i) + "\r\n";
  WriteWholeFile(path, content);
  HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  DiagnosticLog log(path.c_str(), 30);
  log.KeepTail(1000);
  CloseHandle(holder);
  const std::string kept = ReadWholeFile(path);
  ASSERT_FALSE(kept.empty()) << "the error file was lost";
  EXPECT_EQ(content.substr(content.size() - kept.size()), kept);
}
#endif

}  // namespace
}  // namespace quendal
