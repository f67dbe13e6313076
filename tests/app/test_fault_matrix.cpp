// The fault matrix: the interruptions an update meets in the field, on a sensor behind a
// KCD, a Corvel Four and a data logger. Each cell cuts a first attempt short; a second Start
// with the fault gone must then end with the image in flash and every setting back. Each
// test prints its table and its pass count.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/engine/updater_engine.h"
#include "sim/comm_device.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/logger_shell.h"
#include "sim/pty_transport.h"
#include "tests/app/recording_operator.h"
#include "tests/support/child_program.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/type_image.h"

namespace quendal {
namespace {

using test::ChildProgram;
using test::RecordingOperator;

enum class Fault { kKill, kInterrupt, kPortVanishes, kPowerLoss, kLoaderWaiting, kLoaderActive };

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kKill:
      return "killed (SIGKILL)";
    case Fault::kInterrupt:
      return "interrupted (SIGINT)";
    case Fault::kPortVanishes:
      return "port vanishes";
    case Fault::kPowerLoss:
      return "power loss";
    case Fault::kLoaderWaiting:
      return "loader left waiting";
    case Fault::kLoaderActive:
      return "loader left active";
  }
  return "?";
}

struct Cell {
  Fault fault;
  UpdateStage stage;
};

// Where in the output of an update a stage has begun: a status text, then optionally a
// progress value, then a pause.
struct Trigger {
  std::string status;
  std::string progress;
  int pauseMs = 0;
};

Trigger TriggerFor(UpdateStage stage, bool instrument) {
  switch (stage) {
    case UpdateStage::kConnect:
      return {"Connecting to", "", 0};
    case UpdateStage::kSave:
      return {"Saving settings for this", "", 0};
    case UpdateStage::kLoaderStart:
      return {"Starting the firmware loader...", "", 0};
    case UpdateStage::kErase:
      return {"Erasing firmware memory...", "", 0};
    case UpdateStage::kUpload:
      return {"Uploading new firmware code...", "\"value\":50}", 0};
    case UpdateStage::kVectors:
      return {"Restarting the ", "", 0};
    case UpdateStage::kRestart:
      return {"Restarting the ", "", instrument ? 1500 : 300};
    case UpdateStage::kCheck:
      return {"Checking new firmware...", "", 0};
    case UpdateStage::kRestore:
      return {"Restoring settings...", "", 0};
  }
  return {};
}

bool WaitForStage(ChildProgram* child, const Trigger& trigger) {
  if (!child->WaitFor("\"text\":\"" + trigger.status, 120000)) return false;
  if (!trigger.progress.empty() && !child->WaitFor(trigger.progress, 60000)) return false;
  if (trigger.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(trigger.pauseMs));
  return true;
}

// Writes what the engine says as the console program's events do, so that a forked engine
// can be watched like the console program.
class EventPrinter : public OperatorInterface {
 public:
  void SetStatus(const char* text) override {
    std::printf("{\"event\":\"status\",\"text\":\"%s\"}\n", text);
    std::fflush(stdout);
  }
  void HideStatus() override {}
  void SetProgress(int position) override {
    std::printf("{\"event\":\"progress\",\"value\":%d}\n", position);
    std::fflush(stdout);
  }
  void ShowMessage(const char* text, const char* caption, int) override {
    std::printf("{\"event\":\"message\",\"caption\":\"%s\"}\n%s\n", caption, text);
    std::fflush(stdout);
  }
  int MessageBox(const char*, const char*, int) override { return kBoxCancel; }
  void Beep(int) override {}
  void PumpMessages() override {}
  void SetConnectText(const char*) override {}
};

// An operator that clears keep going once a stage has begun, as the console program does
// at its first interrupt.
class InterruptingOperator : public RecordingOperator {
 public:
  InterruptingOperator(UpdaterEngine** engine, Trigger trigger)
      : engine_(engine), trigger_(std::move(trigger)) {}
  void SetStatus(const char* text) override {
    RecordingOperator::SetStatus(text);
    if (std::string(text).rfind(trigger_.status, 0) == 0) statusSeen_ = true;
    Check();
  }
  void SetProgress(int position) override {
    RecordingOperator::SetProgress(position);
    if (statusSeen_ && !trigger_.progress.empty() &&
        trigger_.progress == "\"value\":" + std::to_string(position) + "}") {
      progressSeen_ = true;
    }
    Check();
  }

