#include "app/cli/update_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/cli/cli_operator.h"
#include "app/cli/interrupt.h"
#include "app/cli/options.h"
#include "app/cli/ports_command.h"
#include "app/cli/station_command.h"
#include "app/engine/updater_engine.h"
#include "host/device_text.h"
#include "host/file_path.h"
#include "host/file_ops.h"
#include "host/port_enum.h"
#include "host/timing.h"
#include "instrument/attempt_record.h"
#include "instrument/settings_file.h"

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

// The instruments' serial-number field (loggers and the others alike).
constexpr std::size_t kSerialNumberChars = 15;

DeviceFacts FactsOf(const UpdaterEngine& engine) {
  DeviceFacts facts;
  const InstrumentSession* session = engine.session.get();
  const UpdateAttempt& attempt = *engine.attempt;
  const AttemptRecord unit = HeldUnit(session);
  facts.kind = FoundDeviceKind(engine);
  if (unit.firmware > 0) facts.version = VersionText(unit.firmware);
  facts.serial = unit.serial;
  facts.port = attempt.options.portDescription;
  facts.log = engine.errorFilePath;
  return facts;
}

// What a dry run that passed every check found the update would do.
std::string WouldDoText(const UpdaterEngine& engine) {
  const UpdateAttempt& a = *engine.attempt;
  const std::string kind = VisibleText(FactsOf(engine).kind);
  const std::string image = VersionText(a.imageVersion);
  std::string text;
  if (a.firmwareBefore > 0) {
    text = "would update the " + kind + " from " + VersionText(a.firmwareBefore) + " to " + image;
    if (a.firmwareBefore == a.imageVersion) text += " (the version it runs already)";
  } else {
    // Only a loader left waiting by a cut-short update has no firmware to report.
    text = "would finish the cut-short update of the " + kind + " to " + image;
  }
  if (a.settingsToKeep >= 0) {
    text += "; settings: " + std::to_string(a.settingsToKeep) + " to keep";
  } else if (a.settingsSkipped) {
    text += "; settings: none could be read, the update would go on without them";
  } else if (a.firmwareBefore == 0) {
    text += "; settings: those kept by the earlier update";
  } else {
    text += "; settings: none to keep";
  }
  return text;
}

}  // namespace

int ExitStatusOf(const UpdateAttempt& attempt, bool interrupted) {
  const Status rc = attempt.result;
  if (rc >= 0) return kExitOk;
  if (rc == kSettingsNotRestored) return kExitSettingsNotRestored;
  if (interrupted) return kExitInterrupted;
  if (DSPortDenied(attempt.connectResult)) return kExitPortDenied;
  if (DSPortMissing(attempt.connectResult)) return kExitPortMissing;
  if (DSPortInUse(attempt.connectResult) || rc == kSettingsFileBusy) return kExitPortBusy;
  if (attempt.kind != AttemptKind::kUpdate) {
    return rc == kSettingsFileMissing ? kExitRefused : kExitFailed;
  }
  return DeviceLeftAfter(attempt) == DeviceLeft::kUnchanged ? kExitRefused : kExitRecoverable;
}

RunResult ResultOf(const UpdateAttempt& attempt, int status, unsigned seconds) {
  const UpdateEnding ending = DecideEnding(attempt);
  RunResult r;
  r.code = attempt.result;
  r.seconds = seconds;
  r.status = status;
  r.restore = attempt.kind == AttemptKind::kRestore;
  if (attempt.firmwareBefore > 0) r.firmwareBefore = VersionText(attempt.firmwareBefore);
  if (ending.firmwareAfter > 0) r.firmwareAfter = VersionText(ending.firmwareAfter);
  r.left = DeviceLeftName(ending.left);
  r.advice = ending.advice;
  r.keptFile = ending.keptFile;
  if (attempt.connectResult >= 0) {
    r.device = attempt.device;
    r.serial = attempt.serial;
  }
  if (attempt.skippedAsCurrent && attempt.result >= 0) {
    // Built up with +=: MinGW's GCC 12 takes a literal + a temporary for an overlapping copy.
    r.skipped = "already runs ";
    r.skipped += VersionText(attempt.firmwareBefore);
  }
  return r;
}

bool TakeLoudness(const ParsedOptions& options, bool* quiet, bool* verbose, std::string* error) {
  *quiet = options.Has("-q") || options.Has("--quiet");
  *verbose = options.Has("-v") || options.Has("--verbose");
  if (*quiet && *verbose) {
    *error = "give -q or -v, not both";
    return false;
  }
  return true;
}

