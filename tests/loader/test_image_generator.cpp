// The synthetic image generator, and TI-Text files made by an independent tool.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "loader/host_bsl.h"
#include "loader/image_check.h"
#include "tests/loader/image_memory.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::DecodeImageText;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

#if defined(QUENDAL_MKIMAGE) && !defined(_WIN32)

using test::ProgramRun;
using test::RunProgram;
using test::ShellQuote;

ProgramRun MakeImage(const std::string& args, const std::string& output) {
  return RunProgram(ShellQuote(QUENDAL_MKIMAGE) + " " + args + " " + ShellQuote(output));
}

TEST(ImageGenerator, ReproducesTheCommittedDefaultImage) {
  TempDir dir;
  std::string out = dir.File("image.txt");
  ProgramRun run = MakeImage(QUENDAL_DEFAULT_IMAGE_ARGS, out);
  ASSERT_EQ(run.status, 0) << run.output;
  std::string committed = ReadWholeFile(QUENDAL_SOURCE_DIR "/firmware/Lurra 3.96.txt");
  ASSERT_FALSE(committed.empty());
  EXPECT_TRUE(ReadWholeFile(out) == committed)
      << "regenerate with: cmake --build <build> --target quendal-regenerate-firmware";
}

// Images for other layouts load, stay inside their memory, and pass their own check.
TEST(ImageGenerator, LayoutsLoadAndPassTheirCheck) {
  struct Case {
    const char* args;
    std::uint32_t flashStart;
    std::uint32_t flashEnd;  // exclusive
    std::uint32_t infoStart;
    std::uint32_t infoEnd;
    std::int64_t length;  // -1: not asked for
    std::int64_t sum;
  } cases[] = {
      {"--flash 0x2100-0x1FEFF --info 0x1000:192 --seed 7", 0x2100, 0x1FF00, 0x1000, 0x10C0, -1,
       -1},
      {"--flash 0x2100-0x1FEFF --info 0x1000:192 --segments 500 --length 230000 --sum 13500000",
       0x2100, 0x1FF00, 0x1000, 0x10C0, 230000, 13500000},
      // No information memory: the sum is reached through words under the CRC.
      {"--flash 0x1100-0xF9FF --segments 120 --fill 50 --length 60000 --sum 3500000 --seed 3",
       0x1100, 0xFA00, 0, 0, 60000, 3500000},
      {"--flash 0x5C00-0x3BFFF --info 0x1800:384 --seed 11", 0x5C00, 0x3C000, 0x1800, 0x1980, -1,
       -1},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string out = dir.File("image.txt");
    ProgramRun run = MakeImage(c.args, out);
    ASSERT_EQ(run.status, 0) << run.output;
    HostBSL host(nullptr);
    ASSERT_EQ(BSLLoadTIFile(&host, out.c_str()), kOk);
    if (c.length >= 0) {
      EXPECT_EQ(host.imageTextLength, c.length);
      EXPECT_EQ(ImageTextSum(host.imageText.data(), host.imageTextLength), c.sum);
    }
    std::vector<std::uint8_t> memory;
    std::vector<bool> touched;
    ASSERT_TRUE(DecodeImageText(host.imageText, &memory, &touched));
    bool above64k = false;
    for (std::uint32_t a = 0; a < memory.size(); ++a) {
      if (!touched[a]) continue;
      bool inFlash = a >= c.flashStart && a < c.flashEnd && (a < 0xFA00 || a >= 0x10000);
      bool inInfo = a >= c.infoStart && a < c.infoEnd;
      ASSERT_TRUE(inFlash || inInfo) << std::hex << a;
      above64k = above64k || a >= 0x10000;
    }
    EXPECT_EQ(above64k, c.flashEnd > 0x10000);
    EXPECT_EQ(VerifyImageCheck(memory.data(), memory.size(), c.flashStart), kOk);
    EXPECT_EQ(host.vectors[15], c.flashStart + kImageCheckBlockSize);
  }
}