 private:
  void Check() {
    if (statusSeen_ && (trigger_.progress.empty() || progressSeen_)) (*engine_)->keepGoing = false;
  }
  UpdaterEngine** engine_;
  Trigger trigger_;
  bool statusSeen_ = false;
  bool progressSeen_ = false;
};

// Stops the transport, as an adapter pulled out, once the upload is half done.
class PullingOperator : public RecordingOperator {
 public:
  explicit PullingOperator(std::function<void()> pull) : pull_(std::move(pull)) {}
  void SetProgress(int position) override {
    RecordingOperator::SetProgress(position);
    if (uploading_ && position >= 50 && pull_) {
      pull_();
      pull_ = nullptr;
    }
  }
  void SetStatus(const char* text) override {
    RecordingOperator::SetStatus(text);
    uploading_ = std::string(text) == "Uploading new firmware code...";
  }

 private:
  std::function<void()> pull_;
  bool uploading_ = false;
};

// One device on the bench, whatever its kind.
struct Bench {
  BuildSettings build;
  std::string image;  // a TI-Text file to open; empty: the build's own image
  std::function<std::string()> port;
  std::function<void(const std::string& rule)> setFault;  // empty rule: no faults
  std::function<void()> pull;                             // the adapter goes
  std::function<void()> plugBack;                         // and comes back
  std::function<std::string()> whatIsWrong;               // after the second Start; empty: all well
  // The frame letter a power loss hits at each loader stage.
  bool cliRuns = false;  // kills and interrupts go to the console program itself
};

