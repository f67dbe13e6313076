// quendal-cli history and the station (several ports at once), run as a program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/engine/updater_engine.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"
#include "tests/app/cli_run.h"
#include "tests/support/child_program.h"
#include "tests/support/pty_pair.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using nlohmann::json;

using test::CliCommand;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string RecordLine(const std::string& serial, const std::string& port, int code) {
  return json{{"start", "2026-12-09T07:00:00Z"}, {"end", "2026-12-09T07:01:10Z"},
              {"host", "bench"},                 {"port", port},
              {"device", "Digital Sensor s"},    {"serial", serial},
              {"firmwareBefore", "3.90"},        {"firmwareAfter", "3.96"},
              {"code", code},                    {"result", "done " + serial},
              {"seconds", 70}}
             .dump() +
         "\n";
}

TEST(CliHistory, TableFilterAndDamagedLines) {
  test::TempDir dir;
  test::WriteWholeFile(dir.File("updates.jsonl"),
                       RecordLine("LU-1", "ttyUSB0", 1) + "{\"start\": \"cut off\n" +
                           RecordLine("LU-2", "ttyUSB1", -130) + "[1,2,3]\n" +
                           "{\"port\":\"x\",\"serial\":\"no code\"}\n" +
                           RecordLine("LU-1", "ttyUSB2", -140));
  const std::string history = "history --data-dir " + test::ShellQuote(dir.path().string());
  struct Case {
    std::string args;
    std::vector<std::string> results;  // the rows, by their result text, in order
  } cases[] = {
      {"", {"done LU-1", "done LU-2", "done LU-1"}},
      {" --serial LU-1", {"done LU-1", "done LU-1"}},
      {" --serial LU-9", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string errFile = dir.File("stderr");
    test::ProgramRun run =
        test::RunProgram("(" + CliCommand(history + c.args) + " 2>" + test::ShellQuote(errFile) + ")");
    ASSERT_EQ(run.status, 0) << run.output;
    std::vector<std::string> rows = Lines(run.output);
    ASSERT_EQ(rows.size(), c.results.size() + 1) << run.output;  // the heading first
    EXPECT_NE(rows[0].find("SERIAL"), std::string::npos);
    for (std::size_t i = 0; i < c.results.size(); ++i) {
      EXPECT_EQ(rows[i + 1].substr(rows[i + 1].size() - c.results[i].size()), c.results[i]);
      EXPECT_NE(rows[i + 1].find("3.90 > 3.96"), std::string::npos) << rows[i + 1];
    }
    const std::string notes = test::ReadWholeFile(errFile);
    for (int line : {2, 4, 5}) {
      EXPECT_NE(notes.find("line " + std::to_string(line) + " of "), std::string::npos)
          << notes;
    }
  }
  // No record yet is no error.
  test::TempDir empty;
  test::ProgramRun run =
      test::RunProgram(CliCommand("history --data-dir " + test::ShellQuote(empty.path().string())));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("no updates recorded yet"), std::string::npos) << run.output;
}

class CliStation : public testing::Test {
 protected:
  void SetUp() override {
    if (ThisBuild().targetType != kTypeDigitalSensor) GTEST_SKIP() << "an instrument build";
  }
  // A KCD with a Lurra sensor that takes the update, and one whose batteries are too low.
  void BootTwo() {
    for (int battery : {80, 9}) Boot(390, "LU-" + std::to_string(battery), battery);
  }
  void Boot(std::uint32_t version, const std::string& serial, int battery = 80) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    sim::SensorOptions lurra;
    ASSERT_TRUE(sim::SensorOptionsForType('s', version, &lurra));
    lurra.versionAfterUpdate = 396;
    lurra.serialNumber = serial;
    options.sensor = lurra;
    options.battery = battery;
    devices_.push_back(std::make_unique<sim::CommDevice>(std::move(options)));
    transports_.push_back(std::make_unique<sim::PtyTransport>(devices_.back().get()));
    ASSERT_EQ(transports_.back()->Start(), 1);
  }
  std::uint32_t Version(int i) {
    return devices_[static_cast<std::size_t>(i)]->WithSensor(
        [](const sim::SdiSensor& s) { return s.version(); });
  }
  std::string Port(int i) const { return transports_[static_cast<std::size_t>(i)]->SlavePath(); }
  std::vector<std::string> Station() const {
    return {QUENDAL_CLI_PATH, "update",   "--port",   Port(0),  "--port",
            Port(1),          "--events", "--data-dir", dir_.File("data")};
  }

  test::TempDir dir_;
  std::vector<std::unique_ptr<sim::CommDevice>> devices_;
  std::vector<std::unique_ptr<sim::PtyTransport>> transports_;
};

