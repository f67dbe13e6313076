#include "app/cli/station_command.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "app/cli/child_process.h"
#include "app/cli/cli_operator.h"
#include "app/cli/options.h"
#include "app/cli/update_command.h"
#include "app/engine/update_record.h"
#include "app/engine/updater_engine.h"
#include "host/device_text.h"
#include "host/port_enum.h"
#include "host/serial.h"

namespace quendal::cli {
namespace {

using nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct Unit {
  std::string port;
  std::unique_ptr<ChildProcess> child;
  std::string phase = "starting";
  int progress = 0;
  int lastPrinted = 0;  // the progress last printed as a plain line
  bool hasResult = false;
  int code = 0;
  unsigned seconds = 0;
  std::string lastError;    // caption of the last error message
  std::string lastErrorText;  // and its text, which a plain station never printed
  std::string stoppedAt;    // the stage an interruption left it in
  std::string advice;       // what to do next with it, from its result
  std::string device;       // what answered, from its device event
  std::string serial;
  std::string firmwareBefore;  // from its result; empty: not known
  std::string firmwareAfter;
  bool dryRun = false;
  std::string wouldDo;  // a dry run's "would update ..."
  std::string skipped;  // "already runs 3.96": left as it was
  std::vector<std::string> errLines;
};

// Statuses from best to worst; any status not listed counts as kExitFailed.
int Rank(int status) {
  constexpr int kOrder[] = {
      kExitOk,          kExitSettingsNotRestored, kExitRefused,   kExitRecoverable,
      kExitFailed,      kExitPortMissing,         kExitPortBusy,  kExitPortDenied,
      kExitUsage,       kExitInterrupted,
  };
  for (std::size_t i = 0; i < std::size(kOrder); ++i) {
    if (kOrder[i] == status) return static_cast<int>(i);
  }
  return Rank(kExitFailed);
}

std::string UnitLine(const Unit& unit, std::size_t portWidth) {
  std::string text;
  if (unit.child->Ended()) {
    const int status = unit.child->ExitStatus();
    if (unit.hasResult && unit.code >= 0 && !unit.skipped.empty()) {
      text = "skipped: " + unit.skipped;
    } else if (unit.hasResult && unit.code >= 0 && unit.dryRun) {
      text = "dry run ended in " + std::to_string(unit.seconds) + " s: nothing written";
    } else if (unit.hasResult && unit.code >= 0) {
      text = "updated in " + std::to_string(unit.seconds) + " s";
    } else if (unit.hasResult && unit.code == kSettingsNotRestored) {
      text = "firmware updated in " + std::to_string(unit.seconds) +
             " s; settings not all restored (exit 3)";
    } else if (status == kExitInterrupted) {
      text = "interrupted" + (unit.stoppedAt.empty() ? "" : " in " + unit.stoppedAt) +
             " (exit 130)";
    } else {
      text = "FAILED";
      if (unit.hasResult) text += " (error " + std::to_string(unit.code) + ")";
      if (!unit.lastError.empty()) text += ": " + unit.lastError;
      text += " (exit " + std::to_string(status) + ")";
    }
  } else {
    text = unit.phase;
  }
  char line[512];
  std::snprintf(line, sizeof line, "%-*s %3d%%  %s", static_cast<int>(portWidth),
                unit.port.c_str(), unit.progress, text.c_str());
  return line;
}

// Takes in one event line of a child: the unit's state, and the line passed on with its port.
void TakeEvent(Unit* unit, const std::string& line, bool events, bool plain,
               std::size_t portWidth) {
  ordered_json event = ordered_json::parse(ValidUtf8(line), nullptr, false);
  if (event.is_discarded() || !event.is_object()) {
    event = ordered_json{{"event", "output"}, {"text", ValidUtf8(line)}};
  }
  if (!event.contains("port")) event["port"] = unit->port;
  // Looks without adding or throwing: the line is passed on as it came.
  auto has = [&event](const char* name, bool number) {
    auto it = event.find(name);
    return it != event.end() && (number ? it->is_number() : it->is_string());
  };
  auto text = [&](const char* name) {
    return has(name, false) ? event[name].get<std::string>() : std::string();
  };
  const std::string kind = text("event");
  bool report = false;
  if (kind == "status" && has("text", false)) {
    unit->phase = event["text"].get<std::string>();
    report = true;
  } else if (kind == "progress" && has("value", true)) {
    unit->progress = event["value"].get<int>();
    if (unit->progress >= unit->lastPrinted + 10 || unit->progress == 100) report = true;
  } else if (kind == "message" && text("kind") == "error") {
    unit->lastError = text("caption");
    unit->lastErrorText = text("text");
  } else if (kind == "interrupted") {
    unit->stoppedAt = text("stage");
  } else if (kind == "result" && has("code", true)) {
    unit->hasResult = true;
    unit->code = event["code"].get<int>();
    if (has("seconds", true)) unit->seconds = event["seconds"].get<unsigned>();
    unit->advice = text("advice");
    unit->firmwareBefore = text("firmwareBefore");
    unit->firmwareAfter = text("firmwareAfter");
    unit->wouldDo = text("wouldDo");
    unit->skipped = text("skipped");
    unit->dryRun = event.value("dryRun", false) == true;
    // The device event names it better; a unit refused before any write has only this.
    if (unit->device.empty()) unit->device = text("device");
    if (unit->serial.empty()) unit->serial = text("serial");
  } else if (kind == "device") {
    unit->device = text("kind");
    unit->serial = text("serial");
  }
  if (events) {
    std::fputs((JsonLine(event) + "\n")
                   .c_str(),
               stdout);
  } else if (plain && report) {
    unit->lastPrinted = unit->progress;
    std::printf("%s\n", UnitLine(*unit, portWidth).c_str());
  }
}

// A unit's outcome in a word or two, with the exit status of any but a success.
std::string ResultWord(const Unit& unit) {
  if (!unit.child->Ended()) return "running";
  const int status = unit.child->ExitStatus();
  std::string word;
  switch (status) {
    case kExitOk:
      if (!unit.skipped.empty()) return "skipped: " + unit.skipped;
      if (unit.dryRun) return unit.wouldDo.empty() ? "dry run: nothing written" : unit.wouldDo;
      return "updated";
    case kExitSettingsNotRestored:
      word = "settings owed";
      break;
    case kExitRefused:
      word = "refused";
      break;
    case kExitRecoverable:
      word = "firmware incomplete";
      break;
    case kExitPortMissing:
      word = "no such port";
      break;
    case kExitPortBusy:
      word = "port busy";
      break;
    case kExitPortDenied:
      word = "port not permitted";
      break;
    case kExitInterrupted:
      word = "interrupted";
      break;
    default:
      word = "failed";
  }
  word += " (exit ";
  word += std::to_string(status);
  word.push_back(')');
  return word;
}

// The table after the station's end: one row per unit, and under a unit that is not done
// what to do next with it.
void PrintSummary(const std::vector<Unit>& units, const std::vector<PortCandidate>& skipped) {
  auto cell = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
  std::vector<std::vector<std::string>> rows = {
      {"PORT", "DEVICE", "SERIAL", "FIRMWARE", "RESULT", "TIME"}};
  for (const Unit& unit : units) {
    std::string firmware = unit.firmwareBefore.empty() ? "?" : unit.firmwareBefore;
    firmware += " -> ";
    firmware += unit.firmwareAfter.empty() ? "?" : unit.firmwareAfter;
    std::string time = std::to_string(unit.seconds);
    time += " s";
    rows.push_back({unit.port, cell(VisibleText(unit.device)), cell(VisibleText(unit.serial)),
                    firmware, ResultWord(unit), unit.hasResult ? time : "-"});
  }
  for (const PortCandidate& port : skipped)
    rows.push_back({port.name, "-", "-", "-", "skipped: " + port.skipped, "-"});
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      line += rows[r][c];
      if (c + 1 < rows[r].size()) line.append(widths[c] - rows[r][c].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
    if (r == 0 || r > units.size()) continue;
    const Unit& unit = units[r - 1];
    if (!unit.child->Ended() || unit.child->ExitStatus() == kExitOk) continue;
    std::string next = unit.advice;
    if (next.empty() && !unit.lastError.empty()) {
      // Only the caption reached the unit's lines above: the message itself goes here, on
      // one line, then what to do after it.
      std::string message;
      for (char c : unit.lastErrorText) {
        if (c != '\n') {
          message += c;
        } else if (!message.empty() && message.back() != ' ') {
          message += ' ';
        }
      }
      next = unit.lastError + ": " + message + "\nthen update it again";
    } else if (next.empty()) {
      next = "see its messages above; then update it again";
    }
    // Each line of the advice under the row it belongs to.
    std::size_t at = 0;
    bool first = true;
    while (at <= next.size()) {
      std::size_t end = next.find('\n', at);
      if (end == std::string::npos) end = next.size();
      std::printf("  %s %s\n", first ? "next:" : "     ", next.substr(at, end - at).c_str());
      first = false;
      at = end + 1;
    }
  }
}

}  // namespace

int WorseExitStatus(int a, int b) {
  const int worse = Rank(a) >= Rank(b) ? a : b;
  return Rank(worse) == Rank(kExitFailed) ? kExitFailed : worse;
}

bool IsStationUpdate(const std::vector<std::string_view>& args) {
  int ports = 0;
  for (std::string_view a : args) {
    if (a == "--all-ports") return true;
    if (a == "--port" || a.rfind("--port=", 0) == 0) ++ports;
  }
  return ports > 1;
}

int RunStationCommand(const std::vector<std::string_view>& args) {
  std::vector<std::string> ports;
  std::vector<std::string> passOn;
  std::string dataDir;
  bool allPorts = false;
  bool events = false;
  std::string error;
  for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
    const std::string arg(args[i]);
    auto value = [&](const char* name, std::string* into) {
      const std::string prefix = std::string(name) + "=";
      if (arg == name) {
        if (i + 1 >= args.size()) {
          error = std::string("option ") + name + " needs a value";
          return true;
        }
        *into = std::string(args[++i]);
        return true;
      }
      if (arg.rfind(prefix, 0) == 0) {
        *into = arg.substr(prefix.size());
        return true;
      }
      return false;
    };
    std::string port;
    if (value("--port", &port)) {
      if (!error.empty()) break;
      if (std::find(ports.begin(), ports.end(), port) != ports.end()) {
        error = "port " + port + " given twice";
      }
      ports.push_back(port);
    } else if (value("--data-dir", &dataDir)) {
    } else if (arg == "--all-ports") {
      allPorts = true;
    } else if (arg == "--events") {
      events = true;
    } else if (arg == "--record-file" || arg.rfind("--record-file=", 0) == 0) {
      error = "option --record-file is set by the station itself";
    } else {
      passOn.push_back(arg);
    }
  }
  if (error.empty() && allPorts && !ports.empty()) error = "give --port or --all-ports, not both";
  const std::string self = OwnProgramPath();
  if (error.empty() && self.empty()) error = "the program's own path cannot be found";
  if (!error.empty()) {
    std::fprintf(stderr, "quendal-cli update: %s\n", error.c_str());
    return kExitUsage;
  }
  // --all-ports takes what an update without --port would choose from; the rest is
  // listed as skipped, which is no failure of the station.
  std::vector<PortCandidate> skipped;
  if (allPorts) {
    for (const PortCandidate& c : ListedUpdateCandidates()) {
      if (c.skipped.empty()) {
        ports.push_back(c.name);
      } else {
        skipped.push_back(c);
      }
    }
    if (ports.empty()) {
      std::fprintf(stderr, "quendal-cli update: %s\n",
                   skipped.empty() ? "no serial ports found"
                                   : "no port to update: only built-in or busy ports were found");
      return kExitPortMissing;
    }
  }
  if (dataDir.empty()) dataDir = PerUserDataFolder();
  if (dataDir.empty()) dataDir = ".";
  const std::string recordFile = dataDir + "/" + kUpdateRecordFileName;