class FaultMatrix : public testing::Test {
 protected:
  std::unique_ptr<UpdaterEngine> Engine(Bench& bench, OperatorInterface* ui) {
    auto engine = std::make_unique<UpdaterEngine>(ui, bench.build);
    EXPECT_EQ(EngineStart(engine.get(), {}, dir_.File("data")), 0);
    if (!bench.image.empty()) {
      EXPECT_GT(OpenFirmwareFile(engine.get(), bench.image.c_str()), 0);
    }
    SelectPort(engine.get(), bench.port(), "bench port");
    return engine;
  }
  std::string LogText() const {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File("data"))) {
      if (entry.path().string().find(".errors.txt") != std::string::npos) {
        all += test::ReadWholeFile(entry.path().string());
      }
    }
    return all;
  }

  // The first attempt of `cell`; empty when it ended as the cell expects, else why not.
  std::string FirstAttempt(Bench& bench, const Cell& cell) {
    const bool instrument = bench.build.targetType != kTypeDigitalSensor;
    const Trigger trigger = TriggerFor(cell.stage, instrument);
    switch (cell.fault) {
      case Fault::kKill:
      case Fault::kInterrupt: {
        if (cell.fault == Fault::kInterrupt && !bench.cliRuns) {
          UpdaterEngine* raw = nullptr;
          InterruptingOperator ui(&raw, trigger);
          auto engine = Engine(bench, &ui);
          raw = engine.get();
          const Status rc = RunUpdate(engine.get());
          if (cell.stage >= UpdateStage::kVectors) return rc == 1 ? "" : "did not finish";
          if (rc != kCancelled) return "ended with " + std::to_string(rc);
          if (!ui.shown.empty()) return "showed " + ui.Captions();
          return LeftBehindText(*engine).empty() ? "nothing said of what was left" : "";
        }
        std::unique_ptr<ChildProgram> child;
        if (bench.cliRuns) {
          child = std::make_unique<ChildProgram>(
              ChildProgram::Exec({QUENDAL_CLI_PATH, "update", "--port", bench.port(), "--data-dir",
                                  dir_.File("data"), "--events"}));
        } else {
          child = std::make_unique<ChildProgram>([&] {
            EventPrinter printer;
            auto engine = Engine(bench, &printer);
            return RunUpdate(engine.get()) == 1 ? 0 : 1;
          });
        }
        if (!WaitForStage(child.get(), trigger)) return "stage never reached:\n" + child->output;
        child->Signal(cell.fault == Fault::kKill ? SIGKILL : SIGINT);
        const int status = child->Wait(120000);
        if (cell.fault == Fault::kKill) return status == 128 + SIGKILL ? "" : "not killed";
        if (cell.stage >= UpdateStage::kVectors) {
          return status == 0 ? "" : "after the vectors it should finish: " + child->output;
        }
        if (status != 130) return "exit status " + std::to_string(status) + "\n" + child->output;
        if (child->output.find("\"event\":\"interrupted\"") == std::string::npos)
          return "nothing said of what was left";
        return "";
      }
      case Fault::kPortVanishes: {
        PullingOperator ui(bench.pull);
        auto engine = Engine(bench, &ui);
        const auto start = std::chrono::steady_clock::now();
        const Status rc = RunUpdate(engine.get());
        const auto took = std::chrono::steady_clock::now() - start;
        bench.plugBack();
        if (rc >= 0) return "succeeded without its port";
        if (ui.shown.empty()) return "no message";
        if (took > std::chrono::seconds(90)) return "clean-up took too long";
        return "";
      }
      case Fault::kPowerLoss:
      case Fault::kLoaderWaiting:
      case Fault::kLoaderActive: {
        const char* letter = cell.stage == UpdateStage::kErase     ? "X"
                             : cell.stage == UpdateStage::kVectors ? "V"
                                                                   : "W";
        const std::string at = cell.stage == UpdateStage::kErase     ? "@5"
                               : cell.stage == UpdateStage::kVectors ? "@1"
                                                                     : "@40";
        bench.setFault(cell.fault == Fault::kLoaderActive
                           ? "refuse" + at + "+100000:" + letter
                           : "power" + at + ":" + letter + ",ms=200");
        RecordingOperator ui;
        auto engine = Engine(bench, &ui);
        const Status rc = RunUpdate(engine.get());
        bench.setFault("");
        // Power lost at the vectors may leave a device that starts its new firmware all the
        // same: no harm done, and the second Start must still end well.
        if (rc >= 0 && !(cell.fault == Fault::kPowerLoss && cell.stage == UpdateStage::kVectors))
          return "succeeded through the fault";
        if (rc >= 0) return "";
        if (ui.shown.empty()) return "no message";
        return "";
      }
    }
    return "?";
  }

  // Runs every cell on a fresh bench from `makeBench` and prints the table.
  void RunMatrix(const char* unit, const std::vector<Cell>& cells,
                 const std::function<Bench()>& makeBench) {
    int passed = 0;
    int counted = 0;
    std::string table = std::string("\nFault matrix: ") + unit + "\n";
    char line[200];
    std::snprintf(line, sizeof line, "  %-22s %-13s %-8s %-8s %s\n", "fault", "stage", "first",
                  "second", "");
    table += line;
    for (const Cell& cell : cells) {
      SCOPED_TRACE(std::string(FaultName(cell.fault)) + " at " + UpdateStageName(cell.stage));
      Bench bench = makeBench();
      const std::string first = FirstAttempt(bench, cell);
      std::string second;
      if (first.empty()) {
        RecordingOperator ui;
        auto engine = Engine(bench, &ui);
        const Status rc = RunUpdate(engine.get());
        second = rc == 1 ? bench.whatIsWrong()
                         : "ended with " + std::to_string(rc) + ": " + ui.Captions();
        engine.reset();
      }
      const bool ok = first.empty() && second.empty();
      ++counted;
      if (ok) ++passed;
      std::snprintf(line, sizeof line, "  %-22s %-13s %-8s %-8s\n", FaultName(cell.fault),
                    UpdateStageName(cell.stage), first.empty() ? "ok" : "FAIL",
                    first.empty() ? (second.empty() ? "ok" : "FAIL") : "-");
      EXPECT_TRUE(first.empty()) << "first attempt: " << first;
      EXPECT_TRUE(second.empty()) << "second Start: " << second << "\n" << LogText();
      table += line;
    }
    std::snprintf(line, sizeof line, "  %d of %d cells pass\n", passed, counted);
    table += line;
    std::printf("%s", table.c_str());
    std::fflush(stdout);
    RecordProperty("cells_passed", passed);
  }

  // An image for the flash layout of the type `code` names, whose check block the device's
  // self-test finds.
  std::string MakeImage(const std::string& code) {
    const std::string image = dir_.File(code + " 2-10.txt");
    EXPECT_TRUE(test::MakeTypeImage(code, image)) << code;
    return image;
  }

  void Clean() { std::filesystem::remove_all(dir_.File("data")); }

  test::TempDir dir_;
};

// The stages at which the first attempt is cut short by a kill or an interrupt.
std::vector<Cell> KillAndInterruptCells(bool withRestart) {
  std::vector<Cell> cells;
  for (Fault fault : {Fault::kKill, Fault::kInterrupt}) {
    for (UpdateStage stage : {UpdateStage::kConnect, UpdateStage::kSave, UpdateStage::kLoaderStart,
                              UpdateStage::kErase, UpdateStage::kUpload, UpdateStage::kVectors,
                              UpdateStage::kRestart, UpdateStage::kCheck, UpdateStage::kRestore}) {
      if (stage == UpdateStage::kRestart && !withRestart) continue;
      // A kill once the new firmware runs leaves its settings only in the file, which the
      // second Start must restore from rather than capture the emptied device over.
      cells.push_back({fault, stage});
    }
  }
  return cells;
}

