#include "app/cli/history_command.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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

// The port as `ports` leads its line with it: a device path or link by its last part.
std::string ShortPort(const std::string& port) {
  const std::size_t slash = port.find_last_of("/\\");
  return slash == std::string::npos || slash + 1 == port.size() ? port : port.substr(slash + 1);
}

// Columns on a terminal: a character of several UTF-8 bytes takes one.
std::size_t Width(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

constexpr std::size_t kColumns = 8;
using Row = std::array<std::string, kColumns>;

// Every column as wide as its widest cell, so that a long port or serial number moves the
// columns after it and never shifts one row against another. Code and seconds align right.
void PrintTable(const std::vector<Row>& rows) {
  std::array<std::size_t, kColumns> width{};
  for (const Row& row : rows) {
    for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], Width(row[c]));
  }
  for (const Row& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < kColumns; ++c) {
      const std::string pad(width[c] - Width(row[c]), ' ');
      const bool right = c == 5 || c == 6;
      if (c + 1 == kColumns) {
        line += row[c];
      } else {
        line += right ? pad + row[c] : row[c] + pad;
        line += "  ";
      }
    }
    std::printf("%s\n", line.c_str());
  }
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
  std::vector<Row> rows;
  rows.push_back({"START (UTC)", "PORT", "DEVICE", "SERIAL", "FIRMWARE", "CODE", "SECS", "RESULT"});
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
    rows.push_back({Text(record, "start"), ShortPort(Text(record, "port")), Text(record, "device"),
                    Text(record, "serial"), firmware, Text(record, "code"), Text(record, "seconds"),
                    Text(record, "result")});
  }
  if (!events) PrintTable(rows);
  if (skipped > 10) {
    std::fprintf(stderr, "quendal-cli history: %d lines of %s in all were skipped\n", skipped,
                 path.c_str());
  }
  return kExitOk;
}

}  // namespace quendal::cli