  std::size_t portWidth = 4;
  for (const std::string& port : ports) portWidth = std::max(portWidth, port.size());
  for (const PortCandidate& port : skipped) portWidth = std::max(portWidth, port.name.size());
  const bool terminal = !events && OutputIsTerminal();
  const bool plain = !events && !terminal;

  std::vector<Unit> units(ports.size());
  std::vector<ChildProcess*> children;
  int worst = kExitOk;
  CatchStationInterrupts();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    Unit& unit = units[i];
    unit.port = ports[i];
    unit.child = std::make_unique<ChildProcess>();
    std::vector<std::string> argv = {self,         "update",
                                     "--port",     unit.port,
                                     "--events",   "--data-dir",
                                     dataDir + "/station/" + StationUnitFolder(unit.port),
                                     "--record-file", recordFile};
    argv.insert(argv.end(), passOn.begin(), passOn.end());
    std::string why;
    if (!unit.child->Start(argv, &why)) {
      const std::string text = "the update could not be started: " + why;
      if (events) {
        TakeEvent(&unit,
                  JsonLine(ordered_json{{"event", "message"},
                                        {"caption", "Station"},
                                        {"kind", "error"},
                                        {"text", text}}),
                  events, plain, portWidth);
      } else {
        std::fprintf(stderr, "quendal-cli: %s: %s\n", unit.port.c_str(), text.c_str());
      }
      worst = WorseExitStatus(worst, kExitFailed);
    }
    children.push_back(unit.child.get());
  }
  if (!events) {
    std::printf("Updating %zu units at once; settings files and logs under %s/station/\n",
                units.size(), dataDir.c_str());
    for (const PortCandidate& port : skipped)
      std::printf("%-*s skipped: %s\n", static_cast<int>(portWidth), port.name.c_str(),
                  port.skipped.c_str());
  } else {
    for (const PortCandidate& port : skipped) {
      std::fputs((JsonLine(ordered_json{{"event", "skipped"},
                                        {"port", port.name},
                                        {"reason", port.skipped}}) +
                  "\n")
                     .c_str(),
                 stdout);
    }
  }

  int forwarded = 0;
  bool drawn = false;
  std::string lastDrawn;
  auto lastDraw = Clock::now() - std::chrono::seconds(1);
  auto draw = [&](bool force) {
    if (!terminal) return;
    const auto now = Clock::now();
    if (!force && now - lastDraw < std::chrono::milliseconds(200)) return;
    lastDraw = now;
    std::string lines;
    for (const Unit& unit : units) lines += "\r\x1b[2K" + UnitLine(unit, portWidth) + "\n";
    if (lines == lastDrawn) return;
    lastDrawn = lines;
    // Back to the first unit's line, and every line again.
    if (drawn) std::printf("\x1b[%zuA", units.size());
    std::fputs(lines.c_str(), stdout);
    std::fflush(stdout);
    drawn = true;
  };
  for (;;) {
    bool running = false;
    for (Unit& unit : units) {
      if (unit.child->Ended()) continue;
      unit.child->Collect();
      std::string line;
      while (unit.child->TakeOutLine(&line)) TakeEvent(&unit, line, events, plain, portWidth);
      while (unit.child->TakeErrLine(&line)) {
        // The event stream stays JSON on both streams: a unit's own complaint becomes an
        // event of its port.
        if (events) {
          TakeEvent(&unit, line, events, plain, portWidth);
        } else if (terminal) {
          unit.errLines.push_back(line);
        } else {
          std::fprintf(stderr, "%s: %s\n", unit.port.c_str(), line.c_str());
        }
      }
      if (unit.child->Ended()) {
        worst = WorseExitStatus(worst, unit.child->ExitStatus());
        if (events) {
          std::fputs((JsonLine(ordered_json{{"event", "exit"},
                                            {"port", unit.port},
                                            {"status", unit.child->ExitStatus()}}) +
                      "\n")
                         .c_str(),
                     stdout);
        } else if (plain) {
          std::printf("%s\n", UnitLine(unit, portWidth).c_str());
        }
      } else {
        running = true;
      }
    }
    std::fflush(stdout);
    draw(!running);
    if (!running) break;
    // Each Ctrl-C of the station goes to every unit once: the first stops them at their
    // next safe point, a second ends them at once.
    const int interrupts = StationInterrupts();
    while (forwarded < interrupts) {
      ++forwarded;
      if (forwarded == 1 && !events) {
        std::fprintf(stderr, "quendal-cli: stopping every unit at its next safe point\n");
      }
      for (Unit& unit : units) unit.child->Interrupt();
    }
    WaitForChildren(children, 100);
  }
  ReleaseStationInterrupts();
  for (const Unit& unit : units) {
    for (const std::string& line : unit.errLines) {
      std::fprintf(stderr, "%s: %s\n", unit.port.c_str(), line.c_str());
    }
  }
  if (!events) {
    // What each unit still needs, after the table has stopped moving.
    std::printf("\n");
    PrintSummary(units, skipped);
    std::printf("Station finished: exit status %d; the record is in %s\n", worst,
                recordFile.c_str());
  }
  return worst;
}

}  // namespace quendal::cli
