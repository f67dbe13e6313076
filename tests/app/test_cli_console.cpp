// quendal-cli's habits as a console program: help, streams, exit statuses, port names,
// answers by question, info, and the progress on a terminal and elsewhere.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli_operator.h"
#include "app/engine/updater_engine.h"
#include "host/file_lock.h"
#include "loader/builtin_image.h"
#include "sim/comm_device.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/pty_transport.h"
#include "sim/time_scale.h"
#include "tests/app/cli_run.h"
#include "tests/support/child_program.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_rig.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using nlohmann::json;

using test::Cli;
using test::CliCommand;
using test::CliStdout;
using test::CommDeviceBuild;
using test::Events;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliConsole, HelpPerCommandAndVersion) {
  struct Case {
    std::string args;
    std::vector<std::string> says;
  } cases[] = {
      {"update --help",
       {"--yes NAME,...", "newer-firmware", "wrong-sensor-type", "settings-retrieve-error",
        "--answer ok|cancel", "--data-dir DIR", "  5    failed after the device",
        "  8    no permission to open the port"}},
      {"help update", {"usage: quendal-cli update", "  7    the port is in use"}},
      {"info --help", {"usage: quendal-cli info", "Nothing is written to the device"}},
      {"ports -h", {"usage: quendal-cli ports [--all]"}},
      {"restore --port x --help", {"usage: quendal-cli restore"}},
      {"--version", {"build target: ", std::string("built-in image: ") + kBuiltinImage.name}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    test::ProgramRun run = CliStdout(c.args);  // help is output, not an error
    EXPECT_EQ(run.status, 0) << run.output;
    for (const std::string& part : c.says) EXPECT_TRUE(Has(run.output, part)) << part << "\n" << run.output;
  }
  // The option list fits the build: a sensor type only where there are sensors to choose.
  test::ProgramRun run = CliStdout("update --help");
  EXPECT_EQ(Has(run.output, "--sensor-type CODE"), CommDeviceBuild());
  EXPECT_EQ(Has(run.output, "--new-sn TEXT"), !CommDeviceBuild());
}

// Usage errors go to standard error only and exit 2, before any port is opened.
TEST(CliConsole, ModeRulesAndValuesAreUsageErrors) {
  struct Case {
    std::string args;
    std::string says;
  } cases[] = {
      {"update --port x --firmware f.txt", "option --firmware needs --rep or --factory"},
      {"update --port x --new-sn A1", "option --new-sn needs --factory"},
      {"update --port x --dont-erase", "option --dont-erase needs --factory"},
      {"update --port x --yes wrong-sensor-type,bogus", "'bogus' names no question"},
      {"update --port x --yes newer-firmware --answer ok", "give --yes or --answer, not both"},
      {"update --port x --factory --new-sn 1234567890123456",
       CommDeviceBuild() ? "option --new-sn has no use in this build"
                         : "option --new-sn takes at most 15 characters"},
      {"update --port x --factory --dont-erase",
       CommDeviceBuild() ? "option --dont-erase has no use in this build" : ""},
      {"info --port x --bogus", "unexpected argument '--bogus'"},
  };
  for (const Case& c : cases) {
    if (c.says.empty()) continue;
    SCOPED_TRACE(c.args);
    test::ProgramRun run = Cli(c.args);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    EXPECT_EQ(CliStdout(c.args).output, "");
  }
  if (!CommDeviceBuild()) {
    // A serial number that fits the field passes the rules (and then fails on the port).
    test::ProgramRun run = Cli("update --port /nonexistent/port --factory --new-sn 123456789012345");
    EXPECT_NE(run.status, 2) << run.output;
  }
}

class CliConsoleDevice : public testing::Test {
 protected:
  void SetUp() override {
    if (!CommDeviceBuild()) GTEST_SKIP() << "an instrument build";
  }
  void Boot(sim::SensorOptions sensor) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    options.sensor = std::move(sensor);
    options.battery = 80;
    transport_.reset();  // the old line goes before its device
    device_ = std::make_unique<sim::CommDevice>(std::move(options));
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
  }
  std::string Data() const { return test::ShellQuote(dir_.File("data")); }
  std::string Update(const std::string& more) {
    return "update --port " + test::ShellQuote(transport_->SlavePath()) + " --data-dir " + Data() +
           " " + more;
  }
  std::string SensorFacts() {
    return device_->WithSensor([](const sim::SdiSensor& s) {
      return std::string(1, s.address()) + "|" + s.serialNumber() + "|" + s.x4() + "|" +
             std::to_string(s.version());
    });
  }

  test::TempDir dir_;
  std::unique_ptr<sim::CommDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
};

