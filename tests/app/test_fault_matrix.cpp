// The fault matrix: the interruptions an update meets in the field, on a sensor behind a
// KCD, a Corvel Four and a data logger. Each cell cuts a first attempt short; a second Start
// with the fault gone must then end with the image in flash and every setting back. One test
// per cell (UNIT/FaultMatrix.Slow/FAULT_AT_STAGE), so that ctest spreads them over the cores;
// each prints its row of the table.
#include <gtest/gtest.h>

#include <chrono>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli_operator.h"
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

enum class Fault {
  kKill,
  kInterrupt,
  kPortVanishes,
  kPowerLoss,
  kLoaderWaiting,
  kLoaderActive,
  kLineNoise,
};

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
    case Fault::kLineNoise:
      return "line noise";
  }
  return "?";
}

// For test names: "Kill", "PortVanishes".
const char* FaultWord(Fault fault) {
  switch (fault) {
    case Fault::kKill:
      return "Kill";
    case Fault::kInterrupt:
      return "Interrupt";
    case Fault::kPortVanishes:
      return "PortVanishes";
    case Fault::kPowerLoss:
      return "PowerLoss";
    case Fault::kLoaderWaiting:
      return "LoaderWaiting";
    case Fault::kLoaderActive:
      return "LoaderActive";
    case Fault::kLineNoise:
      return "LineNoise";
  }
  return "Unknown";
}

enum class Unit { kKcdSensor, kCorvelFour, kDataLogger };

struct Cell {
  Unit unit;
  Fault fault;
  UpdateStage stage;
};

// The stages at which the first attempt is cut short by a kill or an interrupt.
void AddKillsAndInterrupts(Unit unit, std::vector<Cell>* cells) {
  for (Fault fault : {Fault::kKill, Fault::kInterrupt}) {
    for (UpdateStage stage : {UpdateStage::kConnect, UpdateStage::kSave, UpdateStage::kLoaderStart,
                              UpdateStage::kErase, UpdateStage::kUpload, UpdateStage::kVectors,
                              UpdateStage::kRestart, UpdateStage::kCheck, UpdateStage::kRestore}) {
      // On the Corvel Four the stages before the loader leave the instrument as it was: the
      // save stands for them.
      if (unit == Unit::kCorvelFour &&
          (stage == UpdateStage::kConnect || stage == UpdateStage::kLoaderStart)) {
        continue;
      }
      // A kill once the new firmware runs leaves its settings only in the file, which the
      // second Start must restore from rather than capture the emptied device over.
      cells->push_back({unit, fault, stage});
    }
  }
}

// Every cell of a unit. A new kind of fault is a Fault, its first attempt in FirstAttempt
// and its lines here.
std::vector<Cell> CellsOf(Unit unit) {
  std::vector<Cell> cells;
  // A noisy cable while the settings go out of the unit and back in.
  for (UpdateStage stage : {UpdateStage::kSave, UpdateStage::kRestore})
    cells.push_back({unit, Fault::kLineNoise, stage});
  switch (unit) {
    case Unit::kKcdSensor:
      AddKillsAndInterrupts(unit, &cells);
      cells.push_back({unit, Fault::kPortVanishes, UpdateStage::kUpload});
      for (UpdateStage stage : {UpdateStage::kErase, UpdateStage::kUpload, UpdateStage::kVectors})
        cells.push_back({unit, Fault::kPowerLoss, stage});
      cells.push_back({unit, Fault::kLoaderActive, UpdateStage::kUpload});
      break;
    case Unit::kCorvelFour:
      AddKillsAndInterrupts(unit, &cells);
      cells.push_back({unit, Fault::kPortVanishes, UpdateStage::kUpload});
      for (UpdateStage stage : {UpdateStage::kErase, UpdateStage::kUpload})
        cells.push_back({unit, Fault::kPowerLoss, stage});
      cells.push_back({unit, Fault::kLoaderWaiting, UpdateStage::kUpload});
      cells.push_back({unit, Fault::kLoaderActive, UpdateStage::kUpload});
      break;
    case Unit::kDataLogger:
      for (Fault fault : {Fault::kKill, Fault::kInterrupt, Fault::kPortVanishes, Fault::kPowerLoss,
                          Fault::kLoaderActive}) {
        cells.push_back({unit, fault, UpdateStage::kUpload});
      }
      break;
  }
  return cells;
}