TEST_F(CliStation, TwoUnitsEventsWorstStatusAndRecord) {
  BootTwo();
  std::string command;
  for (const std::string& a : Station()) command += test::ShellQuote(a) + " ";
  test::ProgramRun run = test::RunProgram(command + "</dev/null");
  std::map<std::string, int> exits;
  std::map<std::string, int> results;
  for (const std::string& line : Lines(run.output)) {
    const json event = json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    ASSERT_TRUE(event.contains("port")) << line;
    const std::string port = event["port"];
    EXPECT_TRUE(port == Port(0) || port == Port(1)) << line;
    if (event["event"] == "exit") exits[port] = event["status"];
    if (event["event"] == "result") results[port] = event["code"];
  }
  EXPECT_EQ(results[Port(0)], 1) << run.output;
  EXPECT_EQ(results[Port(1)], kBatteryLow) << run.output;
  ASSERT_EQ(exits.size(), 2u) << run.output;
  EXPECT_EQ(exits[Port(0)], 0);
  EXPECT_NE(exits[Port(1)], 0);
  EXPECT_EQ(run.status, exits[Port(1)]) << "the worst unit's status";
  EXPECT_EQ(devices_[0]->WithSensor([](const sim::SdiSensor& s) { return s.version(); }), 396u);

  // One record line per unit in the station's own data folder.
  std::map<std::string, json> records;
  for (const std::string& line : Lines(test::ReadWholeFile(dir_.File("data/updates.jsonl")))) {
    const json record = json::parse(line);
    records[record["port"]] = record;
  }
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[Port(0)]["serial"], "LU-80");
  EXPECT_EQ(records[Port(0)]["firmwareBefore"], "3.90");
  EXPECT_EQ(records[Port(0)]["firmwareAfter"], "3.96");
  EXPECT_EQ(records[Port(0)]["settingsRestored"], "all");
  EXPECT_EQ(records[Port(0)]["code"], 1);
  EXPECT_EQ(records[Port(1)]["code"], kBatteryLow);
  EXPECT_EQ(records[Port(1)]["result"], "Batteries Too Low");
}

// The end of a station run: one row per unit with what it was and became, and what to do
// next under the unit that did not update.
TEST_F(CliStation, EndsWithATablePerUnit) {
  BootTwo();
  std::string command;
  for (const std::string& a : Station()) {
    if (a != "--events") command += test::ShellQuote(a) + " ";
  }
  test::ProgramRun run = test::RunProgram(command + "</dev/null 2>/dev/null");
  EXPECT_EQ(run.status, 4) << run.output;
  const std::size_t table = run.output.rfind("PORT");
  ASSERT_NE(table, std::string::npos) << run.output;
  std::vector<std::string> rows = Lines(run.output.substr(table));
  ASSERT_GE(rows.size(), 4u) << run.output;
  for (const char* column : {"DEVICE", "SERIAL", "FIRMWARE", "RESULT", "TIME"}) {
    EXPECT_NE(rows[0].find(column), std::string::npos) << rows[0];
  }
  struct Want {
    std::string row;
    std::vector<std::string> has;
  } wants[] = {
      {rows[1], {Port(0), "Lurra Family (type s)", "LU-80", "3.90 -> 3.96", "updated", " s"}},
      {rows[2], {Port(1), "KCD", "1.23 -> 1.23", "refused (exit 4)"}},
      {rows[3], {"next:", "Batteries Too Low", "reads 9 %; an update needs at least 10 %"}},
  };
  for (const Want& want : wants) {
    for (const std::string& part : want.has)
      EXPECT_NE(want.row.find(part), std::string::npos) << part << " in\n" << run.output;
  }
  // The updated unit owes nothing: no advice line follows its row.
  EXPECT_EQ(rows[2].find("next:"), std::string::npos) << run.output;
}