std::vector<std::string> QuestionNames() {
  std::vector<std::string> names;
  for (const char* caption : kQuestionCaptions) names.push_back(QuestionName(caption));
  return names;
}

std::string CheckUpdateRequest(const UpdateRequest& request) {
  const BuildSettings build = ThisBuild();
  const bool commBuild = build.targetType == kTypeDigitalSensor;
  if (!request.answer.empty() && request.answer != "ok" && request.answer != "cancel")
    return "option --answer takes ok or cancel";
  if (!request.answer.empty() && !request.yes.empty())
    return "give --yes or --answer, not both";
  const std::vector<std::string> names = QuestionNames();
  for (const std::string& name : request.yes) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      std::string list;
      for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
      return "option --yes: '" + name + "' names no question (" + list + ")";
    }
  }
  std::int32_t sensorType = 0;
  if (!request.sensorType.empty() &&
      (!commBuild || !ParseSensorTypeCode(request.sensorType, &sensorType))) {
    return "sensor type '" + request.sensorType + "' is not one this build can select";
  }
  if (!request.firmware.empty() && !request.factory && !request.rep)
    return "option --firmware needs --rep or --factory";
  if (request.newSerialGiven && !request.factory) return "option --new-sn needs --factory";
  if (request.dontErase && !request.factory) return "option --dont-erase needs --factory";
  if (commBuild && request.newSerialGiven)
    return "option --new-sn has no use in this build: the sensor keeps its own serial number";
  if (commBuild && request.dontErase)
    return "option --dont-erase has no use in this build: a sensor keeps no data to erase";
  if (request.newSerialGiven && request.newSerialNumber.empty())
    return "option --new-sn needs a serial number";
  if (request.newSerialNumber.size() > kSerialNumberChars) {
    return "option --new-sn takes at most " + std::to_string(kSerialNumberChars) +
           " characters; '" + request.newSerialNumber + "' has " +
           std::to_string(request.newSerialNumber.size());
  }
  if (!commBuild && request.dontErase) {
    DeviceProfile profile;
    DescribeDevice(build.targetType, 999, &profile);
    if (!profile.erasesOldData)
      return "option --dont-erase has no use in this build: the device keeps its data anyway";
  }
  return {};
}

std::string DataFolderProblem(const std::string& given) {
  std::string folder = given.empty() ? PerUserDataFolder() : given;
  // Not `= "."`: MinGW's GCC 12 reads that assignment as an overlapping copy (-Werror=restrict).
  if (folder.empty()) folder.push_back('.');
  if (const Status made = MakePrivateFolders(folder); made < 0) {
    return "the data folder \"" + folder + "\" cannot be made (" + std::strerror(-made) +
           "); choose another with --data-dir";
  }
  // A folder others can change is a way into this user's files (a planted link).
  if (const std::string why = FolderTrustProblem(folder); !why.empty()) {
    return "the data folder \"" + folder + "\" is not safe to use: " + why +
           "; choose another with --data-dir";
  }
  // Permissions say too little (root ignores them, network shares lie): try it.
  const std::string probe = TemporaryNameFor(folder + "/.quendal-write-check");
  std::FILE* file = CreatePrivateFile(probe);
  if (!file) {
    return "the data folder \"" + folder + "\" cannot be written (" + std::strerror(errno) +
           "); choose another with --data-dir";
  }
  std::fclose(file);
  std::remove(probe.c_str());
  return {};
}

int ResolvePort(const std::string& given, std::string* name, std::string* description,
                std::string* why) {
  *name = given;
  *description = given;
  if (given.rfind(kUsbPortPrefix, 0) == 0)
    return FindPortByUsbSerial(given.substr(kUsbPortPrefix.size()), name, description, why);
  if (given.find('/') != std::string::npos || given.find('\\') != std::string::npos) return kExitOk;
  // A name the driver opens as it stands needs no list, whose probing opens every port.
#ifdef _WIN32
  if (given.rfind("COM", 0) == 0) return kExitOk;
#else
  std::error_code ec;
  if (std::filesystem::exists("/dev/" + given, ec)) return kExitOk;
#endif
  std::vector<PortEntry> entries(64);
  std::int32_t count = static_cast<std::int32_t>(entries.size());
  DeviceLink link;
  if (CommPortEnum(&link, entries.data(), &count, false) < 1) return kExitOk;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string listed = entries[i].description.c_str();
    const std::string shortName = listed.substr(0, listed.find(' '));
    if (shortName == given || given == entries[i].portName.c_str()) {
      *name = entries[i].portName.c_str();
      return kExitOk;
    }
  }
  return kExitOk;
}

