#pragma once
// Capture of an instrument's settings before a firmware update and their restore after
// it: data loggers through the logger library, digital sensors through the SDI-12 layer,
// every other instrument through its "get"/"set" commands selected by flag bits.
#include <cstdint>

#include "host/status.h"
#include "instrument/instrument_session.h"

namespace quendal {

// What DPSaveInfo captures of an instrument that is not a logger; 0 for types without
// a capture through GetInstInfo. `version` is the firmware version number (2.05: 205).
std::uint32_t InstrumentCaptureBits(int type, std::uint32_t version);

// Captures the settings of the session's device type and writes the settings file.
// 1; -13, -36, or a failure code.
Status DPSaveInfo(InstrumentSession* session, const char* path);
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
