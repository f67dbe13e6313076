#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "loader/builtin_image.h"
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

using Vectors = std::array<std::uint32_t, kVectorCount>;

Vectors ErasedVectorsWithReset(std::uint32_t reset) {
  Vectors v;
  v.fill(0xFFFF);
  v[15] = reset;
  return v;
}

// Loads `content` from a file called `name` into a fresh host.
Status LoadText(HostBSL* host, const TempDir& dir, const std::string& content,
                const std::string& name = "image.txt") {
  std::string path = dir.File(name);
  WriteWholeFile(path, content);
  return BSLLoadTIFile(host, path.c_str());
}

std::string ManyOneByteSegments(int count) {
  std::string file;
  char head[16];
  for (int i = 0; i < count; ++i) {
    std::snprintf(head, sizeof head, "@%x\n1F\n", 0x2000 + 2 * i);
    file += head;
  }
  return file + "@FFFE\n00 11\nq\n";
}

std::string ExpectedManyOneByteSegments(int count) {
  std::string text;
  char head[16];
  for (int i = 0; i < count; ++i) {
    std::snprintf(head, sizeof head, "@%05X", 0x2000 + 2 * i);
    text += std::string(head) + "FF1F";
  }
  return text;
}

struct LoadCase {
  const char* what;
  std::string file;
  Status rc;
  std::string text;  // on success
  Vectors vectors = ErasedVectorsWithReset(0x1100);
};

