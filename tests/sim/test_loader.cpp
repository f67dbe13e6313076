// The resident loader and the flash behind it, driven line by line without a line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/loader.h"
#include "tests/sim/frames.h"

namespace quendal::sim {
namespace {

using frames::Frame;

struct Rig {
  explicit Rig(MemoryLayout layout = {}) : flash(layout), loader(&flash) {
    flash.EraseAll();
    loader.Activate();
  }
  std::string Run(const std::string& line) { return loader.Execute(line).answer; }
  Flash flash;
  ResidentLoader loader;
};

// 637 'f', 4 'F', one digit and "00": W + payload + "." sums to 65535 with digit '4'.
std::string PayloadSummingTo65535Plus(int extra) {
  return std::string(637, 'f') + std::string(4, 'F') + std::string(1, char('4' + extra)) + "00";
}

TEST(SimLoader, ChecksumIsTheSumModulo65535) {
  struct Case {
    int extra;             // frame sum 65535 + extra
    const char* checksum;  // as sent
    const char* answer;
  };
  const Case cases[] = {
      {-1, "FFFE", "+\r"}, {0, "0000", "+\r"}, {0, "FFFF", "-\r"},
      {1, "0001", "+\r"},  {1, "0000", "-\r"},
  };
  for (const Case& c : cases) {
    Rig rig;
    ASSERT_EQ(rig.Run(Frame('@', "2000")), "+\r");
    std::string line = "W" + PayloadSummingTo65535Plus(c.extra) + "." + c.checksum;
    EXPECT_EQ(rig.Run(line), c.answer) << c.extra << " " << c.checksum;
  }
}

TEST(SimLoader, AnswersEveryKindOfLine) {
  const struct {
    std::string line;
    const char* answer;
  } cases[] = {
      {"", "?\r"},
      {"g", "+15+\r"},
      {"get -ver", "+15+\r"},  // a shell probe meets the active loader
      {Frame('Q', "1234"), "?\r"},
      {Frame('@', "1234"), "+\r"},
      {Frame('@', "1234").substr(0, 6) + "0000", "-\r"},  // wrong checksum
      {"@1234", "-\r"},                                   // no checksum at all
      {Frame('@', "1234") + "0", "-\r"},                  // five checksum digits
      {Frame('@', "12345"), "-\r"},                       // five digits, short addresses
      {Frame('@', "12G4"), "-\r"},
      {Frame('X', "1000"), "+\r"},
      {Frame('X', "FA00"), "-\r"},
      {Frame('X', "FFFE"), "-\r"},
      {Frame('W', "403"), "-\r"},   // not whole words
      {Frame('V', "FFFF"), "-\r"},  // sixteen words or nothing
  };
  for (const auto& c : cases) {
    Rig rig;
    EXPECT_EQ(rig.Run(c.line), c.answer) << c.line;
  }
}

TEST(SimLoader, WritesWordsLowByteFirstAndMovesOn) {
  Rig rig;
  EXPECT_EQ(rig.Run(Frame('W', "4031")), "-\r");  // no address yet
  ASSERT_EQ(rig.Run(Frame('@', "8000")), "+\r");
  ASSERT_EQ(rig.Run(Frame('W', "4031ab12")), "+\r");
  ASSERT_EQ(rig.Run(Frame('W', "C0DE")), "+\r");
  EXPECT_EQ(rig.loader.address(), 0x8006u);
  const std::uint8_t want[] = {0x31, 0x40, 0x12, 0xAB, 0xDE, 0xC0, 0xFF};
  for (std::uint32_t i = 0; i < sizeof want; ++i) EXPECT_EQ(rig.flash.Read(0x8000 + i), want[i]);
}

TEST(SimLoader, FlashWritesOnlyClearBits) {
  Rig rig;
  ASSERT_EQ(rig.Run(Frame('@', "8000")), "+\r");
  ASSERT_EQ(rig.Run(Frame('W', "0FF0")), "+\r");
  ASSERT_EQ(rig.Run(Frame('@', "8000")), "+\r");
  ASSERT_EQ(rig.Run(Frame('W', "FF0F")), "+\r");
  EXPECT_EQ(rig.flash.Read(0x8000), 0x00);
  EXPECT_EQ(rig.flash.Read(0x8001), 0x0F);
  ASSERT_EQ(rig.Run(Frame('X', "81FF")), "+\r");
  EXPECT_EQ(rig.flash.Read(0x8000), 0xFF);
  EXPECT_EQ(rig.flash.Read(0x8001), 0xFF);
}

TEST(SimLoader, ErasesOneSegmentOfItsKind) {
  struct Case {
    MemoryLayout layout;
    std::uint32_t erase;
    std::uint32_t first, end;  // what goes; the rest of [0x0F00, 0x2400) stays
  };
  const MemoryLayout standard = LayoutForType(kTypeTarnx, 200);        // INFO 2 x 128 at 0x1000
  const MemoryLayout sensor = LayoutForType(kTypeDigitalSensor, 396);  // INFO 3 x 64
  const Case cases[] = {
      {standard, 0x1080, 0x1080, 0x1100}, {standard, 0x10FF, 0x1080, 0x1100},
      {sensor, 0x1041, 0x1040, 0x1080},   {sensor, 0x10BF, 0x1080, 0x10C0},
      {sensor, 0x10C0, 0x10C0, 0x1200},  // the main segment beside INFO spares INFO
      {standard, 0x1100, 0x1100, 0x1200}, {standard, 0x23FF, 0x2200, 0x2400},
  };
  for (const Case& c : cases) {
    Rig rig(c.layout);
    std::uint8_t zeros[0x1500] = {};
    ASSERT_TRUE(rig.flash.Program(0x0F00, zeros, sizeof zeros));
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", c.erase);
    ASSERT_EQ(rig.Run(Frame('X', digits)), "+\r") << digits;
    for (std::uint32_t a = 0x0F00; a < 0x2400; ++a) {
      bool erased = a >= c.first && a < c.end;
      ASSERT_EQ(rig.flash.Read(a), erased ? 0xFF : 0x00) << std::hex << c.erase << " at " << a;
    }
  }
}

TEST(SimLoader, NeverTouchesItsOwnArea) {
  Rig rig;
  rig.flash.StoreVectors(VectorTable{1, 2, 3});
  ASSERT_EQ(rig.Run(Frame('@', "F9FE")), "+\r");
  EXPECT_EQ(rig.Run(Frame('W', "00000000")), "-\r");  // would run into 0xFA00
  EXPECT_EQ(rig.flash.Read(0xF9FE), 0xFF);            // and wrote nothing at all
  EXPECT_EQ(rig.loader.address(), 0xF9FEu);
  ASSERT_EQ(rig.Run(Frame('@', "FFE0")), "+\r");
  EXPECT_EQ(rig.Run(Frame('W', "0000")), "-\r");
  EXPECT_EQ(rig.Run(Frame('X', "FFE0")), "-\r");
  EXPECT_EQ(rig.flash.Vectors()[1], 2);
}

TEST(SimLoader, ExtendedAddressesTakeFiveDigits) {
  Rig rig(LayoutForType(kTypeRdv, 205));
  EXPECT_EQ(rig.Run(Frame('@', "1A00")), "-\r");
  ASSERT_EQ(rig.Run(Frame('@', "1A000")), "+\r");
  ASSERT_EQ(rig.Run(Frame('W', "4031")), "+\r");
  EXPECT_EQ(rig.flash.Read(0x1A000), 0x31);
  EXPECT_EQ(rig.flash.Read(0xA000), 0xFF);
  ASSERT_EQ(rig.Run(Frame('@', "FFFFE")), "+\r");
  EXPECT_EQ(rig.Run(Frame('W', "00000000")), "-\r");  // past the address space
  EXPECT_EQ(rig.Run(Frame('X', "10000")), "+\r");
}

TEST(SimLoader, VectorsRestartOnlyWithAResetVector) {
  std::string words;
  for (int i = 0; i < 15; ++i) words += "8010";
  Rig rig;
  LoaderOutcome kept = rig.loader.Execute(Frame('V', words + "FFFF"));
  EXPECT_EQ(kept.answer, "+\r");
  EXPECT_FALSE(kept.restart);
  LoaderOutcome run = rig.loader.Execute(Frame('V', words + "8008"));
  EXPECT_TRUE(run.restart);
  EXPECT_EQ(rig.flash.Read(0xFFFE), 0x08);
  EXPECT_EQ(rig.flash.Read(0xFFFF), 0x80);
  EXPECT_EQ(rig.flash.Vectors()[0], 0x8010);
}

TEST(SimLoader, HandshakeThenLines) {
  Flash flash{MemoryLayout{}};
  ResidentLoader loader(&flash);
  std::string answer, line;
  for (char c : std::string("\rxg\r")) EXPECT_FALSE(loader.Feed(c, &answer, &line));
  EXPECT_EQ(answer, "$$");
  EXPECT_EQ(loader.state(), LoaderState::kWaiting);
  EXPECT_FALSE(loader.Feed('P', &answer, &line));
  EXPECT_EQ(answer, "$$#");
  EXPECT_EQ(loader.state(), LoaderState::kActive);
  for (char c : std::string("g1")) EXPECT_FALSE(loader.Feed(c, &answer, &line));
  EXPECT_TRUE(loader.Feed('\r', &answer, &line));
  EXPECT_EQ(line, "g1");
  // Noise longer than any frame is cut, and still answered once its CR comes.
  for (int i = 0; i < 5000; ++i) loader.Feed('W', &answer, &line);
  ASSERT_TRUE(loader.Feed('\r', &answer, &line));
  EXPECT_EQ(loader.Execute(line).answer, "?\r");
}

}  // namespace
}  // namespace quendal::sim
