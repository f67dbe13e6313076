// Connecting to an instrument and the single commands of the session.
#include "instrument/instrument_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/device_text.h"
#include "host/timing.h"
#include "instrument/instrument_types.h"
#include "instrument/session_util.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"

namespace quendal {

using namespace instrument_detail;

namespace {

constexpr const char* kServiceLoginName = "*6274";
constexpr int kLoginTries = 3;
constexpr std::uint32_t kLoginCharacterPauseMs = 50;
constexpr std::uint32_t kLoginSettlePauseMs = 100;
constexpr std::uint32_t kLoginTimeoutMs = 4000;
constexpr std::uint32_t kLogoutTimeoutMs = 2000;
constexpr std::uint32_t kAfterDisconnectPauseMs = 100;
constexpr std::uint32_t kPostTimeoutMs = 7000;
constexpr std::uint32_t kEraseTimeoutMs = 17000;
constexpr std::uint32_t kBatteryTimeoutMs = 2000;
constexpr std::uint32_t kSetSecondsTimeoutMs = 20000;
constexpr int kValueTries = 3;
constexpr std::size_t kMaxCommandChars = 511;

// Sends the command word with its carriage return, as long as the caller's word fits.
void CommandLine(const char* command, char (&line)[kMaxCommandChars + 1]) {
  std::snprintf(line, sizeof line, "%s\r", command);
}

}  // namespace

bool instrument_detail::ReadNumber(const char* text, std::int32_t* value) {
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(text, &end, 10);
  if (end == text) return false;
  if (n > INT32_MAX) n = INT32_MAX;
  if (n < INT32_MIN) n = INT32_MIN;
  *value = static_cast<std::int32_t>(n);
  return true;
}

bool instrument_detail::ReadWholeNumber(const char* text, std::int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE || n > INT32_MAX || n < INT32_MIN) return false;
  for (const char* p = end; *p != '\0'; ++p) {
    if (*p == '>' && p[1] == '\0') break;
    if (*p != '\r' && *p != '\n' && *p != ' ') return false;
  }
  *value = static_cast<std::int32_t>(n);
  return true;
}

namespace {

// At most one letter added, lost or changed (letter case ignored).
bool WithinOneEdit(std::string_view text, std::string_view word) {
  auto same = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  };
  if (text.size() > word.size() + 1 || text.size() + 1 < word.size()) return false;
  std::size_t i = 0;
  while (i < text.size() && i < word.size() && same(text[i], word[i])) ++i;
  if (i == text.size() && i == word.size()) return true;
  auto rest = [&](std::size_t a, std::size_t b) {
    if (text.size() - a != word.size() - b) return false;
    for (; a < text.size(); ++a, ++b)
      if (!same(text[a], word[b])) return false;
    return true;
  };
  return rest(i + 1, i + 1) || rest(i, i + 1) || rest(i + 1, i);
}

}  // namespace

bool instrument_detail::LooksGarbled(std::string_view value) {
  if (value.find('>') != std::string_view::npos) return true;
  for (std::string_view word : {"ERROR", "Unsupported"})
    if (WithinOneEdit(value, word)) return true;
  return false;
}

bool instrument_detail::IsLoggerType(int type) {
  return IsLoggerForm(InstrumentType(type).form);
}

InstrumentSession::InstrumentSession(DiagnosticLog* logTo)
    : link(logTo), sdi(logTo, &link), log(logTo) {}

InstrumentSession::~InstrumentSession() {
  userRecords.Free();
  eqnRecords.Free();
}