// Missing, busy and forbidden ports each have their own status and fix; the events stay
// JSON on standard output while the fix goes to standard error.
TEST_F(CliConsoleDevice, PortProblemsHaveTheirOwnStatus) {
  Boot(sim::SensorOptions{});
  // Each problem said once: the update's own message, and the console adds only the fix.
  auto count = [](const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++n;
    return n;
  };
  test::ProgramRun run = Cli("update --port /dev/quendal-no-such-port --data-dir " + Data());
  EXPECT_EQ(run.status, 6) << run.output;
  EXPECT_EQ(count(run.output, "quendal-no-such-port"), 1) << run.output;
  EXPECT_EQ(count(run.output, "isn't available"), 1) << run.output;
  EXPECT_TRUE(Has(run.output, "see 'quendal-cli ports'")) << run.output;

  {
    const int held = open(transport_->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    run = Cli(Update(""));
    EXPECT_EQ(run.status, 7) << run.output;
    EXPECT_EQ(count(run.output, "in use by another"), 1) << run.output;
    run = CliStdout(Update("--events"));
    EXPECT_EQ(run.status, 7);
    std::vector<json> events = Events(run.output);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "result");
    int messages = 0;
    for (const json& event : events) messages += event["event"] == "message";
    EXPECT_EQ(messages, 1) << run.output;
    close(held);
  }

  // No right to open the port: as another user, or the port made unreadable.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  // The data folder is the other user's own: one that others may change is refused.
  std::filesystem::create_directories(dir_.File("data"));
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir_.File("data").c_str(), 65534, 65534), 0);
  }
  if (geteuid() != 0) chmod(transport_->SlavePath().c_str(), 0);
  // The build tree may be closed to other users: run a copy they can reach.
  const std::string program = dir_.File("quendal-cli");
  std::filesystem::copy_file(QUENDAL_CLI_PATH, program,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all |
                                            std::filesystem::perms::group_read |
                                            std::filesystem::perms::group_exec |
                                            std::filesystem::perms::others_read |
                                            std::filesystem::perms::others_exec);
  const std::vector<std::string> args = {program, "update", "--port",
                                         transport_->SlavePath(), "--data-dir",
                                         dir_.File("data")};
  test::ChildProgram child([&args] {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
                           setuid(65534) != 0)) {
      return 99;
    }
    return test::ChildProgram::Exec(args)();
  });
  ASSERT_TRUE(child.Started());
  EXPECT_EQ(child.Wait(20000), 8) << child.output;
  // Said once, as what it is: no "in use" for a port nobody holds.
  EXPECT_EQ(count(child.output, "usermod -aG dialout"), 1) << child.output;
  EXPECT_EQ(count(child.output, "in use"), 0) << child.output;
  chmod(transport_->SlavePath().c_str(), 0620);
}