TEST_F(FaultMatrix, SlowSensorBehindAKcd) {
  if (ThisBuild().targetType != kTypeDigitalSensor) GTEST_SKIP() << "an instrument build";
  std::vector<Cell> cells = KillAndInterruptCells(true);
  cells.push_back({Fault::kPortVanishes, UpdateStage::kUpload});
  for (UpdateStage stage : {UpdateStage::kErase, UpdateStage::kUpload, UpdateStage::kVectors})
    cells.push_back({Fault::kPowerLoss, stage});
  cells.push_back({Fault::kLoaderActive, UpdateStage::kUpload});

  std::unique_ptr<sim::CommDevice> device;
  std::unique_ptr<sim::PtyTransport> transport;
  struct Facts {
    char address;
    std::string serialNumber, x4, xa;
  } before{};
  auto facts = [&] {
    return device->WithSensor([](const sim::SdiSensor& s) {
      return Facts{s.address(), s.serialNumber(), s.x4(), s.xa()};
    });
  };
  RunMatrix("sensor behind a KCD", cells, [&] {
    Clean();
    transport.reset();
    sim::CommDeviceOptions options;
    EXPECT_TRUE(sim::CommPresetOptions("kcd", &options));
    sim::SensorOptions lurra;
    EXPECT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
    lurra.versionAfterUpdate = 396;
    lurra.address = '3';
    lurra.serialNumber = "LU-20931";
    options.sensor = lurra;
    device = std::make_unique<sim::CommDevice>(std::move(options));
    transport = std::make_unique<sim::PtyTransport>(device.get());
    EXPECT_EQ(transport->Start(), 1);
    before = facts();
    Bench bench;
    bench.build = ThisBuild();
    bench.cliRuns = true;
    bench.port = [&] { return transport->SlavePath(); };
    bench.setFault = [&](const std::string& rule) {
      sim::FaultPlan plan;
      if (!rule.empty()) {
        plan.rules.resize(1);
        std::string error;
        EXPECT_TRUE(sim::ParseFaultRule(rule, &plan.rules[0], &error)) << error;
      }
      device->SetSensorFaults(plan);
    };
    bench.pull = [&] { transport->Stop(); };
    bench.plugBack = [&] {
      transport = std::make_unique<sim::PtyTransport>(device.get());
      EXPECT_EQ(transport->Start(), 1);
    };
    bench.whatIsWrong = [&]() -> std::string {
      const bool good = device->WithSensor(
          [](const sim::SdiSensor& s) { return s.SelfTestPasses() && s.version() == 396; });
      if (!good) return "the new firmware is not in";
      const Facts after = facts();
      if (after.address != before.address || after.serialNumber != before.serialNumber ||
          after.x4 != before.x4 || after.xa != before.xa) {
        return std::string("settings not back: address ") + after.address + ", serial number " +
               after.serialNumber;
      }
      return "";
    };
    return bench;
  });
}

// An instrument (`type`) with its settings model, for the Corvel Four and the data logger.
struct InstrumentBench {
  std::unique_ptr<sim::InstrumentSettingsModel> model;
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<sim::SimLogger> logger;
  std::unique_ptr<sim::PtyTransport> transport;
  std::map<std::string, std::string> before;

  std::map<std::string, std::string> Settings() const {
    std::map<std::string, std::string> all;
    if (logger) {
      for (const auto& [key, value] : logger->Settings()) all[key] = value;
    } else {
      for (const std::string& key : model->Keys()) all[key] = model->Get(key);
    }
    return all;
  }
  sim::SimDevice& Device() { return logger ? logger->Device() : *device; }
};