Status DPConnect(InstrumentSession* session, const char* port, std::uint8_t baudCode,
                 std::uint32_t retries, DeviceProfile* profile) {
  if (!session || !port || port[0] == '\0' || !profile) return kMissingArgument;
  DiagnosticLog* log = session->log;

  LinkOptions options;
  options.keepPortOpen = 0;
  options.serialRetries = retries;
  options.radioRetries = 0;
  options.progressHook = 0;
  options.traceMode = 0;
  options.extraTimeoutMs = 0;
  Status rc = DeviceOptions(&session->link, &options, 1);
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPConnect received error %d trying to configure Kyrel_Prototcol", rc);
    return rc;
  }

  ConnectRequest request;
  // A name cut to fit could open another port ("ttyUSB10" cut to "ttyUSB1").
  if (std::strlen(port) > request.port.capacity()) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPConnect received error %d trying to connect to device", kBadArgument);
    return kBadArgument;
  }
  request.port.Set(port);
  request.kind = kSerialConnection;
  request.baudCode = baudCode;
  rc = ConnectDevice(&session->link, &request);

  LoggerInfo scratch;
  if (rc > 0) {
    std::uint32_t nothing = 0;
    rc = DeviceSettings(&session->link, &scratch, &nothing, kRead);
  }
  if (rc > 0) rc = ParseDeviceIdentity(scratch.version.c_str(), profile);

  if (rc > 0 && !profile->firmwareNewEnough) {
    LogPrint(log, kLogFailure, kProtocolSource, "DPConnect this firmware version is not supported");
    return kNotSupported;
  }
  if (rc == kNothingListening) {
    LogPrint(log, kLogStep, kProtocolSource, "DPConnect couldn't connect.");
    return kNothingListening;
  }
  if (rc == kLoaderActive || rc == kLoaderWaiting) {
    LogPrint(log, kLogStep, kProtocolSource, "DPConnect found the Quendal listening (%d)", rc);
    return rc;
  }
  if (rc == kNotRecognised || rc == kEcho) {
    LogPrint(log, kLogFailure, kProtocolSource, "DPConnect this device must not be supported");
    return kNotSupported;
  }
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPConnect received error %d trying to connect to device", rc);
    return rc;
  }
  session->info.loggerType = scratch.loggerType;
  session->info.loggerTypeName = scratch.loggerTypeName;
  session->info.version = scratch.version;
  session->info.versionNumber = scratch.versionNumber;
  session->info.newFirmware = 1;
  session->profileType = static_cast<std::uint8_t>(profile->type);
  session->profile = *profile;
  LogPrint(log, kLogStep, kProtocolSource, "DPConnect successfully connected to device");
  return rc;
}

Status DPLogin(InstrumentSession* session) {
  if (!session) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  char text[32];
  std::snprintf(text, sizeof text, "login %s", kServiceLoginName);
  Status rc = kNoAttempt;
  for (int attempt = 0; attempt < kLoginTries; ++attempt) {
    DSFlush(&session->link, 1);
    // The shell drops characters that arrive faster than it echoes them.
    for (const char* c = text; *c; ++c) {
      std::uint32_t written = 0;
      DSWrite(&session->link, c, 1, &written);
      DSSleep(kLoginCharacterPauseMs);
    }
    DSSleep(kLoginSettlePauseMs);
    DSSleep(kLoginSettlePauseMs);
    char answer[kShortAnswer];
    rc = Transact(session, "\n\r", kLoginTimeoutMs, answer);
    if (rc > 0 && (Contains(answer, "OK") || Contains(answer, "6274"))) {
      rc = kOk;
      break;
    }
  }
  if (rc < 0) {
    LogPrint(session->log, kLogFailure, kProtocolSource,
             "DPConnect couldn't log into the device (%d ms)", Since(start));
    return kLoginFailed;
  }
  LogPrint(session->log, kLogFailure, kProtocolSource,
           "DPConnect successfully loged into the device (%d ms)", Since(start));
  return rc;
}

Status DPLogout(InstrumentSession* session, std::uint8_t sendLogout) {
  if (!session) return kMissingArgument;
  if (sendLogout && session->profile.needsLogin) {
    char answer[kShortAnswer];
    Transact(session, "logout\r", kLogoutTimeoutMs, answer);
  }
  Status rc = DisconnectDevice(&session->link, 0);
  DSSleep(kAfterDisconnectPauseMs);
  return rc;
}

Status DPCheckFirmware(InstrumentSession* session, std::uint8_t init) {
  if (!session) return kMissingArgument;
  char answer[kShortAnswer];
  Status rc = Transact(session, init ? "post -init\r" : "post\r", kPostTimeoutMs, answer);
  DiagnosticLog* log = session->log;
  if (rc < 0) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPCheckFirmware can't determine firmware code status (error %d)", rc);
    return rc;
  }
  if (Contains(answer, "Code Good!")) {
    LogPrint(log, kLogStep, kProtocolSource, "DPCheckFirmware: Device reports good firmware code!");
    return kOk;
  }
  if (Contains(answer, "Code Corrupt!")) {
    LogPrint(log, kLogFailure, kProtocolSource,
             "DPCheckFirmware: Device reports corrupt firmware code!");
    return kCodeCorrupt;
  }
  LogPrint(log, kLogFailure, kProtocolSource,
           "DPCheckFirmware can't determine firmware code status");
  return kNotRecognised;
}