// What the console can see for itself is refused before one byte goes to the port.
TEST(CliConsole, RefusedBeforeTheDeviceIsTouched) {
  test::TempDir dir;
  test::WriteWholeFile(dir.File("plain-file"), "x");
  test::PtyRig port;
  ASSERT_TRUE(port.ok()) << port.Error();
  const std::string update = "update --port " + test::ShellQuote(port.SlavePath());
  // A FIFO would block a reader that opened it; a folder others may change is a way in.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_TRUE(std::filesystem::create_directory(dir.File("shared")));
  ASSERT_EQ(chmod(dir.File("shared").c_str(), 0777), 0);
  struct Case {
    std::string args;
    std::string says;
  } cases[] = {
      {update + " --data-dir " + test::ShellQuote(dir.File("plain-file") + "/data"),
       "the data folder \"" + dir.File("plain-file") + "/data\""},
      {update + " --rep --firmware " + test::ShellQuote(dir.File("missing.txt")) + " --data-dir " +
           test::ShellQuote(dir.File("data")),
       "the firmware file " + dir.File("missing.txt") + " does not exist"},
      {update + " --data-dir " + test::ShellQuote(dir.File("shared")),
       "the data folder \"" + dir.File("shared") +
           "\" is not safe to use: other users may write in it"},
      {"restore --port " + test::ShellQuote(port.SlavePath()) + " --from " +
           test::ShellQuote(dir.File("fifo")) + " --data-dir " + test::ShellQuote(dir.File("data")),
       "the settings file \"" + dir.File("fifo") + "\" cannot be used: it is no regular file"},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // A settings file planted as a link by another user in a shared folder: only root can
  // make one here, as CI does.
  if (geteuid() == 0) {
    test::WriteWholeFile(dir.File("theirs.settings.txt"), "type=\"Lurra\"\r\n");
    ASSERT_EQ(symlink(dir.File("theirs.settings.txt").c_str(), dir.File("planted").c_str()), 0);
    ASSERT_EQ(lchown(dir.File("planted").c_str(), 65534, 65534), 0);
    all.push_back({"restore --port " + test::ShellQuote(port.SlavePath()) + " --from " +
                       test::ShellQuote(dir.File("planted")) + " --data-dir " +
                       test::ShellQuote(dir.File("data")),
                   "the settings file \"" + dir.File("planted") +
                       "\" cannot be used: it is a symbolic link that another user made"});
  }
  for (const Case& c : all) {
    SCOPED_TRACE(c.args);
    test::ProgramRun run = Cli(c.args);
    EXPECT_EQ(run.status, 4) << run.output;
    EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    EXPECT_FALSE(Has(run.output, "not a valid firmware file")) << run.output;
  }
  EXPECT_EQ(port.Received(), "");
}

// Nothing thrown escapes main: what no command foresaw ends the program as a failure, said
// on standard error, never as an abort.
TEST(CliConsole, WhatIsThrownEndsAsAFailure) {
  const struct Case {
    const char* command;
    const char* says;
  } cases[] = {
      {"throw", "quendal-cli: stopped by an unexpected error: thrown by the test's own command\n"},
      {"throw-other", "quendal-cli: stopped by an unexpected error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    test::ProgramRun run = test::RunProgram(test::ShellQuote(QUENDAL_CLI_THROWING_PATH) + " " +
                                            c.command + " </dev/null 2>&1");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.output, c.says);
  }
}

// info reads everything and changes nothing: the sensor keeps its settings and no settings
// file is left in the data folder. The simulated device is found by its listed name.
TEST_F(CliConsoleDevice, InfoByListedNameChangesNothing) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.serialNumber = "LU-20931";
  lurra.address = '3';
  Boot(lurra);
  const std::string before = SensorFacts();
  test::TempDir runtime;
  ASSERT_TRUE(std::filesystem::create_directory(runtime.File("quendal")));
  ASSERT_EQ(symlink(transport_->SlavePath().c_str(), runtime.File("quendal/devsim-info").c_str()),
            0);
  // The listing is kept in memory: a temporary folder it cannot write changes nothing.
  test::TempDir closedTemp;
  ASSERT_EQ(chmod(closedTemp.path().c_str(), 0500), 0);
  const std::string env = "XDG_RUNTIME_DIR=" + test::ShellQuote(runtime.path().string()) +
                          " TMPDIR=" + test::ShellQuote(closedTemp.path().string()) + " ";

  test::ProgramRun run = test::RunProgram(
      "(" + env + CliCommand("info --port devsim-info --events --data-dir " + Data()) +
      " 2>/dev/null)");
  ASSERT_EQ(run.status, 0) << run.output;
  std::vector<json> events = Events(run.output);
  ASSERT_EQ(events.size(), 1u) << run.output;
  const json& info = events[0];
  EXPECT_EQ(info["event"], "info");
  EXPECT_EQ(info["kind"], "KCD");
  EXPECT_EQ(info["battery"], 80);
  EXPECT_EQ(info["sensor"]["serial"], "LU-20931");
  EXPECT_EQ(info["sensor"]["version"], "3.90");
  EXPECT_EQ(info["settings"]["address"], "3");
  EXPECT_EQ(info["settings"]["sn"], "LU-20931");
  EXPECT_FALSE(info["settings"].contains("attemptPhase"));
  EXPECT_FALSE(info.contains("note")) << run.output;
  chmod(closedTemp.path().c_str(), 0700);

  // Text form, and no --port at all when the simulated device is the only candidate (a
  // test run lists no port of the machine).
  run = test::RunProgram(env + CliCommand("info --data-dir " + Data()) + " 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Has(run.output, "using port devsim-info")) << run.output;
  EXPECT_TRUE(Has(run.output, "Serial:   LU-20931")) << run.output;
  // The settings by their names, not the settings file's keys and bookkeeping.
  EXPECT_TRUE(Has(run.output, "\n  SDI-12 address:")) << run.output;
  EXPECT_TRUE(Has(run.output, "\n  Serial number:")) << run.output;
  EXPECT_FALSE(Has(run.output, "addressInt")) << run.output;
  EXPECT_FALSE(Has(run.output, " = ")) << run.output;

  EXPECT_EQ(SensorFacts(), before);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.File("data"))) {
    EXPECT_EQ(entry.path().string().find("settings"), std::string::npos) << entry.path();
  }
}

