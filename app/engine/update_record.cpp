#include "app/engine/update_record.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "app/engine/updater_engine.h"
#include "host/device_text.h"
#include "host/file_ops.h"
#include "host/host_name.h"

namespace quendal {
namespace {

// Length of the UTF-8 sequence that starts at text[i], or 0 when it is not a valid one.
// True when the file is missing, empty, or its last byte ends a line.
bool EndsWithLineEnd(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file || file.tellg() <= 0) return true;
  file.seekg(-1, std::ios::end);
  char last = '\n';
  file.get(last);
  return last == '\n';
}

void AppendField(std::string* line, const char* name, const std::string& jsonValue) {
  if (line->size() > 1) line->push_back(',');
  line->append(JsonString(name));
  line->push_back(':');
  line->append(jsonValue);
}

std::string Number(long long value) {
  return std::to_string(value);
}

// A version in hundredths as "3.96"; null when unknown.
std::string VersionOrNull(std::uint32_t hundredths) {
  return hundredths == 0 ? "null" : JsonString(VersionText(hundredths));
}

std::string ResultText(const UpdateAttempt& a) {
  const Status rc = a.result;
  if (rc >= 0 && a.skippedAsCurrent) return "Skipped: it runs the image's version already";
  if (rc >= 0) return "Firmware updated and every setting restored";
  if (rc == kSettingsNotRestored) return "Firmware updated; settings not all restored";
  if (rc == kCancelled && a.stopRequested) return "Stopped on request";
  if (rc == kCancelled) return "Cancelled";
  if (!a.lastErrorCaption.empty()) return a.lastErrorCaption;
  return "Error " + std::to_string(rc);
}

}  // namespace

std::string IsoUtcTime(std::time_t t) {
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    } else {
      out.push_back(static_cast<char>(c));
    }
    ++i;
  }
  out.push_back('"');
  return out;
}

std::string UpdateRecordLine(const UpdateRecord& r) {
  std::string line = "{";
  AppendField(&line, "start", JsonString(IsoUtcTime(r.start)));
  AppendField(&line, "end", JsonString(IsoUtcTime(r.end)));
  AppendField(&line, "host", JsonString(r.host));
  AppendField(&line, "updater", JsonString(r.updater));
  AppendField(&line, "port", JsonString(r.port));
  AppendField(&line, "device", JsonString(r.device));
  AppendField(&line, "serial", JsonString(r.serial));
  AppendField(&line, "firmwareBefore", VersionOrNull(r.firmwareBefore));
  AppendField(&line, "firmwareAfter", VersionOrNull(r.firmwareAfter));
  AppendField(&line, "image", JsonString(r.imageName));
  AppendField(&line, "imageVersion", VersionOrNull(r.imageVersion));
  AppendField(&line, "imageSum", Number(r.imageSum));
  AppendField(&line, "settingsCaptured", JsonString(r.settingsCaptured));
  AppendField(&line, "settingsRestored", JsonString(r.settingsRestored));
  if (!r.notRestored.empty()) AppendField(&line, "notRestored", JsonString(r.notRestored));
  AppendField(&line, "code", Number(r.code));
  AppendField(&line, "result", JsonString(r.text));
  AppendField(&line, "seconds", Number(r.seconds));
  if (!r.left.empty()) AppendField(&line, "left", JsonString(r.left));
  if (!r.advice.empty()) AppendField(&line, "advice", JsonString(r.advice));
  line += "}\n";
  return line;
}

UpdateRecord DescribeUpdate(const UpdateAttempt& a) {
  const UpdateEnding ending = DecideEnding(a);
  UpdateRecord r;
  r.start = a.start;
  r.end = a.end;
  r.host = HostName();
  r.port = a.options.port;
  r.device = a.device.empty() ? a.target : a.device;
  r.serial = a.serial;
  r.firmwareBefore = a.firmwareBefore;
  r.firmwareAfter = ending.firmwareAfter;
  r.imageName = a.imageName;
  r.imageVersion = a.imageVersion;
  r.imageSum = a.imageSum;
  r.settingsCaptured = a.settingsCaptured ? "all" : "none";
  if (!a.settingsCaptured && !a.settingsSkipped && a.stage > UpdateStage::kSave) {
    r.settingsCaptured = "earlier";  // taken up from an earlier attempt's file
  }
  if (a.result >= 0 && !a.settingsSkipped && !a.skippedAsCurrent) {
    r.settingsRestored = "all";
  } else if (a.result == kSettingsNotRestored) {
    r.settingsRestored = "partial";
    r.notRestored = a.notRestored;
  } else {
    r.settingsRestored = "none";
  }
  r.code = a.result;
  r.text = ResultText(a);
  r.seconds = a.seconds;
  r.left = DeviceLeftName(ending.left);
  r.advice = ending.advice;
  return r;
}

void WriteUpdateRecord(UpdaterEngine* engine, const UpdateRecord& record) {
  const std::string& recordFile = engine->attempt ? engine->attempt->options.recordFile
                                                  : engine->options.recordFile;
  const std::string path =
      recordFile.empty() ? engine->dataFolder + kSeparator + kUpdateRecordFileName : recordFile;
  // A line cut short by a full disk is ended first, or it would swallow this one. (Built up
  // with push_back: MinGW's GCC 12 takes an insert at 0 for an overlapping copy.)
  std::string line;
  if (!EndsWithLineEnd(path)) line.push_back('\n');
  line += UpdateRecordLine(record);
  const Status rc = AppendWhole(path, line.data(), line.size());
  if (rc < 0) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "The update record could not be added to %s (error %d)", path.c_str(), rc);
    const std::string text = "The update record could not be added to " + path + " (" +
                             std::strerror(-rc) + ")";
    std::fprintf(stderr, "%s\n", text.c_str());
    SetStatus(engine, text);
  }
}

}  // namespace quendal
