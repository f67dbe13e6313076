#include "app/cli/info_command.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/cli/cli_operator.h"
#include "app/cli/options.h"
#include "app/cli/setting_labels.h"
#include "app/cli/update_command.h"
#include "app/engine/updater_engine.h"
#include "host/device_text.h"

namespace quendal::cli {
namespace {

void PrintInfo(const DeviceInfo& info, const std::string& port, const std::string& log) {
  std::printf("Port:      %s\n", port.c_str());
  std::printf("Device:    %s\n", VisibleText(info.kind).c_str());
  if (!info.version.empty()) std::printf("Firmware:  %s\n", VisibleText(info.version).c_str());
  if (!info.serial.empty()) std::printf("Serial:    %s\n", VisibleText(info.serial).c_str());
  if (info.battery >= 0) std::printf("Battery:   %d %%\n", static_cast<int>(info.battery));
  if (!info.sensorKind.empty()) {
    std::printf("Sensor:    %s\n", VisibleText(info.sensorKind).c_str());
    if (!info.sensorVersion.empty()) std::printf("  Firmware: %s\n", VisibleText(info.sensorVersion).c_str());
    if (!info.sensorSerial.empty()) std::printf("  Serial:   %s\n", VisibleText(info.sensorSerial).c_str());
  }
  if (!info.settings.empty()) {
    std::printf("Settings:\n");
    std::size_t width = 0;
    for (const auto& [key, value] : info.settings) {
      if (!IsBookkeepingKey(key)) width = std::max(width, SettingLabel(key).size());
    }
    for (const auto& [key, value] : info.settings) {
      if (IsBookkeepingKey(key)) continue;
      std::printf("  %-*s  %s\n", static_cast<int>(width + 1), (SettingLabel(key) + ":").c_str(),
                  VisibleText(value).c_str());
    }
  }
  std::printf("Log:       %s\n", log.c_str());
  if (!info.note.empty()) std::fprintf(stderr, "quendal-cli info: %s\n", info.note.c_str());
}

}  // namespace

int RunInfoCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options = ParseOptions(args, {"--port", "--data-dir"},
                                       {"--events", "-q", "--quiet", "-v", "--verbose"});
  std::string port, description;
  bool quiet = false;
  bool verbose = false;
  if (options.error.empty()) TakeLoudness(options, &quiet, &verbose, &options.error);
  if (options.error.empty()) {
    if (auto* v = options.Value("--port")) {
      std::string why;
      if (int status = ResolvePort(*v, &port, &description, &why); status) {
        std::fprintf(stderr, "quendal-cli info: %s\n", why.c_str());
        return status;
      }
    } else if (OnlyPort(&port, &description, &options.error) && !quiet) {
      std::fprintf(stderr, "quendal-cli: using port %s, the only one there is\n",
                   description.c_str());
    }
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli info: %s\n(see quendal-cli info --help)\n",
                 options.error.c_str());
    return kExitUsage;
  }
  const bool events = options.Has("--events");
  CliOperator ui(events, kBoxCancel);
  ui.SetQuiet(quiet);
  const std::string* given = options.Value("--data-dir");
  const std::string dataDir = given ? *given : std::string();
  if (std::string why = DataFolderProblem(dataDir); !why.empty()) {
    ui.Problem(why, "Data Folder Error");
    return kExitRefused;
  }
  UpdaterEngine engine(&ui);
  Status rc = EngineStart(&engine, {}, dataDir);
  if (rc < 0) {
    ShowMessageOk(&engine, ConstructorErrorText(engine, rc), "Application Launch Error",
                  kMessageError);
    return kExitFailed;
  }
  if (verbose) engine.log->SetEcho([&ui](const std::string& line) { ui.LogLine(line); });
  SelectPort(&engine, port, description);
  DeviceInfo info;
  rc = ReadDeviceInfo(&engine, &info);
  if (rc < 0) {
    std::string text;
    int status = PortProblem(description, rc, &text);
    if (status == kExitOk) {
      text = "no device answered on port " + description + " (error " + std::to_string(rc) +
             "); check the cable and the port";
      status = kExitFailed;
    }
    ui.Problem(text, "Connection Error");
    return status;
  }
  if (!events) {
    PrintInfo(info, description, engine.errorFilePath);
    return kExitOk;
  }
  nlohmann::ordered_json event{{"event", "info"}, {"port", description}, {"kind", info.kind},
                               {"version", info.version}, {"serial", info.serial}};
  if (info.battery >= 0) event["battery"] = info.battery;
  if (!info.sensorKind.empty()) {
    event["sensor"] = {{"kind", info.sensorKind},
                       {"version", info.sensorVersion},
                       {"serial", info.sensorSerial}};
  }
  nlohmann::ordered_json settings = nlohmann::ordered_json::object();
  for (const auto& [key, value] : info.settings) settings[key] = value;
  event["settings"] = settings;
  if (!info.note.empty()) event["note"] = info.note;
  event["log"] = engine.errorFilePath;
  ui.Event(event);
  return kExitOk;
}

}  // namespace quendal::cli
