#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "host/timing.h"
#include "host/timing_platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace quendal {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct PumpGuard {
  ~PumpGuard() { DSSetMessagePump(nullptr); }
};

TEST(Timing, TicksCountMilliseconds) {
  const std::uint32_t before = DSTicks();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::uint32_t ticks = DSTicks() - before;
  const long long wall = MsSince(start);
  EXPECT_GE(ticks + 2, wall);
  EXPECT_LE(ticks, wall + 2);
}

TEST(Timing, SleepRunsThePumpWheneverOneIsInstalled) {
  PumpGuard guard;
  struct Case {
    std::uint32_t ms;
    bool pumpWaits;  // false: a pump that returns at once
    bool expectPumped;
  } cases[] = {
      {20, true, true},
      {100, true, true},
      {500, true, true},
      {500, false, true},  // the loop, not the pump, must make the time pass
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ms << " ms, waiting pump " << c.pumpWaits);
    int calls = 0;
    std::uint32_t largestWait = 0;
    DSSetMessagePump([&](std::uint32_t maxWaitMs) {
      ++calls;
      if (maxWaitMs > largestWait) largestWait = maxWaitMs;
      if (c.pumpWaits)
        std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs < 40 ? maxWaitMs : 40));
    });
    const auto start = Clock::now();
    EXPECT_EQ(DSSleep(c.ms), 0);
    const long long took = MsSince(start);
    EXPECT_GE(took, c.ms - 1);
    EXPECT_LE(took, c.ms + 2000) << "the wait went on past its time";
    EXPECT_EQ(calls > 0, c.expectPumped);
    if (c.expectPumped) {
      EXPECT_LE(largestWait, c.ms);
    }
    if (c.expectPumped && c.pumpWaits) {
      // The pump gives back control early; the wait goes on.
      EXPECT_GE(calls, std::max(1, static_cast<int>(c.ms / 100)));
    }
  }
}

TEST(Timing, SleepWithoutPumpAndWithPumpReplacedInsideItself) {
  PumpGuard guard;
  auto start = Clock::now();
  EXPECT_EQ(DSSleep(300), 0);
  EXPECT_GE(MsSince(start), 299);

  int calls = 0;
  DSSetMessagePump([&](std::uint32_t) {
    ++calls;
    DSSetMessagePump(nullptr);  // a handler that removes the pump while it runs
  });
  start = Clock::now();
  EXPECT_EQ(DSSleep(300), 0);
  EXPECT_GE(MsSince(start), 299);
  EXPECT_LE(MsSince(start), 2300) << "the wait went on past its time";
  EXPECT_EQ(calls, 1);
}

#ifndef _WIN32
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (hadOld_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

TEST(Timing, UtcOffsetFollowsZoneAndDaylightSaving) {
  constexpr std::time_t kSummer = 1751371200;  // 1 Jul 2025 12:00 UTC
  constexpr std::time_t kWinter = 1736942400;  // 15 Jan 2025 12:00 UTC
  struct Case {
    const char* zone;
    std::time_t when;
    std::int32_t offset;
  } cases[] = {
      {"UTC0", kSummer, 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", kSummer, 7200},
      {"CET-1CEST,M3.5.0,M10.5.0/3", kWinter, 3600},
      {"EST5EDT,M3.2.0,M11.1.0", kWinter, -18000},
      {"EST5EDT,M3.2.0,M11.1.0", kSummer, -14400},
      {"IST-5:30", kWinter, 19800},
      // Southern summer: daylight saving in January.
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", kWinter, 39600},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", kSummer, 36000},
      // 30-minute daylight shift.
      {"LHST-10:30LHDT-11,M10.1.0,M4.1.0", kWinter, 39600},
      {":Europe/Berlin", kSummer, 7200},
      {":America/New_York", kWinter, -18000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    if (c.zone[0] == ':' && std::string(c.zone).find('/') != std::string::npos &&
        access((std::string("/usr/share/zoneinfo/") + (c.zone + 1)).c_str(), R_OK) != 0) {
      continue;  // no zone database on this machine; the rule strings above suffice
    }
    TimeZone zone(c.zone);
    EXPECT_EQ(detail::UtcOffsetAt(c.when), c.offset);
  }
}

TEST(Timing, LocalUtcOffsetUsesTheCurrentZone) {
  {
    TimeZone zone("UTC0");
    EXPECT_EQ(LocalUtcOffset(), 0);
  }
  {
    TimeZone zone("XST+3:30");
    EXPECT_EQ(LocalUtcOffset(), -12600);
  }
}
#endif

}  // namespace
}  // namespace quendal
