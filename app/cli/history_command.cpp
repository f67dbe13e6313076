#include "app/cli/history_command.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>

#include "app/cli/options.h"
#include "app/engine/update_record.h"
#include "app/engine/updater_engine.h"
#include "host/device_text.h"

namespace quendal::cli {
namespace {

using nlohmann::json;

std::string Text(const json& record, const char* name) {
  auto it = record.find(name);
  if (it == record.end() || it->is_null()) return "-";
  // A device's text is shown, not obeyed: its control characters made visible.
  if (it->is_string()) return VisibleText(it->get<std::string>());
  return it->dump();
}

// A line is a record when it is an object with the fields the table shows.
bool IsRecord(const json& record) {
  if (!record.is_object()) return false;
  for (const char* name : {"start", "port", "device", "serial", "code"}) {
    if (!record.contains(name)) return false;
  }
  return record["code"].is_number_integer();
}

}  // namespace

int RunHistoryCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options = ParseOptions(args, {"--serial", "--data-dir"}, {"--events"});
  if (!options.error.empty()) {
    std::fprintf(stderr,
                 "quendal-cli history: %s\nusage: quendal-cli history [--serial S] "
                 "[--data-dir DIR] [--events]\n",
                 options.error.c_str());
    return kExitUsage;
  }
  std::string folder;
  if (auto* v = options.Value("--data-dir")) {
    folder = *v;
  } else {
    folder = PerUserDataFolder();
    if (folder.empty()) folder = ".";
  }
  const std::string path = folder + "/" + kUpdateRecordFileName;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "quendal-cli history: no updates recorded yet (%s not found)\n",
                 path.c_str());
    return kExitOk;
  }
  const std::string* serial = options.Value("--serial");
  // The record holds the serial number as the device reported it, made valid UTF-8.
  const json wanted = serial ? json(ValidUtf8(*serial)) : json();
  const bool events = options.Has("--events");
  if (!events) {
    std::printf("%-20s  %-14s  %-18s  %-12s  %-13s  %6s  %5s  %s\n", "START (UTC)", "PORT",
                "DEVICE", "SERIAL", "FIRMWARE", "CODE", "SECS", "RESULT");
  }
  std::string line;
  int lineNumber = 0;
  int skipped = 0;
  while (std::getline(file, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    json record = json::parse(line, nullptr, false);
    if (record.is_discarded() || !IsRecord(record)) {
      if (++skipped <= 10) {
        std::fprintf(stderr, "quendal-cli history: line %d of %s is not a record; skipped\n",
                     lineNumber, path.c_str());
      }
      continue;
    }
    if (serial && record["serial"] != wanted) continue;
    if (events) {
      std::printf("%s\n", line.c_str());
      continue;
    }
    const std::string firmware = Text(record, "firmwareBefore") + " > " +
                                 Text(record, "firmwareAfter");
    std::printf("%-20s  %-14s  %-18s  %-12s  %-13s  %6s  %5s  %s\n",
                Text(record, "start").c_str(), Text(record, "port").c_str(),
                Text(record, "device").c_str(), Text(record, "serial").c_str(), firmware.c_str(),
                Text(record, "code").c_str(), Text(record, "seconds").c_str(),
                Text(record, "result").c_str());
  }
  if (skipped > 10) {
    std::fprintf(stderr, "quendal-cli history: %d lines of %s in all were skipped\n", skipped,
                 path.c_str());
  }
  return kExitOk;
}

}  // namespace quendal::cli