// "KillAtLoaderStart".
std::string CellName(const testing::TestParamInfo<Cell>& info) {
  std::string stage;
  bool upper = true;
  for (const char* c = UpdateStageName(info.param.stage); *c; ++c) {
    if (*c == ' ') {
      upper = true;
      continue;
    }
    stage += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
    upper = false;
  }
  return std::string(FaultWord(info.param.fault)) + "At" + stage;
}

// Where in the event stream of an update a stage has begun: the stage's phase event (the
// connect stage, where every update begins, has none: its status text), then optionally a
// progress value.
struct Trigger {
  std::string status;  // the status text an in-process operator watches for
  std::string event;   // the text of a child's event stream to wait for
  std::string progress;
};

Trigger TriggerFor(UpdateStage stage) {
  const std::string phase = std::string("\"event\":\"phase\",\"name\":\"") +
                            UpdateStageName(stage) + "\"";
  switch (stage) {
    case UpdateStage::kConnect:
      return {"Connecting to", "\"text\":\"Connecting to", ""};
    case UpdateStage::kSave:
      return {"Saving settings for this", phase, ""};
    case UpdateStage::kLoaderStart:
      return {"Starting the firmware loader...", phase, ""};
    case UpdateStage::kErase:
      return {"Erasing firmware memory...", phase, ""};
    case UpdateStage::kUpload:
      return {"Uploading new firmware code...", phase, "\"value\":50}"};
    case UpdateStage::kVectors:
    case UpdateStage::kRestart:
      return {"Restarting the ", phase, ""};
    case UpdateStage::kCheck:
      return {"Checking new firmware...", phase, ""};
    case UpdateStage::kRestore:
      return {"Restoring settings...", phase, ""};
  }
  return {};
}

bool WaitForStage(ChildProgram* child, const Trigger& trigger) {
  if (!child->WaitFor(trigger.event, 120000)) return false;
  return trigger.progress.empty() || child->WaitFor(trigger.progress, 60000);
}

// An operator that asks the update to stop once a stage has begun, as the console program does
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
    if (statusSeen_ && (trigger_.progress.empty() || progressSeen_)) RequestStop(*engine_);
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

// Puts noise on the line when the update enters a stage: 1 % of the bytes both ways changed,
// for a second and a half.
class NoisyOperator : public RecordingOperator {
 public:
  NoisyOperator(std::function<void(const sim::LineNoise&)> noise, std::string stage)
      : noise_(std::move(noise)), stage_(std::move(stage)) {}
  void StageEntered(const char* stage) override {
    if (stage_ != stage || !noise_) return;
    sim::LineNoise noise;
    noise.flipRate = 0.01;
    noise.ms = 1500;
    noise_(noise);
  }

 private:
  std::function<void(const sim::LineNoise&)> noise_;
  std::string stage_;
};

// One device on the bench, whatever its kind.
struct Bench {
  BuildSettings build;
  std::string image;  // a TI-Text file to open; empty: the build's own image
  std::function<std::string()> port;
  std::function<void(const std::string& rule)> setFault;  // empty rule: no faults
  std::function<void()> pull;                             // the adapter goes
  std::function<void()> plugBack;                         // and comes back
  std::function<void(const sim::LineNoise&)> noise;       // on the unit's line
  std::function<std::string()> whatIsWrong;               // after the second Start; empty: all well
  // The frame letter a power loss hits at each loader stage.
  bool cliRuns = false;  // kills and interrupts go to the console program itself
};

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

