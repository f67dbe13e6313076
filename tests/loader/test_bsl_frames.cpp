#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/bsl_engine.h"

namespace quendal {
namespace {

std::string Frame(char letter, const std::string& payload) {
  char out[kCommandBufferSize];
  std::size_t n = BuildFrame(letter, payload.data(), payload.size(), out, sizeof out);
  return std::string(out, n);
}

TEST(LoaderFrames, ChecksumWrapsModulo65535) {
  // 'g' and '.' add up to 149; 535 'z' and one 't' make the sum exactly 65535.
  std::string payload(535, 'z');
  EXPECT_EQ(FrameChecksum('g', (payload + "t").data(), payload.size() + 1), 0u);
  EXPECT_EQ(FrameChecksum('g', (payload + "u").data(), payload.size() + 1), 1u);
  EXPECT_EQ(FrameChecksum('g', (payload + "s").data(), payload.size() + 1), 65534u);
  EXPECT_EQ(FrameChecksum('g', nullptr, 0), 0x95u);
}

TEST(LoaderFrames, FramesAndValuePayloads) {
  EXPECT_EQ(Frame('g', ""), "g.0095\r");
  // '@' 64 + "1000" (49+48+48+48) + '.' 46 = 303 = 0x12F
  EXPECT_EQ(Frame('@', "1000"), "@1000.012F\r");
  // Bytes above 0x7F count as unsigned.
  EXPECT_EQ(FrameChecksum('W', "\xF0", 1), 87u + 0xF0 + 46);

  struct Case {
    std::vector<std::uint32_t> values;
    bool extended;
    std::string text;
  } cases[] = {
      {{0x1000}, false, "1000"}, {{0x1A000}, true, "1A000"},
      {{0x8000}, true, "08000"}, {{0xFFFF, 0x0001, 0xABCD}, false, "FFFF0001ABCD"},
      {{}, false, ""},
  };
  for (const Case& c : cases) {
    char out[kMaxFrameValues * 5 + 1];
    std::size_t n =
        FormatFrameValues(c.values.data(), c.values.size(), c.extended, out, sizeof out);
    EXPECT_EQ(std::string(out, n), c.text);
  }

  // The longest value frame fits the command buffer; a frame that does not fit is refused.
  std::vector<std::uint32_t> many(kMaxFrameValues, 0x1FF00);
  char payload[kMaxFrameValues * 5 + 1];
  std::size_t n = FormatFrameValues(many.data(), many.size(), true, payload, sizeof payload);
  ASSERT_EQ(n, 640u);
  char frame[kCommandBufferSize];
  EXPECT_EQ(BuildFrame('V', payload, n, frame, sizeof frame), 647u);
  EXPECT_EQ(BuildFrame('V', payload, n, frame, 647), 0u);
}

TEST(LoaderFrames, CommandsNeedAConnectionAndSaneArguments) {
  HostBSL host(nullptr);
  char reply[kLoaderReplySize];
  std::string big(513, 'A');
  EXPECT_EQ(BSLCommand(&host, 'g', nullptr, 0, '\r', reply, nullptr), kNoAnswer);
  host.connected = true;  // no port: arguments are checked before anything is sent
  EXPECT_EQ(BSLCommand(&host, 'W', big.data(), 513, '\r', reply, nullptr), kBadArgument);
  EXPECT_EQ(BSLCommand(&host, 'W', nullptr, 0, '\r', reply, nullptr), kMissingArgument);
  EXPECT_EQ(BSLCommand(&host, 'g', nullptr, 0, '\r', nullptr, nullptr), kMissingArgument);
  std::vector<std::uint32_t> tooMany(kMaxFrameValues + 1, 0);
  EXPECT_EQ(BSLCommandValues(&host, 'V', tooMany.data(), 129, '+', reply, nullptr, false),
            kBadArgument);
  EXPECT_EQ(BSLEraseFlash(&host, 0xFA00, 0x10000, false), kBadArgument);
  EXPECT_EQ(BSLEraseFlash(&host, 0xFFFF, 0x20000, true), kBadArgument);
  EXPECT_EQ(BSLEraseFlash(&host, 0x9000, 0x8000, false), 0) << "nothing to erase";
  host.connected = false;
}

}  // namespace
}  // namespace quendal

namespace quendal {
namespace {

// Only what the loader sends is an answer: "+" acknowledges, "-" and "?" refuse; line noise
// such as the 0xF0 of a baud mismatch acknowledges nothing.
TEST(LoaderReplies, OnlyThePlusAcknowledges) {
  struct Case {
    const char* reply;
    std::uint32_t got;
    Status failure;
    bool valueFrame;
    Status rc;
  } cases[] = {
      {"+\r", 2, 0, false, 2},
      {"+15+\r", 5, 0, false, 5},
      {"\r+\r", 3, 0, true, 3},  // a stray CR ahead of the acknowledgement
      {"-\r", 2, 0, false, kRefused},
      {"?\r", 2, 0, true, kRefused},
      {"e", 1, 0, false, kRefused},
      {"e", 1, 0, true, kRefused},
      {"\xC3", 1, 0, false, kRefused},
      {"\xF0\xF0", 2, 0, false, kRefused},
      {";", 1, 0, true, kRefused},
      {"xERROR\r", 7, 0, true, kRefused},
      {"\xF0", 1, kNoAnswer, false, kNoAnswer},
      {"", 0, kNoAnswer, false, kNoAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.reply)) + (c.valueFrame ? " values" : ""));
    EXPECT_EQ(ClassifyLoaderReply(c.reply, c.got, c.failure, c.valueFrame), c.rc);
  }
  EXPECT_EQ(LoaderVersionFromReply("+15+\r"), 15);
  EXPECT_EQ(LoaderVersionFromReply("+-5+\r"), 0);
  EXPECT_EQ(LoaderVersionFromReply("\xF0"), 0);
}

}  // namespace
}  // namespace quendal