// --all-ports takes what an update without --port would choose from: a busy port is listed
// as skipped, not failed. --skip-current leaves a unit on the image's version alone, and a
// dry run writes nothing; each unit's row says which.
TEST_F(CliStation, AllPortsSkipsBusyPortsAndCurrentUnitsAndDryRunsWriteNothing) {
  Boot(390, "LU-OLD");
  Boot(396, "LU-NEW");
  Boot(390, "LU-HELD");
  test::TempDir runtime;
  ASSERT_TRUE(std::filesystem::create_directory(runtime.File("quendal")));
  const char* names[] = {"devsim-old", "devsim-new", "devsim-held"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(symlink(Port(i).c_str(), runtime.File(std::string("quendal/") + names[i]).c_str()),
              0);
  }
  const int held = open(Port(2).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const std::string station = "XDG_RUNTIME_DIR=" + test::ShellQuote(runtime.path().string()) +
                              " " + CliCommand("update --all-ports --skip-current --data-dir " +
                                               test::ShellQuote(dir_.File("data")));
  struct Case {
    const char* more;
    std::map<std::string, std::vector<std::string>> rows;  // by unit: what its row says
    std::uint32_t oldAfter;  // LU-OLD's version after the run
  } cases[] = {
      {" --dry-run",
       {{"devsim-old", {"LU-OLD", "would update the Lurra Family (type s) from 3.90 to 3.96"}},
        {"devsim-new", {"LU-NEW", "3.96 -> 3.96", "skipped: already runs 3.96"}},
        {"devsim-held", {"skipped: busy"}}},
       390},
      {"",
       {{"devsim-old", {"LU-OLD", "3.90 -> 3.96", "updated"}},
        {"devsim-new", {"LU-NEW", "3.96 -> 3.96", "skipped: already runs 3.96"}},
        {"devsim-held", {"skipped: busy"}}},
       396},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.more);
    test::ProgramRun run = test::RunProgram("(" + station + c.more + " 2>&1)");
    EXPECT_EQ(run.status, 0) << run.output;
    const std::size_t table = run.output.rfind("PORT");
    ASSERT_NE(table, std::string::npos) << run.output;
    const std::vector<std::string> rows = Lines(run.output.substr(table));
    for (const auto& [unit, says] : c.rows) {
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const std::string& r) {
        return r.find(unit + " ") != std::string::npos;
      });
      ASSERT_NE(row, rows.end()) << unit << "\n" << run.output;
      for (const std::string& part : says)
        EXPECT_NE(row->find(part), std::string::npos) << part << " in\n" << run.output;
    }
    EXPECT_EQ(run.output.find("next:"), std::string::npos) << run.output;
    EXPECT_EQ(Version(0), c.oldAfter);
    EXPECT_EQ(Version(2), 390u) << "the busy unit is never touched";
  }
  close(held);
}

// Everything `argv` writes to a terminal (a pseudo-terminal) until it ends.
std::string OnTerminal(const std::vector<std::string>& argv) {
  std::string slave;
  const int master = test::OpenPtyMaster(&slave, nullptr, {.raw = false});
  if (master < 0) return "no pty";
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int fd = open(slave.c_str(), O_RDWR);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    test::ChildProgram::Exec(argv)();
    _exit(127);
  }
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  waitpid(pid, nullptr, 0);
  close(master);
  return output;
}