// Text that is no UTF-8 (a sensor's serial number holding 0xFF) ends no program: every
// line stays JSON, the record keeps the serial number as the device reports it under the
// one rule (a stray byte becomes the character of its number), and history finds the
// unit by what the device reports.
TEST_F(CliConsoleDevice, TextThatIsNoUtf8EndsNoProgram) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.versionAfterUpdate = 396;
  lurra.serialNumber = "LU-\xFF" "7";
  Boot(lurra);
  const std::string shown = "LU-\xC3\xBF" "7";
  const std::string info =
      "info --events --port " + test::ShellQuote(transport_->SlavePath()) + " --data-dir " + Data();
  for (const std::string& args : {info, Update("--events")}) {
    SCOPED_TRACE(args);
    test::ProgramRun run = CliStdout(args);
    ASSERT_EQ(run.status, 0) << run.output;
    std::vector<json> events = Events(run.output);
    ASSERT_FALSE(events.empty());
    if (events[0]["event"] == "info") {
      EXPECT_EQ(events[0]["sensor"]["serial"], shown);
    }
  }
  test::ProgramRun history = CliStdout("history --events --data-dir " + Data() + " --serial " +
                                       test::ShellQuote(lurra.serialNumber));
  ASSERT_EQ(history.status, 0) << history.output;
  const json record = json::parse(history.output, nullptr, false);
  ASSERT_FALSE(record.is_discarded()) << history.output;
  EXPECT_EQ(record["serial"], shown);
  // In the table a control byte of a record is shown, not sent to the terminal.
  std::FILE* records = std::fopen((dir_.File("data") + "/updates.jsonl").c_str(), "ab");
  ASSERT_NE(records, nullptr);
  std::fputs(R"({"start":"x","port":"p","device":"d","serial":"A\u001bB","code":1})" "\n", records);
  std::fclose(records);
  history = CliStdout("history --data-dir " + Data());
  EXPECT_TRUE(Has(history.output, "LU-\xC3\xBF" "7")) << history.output;
  EXPECT_TRUE(Has(history.output, "A\\x1BB")) << history.output;
}

// A second updater on the same data folder refuses before it opens its port while the
// first holds the settings file, names who holds it, and ends with the busy status.
TEST_F(CliConsoleDevice, ASecondUpdaterIsBusy) {
  Boot(sim::SensorOptions{});
  ASSERT_TRUE(std::filesystem::create_directory(dir_.File("data")));
  FileLock first;
  std::string holder;
  ASSERT_EQ(first.TryLock(dir_.File("data") + "/Lurra Family.settings.txt.lock",
                          "process 4242 on port COM3", &holder),
            kOk);
  // A restore from the held file is refused the same way.
  const std::string live = dir_.File("data") + "/Lurra Family.settings.txt";
  { std::ofstream(live) << "type=\"Digital Sensor\"\r\n"; }
  const std::string restore = "restore --port " + test::ShellQuote(transport_->SlavePath()) +
                              " --from " + test::ShellQuote(live) + " --data-dir " +
                              test::ShellQuote(dir_.File("data"));
  for (const std::string& command : {Update(""), restore}) {
    SCOPED_TRACE(command);
    test::ProgramRun run = Cli(command);
    EXPECT_EQ(run.status, 7) << run.output;
    EXPECT_TRUE(Has(run.output, "process 4242 on port COM3")) << run.output;
  }
  EXPECT_EQ(device_->WithSensor([](const sim::SdiSensor& s) { return s.counters().commandsHeard; }),
            0u);
}