Status DPEraseData(InstrumentSession* session) {
  if (!session) return kMissingArgument;
  const int type = session->profileType;
  if (IsLoggerType(type)) return EraseData(&session->link);
  if (!InstrumentType(type).erasesWithYes) return kNotForThisType;

  const std::uint32_t start = DSTicks();
  char answer[kShortAnswer];
  Status rc = Transact(session, "yes\r", kEraseTimeoutMs, answer);
  if (rc > 0) {
    if (Contains(answer, "OK")) {
      LogPrint(session->log, kLogStep, kProtocolSource, "DPEraseData erased device data (%d ms)",
               Since(start));
      return kOk;
    }
    if (Contains(answer, "DataFlash FAIL")) {
      LogPrint(session->log, kLogFailure, kProtocolSource,
               "DPEraseData failed due to a broken DataFlash (%d ms)", Since(start));
      return kDataFlashBroken;
    }
    rc = kNotRecognised;
  }
  LogPrint(session->log, kLogFailure, kProtocolSource, "DPEraseData failed with error %d (%d ms)",
           rc, Since(start));
  return rc;
}

Status DPCheckBattery(InstrumentSession* session, std::int32_t* percent) {
  if (!session || !percent) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  char answer[kShortAnswer];
  Status rc = Transact(session, "get -batt\r", kBatteryTimeoutMs, answer);
  if (rc < 0) {
    *percent = -1;
    return rc;
  }
  std::int32_t value = 0;
  if (!ReadNumber(answer, &value)) {
    LogPrint(session->log, kLogFailure, kProtocolSource,
             "DPCheckBattery failed to parse battery power (%d ms)", Since(start));
    return kNotRecognised;
  }
  *percent = value;
  LogPrint(session->log, kLogStep, kProtocolSource, "DPCheckBattery: %d%% battery (%d ms)",
           static_cast<int>(value), Since(start));
  return kOk;
}

Status DPSetTime(InstrumentSession* session) {
  if (!session) return kMissingArgument;
  if (!session->profile.setsClock) return kNotForThisType;
  const std::uint32_t start = DSTicks();
  long seconds = 0;
  Status rc;
  if (InstrumentType(session->profileType).secondsClock) {
    errno = 0;
    const std::time_t now = session->wallClock(nullptr);
    if (now == static_cast<std::time_t>(-1)) {
      LogPrint(session->log, kLogFailure, kProtocolSource,
               "DPSetTime failed to get system time with error %d", errno);
      return kNotRecognised;
    }
    seconds =
        static_cast<long>(static_cast<std::int64_t>(now) + LocalUtcOffset() - kSeconds1970To2000);
    char command[48];
    std::snprintf(command, sizeof command, "set -sec %ld\r", seconds);
    char answer[kShortAnswer];
    rc = Transact(session, command, kSetSecondsTimeoutMs, answer);
    if (rc > 0) rc = Contains(answer, "OK") ? kOk : kNotRecognised;
  } else {
    std::int32_t sent = 0;
    rc = DeviceTime(&session->link, &sent, kWrite);
    seconds = sent;
  }
  if (rc > 0) {
    LogPrint(session->log, kLogDetail, kProtocolSource, "DPSetTime set the time to: %ld", seconds);
  } else {
    LogPrint(session->log, kLogDetail, kProtocolSource, "DPSetTime got error %d (%d ms)", rc,
             Since(start));
  }
  return rc;
}

namespace {

// The first line of the link's last answer (`received` bytes), shown, when a NUL is in it:
// a copy of the answer ends there, so the value would be cut without a word.
std::string NulInValue(const InstrumentSession* session, Status received) {
  std::string_view line(session->link.answer.data(),
                        std::min<std::size_t>(received > 0 ? received : 0, kReadBufferSize));
  if (!line.empty() && line[0] == '\r') line.remove_prefix(1);
  if (!line.empty() && line[0] == '\n') line.remove_prefix(1);
  line = line.substr(0, line.find('\r'));
  return line.find('\0') == std::string_view::npos ? std::string() : VisibleText(line);
}

}  // namespace

