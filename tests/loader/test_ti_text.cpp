// TI-Text read strictly: what the format does not allow is refused with its line and column,
// and what it allows reads as srec_cat reads it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/timing.h"
#include "loader/host_bsl.h"
#include "loader/ti_text.h"
#include "tests/loader/image_memory.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::TempDir;
using test::WriteWholeFile;

bool HaveSrecCat() {
#ifdef _WIN32
  return false;
#else
  return std::system("command -v srec_cat > /dev/null 2>&1") == 0;
#endif
}

// srec_cat's verdict on a file: true when it reads it.
bool SrecCatReads(const std::string& path, const std::string& out) {
#ifdef _WIN32
  (void)path;
  (void)out;
  return false;
#else
  test::ProgramRun run =
      test::RunProgram("srec_cat " + test::ShellQuote(path) + " -Texas_Instruments_TeXT -o " +
                       test::ShellQuote(out) + " -Texas_Instruments_TeXT");
  return run.status == 0;
#endif
}

TEST(TITextStrict, RefusesWhatTheFormatDoesNotAllow) {
  struct Case {
    const char* what;
    std::string file;
    int line;
    int column;
    bool srecCatRefuses;  // the independent reader refuses it as well
  } cases[] = {
      {"a character that is no hex digit", "@8000\n31 4G 02 43\n@FFFE\n00 11\nq\n", 2, 5, true},
      {"separators that are no white space", "@8000\n0a,0b;0c\n@FFFE\n00 11\nq\n", 2, 3, true},
      {"an odd-length token", "@8000\n31 4 02 43\n@FFFE\n00 11\nq\n", 2, 4, false},
      {"two bytes glued together", "@8000\n3140 02 43\n@FFFE\n00 11\nq\n", 2, 1, true},
      {"data on the address line", "@8000 31 40\n02 43\n@FFFE\n00 11\nq\n", 1, 7, false},
      {"a bare @ line", "@8000\n31 40\n@\n02 43\n@FFFE\n00 11\nq\n", 3, 2, false},
      {"segments covering the same bytes", "@8000\n01 02 03 04\n@8002\n05 06\n@FFFE\n00 11\nq\n", 3,
       0, true},
      {"an odd start address", "@8001\n01 02\n@FFFE\n00 11\nq\n", 1, 2, false},
      {"a carriage return inside a line", "@8000\n01\r02\n@FFFE\n00 11\nq\n", 2, 3, false},
      {"a zero byte", std::string("@8000\n01 02\0\n@FFFE\n00 11\nq\n", 27), 2, 6, false},
      {"no q at the end", "@8000\n01 02\n@FFFE\n00 11\n", 5, 1, false},
      {"a vector segment given twice", "@FFFC\n01 02 03 04\n@FFFE\n00 11\nq\n", 3, 0, true},
  };
  TempDir dir;
  const bool peer = HaveSrecCat();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text;
    std::array<std::uint32_t, kTITextVectorCount> vectors{};
    TITextProblem problem;
    EXPECT_EQ(ParseTIText(c.file, &text, &vectors, &problem), kNotTIText);
    EXPECT_EQ(problem.line, c.line) << problem.Describe();
    EXPECT_EQ(problem.column, c.column) << problem.Describe();
    EXPECT_FALSE(problem.why.empty());

    // Through the file reader: refused, named in the log and kept for the operator.
    const std::string path = dir.File("bad.txt");
    WriteWholeFile(path, c.file);
    DiagnosticLog log(dir.File("log.txt").c_str(), kLogDetail);
    HostBSL host(&log);
    const std::string before = host.imageText;
    EXPECT_EQ(BSLLoadTIFile(&host, path.c_str()), kNotTIText);
    EXPECT_EQ(host.imageText, before);
    EXPECT_EQ(host.loadProblem, problem.Describe());
    EXPECT_NE(test::ReadWholeFile(dir.File("log.txt")).find(problem.Describe()), std::string::npos);
    if (peer && c.srecCatRefuses) {
      EXPECT_FALSE(SrecCatReads(path, dir.File("peer.txt")));
    }
  }
}

