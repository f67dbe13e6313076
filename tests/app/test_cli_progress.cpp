// The console's progress as the operator reads it, under a made-up clock: the time left of
// the phase in progress, the order of phase, status and percentage lines, the bar after an
// interrupt; and which listed ports an update takes without being told.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli_operator.h"
#include "app/cli/time_left.h"
#include "app/cli/update_command.h"
#include "app/engine/updater_engine.h"
#include "host/serial.h"

namespace quendal {
namespace {

using cli::TimeLeft;

// Characters of a 6000-character upload sent `t` seconds into it.
double Steady(double t) {
  return 100 * t;
}
// Replies in bursts: little for 0.9 s, then the rest of the second's 100.
double Bursty(double t) {
  const double whole = static_cast<int>(t);
  const double part = t - whole;
  return 100 * whole + (part < 0.9 ? part / 0.9 * 10 : 10 + (part - 0.9) / 0.1 * 90);
}
// A line that really became slower after 10 s.
double Slowed(double t) {
  return t < 10 ? 200 * t : 2000 + 50 * (t - 10);
}

TEST(CliProgress, TimeLeftFollowsThePhaseInProgress) {
  struct Case {
    const char* name;
    bool fastErase;  // 100 segments in a second first: a rate of its own
    double (*sent)(double);
    double step;    // between readings
    double askAt;   // seconds into the upload
    double want;    // seconds left then; negative: not known yet
    double within;  // allowed error
    bool mayRise;   // the time left may grow on the way
  } cases[] = {
      {"steady rate", false, Steady, 0.5, 10, 50, 1, false},
      {"after a fast erase", true, Steady, 0.5, 3, 57, 2, false},
      {"too early to tell", true, Steady, 0.25, 0.5, -1, 0, false},
      {"bursty replies", false, Bursty, 0.3, 20, 40, 3, false},
      {"real slowdown", false, Slowed, 0.5, 40, 50, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TimeLeft t;
    double start = 0;
    if (c.fastErase) {
      for (int segment = 0; segment <= 100; segment += 10, start += 0.1)
        t.Work("erase", start, static_cast<std::uint64_t>(segment), 100);
    }
    double last = -1;
    double asked = -2;
    for (double at = 0; at <= c.askAt + 1e-9; at += c.step) {
      t.Work("upload", start + at, static_cast<std::uint64_t>(c.sent(at)), 6000);
      const double left = t.SecondsLeft(start + at);
      if (!c.mayRise && last >= 0 && left >= 0) {
        EXPECT_LE(left, last + 1e-9) << "at " << at;
      }
      if (left >= 0) last = left;
      asked = left;
    }
    if (c.want < 0) {
      EXPECT_LT(asked, 0);
    } else {
      EXPECT_NEAR(asked, c.want, c.within);
    }
  }
}

// Every line the operator wrote to its output.
std::vector<std::string> Lines(std::FILE* out) {
  std::rewind(out);
  std::vector<std::string> lines;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out)) {
    std::string line = buffer;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& start) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(start, 0) == 0) return i;
  }
  return lines.size();
}

