#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "loader/builtin_image.h"
#include "app/engine/updater_engine.h"
#include "tests/support/pty_rig.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

using CliRun = test::ProgramRun;
std::string Quote(const std::string& s) {
  return test::ShellQuote(s);
}

CliRun Cli(const std::string& args) {
  return test::RunProgram(Quote(QUENDAL_CLI_PATH) + " " + args);
}

TEST(Cli, ImageShowsTheBuiltInFirmware) {
  if (std::string(kBuiltinImage.name) != "Lurra 3.96") {
    GTEST_SKIP() << "this build embeds another image";
  }
  CliRun run = Cli("image");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("Name:    Lurra 3.96\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Version: 396\n"), std::string::npos);
  EXPECT_NE(run.output.find("Kind:    10 (Digital Sensor)\n"), std::string::npos);
  EXPECT_NE(run.output.find("Length:  63436\n"), std::string::npos);
  EXPECT_NE(run.output.find("Sum:     3730245\n"), std::string::npos);
  EXPECT_NE(run.output.find("Vectors: FFE0:"), std::string::npos);
  EXPECT_NE(run.output.find("FFF0:"), std::string::npos);
}

TEST(Cli, ImageLoadsAndDumpsAFile) {
  TempDir dir;
  std::string firmware = dir.File("tarnx 2-10.txt");
  WriteWholeFile(firmware, "@1100\n31 40 02\n@FFFE\n00 11\nq\n");
  std::string dump = dir.File("dump.txt");
  CliRun run = Cli("image --firmware " + Quote(firmware) + " --dump " + Quote(dump));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("Name:    tarnx 2.10\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Version: 210\n"), std::string::npos);
  EXPECT_NE(run.output.find("Kind:    3 (Tarnx)\n"), std::string::npos);
  EXPECT_NE(run.output.find("Length:  14\n"), std::string::npos);
  EXPECT_NE(run.output.find("FFF0: FFFF FFFF FFFF FFFF FFFF FFFF FFFF 1100\n"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(dump),
            "@01100\n4031FF02\n@FFE0\n"
            "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\n"
            "FFFFFFFFFFFFFFFFFFFFFFFFFFFF1100\n");
}

TEST(Cli, FailuresAndUsageErrors) {
  TempDir dir;
  std::string notTiText = dir.File("bad.txt");
  WriteWholeFile(notTiText, " @1100\n00 11\nq\n");
  struct Case {
    std::string args;
    int status;
    std::string text;
  } cases[] = {
      {"", 2, "usage: quendal-cli"},
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"image --firmware", 2, "option --firmware needs a value"},
      {"image --bogus", 2, "unexpected argument '--bogus'"},
      {"ports --all=yes", 2, "unexpected argument '--all=yes'"},
      {"image --firmware " + Quote(dir.File("missing.txt")), 1, "(error -2)"},
      {"image --firmware " + Quote(notTiText), 1, "is not a valid firmware file (error -100)"},
      {"image --dump " + Quote(dir.File("no/such/dir/out.txt")), 1, "could not write the image"},
      {"info --port usb:A9XK1 --data-dir " + Quote(dir.path()), 6,
       "no port's USB adapter has the serial number A9XK1"},
      {"update --port usb:A9XK1 --data-dir " + Quote(dir.path()), 6,
       "'quendal-cli ports' shows the serial numbers"},
      {"info --port usb:", 2, "option --port usb: needs the adapter's serial number"},
  };
  for (const Case& c : cases) {
    CliRun run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.text), std::string::npos) << c.args << "\n" << run.output;
  }
}

