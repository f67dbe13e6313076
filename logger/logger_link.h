#pragma once
// The logger command library's link: the serial fields of DeviceLink plus what the
// command layer keeps about the connection and the logger on the other end. The DS
// operations take a LoggerLink wherever they take a DeviceLink.
#include <array>
#include <cstdint>
#include <string>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/serial.h"
#include "host/status.h"

namespace quendal {

// Codes of this layer beside the shared ones.
inline constexpr Status kCannotSetOverRadio = -12;  // also: the logger has no trait command
inline constexpr Status kUnsupportedKind = -13;     // connection kind or old storage model
inline constexpr Status kRadioConfigFailed = -23;   // or a radio read skipped: no radio
inline constexpr Status kRelayActive = -33;
inline constexpr Status kSomeFailed = -35;
inline constexpr Status kUninitialised = -36;
inline constexpr Status kIdentityMismatch = -37;
inline constexpr Status kNoRadio = -45;
inline constexpr Status kNameBadCharacter = -50;  // control character, blank, 127 or 255
inline constexpr Status kNameShellCharacter = -51;
inline constexpr Status kNameReserved = -52;
inline constexpr Status kNameEmpty = -53;
inline constexpr Status kNameLength = -54;
inline constexpr Status kNameNotAscii = -56;
inline constexpr Status kDataFlashBroken = -65;

enum ConnectionKind : std::uint8_t {
  kNoConnection = 0,
  kSerialConnection = 10,
  kRadioConnection = 30,
};

enum LoggerType : std::uint8_t {
  kLoggerUnknown = 0,
  kLoggerUnknownLogger = 1,
  kLoggerTarn = 2,
  kLoggerTarnx = 3,
  kLoggerWeirstead = 4,
  kLoggerMerrick = 5,
  kLoggerTarnb = 6,
  kLoggerGeneric = 7,
  kLoggerKyrelCommDev = 8,
  kLoggerKyrelCalibrator = 9,
  kLoggerReadvane = 10,
  kLoggerRelmo = 11,
  kLoggerOgle = 12,
  kLoggerEndOfList = 13,
};

inline constexpr std::array<const char*, 14> LoggerTypeNames = {
    "Unknown",  "Unknown Logger", "Tarn",    "Tarnx",          "Weirstead",
    "Merrick",  "Tarnb",          "Generic", "Kyrel Comm Dev", "Kyrel Calibrator",
    "Readvane", "Relmo",          "Ogle",    "END of List",
};

// Baud rate by code; every connection starts at code 2.
inline constexpr std::array<std::uint32_t, 9> BaudCodeTable = {0,     1200,   9600,   19200, 38400,
                                                               57600, 115200, 230400, 460800};
inline constexpr std::uint8_t kStartBaudCode = 2;

// Also the shell's command words, so a logger may not be called by one of them.
inline constexpr std::array<const char*, 25> ReservedDeviceNames = {
    "ERROR", "Unsupported", "volt",   "show", "yes",  "hertz", "time", "dump", "erase",
    "login", "logout",      "query",  "help", "temp", "scan",  "term", "ping", "post",
    "get",   "set",         "teltst", "ack",  "nack", "OK",    "boot"};

inline constexpr std::uint32_t kDefaultSerialRetries = 3;
inline constexpr std::uint32_t kDefaultRadioRetries = 5;
inline constexpr std::uint32_t kMaxRetries = 12;
inline constexpr std::uint32_t kMaxExtraTimeoutMs = 30000;

struct LinkOptions {
  std::uint8_t keepPortOpen = 0;  // DisconnectDevice leaves the port open at 9600
  std::uint32_t serialRetries = kDefaultSerialRetries;
  std::uint32_t radioRetries = kDefaultRadioRetries;
  std::uint8_t progressHook = 0;  // never set in this system
  std::uint8_t traceMode = 0;     // 0..3; the hooks do nothing here
  std::uint32_t extraTimeoutMs = 0;
};

struct ConnectRequest {
  // COM names are short; on POSIX a port is a device path, which can be as long as the
  // serial link holds.
  BoundedText<64> port;
  std::uint8_t kind = kNoConnection;
  std::uint8_t baudCode = 0;  // index into BaudCodeTable; 0 means 2; the code in force after
  BoundedText<8> name;        // radio login name; empty: ask with QueryCommand
  BoundedText<8> password;    // carried, never sent
  std::int32_t radioChannel = 0;
  std::int32_t radioSubchannel = 0;
  std::int32_t configureRadio = 0;
};

struct AdcCalibration {
  std::uint8_t slopes[5] = {};
  std::uint8_t offsets[5] = {};
};

// What is known about the connected logger; copied whole between the link and callers.
struct LoggerInfo {
  std::uint32_t knownMask = 0;  // settings bits read successfully since connect
  std::uint32_t capabilities = 0;
  std::uint8_t loggerType = kLoggerUnknown;
  BoundedText<30> loggerTypeName;
  std::uint8_t newFirmware = 0;  // 1: answers "get -ver"; 0: only knows "show"
  BoundedText<8> deviceId;
  BoundedText<8> name;
  BoundedText<15> serialNumber;
  BoundedText<20> version;         // the identification line
  std::int32_t versionNumber = 0;  // 2.05 -> 205; -1 after a failed "show" parse
  std::uint32_t trait = 0;         // bit 14: the trait has been read
  BoundedText<16> build;
  std::int32_t wake = 0;
  std::uint8_t ports[5] = {};
  std::uint8_t depths[5] = {};
  std::int32_t padc = 0;
  BoundedText<25> site;
  double latitude = 0;
  double longitude = 0;
  std::int32_t timeZone = 0;  // quarter hours from UTC
  AdcCalibration adc30Cal;
  AdcCalibration adc15Cal;
  std::int32_t dataParameter = 0;
  std::int32_t reportMode = 0;
  std::int32_t radioMode = 0;
  std::int32_t radioChannel = 0;
  std::int32_t radioSubchannel = 0;
  BoundedText<8> radioVersion;
  BoundedText<35> apn;
  BoundedText<35> apnUser;
  BoundedText<35> apnPassword;
  BoundedText<32> authKey;
  BoundedText<63> host;
  std::uint32_t ipPort = 0;
};

inline constexpr std::uint32_t kTraitKnown = 1u << 14;
inline constexpr std::uint32_t kTraitRadio = 1u << 0;
inline constexpr std::uint32_t kTraitGprs = 1u << 3;

// Capability bits that the commands test.
inline constexpr std::uint32_t kCapBaud = 1u << 0;
inline constexpr std::uint32_t kCapWake = 1u << 4;  // wake and PADC
inline constexpr std::uint32_t kCapPorts = 1u << 5;
inline constexpr std::uint32_t kCapTrait = 1u << 6;
inline constexpr std::uint32_t kCapRadio = 1u << 8;  // radio command, emulated trait
inline constexpr std::uint32_t kCapRadioMode = 1u << 9;
inline constexpr std::uint32_t kCapClock = 1u << 12;
inline constexpr std::uint32_t kCapAdcCal = 1u << 16;
inline constexpr std::uint32_t kCapDataParameter = 1u << 17;
inline constexpr std::uint32_t kCapBuild = 1u << 18;
inline constexpr std::uint32_t kCapSecondsClock = 1u << 19;
inline constexpr std::uint32_t kCapSingleAdcCal = 1u << 20;
inline constexpr std::uint32_t kCapDeviceId = 1u << 24;  // and the other newer settings
inline constexpr std::uint32_t kCapPosition = 1u << 26;

struct LoggerLink : DeviceLink {
  explicit LoggerLink(DiagnosticLog* log);
  // Disconnects an open connection (closing the port) before the serial fields go.
  ~LoggerLink();

