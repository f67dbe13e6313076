#include "app/cli/update_command.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/cli/cli_operator.h"
#include "app/cli/interrupt.h"
#include "app/cli/options.h"
#include "app/cli/station_command.h"
#include "app/engine/updater_engine.h"
#include "host/timing.h"

namespace quendal::cli {
namespace {

// A sensor type as a number (122) or as the character a sensor reports ("z").
bool ParseSensorTypeCode(const std::string& text, std::int32_t* code) {
  if (text.empty()) return false;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (*end == '\0' && value >= 95 && value <= 262) {
    *code = static_cast<std::int32_t>(value);
    return true;
  }
  if (text.size() == 1 && static_cast<unsigned char>(text[0]) >= 95 &&
      static_cast<unsigned char>(text[0]) <= 127) {
    *code = text[0];
    return true;
  }
  return false;
}

}  // namespace

int RunUpdateRequest(const UpdateRequest& request) {
  std::int32_t sensorType = 0;
  if (!request.sensorType.empty() && (ThisBuild().targetType != kTypeDigitalSensor ||
                                      !ParseSensorTypeCode(request.sensorType, &sensorType))) {
    std::fprintf(stderr, "quendal-cli: sensor type '%s' is not one this build can select\n",
                 request.sensorType.c_str());
    return kExitUsage;
  }
  const int answer = request.answer == "ok" ? kBoxOk : kBoxCancel;
  CliOperator ui(request.events, answer);
  UpdaterEngine engine(&ui);
  std::vector<std::string> switches;
  if (request.factory) switches.push_back("-factory");
  if (request.rep) switches.push_back("-rep");
  Status rc = EngineStart(&engine, switches, request.dataDir);
  if (rc < 0) {
    ShowMessageOk(&engine, ConstructorErrorText(engine, rc), "Application Launch Error",
                  kMessageError);
    ui.Result(rc, 0);
    return kExitFailed;
  }
  if (sensorType != 0) SelectSensorType(&engine, sensorType);
  if (!request.firmware.empty()) {
    rc = OpenFirmwareFile(&engine, request.firmware.c_str());
    if (rc < 0) {
      std::fprintf(stderr, "quendal-cli: %s is not a valid firmware file (error %d)%s%s\n",
                   request.firmware.c_str(), static_cast<int>(rc),
                   engine.host->loadProblem.empty() ? "" : ": ", engine.host->loadProblem.c_str());
      ui.Result(rc, 0);
      return kExitFailed;
    }
  }
  engine.replaceSerialNumber = !request.newSerialNumber.empty();
  engine.newSerialNumber = request.newSerialNumber;
  engine.dontEraseData = request.dontErase;
  engine.recordFile = request.recordFile;
  SelectPort(&engine, request.port, request.portDescription);

  // The operator's interrupt reaches the engine where the window's close request would.
  ui.SetPumpHook([&engine] {
    if (Interrupted()) engine.keepGoing = false;
  });
  CatchInterrupts(&engine.session->link, &engine.host->link);
  const std::uint32_t start = DSTicks();
  rc = RunUpdate(&engine);
  const bool interrupted = Interrupted();
  ReleaseInterrupts();
  if (rc < 0 && rc != kSettingsNotRestored && interrupted) {
    ui.Interruption(LeftBehindText(engine), UpdateStageName(engine.stage));
  }
  std::error_code ec;
  const bool kept = rc < 0 && std::filesystem::exists(engine.settingsFilePath, ec);
  ui.Result(rc, (DSTicks() - start) / 1000, kept ? engine.settingsFilePath : std::string());
  if (rc == kSettingsNotRestored) return kExitSettingsNotRestored;
  if (rc < 0) return interrupted ? kExitInterrupted : kExitFailed;
  return kExitOk;
}

int RunUpdateCommand(const std::vector<std::string_view>& args) {
  if (IsStationUpdate(args)) return RunStationCommand(args);
  ParsedOptions options = ParseOptions(
      args, {"--port", "--firmware", "--sensor-type", "--new-sn", "--answer", "--data-dir",
             "--record-file"},
      {"--factory", "--rep", "--dont-erase", "--events"});
  if (options.error.empty() && !options.Value("--port")) options.error = "option --port is needed";
  if (options.error.empty() && options.Value("--answer") && *options.Value("--answer") != "ok" &&
      *options.Value("--answer") != "cancel") {
    options.error = "option --answer takes ok or cancel";
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli update: %s\n", options.error.c_str());
    return kExitUsage;
  }
  UpdateRequest request;
  request.port = *options.Value("--port");
  request.factory = options.Has("--factory");
  request.rep = options.Has("--rep");
  request.dontErase = options.Has("--dont-erase");
  request.events = options.Has("--events");
  if (auto* v = options.Value("--firmware")) request.firmware = *v;
  if (auto* v = options.Value("--sensor-type")) request.sensorType = *v;
  if (auto* v = options.Value("--new-sn")) request.newSerialNumber = *v;
  if (auto* v = options.Value("--answer")) request.answer = *v;
  if (auto* v = options.Value("--data-dir")) request.dataDir = *v;
  if (auto* v = options.Value("--record-file")) request.recordFile = *v;
  return RunUpdateRequest(request);
}

int RunRestoreCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options = ParseOptions(args, {"--port", "--from", "--data-dir"}, {"--events"});
  if (options.error.empty() && !options.Value("--port")) options.error = "option --port is needed";
  if (options.error.empty() && !options.Value("--from")) options.error = "option --from is needed";
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli restore: %s\n", options.error.c_str());
    return kExitUsage;
  }
  CliOperator ui(options.Has("--events"), kBoxCancel);
  UpdaterEngine engine(&ui);
  const std::string* dataDir = options.Value("--data-dir");
  Status rc = EngineStart(&engine, {}, dataDir ? *dataDir : std::string());
  if (rc < 0) {
    ShowMessageOk(&engine, ConstructorErrorText(engine, rc), "Application Launch Error",
                  kMessageError);
    ui.Result(rc, 0);
    return kExitFailed;
  }
  SelectPort(&engine, *options.Value("--port"), *options.Value("--port"));
  const std::uint32_t start = DSTicks();
  rc = RestoreSettingsFrom(&engine, *options.Value("--from"));
  ui.Result(rc, (DSTicks() - start) / 1000);
  if (rc == kSettingsNotRestored) return kExitSettingsNotRestored;
  return rc < 0 ? kExitFailed : kExitOk;
}

}  // namespace quendal::cli
