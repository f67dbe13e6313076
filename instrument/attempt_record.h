#pragma once
// The attempt record of a settings file: which unit the values came from and how far the
// update that captured them got. A settings file outlives failed attempts, kills and power
// losses; the record decides whether the next Start may capture the device again or must
// restore from the file, and keeps one unit's settings out of another.
#include <cstdint>
#include <string>

#include "host/status.h"
#include "instrument/instrument_session.h"

namespace quendal {

enum class AttemptPhase {
  kUnknown,     // a file without a record (an older updater's): treated as erase begun
  kCaptured,    // the device was read; nothing of it has been touched
  kEraseBegun,  // the device may have left its firmware: the file may be the only copy
};

struct AttemptRecord {
  bool present = false;  // the file carries the record lines
  std::string device;    // "CVFOUR", "Tarnx", "Digital Sensor s"; "Digital Sensor": type unknown
  std::string serial;
  std::uint32_t firmware = 0;
  AttemptPhase phase = AttemptPhase::kUnknown;
  // What the unit reported after a restore that did not read back: a serial number that
  // came back garbled still names this unit.
  std::string serialNow;
};

// Keys of the record lines; written after every value line, so that a reader that finds a
// key's first occurrence anywhere still finds its own keys first.
inline constexpr const char* kUnitDeviceKey = "unitDevice";
inline constexpr const char* kUnitSerialKey = "unitSerial";
inline constexpr const char* kUnitFirmwareKey = "unitFirmware";
inline constexpr const char* kAttemptPhaseKey = "attemptPhase";
inline constexpr const char* kUnitSerialNowKey = "unitSerialNow";
// The unit's serial number after that restore could not be read: the unit cannot be told
// from another of its type by it.
inline constexpr const char* kSerialUnknown = "?";

const char* AttemptPhaseName(AttemptPhase phase);

// The unit the session's held settings (or, before a capture, the connected device) belong to.
AttemptRecord HeldUnit(const InstrumentSession* session);

// The record of a file's text. A file without record lines is described from its own
// type and serial-number lines, its phase unknown.
AttemptRecord ParseAttemptRecord(const char* fileText);

// Reads a settings file's record. 1; -102 when there is no file; other negative codes
// when it cannot be read.
Status ReadAttemptRecord(const char* path, AttemptRecord* record);

// The same unit: the same device type (a sensor whose type is unknown matches any sensor),
// and the same serial number or none on the device (a unit that lost its identity with
// its information memory).
bool SameUnit(const AttemptRecord& file, const AttemptRecord& device);

// Rewrites the phase line of the file, keeping every other line as it is. 1 or a negative
// code; the file stays as it was when this fails.
Status MarkAttemptPhase(const char* path, AttemptPhase phase, DiagnosticLog* log);

// Moves a settings file aside beside itself, never over another file; `movedTo` gets the
// new path. 1 or a negative code.
Status SetSettingsFileAside(const char* path, std::string* movedTo, DiagnosticLog* log);

// Records the serial number the unit reports after a restore that did not read back, so
// that the next Start still knows the unit. 1 or a negative code.
Status MarkUnitSerialNow(const char* path, const std::string& serial, DiagnosticLog* log);

// The folder of the per-unit copies beside the settings file.
std::string UnitCopyFolder(const char* settingsPath);
// Copies a settings file to the per-unit folder as "<device>_<serial>_<time>.settings.txt".
// 1 or a negative code; `copyPath` gets the copy's path.
Status KeepUnitCopy(const char* settingsPath, const AttemptRecord& unit, std::string* copyPath,
                    DiagnosticLog* log);

// Writes `text` to `path` through a temporary file that is flushed to the disk before it
// replaces `path`. 1 or a negated error number.
Status WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace quendal
