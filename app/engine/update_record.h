#pragma once
// The traceability record: one JSON line per update attempt in updates.jsonl of the data
// folder, written by whichever front end ran the update.
#include <cstdint>
#include <ctime>
#include <string>

#include "host/build_version.h"
#include "host/status.h"

namespace quendal {

struct UpdaterEngine;

inline constexpr const char* kUpdateRecordFileName = "updates.jsonl";

struct UpdateRecord {
  std::time_t start = 0;
  std::time_t end = 0;
  std::string host;
  std::string updater = QUENDAL_BUILD_ENGINE_VERSION;  // the version of the program that wrote it
  std::string port;
  std::string device;  // kind, e.g. "CVFOUR", "Digital Sensor s"
  std::string serial;
  std::uint32_t firmwareBefore = 0;  // hundredths; 0: not known
  std::uint32_t firmwareAfter = 0;
  std::string imageName;
  std::uint32_t imageVersion = 0;
  std::int32_t imageSum = 0;
  std::string settingsCaptured;  // "all", "earlier", "none"
  std::string settingsRestored;  // "all", "partial", "none"
  std::string notRestored;       // with "partial": the settings that did not read back as saved
  Status code = 0;
  std::string text;
  std::uint32_t seconds = 0;
};

// "2026-12-09T07:31:02Z"
std::string IsoUtcTime(std::time_t t);
// `text` as a JSON string, quotes included. Valid UTF-8 stays as it is; a byte that is not
// part of a valid sequence (a device's garbled serial number) becomes \u00XX.
std::string JsonString(const std::string& text);
// The record as one JSON line, '\n' included.
std::string UpdateRecordLine(const UpdateRecord& record);

// What the engine knows of the attempt that just ended with `rc`.
UpdateRecord DescribeUpdate(const UpdaterEngine& engine, Status rc, std::time_t start,
                            std::time_t end);
// Appends the attempt's record to the engine's record file. A record that cannot be written
// is logged; it never changes the update's result.
void WriteUpdateRecord(UpdaterEngine* engine, const UpdateRecord& record);

}  // namespace quendal