// Files the format allows, read by both readers: the same memory and vectors.
TEST(TITextStrict, ReadsWellFormedFilesAsSrecCatDoes) {
  if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
  const std::vector<std::string> files = {
      "@8000\r\n0a 0b 0c\r\n@FFFE\r\n00 11\r\nq\r\n",
      "@8000\n31 40 02\n\n@1a000\n\tab cd  ef 01 \n@1000\n01 02\n@FFE0\n00 01 02 03\nq\n",
      "@ 8000 \n01 02\n@FC00\n03 04\n@FFFE\n00 11\nq\n",
      test::ReadWholeFile(QUENDAL_SOURCE_DIR "/firmware/Lurra 3.96.txt"),
  };
  TempDir dir;
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string path = dir.File("in.txt");
    const std::string peerPath = dir.File("peer.txt");
    WriteWholeFile(path, files[i]);
    ASSERT_TRUE(SrecCatReads(path, peerPath));
    HostBSL ours(nullptr);
    HostBSL theirs(nullptr);
    ASSERT_EQ(BSLLoadTIFile(&ours, path.c_str()), kOk) << ours.loadProblem;
    ASSERT_EQ(BSLLoadTIFile(&theirs, peerPath.c_str()), kOk) << theirs.loadProblem;
    std::vector<std::uint8_t> a, b;
    ASSERT_TRUE(test::DecodeImageText(ours.imageText, &a));
    ASSERT_TRUE(test::DecodeImageText(theirs.imageText, &b));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(ours.vectors, theirs.vectors);
    EXPECT_EQ(ours.imageText.find_first_of("abcdef"), std::string::npos) << "sent upper case";
  }
}

// An image written as TI-Text reads back as the same image, through our reader and, where
// it is installed, through srec_cat.
TEST(TITextWriter, WrittenImagesReadBackByteForByte) {
  TempDir dir;
  const std::string small = dir.File("small.txt");
  WriteWholeFile(small,
                 "@1100\n31 40 02\n@1A000\nab cd ef 01 23 45 67 89 0a 1b 2c 3d 4e 5f 60 71 82\n"
                 "@1000\n01 02\n@FFFA\n00 11 22 33\nq\n");
  const bool peer = HaveSrecCat();
  for (const std::string& source : {std::string(), small}) {
    SCOPED_TRACE(source.empty() ? "the built-in image" : source);
    HostBSL image(nullptr);
    if (!source.empty()) {
      ASSERT_EQ(BSLLoadTIFile(&image, source.c_str()), kOk) << image.loadProblem;
    }
    const std::string written = dir.File("written.txt");
    ASSERT_EQ(WriteTITextFile(&image, written.c_str()), kOk);

    HostBSL again(nullptr);
    ASSERT_EQ(BSLLoadTIFile(&again, written.c_str()), kOk) << again.loadProblem;
    EXPECT_EQ(again.imageTextLength, image.imageTextLength);
    EXPECT_TRUE(again.imageText == image.imageText);
    EXPECT_EQ(again.vectors, image.vectors);

    if (!peer) continue;
    const std::string peerPath = dir.File("peer.txt");
    ASSERT_TRUE(SrecCatReads(written, peerPath));
    HostBSL theirs(nullptr);
    ASSERT_EQ(BSLLoadTIFile(&theirs, peerPath.c_str()), kOk) << theirs.loadProblem;
    std::vector<std::uint8_t> a, b;
    ASSERT_TRUE(test::DecodeImageText(image.imageText, &a));
    ASSERT_TRUE(test::DecodeImageText(theirs.imageText, &b));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(theirs.vectors, image.vectors);
  }
  if (!peer)
    GTEST_SKIP()
        << "read back by our reader only: srec_cat (Debian package srecord) is not installed";
}

TEST(TITextStrict, AHugeFileIsRefusedUnread) {
  TempDir dir;
  const std::string path = dir.File("huge.txt");
  WriteWholeFile(path, "@8000\n01 02\n@FFFE\n00 11\nq\n");
  std::filesystem::resize_file(path, 400u << 20);  // sparse: nothing is written
  HostBSL host(nullptr);
  EXPECT_EQ(BSLLoadTIFile(&host, path.c_str()), kNotTIText);
  EXPECT_NE(host.loadProblem.find("larger than"), std::string::npos) << host.loadProblem;
}

}  // namespace
}  // namespace quendal