std::vector<PortCandidate> UpdateCandidates(const PortEntry* entries, std::int32_t count) {
  std::vector<PortCandidate> candidates;
  for (std::int32_t i = 0; i < count; ++i) {
    PortCandidate c;
    c.name = entries[i].portName.c_str();
    const std::string text = entries[i].description.c_str();
    c.shortName = text.substr(0, text.find(' '));
    if (c.shortName.empty()) c.shortName = c.name;
    // The window's preselection follows the same rule.
    if (IsBuiltInSerialPort(c.name)) {
      c.skipped = "built-in serial port";
    } else if (!IsLikelyDevicePort(entries[i])) {
      c.skipped = "busy (in use, or not yours to open)";
    }
    candidates.push_back(std::move(c));
  }
  return candidates;
}

std::vector<PortCandidate> ListedUpdateCandidates() {
  std::vector<PortEntry> entries(64);
  std::int32_t listed = static_cast<std::int32_t>(entries.size());
  DeviceLink link;
  if (CommPortEnum(&link, entries.data(), &listed, false) < 1) listed = 0;
  return UpdateCandidates(entries.data(), listed);
}

bool OnlyPort(std::string* name, std::string* description, std::string* why) {
  const std::vector<PortCandidate> listed = ListedUpdateCandidates();
  std::vector<const PortCandidate*> taken;
  for (const PortCandidate& c : listed) {
    if (c.skipped.empty()) taken.push_back(&c);
  }
  if (taken.size() == 1) {
    *name = taken[0]->name;
    *description = taken[0]->shortName;
    return true;
  }
  if (taken.empty()) {
    *why = !listed.empty() ? "option --port is needed: only built-in or busy ports were found"
                           : "option --port is needed: no serial port was found";
  } else {
    *why = "option --port is needed: " + std::to_string(taken.size()) + " ports were found (";
    for (std::size_t i = 0; i < taken.size(); ++i) *why += (i ? ", " : "") + taken[i]->shortName;
    *why += ")";
  }
  return false;
}

int PortProblem(const std::string& port, int connectResult, std::string* text, bool toldAlready) {
  if (DSPortDenied(connectResult)) {
    // The engine's message names the group and the new login already.
    if (toldAlready) {
      text->clear();
      return kExitPortDenied;
    }
    *text = "you may not open port " + port +
            " (permission denied). Add yourself to the group that owns it, on most systems "
            "'sudo usermod -aG dialout $USER', then log out and in again.";
    return kExitPortDenied;
  }
  if (DSPortMissing(connectResult)) {
    *text = toldAlready ? std::string("Check that the adapter is plugged in")
                        : "port " + port + " does not exist. Check that the adapter is plugged in";
    *text += ", and see 'quendal-cli ports' for the ports there are.";
    return kExitPortMissing;
  }
  if (DSPortInUse(connectResult)) {
    // The engine's message already says to close that program or choose another port.
    if (toldAlready) {
      text->clear();
    } else {
      *text = "port " + port +
              " is in use by another program. Close that program (a terminal, another "
              "updater) or choose another port.";
    }
    return kExitPortBusy;
  }
  return kExitOk;
}

