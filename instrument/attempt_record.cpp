// The attempt record of the settings file, the per-unit copies and the atomic file write.
#include "instrument/attempt_record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "host/file_path.h"
#include "host/device_text.h"
#include "host/file_ops.h"
#include "host/timing.h"
#include "instrument/session_util.h"
#include "instrument/settings_file.h"
#include "loader/device_types.h"
#include "logger/logger_link.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quendal {

using namespace instrument_detail;

namespace {

constexpr const char* kPhaseNames[] = {"unknown", "captured", "erase begun"};
constexpr const char* kSensorDevice = "Digital Sensor";

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int ErrorNumber() {
  return errno != 0 ? errno : EIO;
}

std::string SensorDevice(std::uint32_t typeCode) {
  std::string device = kSensorDevice;
  if (typeCode > ' ' && typeCode < 0x7F) {
    device += ' ';
    device += static_cast<char>(typeCode);
  }
  return device;
}

Status ReadWholeFile(const char* path, std::string* text) {
  if (!InputFileProblem(path, kMaxSettingsFileBytes).empty()) return kBadArgument;
  Status error = kOk;
  File file(OpenDataFile(path, &error));
  if (!file) return error == -ENOENT ? kSettingsFileMissing : error;
  try {
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text->append(chunk, n);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (std::ferror(file.get())) return -ErrorNumber();
  return kOk;
}

// A name part that every file system takes: letters, digits, "-" and "."; others become "_".
std::string FileNamePart(const std::string& text, const char* empty) {
  std::string out;
  for (char c : text) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '.';
    out += plain ? c : '_';
  }
  return out.empty() ? empty : out;
}

std::string TimeStamp() {
  const std::tm local = LocalNow();
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// `base` + extension, or with "-2", "-3" ... before the extension when that is taken.
std::string FreeName(const std::string& base, const char* extension) {
  std::error_code ec;
  std::string candidate = base + extension;
  for (int n = 2; std::filesystem::exists(FilePath(candidate), ec) && n < 10000; ++n)
    candidate = base + "-" + std::to_string(n) + extension;
  return candidate;
}

bool SyncAndClose(std::FILE* file) {
  bool ok = std::fflush(file) == 0;
#ifdef _WIN32
  ok = ok && FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != 0;
#else
  ok = ok && ::fsync(::fileno(file)) == 0;
#endif
  return std::fclose(file) == 0 && ok;
}

void SyncFolderOf(const std::string& path) {
#ifndef _WIN32
  // The rename itself reaches the disk only with its folder.
  const std::string folder = FilePathText(FilePath(path).parent_path());
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
#else
  (void)path;
#endif
}

bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

const char* AttemptPhaseName(AttemptPhase phase) {
  return kPhaseNames[static_cast<int>(phase)];
}

AttemptRecord HeldUnit(const InstrumentSession* s) {
  AttemptRecord unit;
  const int type = s->profileType;
  if (type == kTypeDigitalSensor) {
    unit.device = SensorDevice(s->sdi.typeCode);
    unit.serial = std::string(s->sdi.serialNumber.view());
    unit.firmware = s->sdi.firmwareVersion;
  } else if (IsLoggerType(type)) {
    const std::uint8_t logger = s->info.loggerType;
    unit.device = logger < LoggerTypeNames.size() ? LoggerTypeNames[logger] : LoggerTypeNames[0];
    unit.serial = std::string(s->info.serialNumber.view());
    unit.firmware = static_cast<std::uint32_t>(s->info.versionNumber);
  } else {
    const char* code = DeviceTypeCode(type);
    unit.device = code ? code : "";
    unit.serial = std::string(s->settings.serialNumber.view());
    unit.firmware = static_cast<std::uint32_t>(s->info.versionNumber);
  }
  // Trailing blanks are how some firmware pads a serial number; they name no other unit.
  while (!unit.serial.empty() && unit.serial.back() == ' ') unit.serial.pop_back();
  return unit;
}

AttemptRecord ParseAttemptRecord(const char* text) {
  AttemptRecord record;
  char value[256];
  std::uint32_t number = 0;
  if (ReadTextValue(text, kUnitDeviceKey, value, sizeof value)) {
    record.present = true;
    record.device = value;
    ReadTextValue(text, kUnitSerialKey, value, sizeof value);
    record.serial = value;
    if (ReadNumberValue(text, kUnitFirmwareKey, &number)) record.firmware = number;
    if (ReadTextValue(text, kUnitSerialNowKey, value, sizeof value)) record.serialNow = value;
    ReadTextValue(text, kAttemptPhaseKey, value, sizeof value);
    for (int p = 1; p < 3; ++p)
      if (std::strcmp(value, kPhaseNames[p]) == 0) record.phase = static_cast<AttemptPhase>(p);
  } else {
    ReadTextValue(text, "type", value, sizeof value);
    record.device = value;
    if (record.device == kSensorDevice && ReadNumberValue(text, "sensorType", &number))
      record.device = SensorDevice(number);
    ReadTextValue(text, "sn", value, sizeof value);
    record.serial = value;
  }
  while (!record.serial.empty() && record.serial.back() == ' ') record.serial.pop_back();
  return record;
}

Status ReadAttemptRecord(const char* path, AttemptRecord* record) {
  if (!path || path[0] == '\0' || !record) return kMissingArgument;
  std::string text;
  Status rc = ReadWholeFile(path, &text);
  if (rc < 0) return rc;
  *record = ParseAttemptRecord(text.c_str());
  return kOk;
}

bool SameUnit(const AttemptRecord& file, const AttemptRecord& device) {
  bool sameType = file.device == device.device;
  // A sensor that did not tell its type is still a sensor.
  if (!sameType && file.device.rfind(kSensorDevice, 0) == 0 &&
      device.device.rfind(kSensorDevice, 0) == 0)
    sameType = file.device == kSensorDevice || device.device == kSensorDevice;
  return sameType && (device.serial.empty() || device.serial == file.serial ||
                      (!file.serialNow.empty() && device.serial == file.serialNow));
}

Status WriteFileAtomically(const std::string& path, const std::string& text) {
  if (const int error = FileFaultFor(path)) return -error;
  const std::string temp = TemporaryNameFor(path);
  errno = 0;
  File file(CreatePrivateFile(temp));
  if (!file) return -ErrorNumber();
  int error = 0;
  if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) error = ErrorNumber();
  if (!SyncAndClose(file.release()) && error == 0) error = ErrorNumber();
  if (error == 0 && !ReplaceFile(temp, path)) error = ErrorNumber();
  if (error != 0) {
    std::remove(temp.c_str());
    return -error;
  }
  SyncFolderOf(path);
  return kOk;
}

namespace {

// Puts `key`="value" in place of the key's line, or after the last line.
Status SetRecordLine(const char* path, const char* key, const std::string& value) {
  if (!path || path[0] == '\0') return kMissingArgument;
  std::string text;
  Status rc = ReadWholeFile(path, &text);
  if (rc >= 0) {
    try {
      const std::string line = std::string(key) + "=\"" + value + "\"\r\n";
      const char* at = FindSettingsKey(text.c_str(), key);
      if (at) {
        const std::size_t start = static_cast<std::size_t>(at - text.c_str()) - std::strlen(key);
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        text.replace(start, end - start, line);
      } else {
        if (!text.empty() && text.back() != '\n') text += "\r\n";
        text += line;
      }
    } catch (const std::bad_alloc&) {
      rc = kOutOfMemory;
    }
  }
  if (rc >= 0) rc = WriteFileAtomically(path, text);
  return rc;
}

}  // namespace

Status MarkAttemptPhase(const char* path, AttemptPhase phase, DiagnosticLog* log) {
  const Status rc = SetRecordLine(path, kAttemptPhaseKey, AttemptPhaseName(phase));
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "MarkAttemptPhase got error %d trying to record \"%s\" in settings file %s", rc,
             AttemptPhaseName(phase), path ? path : "");
    return rc;
  }
  LogPrint(log, kLogStep, kProtocolSource, "MarkAttemptPhase recorded \"%s\" in settings file %s",
           AttemptPhaseName(phase), path);
  return kOk;
}

