#pragma once
// The instrument session: the object through which the update sequences talk to an
// instrument's shell. It connects and identifies, logs in, asks for the battery and the
// firmware's self-test, erases data, sets the clock, and holds the settings that are
// captured before an update and restored after it.
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/status.h"
#include "instrument/instrument_status.h"
#include "loader/device_types.h"
#include "logger/logger_link.h"
#include "sdi12/sdi_sensor.h"

namespace quendal {

// Settings of instruments that are not data loggers; `mask` holds the flag bits of the
// fields that hold values.
struct InstrumentSettings {
  std::uint32_t mask = 0;
  std::uint8_t typeCode = 0;
  BoundedText<15> serialNumber;  // bit 1
  BoundedText<8> name;           // bit 0
  BoundedText<128> location;     // bit 24
  BoundedText<16> build;         // settings file only
  std::int32_t language = 0;     // bit 3
  std::int32_t contrast = 0;     // bit 4
  std::int32_t units = 0;        // bit 7
  std::int32_t interval = 0;     // bit 9
  BoundedText<64> config;        // bit 11
  BoundedText<63> autosec;       // bit 14
  BoundedText<128> calprefs;     // settings file only
  BoundedText<128> pcUnits;      // bit 23
  BoundedText<128> sample;       // bit 20
  BoundedText<16> chai;          // bit 25
  BoundedText<128> fvals;        // bits 5 and 22 ("-p")
  BoundedText<128> uvals;        // bits 6 and 22 ("-pv")
  BoundedText<16> adc;           // bit 8
  BoundedText<63> adccal;        // bit 10
  BoundedText<63> wtoffset;      // bit 12
  BoundedText<63> wtfactory;     // bit 17
  BoundedText<63> p1offset;      // bit 13
  BoundedText<128> sys;          // bit 31
  BoundedText<128> adc15;        // bit 18
  BoundedText<128> adc30;        // bit 19
  BoundedText<16> ext;           // bit 26
  BoundedText<128> tadj;         // bit 29
  BoundedText<128> hadj;         // bit 30
  std::int32_t tau = 0;          // bit 30
  BoundedText<128> cal[20];      // bits 15 and 21
};

inline constexpr int kCalSlots = 20;

// The flag bits of InstrumentSettings.
enum InstrumentBit : std::uint32_t {
  kInstName = 1u << 0,
  kInstSerialNumber = 1u << 1,
  kInstFileRead = 1u << 2,  // set by the settings-file reader
  kInstLanguage = 1u << 3,
  kInstContrast = 1u << 4,
  kInstFvals = 1u << 5,
  kInstUvals = 1u << 6,
  kInstUnits = 1u << 7,
  kInstAdc = 1u << 8,
  kInstInterval = 1u << 9,
  kInstAdcCal = 1u << 10,
  kInstConfig = 1u << 11,
  kInstWtOffset = 1u << 12,
  kInstP1Offset = 1u << 13,
  kInstAutosec = 1u << 14,
  kInstVinexCal = 1u << 15,
  kInstWtFactory = 1u << 17,
  kInstAdc15 = 1u << 18,
  kInstAdc30 = 1u << 19,
  kInstSample = 1u << 20,
  kInstCalList = 1u << 21,
  kInstPValues = 1u << 22,
  kInstPcUnits = 1u << 23,
  kInstLocation = 1u << 24,
  kInstChai = 1u << 25,
  kInstExt = 1u << 26,
  kInstUserRecords = 1u << 27,
  kInstEqnRecords = 1u << 28,
  kInstTadj = 1u << 29,
  kInstHadjTau = 1u << 30,
  kInstSys = 1u << 31,
};

// A "user" or "eqn" record: the text exactly as the instrument gives it, and the name
// derived from it for sorting.
struct Record {
  BoundedText<32> name;
  BoundedText<100> text;
};

inline constexpr int kEqnRecordType = 1;
inline constexpr int kUserRecordType = 2;

struct RecordSet {
  std::int32_t count = 0;
  std::unique_ptr<Record[]> records;  // null while the set holds nothing

  void Free() {
    records.reset();
    count = 0;
  }
};

struct InstrumentSession {
  explicit InstrumentSession(DiagnosticLog* log);
  ~InstrumentSession();
  InstrumentSession(const InstrumentSession&) = delete;
  InstrumentSession& operator=(const InstrumentSession&) = delete;

  LoggerLink link;  // carries the serial fields first, so it is the session's DeviceLink
  SdiSensorLink sdi;
  LoggerInfo info;
  InstrumentSettings settings;
  std::uint8_t profileType = kTypeUnknown;
  DeviceProfile profile;
  std::uint8_t captured = 0;
  RecordSet userRecords;
  RecordSet eqnRecords;
  DiagnosticLog* log;
  std::uint32_t capturedMask = 0;
  // A look that must leave the device as it was: a capture skips its steps that set anything,
  // and a save keeps no copy of the unit's settings.
  bool lookOnly = false;
  // After a restore that did not read back as saved: the settings that differ, by name.
  std::string notRestored;
  // A value of the last capture too long for its field, described; empty when none was.
  std::string unfitText;
  // And the serial number the unit reported then, when two reads agreed on it.
  std::string unitSerialNow;
  // The PC's clock for DPSetTime; tests put a fixed time here.
  std::time_t (*wallClock)(std::time_t*) = [](std::time_t* t) { return std::time(t); };
};

// Opens the port, logs in to the shell, identifies the device and fills `profile`.
// 1; -10, -11 (a port name the link cannot hold), -20, -80, -81, -120, or a code of the
// logger library.
Status DPConnect(InstrumentSession* session, const char* port, std::uint8_t baudCode,
                 std::uint32_t retries, DeviceProfile* profile);
// The service login; positive, or -25.
Status DPLogin(InstrumentSession* session);
Status DPLogout(InstrumentSession* session, std::uint8_t sendLogout);
// 1 good; -1 corrupt; -30 not recognised; or a DeviceCommand code.
Status DPCheckFirmware(InstrumentSession* session, std::uint8_t init);
Status DPEraseData(InstrumentSession* session);
Status DPCheckBattery(InstrumentSession* session, std::int32_t* percent);
Status DPSetTime(InstrumentSession* session);

// Asks `command` (without "\r") and copies the first line of the answer, at most
// `maxChars` characters, into `destination` (maxChars + 1 bytes).
Status GetValueString(InstrumentSession* session, const char* command, std::uint32_t timeoutMs,
                      char* destination, std::uint32_t maxChars);
Status GetValueLong(InstrumentSession* session, const char* command, std::uint32_t timeoutMs,
                    std::int32_t* value);

template <std::size_t N>
Status GetValueString(InstrumentSession* session, const char* command, std::uint32_t timeoutMs,
                      BoundedText<N>* destination) {
  char text[N + 1];
  Status rc = GetValueString(session, command, timeoutMs, text, N);
  if (rc > 0) destination->Set(text);
  return rc;
}

// Forgets every held setting and record, so that a later restore reads the settings file.
void DPForgetInfo(InstrumentSession* session);

}  // namespace quendal
