#include <cstring>

#include "tests/sdi12/sdi_fixture.h"

namespace quendal::test {
namespace {

TEST_F(SdiTest, LongReplyIsCutToTheBufferAndTheWholeCountReturned) {
  const std::string reply = "0" + std::string(39, 'x') + "\r";
  Sensor([&](FakeSensor& s) { s.script = Answering("?I!", reply); });

  char buffer[10];
  std::uint32_t capacity = sizeof buffer;
  std::uint32_t elapsed = 0;
  EXPECT_EQ(SDISendCommand(&sdi, "?I!", buffer, &capacity, &elapsed), 41);
  EXPECT_EQ(capacity, 9u);
  EXPECT_STREQ(buffer, "0xxxxxxxx");
  EXPECT_GE(elapsed, 175u);  // the wake-up pause
  EXPECT_TRUE(Logged("DeviceCommand got 32 more bytes than expected (?I!)"));

  // Without a reply buffer only the count comes back.
  EXPECT_EQ(SDISendCommand(&sdi, "?I!", nullptr, nullptr, nullptr), 41);
  EXPECT_EQ(Seen().commands, (std::vector<std::string>{"?I!", "?I!"}));
}

TEST_F(SdiTest, SilentSensorVersusOneThatAnswersOnlyTheProbe) {
  struct Case {
    const char* name;
    bool probeAnswered;
    std::uint32_t retries;
    Status result;
    int commandSends;
    int wakeBytes;
  } cases[] = {
      {"silent", false, 5, kNoAnswer, 1, 1 + 3},
      // Wake-ups alternate with the probe's own: attempts 1, 3 and 5 wake the bus.
      {"probe only", true, 5, kNoAttempt, 5, 3 + 5 * 3},
      // The probe's answer is never taken for the command's.
      {"probe only, one attempt", true, 1, kNoAttempt, 1, 1 + 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Impatient(c.retries);
    const bool probe = c.probeAnswered;
    Sensor([&](FakeSensor& s) {
      s.script = [probe](FakeSensor&, const std::string& got) -> std::optional<std::string> {
        if (got == "?!" && probe) return std::nullopt;
        return "";
      };
    });
    char buffer[64] = "stale";
    std::uint32_t capacity = sizeof buffer;
    EXPECT_EQ(SDISendCommand(&sdi, "?X4!", buffer, &capacity, nullptr), c.result);
    EXPECT_EQ(capacity, 0u);
    EXPECT_STREQ(buffer, "");
    FakeSensor seen = Seen();
    EXPECT_EQ(seen.Count("?X4!"), c.commandSends);
    EXPECT_EQ(seen.Count("?!"), c.commandSends);
    EXPECT_EQ(seen.wakeBytes, c.wakeBytes);
  }
}

TEST_F(SdiTest, RetryAfterAnsweredProbeLeavesTheProbesLineEndOut) {
  // On a slow wire the probe's line feed trails its carriage return into the retry.
  device.SetLineFeedDelay(30);
  Sensor([](FakeSensor& s) {
    s.script = [first = true](FakeSensor&,
                              const std::string& got) mutable -> std::optional<std::string> {
      if (got == "?I!" && first) {
        first = false;
        return "";
      }
      return std::nullopt;
    };
  });
  Impatient(5);
  EXPECT_EQ(SDIGetSensorVersion(&sdi), 396);
  EXPECT_EQ(sdi.address, '0');
  EXPECT_EQ(sdi.identity, "ORVELLE Lurra 396SX1");
  EXPECT_EQ(Seen().Count("?I!"), 2);
}

TEST_F(SdiTest, SerialErrorsEndTheTransactionAtOnce) {
  DSClose(&link);
  char buffer[16] = "stale";
  std::uint32_t capacity = sizeof buffer;
  EXPECT_EQ(SDISendCommand(&sdi, "?I!", buffer, &capacity, nullptr), kNoAnswer);
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(Logged("SDISendCommand got unexpected response (-21) from DCommWrite"));
  EXPECT_TRUE(Seen().commands.empty());
}

}  // namespace
}  // namespace quendal::test