// Files and what a load makes of them; the build's embedding script must agree.
const std::vector<LoadCase>& LoadCases() {
  static const std::vector<LoadCase> cases = {
      {"bytes in address order become words high byte first; odd end padded with FF",
       "@1100\n31 40 02\n@FFFE\n00 11\nq\n", kOk, "@011004031FF02"},
      {"lower-case data sent upper case", "@1a00\nab cd ef\n@fffe\n00 11\nq\n", kOk,
       "@01A00CDABFFEF"},
      {"a segment in 0xFA00-0xFDFE is dropped", "@8000\n01 02\n@FC00\n03 04\n@FFFE\n00 11\nq\n",
       kOk, "@080000201"},
      {"nothing else of the loader's area is written either",
       "@FE00\n01 02\n@FFDE\n05 06\n@8000\n03 04\n@FFFE\n00 11\nq\n", kOk, "@080000403"},
      {"extended address, any number of digits, blanks and CR LF",
       "@ 01A000\r\n01 02 03 04\r\n@00008000\r\n0a 0b 0c\r\n@FFFE\r\n00 11\r\nq\r\n", kOk,
       "@1A00002010403@080000B0AFF0C"},
      {"everything from the first q on is ignored",
       "@8000\n01 02\n@FFFE\n00 11\nq\n@9000\nnot read at all", kOk, "@080000201"},
      {"a full vector table, read low byte first",
       "@FFE0\n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
       "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\nq\n",
       kOk,
       "",
       {0x0100, 0x0302, 0x0504, 0x0706, 0x0908, 0x0B0A, 0x0D0C, 0x0F0E, 0x1110, 0x1312, 0x1514,
        0x1716, 0x1918, 0x1B1A, 0x1D1C, 0x1F1E}},
      {"an image text longer than its file", ManyOneByteSegments(200), kOk,
       ExpectedManyOneByteSegments(200)},
      {"blank before @", " @8000\n01 02\n@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"byte-order mark before @", "\xEF\xBB\xBF@8000\n01 02\n@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"no q", "@8000\n01 02\n@FFFE\n00 11\n", kNotTIText, ""},
      {"empty file", "", kNotTIText, ""},
      {"no vector segment", "@8000\n01 02\nq\n", kNotTIText, ""},
      {"address line without line end", "@8000 01 02@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"no address", "@\tzz\n01 02\n@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"incomplete vector word", "@FFFE\n00 11 22\nq\n", kNotTIText, ""},
      {"vector words past the reset vector", "@FFFC\n01 02 03 04 05 06\nq\n", kNotTIText, ""},
      {"address beyond five digits", "@100000\n01 02\n@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"address that overflows any integer",
       "@FFFFFFFFFFFFFFFFFFFF00008000\n01 02\n@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"negative address", "@-8000\n01 02\n@FFFE\n00 11\nq\n", kNotTIText, ""},
      {"segments that meet are both kept", "@8000\n01 02\n@7FFE\n03 04\n@FFFE\n00 11\nq\n", kOk,
       "@080000201@07FFE0403"},
      {"a byte given twice", "@8000\n01 02 03 04\n@FFFE\n00 11\n@8002\n05\nq\n", kNotTIText,
       ""},
  };
  return cases;
}

TEST(TITextLoad, SegmentRulesAndRefusals) {
  TempDir dir;
  for (const LoadCase& c : LoadCases()) {
    SCOPED_TRACE(c.what);
    HostBSL host(nullptr);
    ASSERT_EQ(LoadText(&host, dir, c.file), c.rc);
    if (c.rc != kOk) continue;
    EXPECT_EQ(host.imageText, c.text);
    EXPECT_EQ(host.imageTextLength, c.text.size());
    EXPECT_EQ(host.vectors, c.vectors);
    EXPECT_TRUE(host.imageFromFile);
  }
}

#if defined(QUENDAL_EMBED_SCRIPT) && !defined(_WIN32)

// What the embedding script made of a file: the record's fields, read back from its source.
struct EmbeddedRecord {
  std::string name;
  Vectors vectors{};
  std::string text;
  std::uint64_t length = 0;
  std::int64_t sum = 0;
};

bool ParseGeneratedSource(const std::string& source, EmbeddedRecord* record) {
  std::size_t at = source.find("kText[] =");
  std::size_t end = source.find(';', at);
  if (at == std::string::npos || end == std::string::npos) return false;
  for (std::size_t q = source.find('"', at); q < end; q = source.find('"', q + 1)) {
    std::size_t close = source.find('"', q + 1);
    record->text += source.substr(q + 1, close - q - 1);
    q = close;
  }
  // The record's initialiser: name, {vectors}, kText, length "u", sum.
  std::size_t open = source.find("kBuiltinImage = {", end);
  if (open == std::string::npos) return false;
  std::size_t nameStart = source.find('"', open);
  std::size_t nameEnd = source.find('"', nameStart + 1);
  std::size_t vectorsStart = source.find('{', nameEnd);
  std::size_t vectorsEnd = source.find('}', vectorsStart);
  std::size_t lengthStart = source.find("kText,", vectorsEnd);
  if (nameEnd == std::string::npos || vectorsEnd == std::string::npos ||
      lengthStart == std::string::npos)
    return false;
  record->name = source.substr(nameStart + 1, nameEnd - nameStart - 1);
  std::string vectors = source.substr(vectorsStart, vectorsEnd - vectorsStart);
  std::size_t i = 0;
  for (std::size_t p = vectors.find("0x"); p != std::string::npos && i < kVectorCount;
       p = vectors.find("0x", p + 2)) {
    record->vectors[i++] =
        static_cast<std::uint32_t>(std::stoul(vectors.substr(p + 2, 4), nullptr, 16));
  }
  std::size_t next = 0;
  std::string figures = source.substr(lengthStart + 6);
  record->length = std::stoull(figures, &next);
  if (figures.compare(next, 2, "u,") != 0) return false;
  record->sum = std::stoll(figures.substr(next + 2));
  return i == kVectorCount;
}

TEST(EmbedScript, AgreesWithTheLoader) {
  TempDir dir;
  std::string source = dir.File("image.cpp");
  for (const LoadCase& c : LoadCases()) {
    SCOPED_TRACE(c.what);
    std::string input = dir.File("sub dir\\Lurra 3-96.txt");
    WriteWholeFile(input, c.file);
    std::remove(source.c_str());
    test::ProgramRun run = test::RunProgram(test::ShellQuote(QUENDAL_CMAKE_COMMAND) + " " +
                                            test::ShellQuote("-DQUENDAL_INPUT=" + input) + " " +
                                            test::ShellQuote("-DQUENDAL_OUTPUT=" + source) +
                                            " -P " + test::ShellQuote(QUENDAL_EMBED_SCRIPT));
    if (c.rc != kOk) {
      EXPECT_NE(run.status, 0) << run.output;
      // CMake wraps its messages: compare with the white space folded.
      std::string folded;
      for (char ch : run.output) {
        bool blank = ch == ' ' || ch == '\n' || ch == '\r' || ch == '\t';
        if (!blank || (!folded.empty() && folded.back() != ' ')) folded += blank ? ' ' : ch;
      }
      EXPECT_NE(folded.find("is not a valid TI-Text file"), std::string::npos) << run.output;
      EXPECT_FALSE(std::filesystem::exists(source));
      continue;
    }
    ASSERT_EQ(run.status, 0) << run.output;
    EmbeddedRecord record;
    ASSERT_TRUE(ParseGeneratedSource(ReadWholeFile(source), &record)) << ReadWholeFile(source);
    EXPECT_EQ(record.name, "Lurra 3.96");
    EXPECT_EQ(record.text, c.text);
    EXPECT_EQ(record.vectors, c.vectors);
    EXPECT_EQ(record.length, c.text.size());
    EXPECT_EQ(record.sum, ImageTextSum(c.text.data(), static_cast<std::uint32_t>(c.text.size())));
  }
}

#endif  // QUENDAL_EMBED_SCRIPT

TEST(TITextLoad, FailedLoadChangesNothing) {
  TempDir dir;
  HostBSL host(nullptr);
  ASSERT_EQ(LoadText(&host, dir, "@1100\n31 40 02\n@FFE0\n01 02\nq\n", "tarnx 2.10.txt"), kOk);
  const std::string text = host.imageText;
  const Vectors vectors = host.vectors;

  // Each of these fails after it has read segments and vectors.
  struct Case {
    const char* what;
    std::string name;
    std::string file;
    Status rc;
  } cases[] = {
      {"late vector overflow", "RDV 9.99.txt",
       "@8000\n01 02\n@FFE0\n05 06\n@FFFE\n1 2 3 4 5 6 7 8\nq\n", kNotTIText},
      {"late bad address", "RDV 9.99.txt", "@8000\n01 02\n@FFE0\n05 06\n@FFFFFF\n01\nq\n",
       kNotTIText},
      {"not TI-Text at all", "RDV 9.99.txt", "q@8000\n01 02\n@FFE0\n05 06\n", kNotTIText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(LoadText(&host, dir, c.file, c.name), c.rc);
    EXPECT_EQ(host.imageText, text);
    EXPECT_EQ(host.imageTextLength, text.size());
    EXPECT_EQ(host.vectors, vectors);
    EXPECT_EQ(host.imageName, "tarnx 2.10");
    EXPECT_EQ(host.imageVersion, 210);
    EXPECT_EQ(host.deviceKind, 3);
  }
  EXPECT_EQ(BSLLoadTIFile(&host, dir.File("missing.txt").c_str()), -ENOENT);
  EXPECT_LT(BSLLoadTIFile(&host, dir.path().string().c_str()),
            0);  // a folder opens but cannot be read
#ifndef _WIN32
  // A FIFO is refused before the open, which would wait for a writer forever.
  ASSERT_EQ(mkfifo(dir.File("fifo.txt").c_str(), 0600), 0);
  EXPECT_EQ(BSLLoadTIFile(&host, dir.File("fifo.txt").c_str()), kNotTIText);
  EXPECT_NE(host.loadProblem.find("no regular file"), std::string::npos) << host.loadProblem;
#endif
  EXPECT_EQ(host.imageText, text);
  EXPECT_EQ(host.imageName, "tarnx 2.10");
}

TEST(TITextLoad, NameVersionAndKindFromFileName) {
  struct Case {
    std::string file;
    std::string name;
    std::int32_t version;
    int kind;  // the host starts with kind 7
  } cases[] = {
      {"tarnx 2.10.txt", "tarnx 2.10", 210, 3},
      {"tarnx_2.10.txt", "tarnx_2.10", 0, 3},
      {"Foo.txt", "Foo", 0, 7},
      {"Lurra 3-96.txt", "Lurra 3.96", 396, 7},
#ifndef _WIN32  // there a backslash makes folders; here it is part of the file name
      {"sub\\dir\\Bremo 1.02.txt", "Bremo 1.02", 102, 10},
#endif
      {"cemmo-1-05.TXT", "cemmo-1.05.TXT", 105, 10},   // ".txt" is cut in exact case only
      {"rdv 2-x-3.txt", "rdv 2-x-3", 23, 14},          // the last "-" is not between digits
      {"KYREL-SX 1.00.txt", "KYREL-SX 1.00", 100, 7},  // the model word ends at "-"
      {"END 1.00.txt", "END 1.00", 100, 7},
      {"OGL 2147483647.txt", "OGL 2147483647", 2147483647, 19},
      {"OGL 2147483648.txt", "OGL 2147483648", 0, 19},          // beyond 32 bits: no version
      {"OGL 1234567890123.txt", "OGL 1234567890123", 0, 19},    // at most 11 digits read
      {"OGL 0000000012345.txt", "OGL 0000000012345", 123, 19},  // the first 11 count
      {std::string(70, 'a') + " 1.txt", std::string(64, 'a'), 0, 7},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    HostBSL host(nullptr);
    host.deviceKind = 7;
    ASSERT_EQ(LoadText(&host, dir, "@8000\n01 02\n@FFFE\n00 11\nq\n", c.file), kOk);
    EXPECT_EQ(host.imageName, c.name);
    EXPECT_EQ(host.imageVersion, c.version);
    EXPECT_EQ(host.deviceKind, c.kind);
  }
}

TEST(TITextWrite, DumpLayout) {
  TempDir dir;
  HostBSL host(nullptr);
  host.imageText =
      "@08000" + std::string("0123456789abcdef0123456789ABCDEF") + "00112233" + "@1A000" + "4455";
  host.imageTextLength = static_cast<std::uint32_t>(host.imageText.size());
  for (std::uint32_t i = 0; i < kVectorCount; ++i) host.vectors[i] = 0xA000 + i;
  std::string path = dir.File("dump.txt");
  ASSERT_EQ(BSLWriteTIFile(&host, path.c_str()), kOk);
  EXPECT_EQ(ReadWholeFile(path),
            "@08000\n0123456789abcdef0123456789ABCDEF\n00112233@1A000\n4455\n@FFE0\n"
            "A000A001A002A003A004A005A006A007\nA008A009A00AA00BA00CA00DA00EA00F\n");

  // A full last line keeps its line feed, and the vectors bring their own.
  host.imageText = "@08000" + std::string(32, '1');
  host.imageTextLength = 38;
  ASSERT_EQ(BSLWriteTIFile(&host, path.c_str()), kOk);
  EXPECT_EQ(ReadWholeFile(path).substr(0, 47), "@08000\n" + std::string(32, '1') + "\n\n@FFE0\n");

  EXPECT_EQ(BSLWriteTIFile(&host, dir.File("no/such/dir/x.txt").c_str()), -ENOENT);
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(BSLWriteTIFile(&host, "/dev/full"), -ENOSPC);
  }
}

TEST(TITextLog, LinesOfLoadAndWrite) {
  TempDir dir;
  std::string logPath = dir.File("log.txt");
  DiagnosticLog log(logPath.c_str(), kLogStep);
  HostBSL host(&log);
  std::string good = dir.File("good.txt");
  std::string noVectors = dir.File("novectors.txt");
  std::string noQ = dir.File("noq.txt");
  std::string missing = dir.File("missing.txt");
  WriteWholeFile(good, "@8000\n01 02\n@FFFE\n00 11\nq\n");
  WriteWholeFile(noVectors, "@8000\n01 02\nq\n");
  WriteWholeFile(noQ, "@8000\n01 02\n");
  EXPECT_EQ(BSLLoadTIFile(&host, good.c_str()), kOk);
  EXPECT_EQ(BSLLoadTIFile(&host, noVectors.c_str()), kNotTIText);
  EXPECT_EQ(BSLLoadTIFile(&host, noQ.c_str()), kNotTIText);
  EXPECT_EQ(BSLLoadTIFile(&host, missing.c_str()), -ENOENT);
  EXPECT_EQ(BSLWriteTIFile(&host, dir.File("dump.txt").c_str()), kOk);

  std::string text = ReadWholeFile(logPath);
  for (const std::string& line : {
           "Quendal: BSLLoadTIFile loaded file " + good + " (",
           "Quendal: BSLLoadTIFile: file " + noVectors +
               " is not a valid TI-Text file: no vector segment (@FFE0 to @FFFE) (",
           // Every refusal is logged with where the file went wrong.
           "Quendal: BSLLoadTIFile: file " + noQ +
               " is not a valid TI-Text file: line 3, column 1: no \"q\" at the end (",
           "Quendal: BSLLoadTIFile got error 2 trying to open datafile " + missing + "\r\n",
           "Quendal: BSLWriteTIFile wrote file " + dir.File("dump.txt") + " (",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

TEST(HostBSLConstruction, InstallsAndChecksTheBuiltInImage) {
  HostBSL host(nullptr);
  EXPECT_EQ(host.constructorError, 0);
  EXPECT_EQ(host.deviceKind, 10);
  EXPECT_FALSE(host.imageFromFile);
  EXPECT_EQ(host.imageName, kBuiltinImage.name);
  EXPECT_EQ(host.imageText, kBuiltinImage.text);
  EXPECT_EQ(host.imageTextLength, kBuiltinImage.length);

  std::string altered = kBuiltinImage.text;
  altered[altered.size() / 2] = altered[altered.size() / 2] == '0' ? '1' : '0';
  BuiltinImage longer = kBuiltinImage;
  longer.length += 1;
  BuiltinImage otherSum = kBuiltinImage;
  otherSum.sum -= 1;
  BuiltinImage changedText = kBuiltinImage;
  changedText.text = altered.c_str();
  for (const BuiltinImage* bad : {&longer, &otherSum, &changedText}) {
    HostBSL damaged(nullptr, *bad);
    EXPECT_EQ(damaged.constructorError, kImageCheckFailed);
    EXPECT_EQ(damaged.imageTextLength, 0u);  // nothing left that could be uploaded
  }
}

// The file the build embeds, read at run time, gives the same image as the built-in record.
TEST(BuiltinImage, MatchesItsFirmwareFile) {
  HostBSL host(nullptr);
  ASSERT_EQ(BSLLoadTIFile(&host, QUENDAL_FIRMWARE_FILE), kOk);
  EXPECT_EQ(host.imageText, kBuiltinImage.text);
  EXPECT_EQ(host.imageTextLength, kBuiltinImage.length);
  EXPECT_EQ(ImageTextSum(host.imageText.data(), host.imageTextLength), kBuiltinImage.sum);
  for (std::uint32_t i = 0; i < kVectorCount; ++i)
    EXPECT_EQ(host.vectors[i], kBuiltinImage.vectors[i]);
  if (std::string(QUENDAL_FIRMWARE_NAME).empty()) {
    EXPECT_EQ(host.imageName, kBuiltinImage.name);
  }
}

TEST(BuiltinImage, DefaultImageFiguresAndCheckBlock) {
  if (std::string(kBuiltinImage.name) != "Lurra 3.96")
    GTEST_SKIP() << "this build embeds " << kBuiltinImage.name;
  HostBSL host(nullptr);
  EXPECT_EQ(host.imageTextLength, 63436u);
  EXPECT_EQ(ImageTextSum(host.imageText.data(), host.imageTextLength), 3730245);
  EXPECT_EQ(host.imageVersion, 396);

  std::vector<std::uint8_t> memory;
  std::vector<bool> touched;
  ASSERT_TRUE(DecodeImageText(host.imageText, &memory, &touched));
  // Program only in 0x8000-0xF9FF, information memory only in its three segments.
  for (std::uint32_t a = 0; a < memory.size(); ++a) {
    if (touched[a]) {
      ASSERT_TRUE((a >= 0x8000 && a <= 0xF9FF) || (a >= 0x1000 && a < 0x10C0)) << std::hex << a;
    }
  }
  ASSERT_EQ(VerifyImageCheck(memory.data(), memory.size(), 0x8000), kOk);
  std::uint32_t end = memory[0x8002] | memory[0x8003] << 8 | memory[0x8004] << 16;
  EXPECT_GE(host.vectors[15], 0x8008u);
  EXPECT_LT(host.vectors[15], end);
  EXPECT_TRUE(touched[host.vectors[15]]);

  // Damage the memory the way a failed upload would.
  struct Damage {
    const char* what;
    std::uint32_t from;
    std::uint32_t to;  // exclusive; set to 0xFF, or one bit flipped when from == to
  } damages[] = {
      {"one flipped bit in the program", end - 100, end - 100},
      {"one flipped bit in the check word", 0x8006, 0x8006},
      {"the last block missing", end - 256, end},
      {"no check block", 0x8000, 0x8008},
      {"the end address beyond the memory", 0x8004, 0x8006},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<std::uint8_t> copy = memory;
    if (d.from == d.to) copy[d.from] ^= 0x10;
    for (std::uint32_t a = d.from; a < d.to; ++a) copy[a] = 0xFF;
    EXPECT_EQ(VerifyImageCheck(copy.data(), copy.size(), 0x8000), kImageCheckFailed);
  }
  // Information memory is not covered: calibration data may change there.
  memory[0x1000] ^= 0xFF;
  EXPECT_EQ(VerifyImageCheck(memory.data(), memory.size(), 0x8000), kOk);
}

}  // namespace
}  // namespace quendal