int RunUpdateRequest(const UpdateRequest& request) {
  if (std::string why = CheckUpdateRequest(request); !why.empty()) {
    std::fprintf(stderr, "quendal-cli update: %s\n", why.c_str());
    return kExitUsage;
  }
  std::int32_t sensorType = 0;
  if (!request.sensorType.empty()) ParseSensorTypeCode(request.sensorType, &sensorType);
  CliOperator ui(request.events, request.answer == "ok" ? kBoxOk : kBoxCancel);
  ui.SetQuiet(request.quiet);
  ui.SetAnswers(request.answer.empty() ? 0 : request.answer == "ok" ? kBoxOk : kBoxCancel,
                request.yes);

  // Nothing that the console can check itself may wait until the device was read.
  if (std::string why = DataFolderProblem(request.dataDir); !why.empty()) {
    ui.Problem(why, "Data Folder Error");
    ui.Result(kRefused, kExitRefused);
    return kExitRefused;
  }
  if (!request.firmware.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(FilePath(request.firmware), ec)) {
      ui.Problem("the firmware file " + request.firmware +
                     (std::filesystem::exists(FilePath(request.firmware), ec) ? " is not a file"
                                                                    : " does not exist"),
                 "Firmware File Error");
      ui.Result(kRefused, kExitRefused);
      return kExitRefused;
    }
  }

  UpdaterEngine engine(&ui);
  std::vector<std::string> switches;
  if (request.factory) switches.push_back("-factory");
  if (request.rep) switches.push_back("-rep");
  Status rc = EngineStart(&engine, switches, request.dataDir);
  if (rc < 0) {
    ShowMessageOk(&engine, ConstructorErrorText(engine, rc), "Application Launch Error",
                  kMessageError);
    ui.Result(rc, kExitFailed);
    return kExitFailed;
  }
  if (request.verbose) engine.log->SetEcho([&ui](const std::string& line) { ui.LogLine(line); });
  if (sensorType != 0) SelectSensorType(&engine, sensorType);
  if (!request.firmware.empty()) {
    rc = OpenFirmwareFile(&engine, request.firmware.c_str());
    if (rc < 0) {
      ui.Problem(request.firmware + " is not a valid firmware file (error " + std::to_string(rc) +
                     ")" + (engine.host->loadProblem.empty() ? "" : ": ") +
                     engine.host->loadProblem,
                 "Firmware File Error");
      ui.Result(rc, kExitRefused);
      return kExitRefused;
    }
  }
  engine.options.firmwareFile = request.firmware;
  engine.options.replaceSerialNumber = !request.newSerialNumber.empty();
  engine.options.newSerialNumber = request.newSerialNumber;
  engine.options.dontEraseData = request.dontErase;
  engine.options.recordFile = request.recordFile;
  engine.options.dryRun = request.dryRun;
  engine.options.skipCurrent = request.skipCurrent;
  SelectPort(&engine, request.port, request.portDescription);
  ui.SetDeviceSource([&engine] { return FactsOf(engine); });
  // Bytes of the image for the transfer rate: the loader counts image-text characters, two
  // to a byte.
  engine.host->progress = [&engine, &ui, chain = engine.host->progress](
                              std::uint32_t total, std::uint32_t done, int phase, char kind) {
    if (kind == 'W') ui.LoaderBytes(done / 2, total / 2);
    ui.LoaderWork(done, total);
    return chain(total, done, phase, kind);
  };

  // The operator's interrupt reaches the engine where the window's close request would.
  ui.SetPumpHook([&engine, &ui] {
    if (!Interrupted()) return;
    ui.HoldProgress();
    RequestStop(&engine);
  });
  CatchInterrupts(&engine.session->link, &engine.host->link);
  const std::uint32_t start = DSTicks();
  rc = RunUpdate(&engine);
  const bool interrupted = Interrupted();
  ReleaseInterrupts();
  const UpdateAttempt& attempt = *engine.attempt;
  const int status = ExitStatusOf(attempt, interrupted);
  RunResult result = ResultOf(attempt, status, (DSTicks() - start) / 1000);
  result.dryRun = request.dryRun;
  if (request.dryRun && attempt.dryRunReached && rc >= 0) result.wouldDo = WouldDoText(engine);
  const std::string left = DecideEnding(attempt).Text();
  if (rc < 0 && rc != kSettingsNotRestored && interrupted) {
    ui.Interruption(left, UpdateStageName(attempt.stage));
    result.adviceShown = true;
  } else if (status == kExitRecoverable) {
    ui.Problem(left, "Update Stopped");
    result.adviceShown = true;
  } else if (std::string text;
             PortProblem(attempt.options.portDescription, attempt.connectResult, &text, true) !=
             kExitOk) {
    if (!text.empty()) ui.Problem(text, "Port Problem");
  }
  ui.Result(result);
  return status;
}