// In an instrument build info reads the instrument's own settings and sends it no command
// that changes anything.
TEST(CliConsole, InfoOfAnInstrumentSendsNoChange) {
  const int type = ThisBuild().targetType;
  if (CommDeviceBuild() || !sim::InstrumentSettingsModel::HasSettings(type))
    GTEST_SKIP() << "no instrument settings in this build";
  sim::InstrumentModelOptions modelOptions;
  modelOptions.type = type;
  modelOptions.version = 210;
  modelOptions.battery = "64";
  sim::InstrumentSettingsModel model(modelOptions);
  model.FillInService();
  model.Set("-sn", "SN-4417-A");
  sim::SimDevice device(sim::OptionsForType(type, 210));
  device.SetShellExtension(model.Extension());
  sim::PtyTransport transport(&device);
  ASSERT_EQ(transport.Start(), 1);
  test::TempDir dir;
  test::ProgramRun run = CliStdout("info --events --port " +
                                   test::ShellQuote(transport.SlavePath()) + " --data-dir " +
                                   test::ShellQuote(dir.File("data")));
  ASSERT_EQ(run.status, 0) << run.output;
  std::vector<json> events = Events(run.output);
  ASSERT_EQ(events.size(), 1u) << run.output;
  EXPECT_EQ(events[0]["kind"], DeviceTypeDisplayName(type));
  EXPECT_EQ(events[0]["version"], "2.10");
  EXPECT_EQ(events[0]["serial"], "SN-4417-A");
  EXPECT_FALSE(events[0]["settings"].empty());
  for (const std::string& command : model.Commands()) {
    EXPECT_NE(command.rfind("set ", 0), 0u) << command;
    EXPECT_NE(command.rfind("yes", 0), 0u) << command;
  }
  EXPECT_EQ(model.Erasures(), 0);
}