void FillBench(FaultMatrix*, InstrumentBench* ib, Bench* bench) {
  bench->port = [ib] { return ib->transport->SlavePath(); };
  bench->setFault = [ib](const std::string& rule) {
    sim::FaultPlan plan;
    if (!rule.empty()) {
      plan.rules.resize(1);
      std::string error;
      EXPECT_TRUE(sim::ParseFaultRule(rule, &plan.rules[0], &error)) << error;
    }
    ib->Device().SetFaults(plan);
  };
  bench->pull = [ib] { ib->transport->Stop(); };
  bench->plugBack = [ib] {
    sim::Endpoint* endpoint = ib->logger ? static_cast<sim::Endpoint*>(ib->logger.get())
                                         : static_cast<sim::Endpoint*>(ib->device.get());
    ib->transport = std::make_unique<sim::PtyTransport>(endpoint);
    EXPECT_EQ(ib->transport->Start(), 1);
  };
  bench->whatIsWrong = [ib]() -> std::string {
    if (!ib->Device().SelfTestPasses()) return "the new firmware is not in";
    const auto after = ib->Settings();
    for (const auto& [key, value] : ib->before) {
      auto it = after.find(key);
      if (it == after.end() || it->second != value) {
        return "setting " + key + " is \"" + (it == after.end() ? "" : it->second) + "\", was \"" +
               value + "\"";
      }
    }
    return "";
  };
}

TEST_F(FaultMatrix, SlowCorvelFour) {
  std::vector<Cell> cells;
  for (Cell c : KillAndInterruptCells(true)) {
    // The stages before the loader leave the instrument as it was: the save stands for them.
    if (c.stage == UpdateStage::kConnect || c.stage == UpdateStage::kLoaderStart) continue;
    cells.push_back(c);
  }
  cells.push_back({Fault::kPortVanishes, UpdateStage::kUpload});
  for (UpdateStage stage : {UpdateStage::kErase, UpdateStage::kUpload})
    cells.push_back({Fault::kPowerLoss, stage});
  cells.push_back({Fault::kLoaderWaiting, UpdateStage::kUpload});
  cells.push_back({Fault::kLoaderActive, UpdateStage::kUpload});

  InstrumentBench ib;
  const std::string image = MakeImage("CVFOUR");
  RunMatrix("Corvel Four (loader at 57600 baud)", cells, [&] {
    Clean();
    ib.transport.reset();
    sim::InstrumentModelOptions modelOptions;
    modelOptions.type = kTypeCvFour;
    modelOptions.version = 205;
    ib.model = std::make_unique<sim::InstrumentSettingsModel>(modelOptions);
    for (const std::string& key : ib.model->Keys())
      ib.model->Set(key, ib.model->IsNumberKey(key) ? "7" : "v" + key.substr(1));
    ib.model->Set("-sn", "SN-4417-A");
    ib.model->Set("-config", "1000");
    ib.device = std::make_unique<sim::SimDevice>(sim::OptionsForType(kTypeCvFour, 205));
    ib.device->SetShellExtension(ib.model->Extension());
    ib.device->SetStartHook([model = ib.model.get()] { model->Restarted(); });
    ib.device->SetInfoEraseHook([model = ib.model.get()] { model->FactoryReset(); });
    ib.transport = std::make_unique<sim::PtyTransport>(ib.device.get());
    EXPECT_EQ(ib.transport->Start(), 1);
    ib.before = ib.Settings();
    Bench bench;
    bench.build.targetType = kTypeCvFour;
    bench.build.engineVersion = "9.8.7";
    bench.image = image;
    FillBench(this, &ib, &bench);
    return bench;
  });
}

TEST_F(FaultMatrix, SlowDataLogger) {
  const std::vector<Cell> cells = {
      {Fault::kKill, UpdateStage::kUpload},         {Fault::kInterrupt, UpdateStage::kUpload},
      {Fault::kPortVanishes, UpdateStage::kUpload}, {Fault::kPowerLoss, UpdateStage::kUpload},
      {Fault::kLoaderActive, UpdateStage::kUpload},
  };
  InstrumentBench ib;
  const std::string image = MakeImage("TARNB");
  RunMatrix("Tarnb data logger", cells, [&] {
    Clean();
    ib.transport.reset();
    ib.logger = std::make_unique<sim::SimLogger>(sim::LoggerOptionsFor(sim::LoggerKind::kTarnb));
    EXPECT_TRUE(ib.logger->SetSetting("sn", "TB-0042"));
    ib.transport = std::make_unique<sim::PtyTransport>(ib.logger.get());
    EXPECT_EQ(ib.transport->Start(), 1);
    ib.before = ib.Settings();
    Bench bench;
    bench.build.targetType = kTypeTarnb;
    bench.build.engineVersion = "9.8.7";
    bench.image = image;
    FillBench(this, &ib, &bench);
    return bench;
  });
}

}  // namespace
}  // namespace quendal