  Status status = kOk;
  LinkOptions options;
  LoggerInfo info;
  ConnectRequest request;  // kind 0 while no connection is open
  std::uint32_t retries = kDefaultSerialRetries;
  std::uint32_t resets = 0;
  std::array<char, kReadBufferBytes> answer{};       // the last answer, NUL-terminated
  std::array<char, kReadBufferBytes> readStorage{};  // handed to the driver as readBuffer
  // A text read that its field could not keep whole, described; empty when none was.
  std::string unfitText;
};

// Sends one command line (ending in "\r") and collects one answer with retries, echo and
// error detection. answerLen: in the capacity of answerOut, out the length copied.
// Returns the bytes received, or a negative code (-31 after the copy for a bare prompt).
Status DeviceCommand(LoggerLink* link, const char* command, char terminator,
                     std::uint32_t timeoutMs, char* answerOut, std::uint32_t* answerLen,
                     std::uint32_t* elapsedMs);

Status DeviceOptions(LoggerLink* link, LinkOptions* options, int set);
Status VerCommand(LoggerLink* link, int noShow);
// Old firmware only. With idOut only the ID is read, into idOut.
Status ParseShowCommand(LoggerLink* link, BoundedText<8>* idOut);
Status SetCapabilities(LoggerLink* link);
Status TraitHasRadio(const LoggerInfo* info);
Status TraitHasGprs(const LoggerLink* link);
Status SetBaudCommand(LoggerLink* link, std::uint32_t baud);
Status DeviceLogin(LoggerLink* link, const char* name, const char* password,
                   std::uint8_t* baudCode);
// mode 1: ask for the listening logger's name into nameOut (9 bytes); another non-zero
// mode is the capacity of nameOut for the raw answer.
Status QueryCommand(LoggerLink* link, char* nameOut, int mode);
Status LoginCommand(LoggerLink* link, const char* name);
Status SendWake(LoggerLink* link);
Status CheckDeviceName(LoggerLink* link, const char* name);
// request->baudCode holds the code in force on return.
Status ConnectDevice(LoggerLink* link, ConnectRequest* request);
Status DisconnectDevice(LoggerLink* link, int quiet);

}  // namespace quendal