int RunUpdateCommand(const std::vector<std::string_view>& args) {
  if (IsStationUpdate(args)) return RunStationCommand(args);
  ParsedOptions options = ParseOptions(
      args,
      {"--port", "--firmware", "--sensor-type", "--new-sn", "--answer", "--yes", "--data-dir",
       "--record-file"},
      {"--factory", "--rep", "--dont-erase", "--events", "--dry-run", "--skip-current", "-q",
       "--quiet", "-v", "--verbose"},
      {"--yes"});
  UpdateRequest request;
  request.factory = options.Has("--factory");
  request.rep = options.Has("--rep");
  request.dontErase = options.Has("--dont-erase");
  request.events = options.Has("--events");
  request.dryRun = options.Has("--dry-run");
  request.skipCurrent = options.Has("--skip-current");
  if (auto* v = options.Value("--firmware")) request.firmware = *v;
  if (auto* v = options.Value("--sensor-type")) request.sensorType = *v;
  if (auto* v = options.Value("--new-sn")) {
    request.newSerialNumber = *v;
    request.newSerialGiven = true;
  }
  if (auto* v = options.Value("--answer")) request.answer = *v;
  if (auto* v = options.Value("--data-dir")) request.dataDir = *v;
  if (auto* v = options.Value("--record-file")) request.recordFile = *v;
  if (options.lists.count("--yes")) {
    for (const std::string& list : options.lists["--yes"]) {
      for (std::size_t at = 0; at <= list.size();) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        if (comma > at) request.yes.insert(list.substr(at, comma - at));
        at = comma + 1;
      }
    }
  }
  if (options.error.empty())
    TakeLoudness(options, &request.quiet, &request.verbose, &options.error);
  if (options.error.empty()) options.error = CheckUpdateRequest(request);
  if (options.error.empty()) {
    if (auto* v = options.Value("--port")) {
      std::string why;
      if (int status = ResolvePort(*v, &request.port, &request.portDescription, &why); status) {
        std::fprintf(stderr, "quendal-cli update: %s\n", why.c_str());
        return status;
      }
    } else if (OnlyPort(&request.port, &request.portDescription, &options.error) &&
               !request.quiet) {
      std::fprintf(stderr, "quendal-cli: using port %s, the only one there is\n",
                   request.portDescription.c_str());
    }
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli update: %s\n(see quendal-cli update --help)\n",
                 options.error.c_str());
    return kExitUsage;
  }
  return RunUpdateRequest(request);
}

int RunRestoreCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options = ParseOptions(args, {"--port", "--from", "--data-dir"},
                                       {"--events", "-q", "--quiet", "-v", "--verbose"});
  bool quiet = false;
  bool verbose = false;
  if (options.error.empty()) TakeLoudness(options, &quiet, &verbose, &options.error);
  if (options.error.empty() && !options.Value("--port")) options.error = "option --port is needed";
  if (options.error.empty() && !options.Value("--from")) options.error = "option --from is needed";
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli restore: %s\n(see quendal-cli restore --help)\n",
                 options.error.c_str());
    return kExitUsage;
  }
  CliOperator ui(options.Has("--events"), kBoxCancel);
  ui.SetQuiet(quiet);
  const std::string* dataDir = options.Value("--data-dir");
  if (std::string why = DataFolderProblem(dataDir ? *dataDir : std::string()); !why.empty()) {
    ui.Problem(why, "Data Folder Error");
    ui.Result(kRefused, kExitRefused);
    return kExitRefused;
  }
  UpdaterEngine engine(&ui);
  Status rc = EngineStart(&engine, {}, dataDir ? *dataDir : std::string());
  if (rc < 0) {
    ShowMessageOk(&engine, ConstructorErrorText(engine, rc), "Application Launch Error",
                  kMessageError);
    ui.Result(rc, kExitFailed);
    return kExitFailed;
  }
  if (verbose) engine.log->SetEcho([&ui](const std::string& line) { ui.LogLine(line); });
  std::string port, description, why;
  if (int status = ResolvePort(*options.Value("--port"), &port, &description, &why); status) {
    ui.Problem(why, "Port Problem");
    ui.Result(kRefused, status);
    return status;
  }
  SelectPort(&engine, port, description);
  const std::uint32_t start = DSTicks();
  std::string from = *options.Value("--from");
  // A path the user names may be a link of the user's own (a backup kept elsewhere): that
  // choice is followed here, once, and what it leads to is read as any settings file, never
  // through a link. A link another user made is no choice of this user's.
  std::string unusable = NamedLinkProblem(from);
  std::error_code linkError;
  if (unusable.empty() && std::filesystem::is_symlink(FilePath(from), linkError)) {
    const std::filesystem::path target = std::filesystem::canonical(FilePath(from), linkError);
    if (!linkError) from = FilePathText(target);
  }
  if (unusable.empty()) unusable = InputFileProblem(from, kMaxSettingsFileBytes);
  if (!unusable.empty()) {
    ui.Problem("the settings file \"" + from + "\" cannot be used: " + unusable, "Settings Error");
    ui.Result(kRefused, kExitRefused);
    return kExitRefused;
  }
  rc = RestoreSettingsFrom(&engine, from);
  const UpdateAttempt& attempt = *engine.attempt;
  std::string portText;
  if (PortProblem(attempt.options.portDescription, attempt.connectResult, &portText, true) !=
          kExitOk &&
      !portText.empty())
    ui.Problem(portText, "Port Problem");
  const int status = ExitStatusOf(attempt, false);
  ui.Result(ResultOf(attempt, status, (DSTicks() - start) / 1000));
  return status;
}

}  // namespace quendal::cli
