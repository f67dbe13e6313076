#pragma once
// Capture of an instrument's settings before a firmware update and their restore after
// it: data loggers through the logger library, digital sensors through the SDI-12 layer,
// every other instrument through its "get"/"set" commands selected by flag bits.
#include <cstdint>
#include <string>

#include "host/status.h"
#include "instrument/instrument_session.h"

namespace quendal {

// What DPSaveInfo captures of an instrument that is not a logger; 0 for types without
// a capture through GetInstInfo. `version` is the firmware version number (2.05: 205).
std::uint32_t InstrumentCaptureBits(int type, std::uint32_t version);

// What a save found beside the device.
struct SaveOutcome {
  // The settings came from the file of an earlier attempt on this unit that reached the
  // erase: the device no longer holds them, so it was not captured over the file.
  bool fromEarlierAttempt = false;
  std::string setAside;  // a file of another unit (or an unusable one), moved here
  std::string unitCopy;  // the dated copy of this capture
  int writeError = 0;      // the system's error number when a file was not written
  std::string failedFile;  // that file when it is not the settings file
};

// Captures the settings of the session's device type and writes the settings file, unless
// the file holds this unit's settings from an attempt that reached the erase: then those
// are taken instead. A file of another unit is moved aside first, never restored or lost.
// 1; -13, -36, -150 (a value the file cannot hold), -151 (read, but the file could not be
// written: `writeError`), or a failure code of the capture.
Status DPSaveInfo(InstrumentSession* session, const char* path, SaveOutcome* outcome = nullptr);
// Reads the device's settings into the session only, leaving every file alone. 1 or -35
// (some settings could not be read); other negative codes when nothing was captured.
Status DPCaptureInfo(InstrumentSession* session);
// Whether the held settings can be kept and written back as they are: false with the
// reason when a value does not fit the settings file or its command.
bool SettingsRestorable(const InstrumentSession* session, std::string* problem);
// Writes the held settings back (reading the settings file first when none are held).
// `newSerial` (null or empty: keep) replaces the serial number.
Status DPRestoreInfo(InstrumentSession* session, const char* path, const char* newSerial);

// 1; 0 for no bits; -35 some settings failed; -21, -32.
Status GetInstInfo(InstrumentSession* session, std::uint32_t bits);
// 1; 0 for no bits; -35; -12 (serial number refused), -21, -32, -33.
Status SetInstInfo(InstrumentSession* session, std::uint32_t bits);

// Record types: kEqnRecordType ("eqn") and kUserRecordType ("user").
Status GetRecords_Serial(InstrumentSession* session, RecordSet* set, int type);
Status SetRecords_Serial(InstrumentSession* session, RecordSet* set, int type);
Status GetRecords_File(InstrumentSession* session, RecordSet* set, int type, const char* fileText);
Status AlphabetizeRecords(InstrumentSession* session, RecordSet* set, int type);
Status ExtractNames(InstrumentSession* session, RecordSet* set, int type);

}  // namespace quendal