TEST_F(CliStation, TerminalShowsOneLinePerPortRedrawnInPlace) {
  BootTwo();
  std::vector<std::string> argv = Station();
  argv.erase(std::find(argv.begin(), argv.end(), "--events"));
  const std::string screen = OnTerminal(argv);
  // The last drawing starts where the first did: two lines up, one line per port.
  const std::size_t last = screen.rfind("\x1b[2A");
  ASSERT_NE(last, std::string::npos) << screen;
  std::vector<std::string> rows = Lines(screen.substr(last));
  ASSERT_GE(rows.size(), 2u) << screen;
  EXPECT_NE(rows[0].find(Port(0)), std::string::npos) << rows[0];
  EXPECT_NE(rows[0].find("100%  updated in "), std::string::npos) << rows[0];
  EXPECT_NE(rows[1].find(Port(1)), std::string::npos) << rows[1];
  EXPECT_NE(rows[1].find("FAILED (error -130): Batteries Too Low"), std::string::npos) << rows[1];
}

// A Ctrl-C of the station stops every unit at its next safe point.
TEST_F(CliStation, InterruptReachesEveryUnit) {
  BootTwo();
  devices_[1]->SetBattery(80);
  test::ChildProgram station(test::ChildProgram::Exec(Station()));
  ASSERT_TRUE(station.WaitFor("Uploading new firmware code...", 120000)) << station.output;
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(120000), 130) << station.output;
  std::set<std::string> interrupted;
  for (const std::string& line : Lines(station.output)) {
    const json event = json::parse(line, nullptr, false);
    if (!event.is_discarded() && event["event"] == "exit" && event["status"] == 130) {
      interrupted.insert(event["port"].get<std::string>());
    }
  }
  EXPECT_EQ(interrupted.size(), 2u) << station.output;
  for (auto& device : devices_) {
    for (int i = 0; i < 50 && device->Mode() != sim::CommMode::kShell; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(device->Mode(), sim::CommMode::kShell);
  }
}

// The process that `parent` started for `port` (its command line names the port); 0: none.
pid_t UnitProcess(pid_t parent, const std::string& port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = test::ReadWholeFile(entry.path().string() + "/stat");
    int ppid = 0;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || std::sscanf(stat.c_str() + close + 2, "%*c %d", &ppid) != 1 ||
        ppid != parent) {
      continue;
    }
    std::string cmdline = test::ReadWholeFile(entry.path().string() + "/cmdline");
    if (cmdline.find(std::string(1, '\0') + port + '\0') != std::string::npos) {
      return static_cast<pid_t>(std::stoi(name));
    }
  }
  return 0;
}

// A unit killed outright fails on its own; the other unit's update goes on to its end.
TEST_F(CliStation, AKilledUnitLeavesTheOtherAlone) {
  BootTwo();
  devices_[1]->SetBattery(80);
  test::ChildProgram station(test::ChildProgram::Exec(Station()));
  ASSERT_TRUE(station.WaitFor("Uploading new firmware code...", 120000)) << station.output;
  const pid_t victim = UnitProcess(station.Pid(), Port(1));
  ASSERT_GT(victim, 0);
  kill(victim, SIGKILL);
  EXPECT_EQ(station.Wait(120000), 1) << station.output;
  std::map<std::string, int> exits;
  for (const std::string& line : Lines(station.output)) {
    const json event = json::parse(line, nullptr, false);
    if (!event.is_discarded() && event["event"] == "exit") exits[event["port"]] = event["status"];
  }
  EXPECT_EQ(exits[Port(0)], 0) << station.output;
  EXPECT_EQ(exits[Port(1)], 128 + SIGKILL);
  EXPECT_EQ(devices_[0]->WithSensor([](const sim::SdiSensor& s) { return s.version(); }), 396u);
}

}  // namespace
}  // namespace quendal