class FaultMatrix : public testing::TestWithParam<Cell> {
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
    const Trigger trigger = TriggerFor(cell.stage);
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
            cli::CliOperator printer(true, kBoxCancel);
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
      case Fault::kLineNoise: {
        NoisyOperator ui(bench.noise, UpdateStageName(cell.stage));
        auto engine = Engine(bench, &ui);
        const Status rc = RunUpdate(engine.get());
        bench.noise(sim::LineNoise{});
        if (rc == 1) {
          const std::string wrong = bench.whatIsWrong();
          return wrong.empty() ? "" : "succeeded with " + wrong;
        }
        if (ui.shown.empty()) return "no message";
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

  // Runs `cell` on a fresh bench and prints its row of the table.
  void RunCell(const Cell& cell, Bench bench) {
    const std::string first = FirstAttempt(bench, cell);
    std::string second;
    if (first.empty()) {
      RecordingOperator ui;
      auto engine = Engine(bench, &ui);
      const Status rc = RunUpdate(engine.get());
      second =
          rc == 1 ? bench.whatIsWrong() : "ended with " + std::to_string(rc) + ": " + ui.Captions();
      engine.reset();
    }
    std::printf("Fault matrix: %-22s %-13s %-8s %-8s\n", FaultName(cell.fault),
                UpdateStageName(cell.stage), first.empty() ? "ok" : "FAIL",
                first.empty() ? (second.empty() ? "ok" : "FAIL") : "-");
    std::fflush(stdout);
    EXPECT_TRUE(first.empty()) << "first attempt: " << first;
    EXPECT_TRUE(second.empty()) << "second Start: " << second << "\n" << LogText();
  }

  // An image for the flash layout of the type `code` names, whose check block the device's
  // self-test finds.
  std::string MakeImage(const std::string& code) {
    const std::string image = dir_.File(code + " 2-10.txt");
    EXPECT_TRUE(test::MakeTypeImage(code, image)) << code;
    return image;
  }

  Bench KcdSensorBench();
  Bench CorvelFourBench();
  Bench DataLoggerBench();

  test::TempDir dir_;
  // The sensor behind a KCD.
  struct SensorFacts {
    char address;
    std::string serialNumber, x4, xa;
  };
  SensorFacts Facts() const {
    return comm_->WithSensor([](const sim::SdiSensor& s) {
      return SensorFacts{s.address(), s.serialNumber(), s.x4(), s.xa()};
    });
  }
  std::unique_ptr<sim::CommDevice> comm_;
  std::unique_ptr<sim::PtyTransport> commTransport_;
  SensorFacts sensorBefore_{};
  InstrumentBench ib_;
};

Bench FaultMatrix::KcdSensorBench() {
  sim::CommDeviceOptions options;
  EXPECT_TRUE(sim::CommPresetOptions("kcd", &options));
  sim::SensorOptions lurra;
  EXPECT_TRUE(sim::SensorOptionsForType('s', 390, &lurra));
  lurra.versionAfterUpdate = 396;
  lurra.address = '3';
  lurra.serialNumber = "LU-20931";
  options.sensor = lurra;
  comm_ = std::make_unique<sim::CommDevice>(std::move(options));
  commTransport_ = std::make_unique<sim::PtyTransport>(comm_.get());
  EXPECT_EQ(commTransport_->Start(), 1);
  sensorBefore_ = Facts();
  Bench bench;
  bench.build = ThisBuild();
  bench.cliRuns = true;
  bench.port = [this] { return commTransport_->SlavePath(); };
  bench.setFault = [this](const std::string& rule) {
    sim::FaultPlan plan;
    if (!rule.empty()) {
      plan.rules.resize(1);
      std::string error;
      EXPECT_TRUE(sim::ParseFaultRule(rule, &plan.rules[0], &error)) << error;
    }
    comm_->SetSensorFaults(plan);
  };
  bench.pull = [this] { commTransport_->Stop(); };
  bench.noise = [this](const sim::LineNoise& noise) { commTransport_->SetLineNoise(noise); };
  bench.plugBack = [this] {
    commTransport_ = std::make_unique<sim::PtyTransport>(comm_.get());
    EXPECT_EQ(commTransport_->Start(), 1);
  };
  bench.whatIsWrong = [this]() -> std::string {
    const bool good = comm_->WithSensor(
        [](const sim::SdiSensor& s) { return s.SelfTestPasses() && s.version() == 396; });
    if (!good) return "the new firmware is not in";
    const SensorFacts after = Facts();
    if (after.address != sensorBefore_.address ||
        after.serialNumber != sensorBefore_.serialNumber || after.x4 != sensorBefore_.x4 ||
        after.xa != sensorBefore_.xa) {
      return std::string("settings not back: address ") + after.address + ", serial number " +
             after.serialNumber;
    }
    return "";
  };
  return bench;
}

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
  bench->noise = [ib](const sim::LineNoise& noise) { ib->transport->SetLineNoise(noise); };
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

Bench FaultMatrix::CorvelFourBench() {
  sim::InstrumentModelOptions modelOptions;
  modelOptions.type = kTypeCvFour;
  modelOptions.version = 205;
  ib_.model = std::make_unique<sim::InstrumentSettingsModel>(modelOptions);
  for (const std::string& key : ib_.model->Keys())
    ib_.model->Set(key, ib_.model->IsNumberKey(key) ? "7" : "v" + key.substr(1));
  ib_.model->Set("-sn", "SN-4417-A");
  ib_.model->Set("-config", "1000");
  ib_.device = std::make_unique<sim::SimDevice>(sim::OptionsForType(kTypeCvFour, 205));
  ib_.device->SetShellExtension(ib_.model->Extension());
  ib_.device->SetStartHook([model = ib_.model.get()] { model->Restarted(); });
  ib_.device->SetInfoEraseHook([model = ib_.model.get()] { model->FactoryReset(); });
  ib_.transport = std::make_unique<sim::PtyTransport>(ib_.device.get());
  EXPECT_EQ(ib_.transport->Start(), 1);
  ib_.before = ib_.Settings();
  Bench bench;
  bench.build.targetType = kTypeCvFour;
  bench.build.engineVersion = "9.8.7";
  bench.image = MakeImage("CVFOUR");
  FillBench(this, &ib_, &bench);
  return bench;
}

Bench FaultMatrix::DataLoggerBench() {
  ib_.logger = std::make_unique<sim::SimLogger>(sim::LoggerOptionsFor(sim::LoggerKind::kTarnb));
  EXPECT_TRUE(ib_.logger->SetSetting("sn", "TB-0042"));
  ib_.transport = std::make_unique<sim::PtyTransport>(ib_.logger.get());
  EXPECT_EQ(ib_.transport->Start(), 1);
  ib_.before = ib_.Settings();
  Bench bench;
  bench.build.targetType = kTypeTarnb;
  bench.build.engineVersion = "9.8.7";
  bench.image = MakeImage("TARNB");
  FillBench(this, &ib_, &bench);
  return bench;
}

TEST_P(FaultMatrix, Slow) {
  const Cell& cell = GetParam();
  switch (cell.unit) {
    case Unit::kKcdSensor:
      if (ThisBuild().targetType != kTypeDigitalSensor) GTEST_SKIP() << "an instrument build";
      RunCell(cell, KcdSensorBench());
      break;
    case Unit::kCorvelFour:
      RunCell(cell, CorvelFourBench());
      break;
    case Unit::kDataLogger:
      RunCell(cell, DataLoggerBench());
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(KcdSensor, FaultMatrix, testing::ValuesIn(CellsOf(Unit::kKcdSensor)),
                         CellName);
INSTANTIATE_TEST_SUITE_P(CorvelFour, FaultMatrix, testing::ValuesIn(CellsOf(Unit::kCorvelFour)),
                         CellName);
INSTANTIATE_TEST_SUITE_P(DataLogger, FaultMatrix, testing::ValuesIn(CellsOf(Unit::kDataLogger)),
                         CellName);

}  // namespace
}  // namespace quendal