// Questions are answered by name; one not named is cancelled, --answer answers all alike.
TEST_F(CliConsoleDevice, QuestionsAnsweredByName) {
  sim::SensorOptions bremo;
  ASSERT_TRUE(sim::SensorOptionsForType('z', 0, &bremo));
  bremo.hasLoader = false;  // an OK ends at the loader start, before anything is erased
  Boot(bremo);
  struct Case {
    std::string options;
    std::string answer;
  } cases[] = {
      {"--yes newer-firmware", "cancel"},
      {"--yes newer-firmware --yes wrong-sensor-type", "ok"},
      {"--yes settings-retrieve-error,wrong-sensor-type", "ok"},
      {"--answer ok", "ok"},
      {"", "cancel"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    // A folder each: an attempt that got past the question leaves its settings file.
    const std::string data = test::ShellQuote(dir_.File("data" + std::to_string(++n)));
    test::ProgramRun run = CliStdout("update --port " + test::ShellQuote(transport_->SlavePath()) +
                                     " --data-dir " + data + " --events " + c.options);
    std::vector<json> questions;
    bool loaderStarted = false;
    for (const json& e : Events(run.output)) {
      if (e["event"] == "question") questions.push_back(e);
      if (e["event"] == "status" && e["text"] == "Starting the firmware loader...")
        loaderStarted = true;
    }
    ASSERT_EQ(questions.size(), 1u) << run.output;
    EXPECT_EQ(questions[0]["name"], "wrong-sensor-type");
    EXPECT_EQ(questions[0]["answer"], c.answer);
    EXPECT_EQ(loaderStarted, c.answer == "ok") << run.output;
    // A cancel is a refusal: the sensor was not changed.
    if (c.answer == "cancel") {
      EXPECT_EQ(run.status, 4) << run.output;
    }
  }
}

// Runs a program with a pseudo-terminal as its standard streams; `reply` is typed once the
// output shows `prompt`.
std::string RunOnTerminal(const std::vector<std::string>& args, int* status,
                          std::string prompt = {}, const std::string& reply = {}) {
  std::string slavePath;
  const int master = test::OpenPtyMaster(&slavePath, nullptr, {.raw = false});
  if (master < 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string output;
  char buffer[4096];
  for (;;) {
    pollfd pfd{master, POLLIN, 0};
    if (poll(&pfd, 1, 120000) <= 0) break;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    output.append(buffer, static_cast<std::size_t>(n));
    if (!prompt.empty() && Has(output, prompt)) {
      if (write(master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
      prompt.clear();
    }
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  close(master);
  return output;
}

// A terminal gets a bar with percent, phase, elapsed time, rate and time left; a pipe a line
// every tenth. Both name the device and the log before the first write.
TEST_F(CliConsoleDevice, SlowProgressOnATerminalAndElsewhere) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.serialNumber = "LU-555";
  lurra.versionAfterUpdate = 396;
  int status = -1;
  std::string terminal;
  {
    // The time left shows once the upload's own rate is measured: real time, and frames
    // answered as slowly as a line at the loader's speed would.
    sim::ScopedTimeScale realTime(1);
    sim::SensorOptions slow = lurra;
    slow.faults.rules.resize(1);
    std::string error;
    ASSERT_TRUE(sim::ParseFaultRule("delay%1:W,ms=15", &slow.faults.rules[0], &error)) << error;
    Boot(slow);
    terminal = RunOnTerminal({QUENDAL_CLI_PATH, "update", "--port", transport_->SlavePath(),
                              "--data-dir", dir_.File("data")},
                             &status);
  }
  Boot(lurra);
  EXPECT_EQ(status, 0) << terminal;
  EXPECT_TRUE(Has(terminal, "\r[")) << terminal;
  EXPECT_TRUE(Has(terminal, "upload")) << terminal;
  EXPECT_TRUE(Has(terminal, " B/s")) << terminal;
  EXPECT_TRUE(Has(terminal, " left")) << terminal;
  EXPECT_TRUE(Has(terminal, "100%")) << terminal;

  test::ProgramRun piped = CliStdout(Update(""));
  EXPECT_EQ(piped.status, 0) << piped.output;
  EXPECT_FALSE(Has(piped.output, "\r")) << piped.output;
  std::size_t at = 0;
  for (int tenth = 1; tenth <= 9; ++tenth) {
    SCOPED_TRACE(tenth);
    at = piped.output.find("Progress: " + std::to_string(tenth), at);
    EXPECT_NE(at, std::string::npos) << piped.output;
    if (at == std::string::npos) break;
  }

  for (const std::string* out : {&terminal, &piped.output}) {
    const std::size_t device = out->find("Device: Lurra Family (type s) version 3.9");
    const std::size_t erase = out->find("Erasing firmware memory");
    EXPECT_NE(device, std::string::npos) << *out;
    EXPECT_LT(device, erase) << *out;
    EXPECT_TRUE(Has(*out, "serial LU-555")) << *out;
    EXPECT_TRUE(Has(*out, "Log: " + dir_.File("data") + "/")) << *out;
  }
}

// On a terminal a question no option answers is asked; one an option answers is not.
TEST_F(CliConsoleDevice, QuestionsOnATerminal) {
  sim::SensorOptions bremo;
  ASSERT_TRUE(sim::SensorOptionsForType('z', 0, &bremo));
  bremo.hasLoader = false;
  Boot(bremo);
  const std::vector<std::string> update = {QUENDAL_CLI_PATH, "update", "--port",
                                           transport_->SlavePath(), "--data-dir"};
  int status = -1;
  std::vector<std::string> args = update;
  args.push_back(dir_.File("asked"));
  std::string out = RunOnTerminal(args, &status, "[o/c]", "o\n");
  EXPECT_TRUE(Has(out, "[Wrong Sensor Type]")) << out;
  EXPECT_TRUE(Has(out, "Starting the firmware loader...")) << out;

  args = update;
  args.insert(args.end(), {dir_.File("answered"), "--answer", "cancel"});
  out = RunOnTerminal(args, &status, "[o/c]", "o\n");
  EXPECT_FALSE(Has(out, "[o/c]")) << out;
  EXPECT_TRUE(Has(out, "Answer: Cancel")) << out;
  EXPECT_EQ(status, 4) << out;
}

// A failure after the erase names what was left and how to finish, with its own status.
TEST_F(CliConsoleDevice, SlowFailureAfterTheEraseSaysHowToFinish) {
  sim::SensorOptions lurra;
  ASSERT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.corruptAfterUpdate = true;
  Boot(lurra);
  test::ProgramRun run = Cli(Update(""));
  EXPECT_EQ(run.status, 5) << run.output;
  EXPECT_TRUE(Has(run.output, "Start the update again on Comm Port")) << run.output;
}

// Every event of an operator given a port carries it, right after the event's name.
TEST(CliConsole, EventsCarryTheGivenPort) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    cli::CliOperator ui(true, kBoxCancel, out);
    ui.SetStatus("before");
    ui.SetEventPort("ttyUSB3");
    ui.SetStatus("one");
    ui.SetProgress(5);
    ui.Result(1, 2);
  }
  std::rewind(out);
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out)) text += buffer;
  std::fclose(out);
  std::vector<nlohmann::ordered_json> events;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    events.push_back(nlohmann::ordered_json::parse(line));
  ASSERT_EQ(events.size(), 4u) << text;
  EXPECT_FALSE(events[0].contains("port"));
  for (std::size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["port"], "ttyUSB3") << text;
    EXPECT_EQ(std::next(events[i].begin()).key(), "port") << text;
  }
  EXPECT_EQ(events[3]["code"], 1);  // the event's own fields are all still there
}

}  // namespace
}  // namespace quendal