TEST(ImageGenerator, RefusesWhatItCannotMake) {
  TempDir dir;
  for (const char* args : {
           "--length 100000",                // more text than the flash can hold
           "--length 63437",                 // an odd length: 6 per segment + 4 per word
           "--info 0xFC00:64",               // information memory in the loader's area
           "--flash 0x20000-0x2FFFF",        // the reset vector cannot reach it
           "--flash 0x8000-0x8100 --sum 1",  // a sum no filler can reach
       }) {
    SCOPED_TRACE(args);
    ProgramRun run = MakeImage(args, dir.File("bad.txt"));
    EXPECT_NE(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("quendal-mkimage: "), std::string::npos) << run.output;
  }
}

#endif  // QUENDAL_MKIMAGE

#ifndef _WIN32

// Binary data at known addresses, converted to TI-Text by srec_cat, must come back byte for
// byte from the image text.
TEST(TITextPeer, FilesWrittenBySrecCat) {
  if (std::system("command -v srec_cat > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  struct Block {
    std::uint32_t address;
    std::uint32_t size;
  } blocks[] = {
      {0x1000, 64},   {0x8000, 301}, {0x8200, 1},
      {0x9000, 1024}, {0xF9F0, 16},  {0xFC00, 40},  // the loader's area: dropped
      {0x10002, 777}, {0x1F0F0, 33}, {0xFFFFE, 1},
  };
  const std::uint8_t vectorBytes[32] = {0x10, 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                        0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,
                                        0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
                                        0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x08, 0x80};
  TempDir dir;
  std::string command = "srec_cat";
  std::vector<std::vector<std::uint8_t>> contents;
  std::uint32_t seed = 12345;
  for (const Block& b : blocks) {
    std::vector<std::uint8_t> bytes(b.size);
    for (std::uint8_t& x : bytes) {
      seed = seed * 1103515245u + 12345u;
      x = static_cast<std::uint8_t>(seed >> 16);
    }
    std::string file = dir.File("block" + std::to_string(contents.size()) + ".bin");
    WriteWholeFile(file, std::string(bytes.begin(), bytes.end()));
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%X", static_cast<unsigned>(b.address));
    command += " " + test::ShellQuote(file) + " -binary -offset " + offset;
    contents.push_back(std::move(bytes));
  }
  std::string vectors = dir.File("vectors.bin");
  WriteWholeFile(vectors, std::string(vectorBytes, vectorBytes + 32));
  command += " " + test::ShellQuote(vectors) + " -binary -offset 0xFFE0";
  std::string out = dir.File("peer.txt");
  command += " -o " + test::ShellQuote(out) + " -Texas_Instruments_TeXT";
  test::ProgramRun run = test::RunProgram(command);
  ASSERT_EQ(run.status, 0) << command << "\n" << run.output;

  HostBSL host(nullptr);
  ASSERT_EQ(BSLLoadTIFile(&host, out.c_str()), kOk) << ReadWholeFile(out);
  std::vector<std::uint8_t> memory;
  std::vector<bool> touched;
  ASSERT_TRUE(DecodeImageText(host.imageText, &memory, &touched));
  std::uint32_t expectedTouched = 0;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const Block& b = blocks[i];
    if (b.address == 0xFC00) {
      EXPECT_FALSE(touched[b.address]);
      continue;
    }
    for (std::uint32_t k = 0; k < b.size; ++k) {
      ASSERT_EQ(memory[b.address + k], contents[i][k]) << std::hex << b.address + k;
    }
    // An odd block ends in a word whose high byte is the FF padding.
    if (b.size % 2) {
      EXPECT_EQ(memory[b.address + b.size], 0xFF);
    }
    expectedTouched += b.size + b.size % 2;
  }
  std::uint32_t touchedCount = 0;
  for (bool t : touched) touchedCount += t;
  EXPECT_EQ(touchedCount, expectedTouched);
  for (std::uint32_t i = 0; i < kVectorCount; ++i) {
    EXPECT_EQ(host.vectors[i], vectorBytes[2 * i] | vectorBytes[2 * i + 1] << 8u) << i;
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace quendal