// The engine's own order at each stage: the stage, its percentage, then its status. The
// console shows the status first, times the upload by its own rate, and keeps the bar where
// an interrupt found it.
TEST(CliProgress, LinesInOrderTimedByTheUploadAndHeldOnInterrupt) {
  for (bool events : {false, true}) {
    SCOPED_TRACE(events ? "events" : "text");
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    double now = 0;
    {
      cli::CliOperator ui(events, kBoxCancel, out);
      ui.SetClock([&now] { return now; });
      ui.StageEntered("erase");
      ui.SetProgress(10);
      ui.SetStatus("Erasing firmware memory...");
      for (int segment = 0; segment <= 100; segment += 10, now += 0.1) ui.LoaderWork(segment, 100);
      // The erase took 1 s of 20; the upload goes at 100 B/s over 6000 characters.
      now = 20;
      ui.StageEntered("upload");
      ui.SetProgress(21);
      ui.SetStatus("Uploading new firmware code...");
      for (int done = 0; done <= 1500; done += 50, now += 0.5) {
        ui.LoaderWork(done, 6000);
        ui.SetProgress(21 + done * 69 / 6000);
      }
      ui.SetProgress(41);
      ui.HoldProgress();  // the operator's Ctrl-C
      ui.SetProgress(0);  // the engine's failure path
    }
    const std::vector<std::string> lines = Lines(out);
    std::fclose(out);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    if (events) {
      // The bar's last position is where it was, not 0.
      std::size_t last = all.rfind("\"event\":\"progress\"");
      ASSERT_NE(last, std::string::npos) << all;
      EXPECT_NE(all.find("\"value\":41", last), std::string::npos) << all;
      continue;
    }
    EXPECT_LT(IndexOf(lines, "Status: Uploading"), IndexOf(lines, "Progress: 21%")) << all;
    EXPECT_LT(IndexOf(lines, "Phase: upload"), IndexOf(lines, "Status: Uploading")) << all;
    EXPECT_EQ(IndexOf(lines, "Progress: 0%"), lines.size()) << all;
    // At 41 %, 15 s into the upload: 4500 characters at 100 a second, whatever the share
    // of the whole bar says.
    const std::size_t at41 = IndexOf(lines, "Progress: 41%");
    ASSERT_LT(at41, lines.size()) << all;
    EXPECT_NE(lines[at41].find("upload 0:4"), std::string::npos) << lines[at41];
    const std::size_t left = lines[at41].find("upload 0:");
    ASSERT_NE(left, std::string::npos) << lines[at41];
    const int seconds = std::stoi(lines[at41].substr(left + 9, 2));
    EXPECT_NEAR(seconds, 45, 2) << lines[at41];
  }
}

TEST(CliProgress, UpdateCandidatesLeaveBuiltInAndBusyPortsOut) {
  struct Listed {
    const char* name;
    const char* description;
    const char* skipped;  // empty: taken
  } listed[] = {
      {"ttyUSB0", "ttyUSB0 FTDI FT232R USB UART", ""},
      {"ttyUSB1", "ttyUSB1 FTDI FT232R USB UART (busy)", "busy"},
      {"ttyS0", "ttyS0 Communications Port", "built-in serial port"},
      {"ttyACM0", "ttyACM0 Orvelle KLA", ""},
      {"/run/user/0/quendal/devsim-a", "devsim-a Simulated device (busy)", "busy"},
  };
  std::vector<PortEntry> entries(std::size(listed));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].portName.Set(listed[i].name);
    entries[i].description.Set(listed[i].description);
  }
  const std::vector<cli::PortCandidate> candidates =
      cli::UpdateCandidates(entries.data(), static_cast<std::int32_t>(entries.size()));
  ASSERT_EQ(candidates.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(listed[i].name);
    EXPECT_EQ(candidates[i].name, listed[i].name);
    EXPECT_EQ(candidates[i].skipped.rfind(listed[i].skipped, 0), 0u) << candidates[i].skipped;
    EXPECT_EQ(candidates[i].skipped.empty(), std::string(listed[i].skipped).empty());
  }
  EXPECT_EQ(candidates[4].shortName, "devsim-a");
}

// A port this user may not open is no port "in use": the text says what to do instead.
TEST(CliProgress, PortProblemTextTellsDeniedFromBusy) {
  auto code = [](bool (*is)(Status), bool (*isNot)(Status)) {
    for (Status rc = -1; rc > -100000; --rc) {
      if (is(rc) && !(isNot && isNot(rc))) return rc;
    }
    return Status{0};
  };
  struct Case {
    Status rc;
    std::vector<std::string> says;
    std::vector<std::string> never;
  } cases[] = {
      {code(DSPortDenied, nullptr),
       {"permission denied", "dialout", "log out and in again"},
       {"in use"}},
      {code(DSPortInUse, DSPortDenied), {"already in use by another application"}, {"dialout"}},
      {code(DSPortMissing, nullptr), {"isn't available"}, {"in use", "dialout"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rc);
    if (c.rc == 0) continue;  // a system with no such error (Windows never says denied)
    const std::string text = PortProblemText("ttyUSB0", c.rc);
    for (const std::string& part : c.says) EXPECT_NE(text.find(part), std::string::npos) << text;
    for (const std::string& part : c.never) EXPECT_EQ(text.find(part), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace quendal