Status MarkUnitSerialNow(const char* path, const std::string& serial, DiagnosticLog* log) {
  // Only a serial number the file can hold as it is; another is no way to know the unit.
  if (!FitsOnOneLine(serial) || serial.find('"') != std::string::npos) return kBadArgument;
  const Status rc = SetRecordLine(path, kUnitSerialNowKey, serial);
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "MarkUnitSerialNow got error %d trying to record serial \"%s\" in settings file %s",
             rc, serial.c_str(), path ? path : "");
    return rc;
  }
  LogPrint(log, kLogFailure, kProtocolSource,
           "The unit now reports serial \"%s\"; settings file %s stays its own", serial.c_str(),
           path);
  return kOk;
}

Status SetSettingsFileAside(const char* path, std::string* movedTo, DiagnosticLog* log) {
  if (!path || path[0] == '\0' || !movedTo) return kMissingArgument;
  std::string base = path;
  const std::string suffix = ".txt";
  if (base.size() > suffix.size() &&
      base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0)
    base.resize(base.size() - suffix.size());
  const std::string target = FreeName(base + ".set-aside-" + TimeStamp(), ".txt");
  std::error_code ec;
  std::filesystem::rename(FilePath(path), FilePath(target), ec);
  if (ec) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "SetSettingsFileAside got error %d trying to move %s to %s", ec.value(), path,
             target.c_str());
    return ec.value() > 0 ? -ec.value() : kRefused;
  }
  SyncFolderOf(target);
  LogPrint(log, kLogFailure, kProtocolSource, "SetSettingsFileAside moved %s to %s", path,
           target.c_str());
  *movedTo = target;
  return kOk;
}

std::string UnitCopyFolder(const char* settingsPath) {
  const std::filesystem::path folder = FilePath(settingsPath ? settingsPath : "").parent_path();
  return FilePathText(folder / "unit-settings");
}

Status KeepUnitCopy(const char* settingsPath, const AttemptRecord& unit, std::string* copyPath,
                    DiagnosticLog* log) {
  if (!settingsPath || settingsPath[0] == '\0') return kMissingArgument;
  std::string text;
  Status rc = ReadWholeFile(settingsPath, &text);
  std::string target;
  if (rc >= 0) {
    const std::string folder = UnitCopyFolder(settingsPath);
    MakePrivateFolders(folder);
    target = FreeName(FilePathText(FilePath(folder) /
                                   FilePath(FileNamePart(unit.device, "unknown") + "_" +
                                            FileNamePart(unit.serial, "no-serial") + "_" +
                                            TimeStamp())),
                      ".settings.txt");
    rc = WriteFileAtomically(target, text);
  }
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "KeepUnitCopy got error %d trying to keep a copy of %s", rc, settingsPath);
    return rc;
  }
  LogPrint(log, kLogStep, kProtocolSource, "KeepUnitCopy kept the settings of this unit in %s",
           target.c_str());
  if (copyPath) *copyPath = target;
  return kOk;
}

}  // namespace quendal