Status GetValueString(InstrumentSession* session, const char* command, std::uint32_t timeoutMs,
                      char* destination, std::uint32_t maxChars) {
  if (!session || !command || !destination) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  char line[kMaxCommandChars + 1];
  CommandLine(command, line);
  destination[0] = '\0';
  Status rc = kNoAttempt;
  for (int attempt = 0; attempt < kValueTries; ++attempt) {
    char answer[kValueAnswer];
    rc = Transact(session, line, timeoutMs, answer);
    if (rc < 0) continue;
    if (Contains(answer, "Error")) {
      rc = kNotRecognised;
      continue;
    }
    if (const std::string nul = NulInValue(session, rc); !nul.empty()) {
      // Cut at its NUL the value would be restored as another one: the update must not go on.
      std::string& problem = session->unfitText;
      problem = "its answer to \"";
      problem += command;
      problem += "\" \"" + nul + "\" holds a NUL, which the settings file cannot keep";
      LogPrint(session->log, kLogFailure, kProtocolSource, "GetValueString: %s",
               session->unfitText.c_str());
      rc = kNotRecognised;
      break;
    }
    const char* p = answer;
    if (*p == '\r') ++p;
    if (*p == '\n') ++p;
    std::uint32_t n = 0;
    while (n < maxChars && p[n] != '\0' && p[n] != '\r') ++n;
    std::memcpy(destination, p, n);
    destination[n] = '\0';
    std::size_t whole = n;
    while (p[whole] != '\0' && p[whole] != '\r') ++whole;
    if (whole > n && !LooksGarbled(std::string_view(p, whole))) {
      // Cut to its field it would be restored as another value: the update must not go on.
      char problem[160];
      std::snprintf(problem, sizeof problem,
                    "its answer to \"%s\" has %u characters, more than the %u it can keep",
                    command, static_cast<unsigned>(whole), static_cast<unsigned>(maxChars));
      session->unfitText = problem;
      LogPrint(session->log, kLogFailure, kProtocolSource, "GetValueString: %s", problem);
      destination[0] = '\0';
      rc = kNotRecognised;
      break;
    }
    if (destination[0] != '>' && LooksGarbled(std::string_view(p, whole))) {
      rc = kNotRecognised;
      LogPrint(session->log, kLogStep, kProtocolSource,
               "GetValueString found a garbled answer to command \"%s\" (%d ms)", command,
               Since(start));
      destination[0] = '\0';
      continue;
    }
    if (destination[0] == '>') {
      rc = kNotRecognised;
      LogPrint(session->log, kLogStep, kProtocolSource,
               "GetValueString found a leading prompt character executing command \"%s\" (%d ms)",
               command, Since(start));
      destination[0] = '\0';
      continue;
    }
    if (n == 0) {
      rc = kNotRecognised;
      continue;
    }
    rc = kOk;
    break;
  }
  if (rc > 0) {
    LogPrint(session->log, kLogStep, kProtocolSource, "GetValueString found %s \"%s\" (%d ms)",
             command, destination, Since(start));
  } else {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetValueString received error %d executing command \"%s\" (%d ms)", rc, command,
             Since(start));
  }
  return rc;
}

Status GetValueLong(InstrumentSession* session, const char* command, std::uint32_t timeoutMs,
                    std::int32_t* value) {
  if (!session || !command || !value) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  char line[kMaxCommandChars + 1];
  CommandLine(command, line);
  Status rc = kNoAttempt;
  std::int32_t number = 0;
  for (int attempt = 0; attempt < kValueTries; ++attempt) {
    char answer[kValueAnswer];
    rc = Transact(session, line, timeoutMs, answer);
    if (rc < 0) continue;
    const char* cr = std::strchr(answer, '\r');
    const char* p = cr ? cr + 1 : answer;
    if (*p == '\n') ++p;
    if (ReadWholeNumber(p, &number)) {
      rc = kOk;
      break;
    }
    rc = kNotRecognised;
  }
  if (rc > 0) {
    *value = number;
    LogPrint(session->log, kLogStep, kProtocolSource, "GetValueLong found %s \"%ld\" (%d ms)",
             command, static_cast<long>(number), Since(start));
  } else {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetValueLong received error %d executing command \"%s\" (%d ms)", rc, command,
             Since(start));
  }
  return rc;
}

void DPForgetInfo(InstrumentSession* session) {
  if (!session) return;
  session->captured = 0;
  session->capturedMask = 0;
  session->settings = InstrumentSettings{};
  session->userRecords.Free();
  session->eqnRecords.Free();
}

}  // namespace quendal