// A simulated device is found by its link in the runtime folder; the machine's own ports
// come along, every one on a line of its own.
// "image --check TYPE" gives the verdict; an image no device can take is refused by "image"
// itself, and a file too large to be TI-Text is refused without being read.
TEST(Cli, ImageCheckGivesTheVerdict) {
  TempDir dir;
  const std::string sensor = dir.File("Lurra 3-97.txt");
  WriteWholeFile(sensor, "@8000\n31 40 02 43\n@FFFE\n00 80\nq\n");
  const std::string logger = dir.File("TARNX 2-10.txt");
  WriteWholeFile(logger, "@1100\n31 40 02 43\n@FFFE\n00 11\nq\n");
  const std::string vectorsOnly = dir.File("vectors.txt");
  WriteWholeFile(vectorsOnly, "@FFFE\n00 80\nq\n");
  const std::string huge = dir.File("huge.txt");
  WriteWholeFile(huge, "@8000\n31 40\n@FFFE\n00 80\nq\n");
  ASSERT_EQ(truncate(huge.c_str(), 400L << 20), 0);
  const std::string glued = dir.File("glued.txt");
  WriteWholeFile(glued, "@8000\n31 4G 02 43\n@FFFE\n00 80\nq\n");

  struct Case {
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {"image --firmware " + Quote(sensor) + " --check kyrel-sx", 0, "Check:   fits KYREL-SX"},
      {"image --firmware " + Quote(logger) + " --check 10", 1, "another device's memory layout"},
      {"image --firmware " + Quote(logger) + " --check TARNX", 0, "fits TARNX (Tarnx)"},
      {"image --firmware " + Quote(vectorsOnly), 1, "holds no program data"},
      {"image --firmware " + Quote(vectorsOnly) + " --check KYREL-SX", 1, "no program data"},
      {"image --firmware " + Quote(huge), 1, "larger than 16 MB"},
      {"image --firmware " + Quote(glued), 1, "line 2, column 5: \"G\" is no hex digit"},
      {"image --check NOSUCH", 2, "'NOSUCH' names no device type; the types are TARN, TARNB,"},
      {"image --check lurra", 2,
       "CVFTDL (or their numbers 1 to 22); a digital sensor such as "
       "lurra is KYREL-SX"},
      {"image --firmware " + Quote(sensor) + " --check CVFOUR", 1,
       "is made for KYREL-SX (Digital Sensor), not for CVFOUR (Corvel Four)."},
      {"image --firmware " + Quote(logger) + " --check 10", 1,
       "\"TARNX 2.10\" is made for TARNX (Tarnx), not for KYREL-SX"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    // An instrument build takes an opened image for its own type: the sensor rows are the
    // comm-device build's.
    if (ThisBuild().targetType != kTypeDigitalSensor &&
        c.args.find(Quote(sensor)) != std::string::npos)
      continue;
    CliRun run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
  }
  // The built-in image passes for the sensors it is made for, and for nothing else even
  // where its bytes would fit.
  if (std::string(kBuiltinImage.name) == "Lurra 3.96") {
    CliRun run = Cli("image --check KYREL-SX");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Check:   fits KYREL-SX (Digital Sensor)\n"), std::string::npos)
        << run.output;
    for (const char* type : {"CVFOUR", "KCD"}) {
      run = Cli(std::string("image --check ") + type);
      EXPECT_EQ(run.status, 1) << run.output;
      EXPECT_NE(run.output.find("\"Lurra 3.96\" is made for KYREL-SX"), std::string::npos)
          << run.output;
    }
  }
  // The TI-Text form opens again; the dump form is for comparing, as the window writes it.
  const std::string tiText = dir.File("lurra again.txt");
  CliRun run = Cli("image --firmware " + Quote(sensor) + " --ti-text " + Quote(tiText));
  ASSERT_EQ(run.status, 0) << run.output;
  run = Cli("image --firmware " + Quote(tiText));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("FFF0: FFFF FFFF FFFF FFFF FFFF FFFF FFFF 8000\n"), std::string::npos)
      << run.output;
}

// The table names ports by their short names and keeps its columns in line whatever the
// lengths of the values; the events keep the record as it is.
TEST(Cli, HistoryShowsShortPortNamesInAlignedColumns) {
  TempDir dir;
  auto record = [](const std::string& port, const std::string& serial, int code) {
    return "{\"start\":\"2026-12-09T20:00:00Z\",\"port\":\"" + port +
           "\",\"device\":\"Lurra Family\",\"serial\":\"" + serial +
           "\",\"firmwareBefore\":\"3.90\",\"firmwareAfter\":\"3.96\",\"code\":" +
           std::to_string(code) + ",\"seconds\":81,\"result\":\"done\"}\n";
  };
  WriteWholeFile(dir.File("updates.jsonl"),
                 record("/run/user/1000/quendal/devsim-station-unit-one", "LU-1", 1) +
                     record("COM3", "LU-\u00ff-a-long-serial-number", -130) +
                     record("/dev/ttyUSB0", "", 1));
  CliRun run = Cli("history --data-dir " + Quote(dir.path()));
  ASSERT_EQ(run.status, 0) << run.output;
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < run.output.size(); at = end + 1) {
    end = run.output.find('\n', at);
    if (end == std::string::npos) end = run.output.size();
    lines.push_back(run.output.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 4u) << run.output;
  EXPECT_NE(lines[1].find("  devsim-station-unit-one  "), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].find("/run/user"), std::string::npos) << lines[1];
  EXPECT_NE(lines[3].find("  ttyUSB0  "), std::string::npos) << lines[3];
  // Each column starts where its heading does (the serial number "LU-\u00ff..." counted as
  // the characters it shows).
  auto column = [](const std::string& line, std::size_t characters) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
      if (seen++ == characters) return i;
    }
    return line.size();
  };
  const std::size_t firmware = lines[0].find("FIRMWARE");
  const std::size_t result = lines[0].find("RESULT");
  ASSERT_NE(result, std::string::npos);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(column(lines[i], firmware), 11), "3.90 > 3.96") << run.output;
    EXPECT_EQ(lines[i].substr(column(lines[i], result)), "done") << run.output;
  }
}

TEST(Cli, PortsListsARunningSimulatedDevice) {
  TempDir runtime;
  const std::string folder = runtime.File("quendal");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  test::PtyRig device;
  ASSERT_TRUE(device.ok()) << device.Error();
  const std::string link = folder + "/devsim-clitest";
  ASSERT_EQ(symlink(device.SlavePath().c_str(), link.c_str()), 0);

  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  CliRun run = Cli("ports");
  if (saved) {
    setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }

  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(link + "\tdevsim-clitest Simulated device\n"), std::string::npos)
      << run.output;
  for (std::size_t at = 0, end; at < run.output.size(); at = end + 1) {
    end = run.output.find('\n', at);
    ASSERT_NE(end, std::string::npos) << run.output;
    std::string line = run.output.substr(at, end - at);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 1) << line;
  }
}

}  // namespace
}  // namespace quendal
