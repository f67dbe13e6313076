// The command transaction, identification, capabilities and baud negotiation.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/timing.h"
#include "logger/command_util.h"
#include "logger/logger_link.h"

namespace quendal {

using namespace logger_detail;

bool logger_detail::ReadInt(const char* text, std::int32_t* value) {
  int v = 0;
  if (std::sscanf(text, "%d", &v) != 1) return false;
  *value = v;
  return true;
}

namespace {

constexpr std::uint32_t kEmptyTryPauseMs = 50;
constexpr std::uint32_t kVersionTimeoutMs = 360;
constexpr std::uint32_t kRadioVersionTimeoutMs = 720;
constexpr std::uint32_t kVersionPauseMs = 360;
constexpr std::uint32_t kLoaderWaitingPauseMs = 3000;
constexpr std::uint32_t kShowTimeoutMs = 1100;
constexpr std::uint32_t kSetBaudTimeoutMs = 1100;
constexpr std::uint32_t kSetBaudPauseMs = 1100;
constexpr std::uint32_t kAfterBaudPauseMs = 100;
constexpr std::int32_t kOldestShowVersion = 110;

// Copies at most `capacity` - 1 characters of `text` and terminates the copy.
void CopyCut(const char* text, char* out, std::size_t capacity) {
  std::size_t n = std::min(std::strlen(text), capacity - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

LoggerType TypeFromWord(const char* word) {
  struct Entry {
    const char* word;
    LoggerType type;
  };
  static constexpr Entry kWords[] = {
      {"TARN", kLoggerTarn},
      {"TARNB", kLoggerTarnb},
      {"TARNX", kLoggerTarnx},
      {"WST", kLoggerWeirstead},
      {"MRK", kLoggerMerrick},
      {"KCD", kLoggerKyrelCommDev},
      {"KYREL_CAL", kLoggerKyrelCalibrator},
      {"RDV", kLoggerReadvane},
      {"RLM", kLoggerRelmo},
      {"OGL", kLoggerOgle},
  };
  for (const Entry& e : kWords)
    if (std::strcmp(word, e.word) == 0) return e.type;
  return kLoggerUnknown;
}

void SetType(LoggerInfo* info, LoggerType type) {
  info->loggerType = type;
  info->loggerTypeName.Set(LoggerTypeNames[type]);
}

// Reads the identification line of "get -ver": a word, a blank and a version number.
// Returns false when the line does not hold all three.
bool TakeVersionLine(LoggerInfo* info, const char* line) {
  info->version.Set(line);
  char word[21] = {};
  int major = 0, minor = 0, sub = 0;
  int n = std::sscanf(info->version.c_str(), "%20s %d.%1d%1d", word, &major, &minor, &sub);
  if (n < 3) return false;
  if (n == 3) sub = 0;
  // A whole number too large for a version is no version line; it must not overflow.
  const long long number = major * 100LL + minor * 10 + sub;
  if (number > INT32_MAX || number < INT32_MIN) return false;
  info->versionNumber = static_cast<std::int32_t>(number);
  info->newFirmware = 1;
  for (char* c = word; *c; ++c)
    *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  SetType(info, TypeFromWord(word));
  return true;
}

// The text after `label` in a "show" answer, from its first non-blank character.
const char* AfterLabel(const char* answer, const char* label) {
  const char* at = std::strstr(answer, label);
  if (!at) return nullptr;
  at += std::strlen(label);
  while (*at == ' ' || *at == '\t') ++at;
  return at;
}

// Copies up to `max` characters that end at white space.
std::size_t CopyWord(const char* text, char* out, std::size_t max) {
  std::size_t n = 0;
  while (n < max && text[n] && !std::isspace(static_cast<unsigned char>(text[n]))) {
    out[n] = text[n];
    ++n;
  }
  out[n] = '\0';
  return n;
}

// The command as the log may show it: the log goes with every feedback post, so the value
// of a setting that is a secret is shown only as being there.
std::string LoggedCommand(const char* command) {
  for (const char* secret : {"set -passwd ", "set -authkey "}) {
    if (std::strncmp(command, secret, std::strlen(secret)) == 0)
      return std::string(secret) + "********";
  }
  return command;
}

}  // namespace

Status DeviceCommand(LoggerLink* link, const char* command, char terminator,
                     std::uint32_t timeoutMs, char* answerOut, std::uint32_t* answerLen,
                     std::uint32_t* elapsedMs) {
  const std::uint32_t capacity = answerLen ? *answerLen : 0;
  if (answerOut && capacity > 0) answerOut[0] = '\0';
  if (answerLen) *answerLen = 0;
  if (elapsedMs) *elapsedMs = 0;
  if (!link || !command) return kMissingArgument;

  const std::uint32_t start = DSTicks();
  const auto length = static_cast<std::uint32_t>(std::strlen(command));
  const std::uint32_t tries = std::max<std::uint32_t>(link->retries, 1);
  const std::uint32_t wait = timeoutMs + link->options.extraTimeoutMs;
  char* answer = link->answer.data();
  Status result = kNoAttempt;
  std::uint32_t emptyTries = 0;
  std::uint32_t received = 0;
  bool answered = false;

  for (std::uint32_t attempt = 0; attempt < tries && !answered; ++attempt) {
    DSFlush(link, 1);
    answer[0] = '\0';
    std::uint32_t written = 0;
    Status rc = DSWrite(link, command, length, &written);
    if (rc < 0) {
      LogPrint(link->log, kLogDetail, Source(link),
               "DeviceCommand got unexpected response (%d) from DCommWrite", rc);
      result = rc;
      break;
    }
    rc = DSWait(link, wait, terminator);
    if (rc < 0) {
      LogPrint(link->log, kLogDetail, Source(link),
               "DeviceCommand got unexpected response (%d) from DCommWait", rc);
      result = rc;
      break;
    }
    std::uint32_t count = 0;
    rc = DSRead(link, answer, kReadBufferSize, &count);
    if (rc < 0) {
      LogPrint(link->log, kLogDetail, Source(link),
               "DeviceCommand got unexpected response (%d) from DCommRead", rc);
      result = rc;
      break;
    }
    answer[count] = '\0';
    received = count;
    if (count == 0) {
      ++emptyTries;
      DSSleep(kEmptyTryPauseMs);
      result = kNoAttempt;
      continue;
    }
    if (length > 0 && Contains(answer, command)) {
      LogPrint(link->log, kLogFailure, Source(link),
               "DeviceCommand is hearing echoed commands -- device is broken? Relay active?");
      result = kEcho;
      break;
    }
    if (Contains(answer, "ERROR") || Contains(answer, "?") || Contains(answer, "Unsupported")) {
      result = kDeviceError;
      continue;
    }
    answered = true;
  }

  if (elapsedMs) *elapsedMs = static_cast<std::uint32_t>(Since(start));
  if (!answered) {
    if (emptyTries == tries) result = kNoAnswer;
    return result;
  }

  if (answerOut && capacity > 0) {
    std::uint32_t copied =
        std::min<std::uint32_t>(static_cast<std::uint32_t>(std::strlen(answer)), capacity - 1);
    std::memcpy(answerOut, answer, copied);
    answerOut[copied] = '\0';
    *answerLen = copied;
    if (copied < received)
      LogPrint(link->log, kLogDetail, Source(link),
               "DeviceCommand got %d more bytes than expected (%s)",
               static_cast<int>(received - copied), LoggedCommand(command).c_str());
  }
  if (std::strncmp(answer, "\r\r>", 3) == 0) {
    LogPrint(link->log, kLogDetail, Source(link), "DeviceCommand: device returned empty answer");
    return kBarePrompt;
  }
  return static_cast<Status>(received);
}

Status DeviceOptions(LoggerLink* link, LinkOptions* options, int set) {
  if (!link || !options) return kMissingArgument;
  if (set == 0) {
    *options = link->options;
    return kOk;
  }
  if (options->serialRetries > kMaxRetries || options->radioRetries > kMaxRetries ||
      options->traceMode > 3 || options->extraTimeoutMs > kMaxExtraTimeoutMs)
    return kBadArgument;
  LinkOptions stored = *options;
  if (stored.serialRetries == 0) stored.serialRetries = kDefaultSerialRetries;
  if (stored.radioRetries == 0) stored.radioRetries = kDefaultRadioRetries;
  link->options = stored;
  link->retries = IsRadio(link) ? stored.radioRetries : stored.serialRetries;
  return kOk;
}

Status VerCommand(LoggerLink* link, int noShow) {
  if (!link) return kMissingArgument;
  LoggerInfo& info = link->info;
  if (info.loggerType == kLoggerTarn && info.newFirmware == 0)
    return ParseShowCommand(link, nullptr);

  const std::uint32_t start = DSTicks();
  const std::uint32_t timeout = IsRadio(link) ? kRadioVersionTimeoutMs : kVersionTimeoutMs;
  const int tries = static_cast<int>(link->retries) + 3;
  Status result = kOk;
  bool identified = false;
  int barePrompts = 0;
  int errorAnswers = 0;

  for (int attempt = 0; attempt < tries; ++attempt) {
    char text[32];
    std::uint32_t len = sizeof text;
    Status rc = DeviceCommand(link, "get -ver\r", '>', timeout, text, &len, nullptr);
    // An error answer is not handed out; the link keeps it.
    if (rc == kDeviceError) CopyCut(link->answer.data(), text, sizeof text);
    const bool answered = rc > 0 || rc == kDeviceError;

    if (rc == kNoAnswer && link->retries == 1) {
      result = kNoAnswer;
      continue;
    }
    if (text[0] != '\0' && text[1] == '>') {
      result = kEcho;
      continue;
    }
    if (std::strcmp(text, "\r") == 0 || std::strcmp(text, ">") == 0) {
      result = kNotRecognised;
      if (++barePrompts >= 3) break;
      attempt = -1;
      DSSleep(timeout);
      continue;
    }
    if (answered && std::strchr(text, '.')) {
      const char* line = text;
      while (*line == '\r') ++line;
      const char* end = std::strchr(line, '\r');
      if (!end) {
        result = kNotRecognised;
        DSSleep(kVersionPauseMs);
        continue;
      }
      char copy[21];
      std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(end - line), 20);
      std::memcpy(copy, line, n);
      copy[n] = '\0';
      if (!TakeVersionLine(&info, copy)) {
        result = kNotRecognised;
        DSSleep(kVersionPauseMs);
        continue;
      }
      SetCapabilities(link);
      LogPrint(link->log, kLogDetail, Source(link), "VerCommand found \"%s\" ver %d (%d ms)",
               info.version.c_str(), info.versionNumber, Since(start));
      result = kOk;
      identified = true;
      break;
    }
    if (answered && std::strchr(text, '+')) {
      const char* line = text;
      while (*line == '\r') ++line;
      if (line[0] == '+' && std::strlen(line) >= 4) {
        result = kLoaderActive;
        break;
      }
      result = kNotRecognised;
      continue;
    }
    if (answered && std::strchr(text, '$')) {
      if (result == kLoaderWaiting) break;
      result = kLoaderWaiting;
      DSSleep(kLoaderWaitingPauseMs);
      continue;
    }
    if (rc == kDeviceError) {
      if (++errorAnswers < 2) {
        result = kNotRecognised;
        DSSleep(kVersionPauseMs);
        continue;
      }
      // Old firmware knows only "show" and answers every other command with an error.
      info.newFirmware = 0;
      SetType(&info, kLoggerTarn);
      LogPrint(link->log, kLogDetail, Source(link),
               "VerCommand found Tarn with old firmware (%d ms)", Since(start));
      Status show = noShow ? kOk : ParseShowCommand(link, nullptr);
      SetCapabilities(link);
      // Without the "show" fields the caller must not take them as read.
      result = show < 0 ? show : kOk;
      identified = show >= 0;
      break;
    }
    if (rc > 0) {
      result = kNotRecognised;
      LogPrint(link->log, kLogDetail, Source(link), "VerCommand couldn't deciper \"%s\" (%d ms)",
               text, Since(start));
      continue;
    }
    result = rc;
    if (rc == kNoAnswer) break;
  }

  // Running out of tries on answers that only looked hopeful is no identification.
  if (result > 0 && !identified) result = kNotRecognised;
  if (result < 0) {
    LogPrint(link->log, kLogFailure, Source(link), "VerCommand failed with error %d (%d ms)",
             result, Since(start));
    info.newFirmware = 0;
    info.loggerType = kLoggerUnknown;
    info.version.Clear();
    info.versionNumber = 0;
  }
  return result;
}

Status ParseShowCommand(LoggerLink* link, BoundedText<8>* idOut) {
  if (!link) return kMissingArgument;
  LoggerInfo& info = link->info;
  if (info.loggerType != kLoggerTarn || info.newFirmware != 0) {
    LogPrint(link->log, kLogDetail, Source(link),
             "ParseShowCommand doesn't work with devices running \"new\" firmware.");
    return kBadArgument;
  }
  const std::uint32_t start = DSTicks();
  char answer[180];
  Status rc = Transact(link, "show\r", '>', kShowTimeoutMs, answer);
  const char* field = rc > 0 ? AfterLabel(answer, "ID:") : nullptr;

  if (idOut) {
    if (rc < 0) return rc;
    char id[9];
    if (!field || CopyWord(field, id, 8) == 0) return kNotRecognised;
    idOut->Set(id);
    return kOk;
  }

  int errors = 0;
  if (rc > 0) {
    if (field) {
      char id[9];
      if (CopyWord(field, id, 8) == 0) errors |= 1;
      info.name.Set(id);
    }
    if (const char* v = AfterLabel(answer, "Version:")) {
      char text[21];
      std::size_t n = 0;
      while (n < 20 && v[n] && v[n] != '\r' && v[n] != '\n') ++n;
      std::memcpy(text, v, n);
      text[n] = '\0';
      info.version.Set(text);
      const char* digits = text;
      while (*digits && !std::isdigit(static_cast<unsigned char>(*digits))) ++digits;
      int major = 0, minor = 0, sub = 0;
      int got = std::sscanf(digits, "%d.%1d%1d", &major, &minor, &sub);
      const long long number = major * 100LL + minor * 10 + (got == 3 ? sub : 0);
      if (got >= 2 && number <= INT32_MAX && number >= INT32_MIN) {
        info.versionNumber = static_cast<std::int32_t>(number);
        if (info.versionNumber < kOldestShowVersion) return kUnsupportedKind;
      } else {
        errors |= 2;
      }
    }
    std::int32_t value = 0;
    if (const char* r = AfterLabel(answer, "Radio:")) {
      if (ReadInt(r, &value))
        info.radioMode = value;
      else
        errors |= 4;
    }
    if (const char* w = AfterLabel(answer, "Wake:")) {
      if (ReadInt(w, &value))
        info.wake = value;
      else
        errors |= 8;
    }
    if (const char* s = AfterLabel(answer, "Resets:")) {
      if (ReadInt(s, &value))
        link->resets = static_cast<std::uint32_t>(value);
      else
        errors |= 16;
    }
  }
  info.serialNumber.Clear();
  if (rc < 0 || errors != 0) {
    LogPrint(link->log, kLogFailure, Source(link),
             "ParseShowCommand failed with errors %d and %d (%d ms)", rc, errors, Since(start));
    info.name.Clear();
    info.version.Clear();
    info.radioMode = 0;
    info.versionNumber = -1;
    info.wake = -1;
    return kNotRecognised;
  }
  LogPrint(link->log, kLogFailure, Source(link), "ParseShowCommand found %s:%s:%d:%d:%d (%d ms)",
           info.name.c_str(), info.version.c_str(), info.radioMode, info.wake,
           static_cast<int>(link->resets), Since(start));
  return kOk;
}

Status SetCapabilities(LoggerLink* link) {
  if (!link) return kMissingArgument;
  LoggerInfo& info = link->info;
  const std::int32_t v = info.versionNumber;
  std::uint32_t caps = 0;
  switch (info.loggerType) {
    case kLoggerTarn:
      caps = info.newFirmware ? 0x0000371F : 0x0000331C;
      break;
    case kLoggerTarnx: {
      struct Step {
        std::int32_t from;
        std::uint32_t bits;
      };
      static constexpr Step kSteps[] = {
          {202, 0x04000000}, {200, 0x01000000}, {119, 0x00200000}, {118, 0x00C00000},
          {114, 0x00070000}, {112, 0x00008800}, {108, 0x00000040}, {105, 0x00000080},
      };
      caps = 0x00007737;
      for (const Step& s : kSteps)
        if (v >= s.from) caps += s.bits;
      break;
    }
    case kLoggerWeirstead:
      caps = 0x00004503;
      if (v >= 109) caps += 0x00020000;
      if (v >= 105) caps += 0x00000080;
      break;
    case kLoggerTarnb:
      caps = 0x000074BE;
      if (v >= 204) caps += 0x00040000;
      break;
    case kLoggerKyrelCommDev:
      caps = 0x00003007;
      break;
    case kLoggerKyrelCalibrator:
      caps = 0x00010026;
      break;
    case kLoggerReadvane:
      caps = 0x001D3083;
      break;
    case kLoggerRelmo:
      caps = 0x05E3FFF7;
      break;
    case kLoggerOgle:
      caps = 0x07C3F6F7;
      break;
    default:
      caps = 0x00001005;
      break;
  }
  info.capabilities = caps;
  return kOk;
}

Status TraitHasRadio(const LoggerInfo* info) {
  if (!info) return kMissingArgument;
  if (!(info->trait & kTraitKnown)) return -1;
  return (info->trait & kTraitRadio) ? 1 : 0;
}

Status TraitHasGprs(const LoggerLink* link) {
  if (!link) return kMissingArgument;
  if (!(link->info.trait & kTraitKnown)) return -1;
  return (link->info.loggerType == kLoggerTarnx && (link->info.trait & kTraitGprs)) ? 1 : 0;
}

Status SetBaudCommand(LoggerLink* link, std::uint32_t baud) {
  if (!link) return kMissingArgument;
  if (link->info.newFirmware == 0) {
    LogPrint(link->log, kLogDetail, Source(link),
             "SetBaudCommand: device (%s) can't change baud rate", link->info.name.c_str());
    return kRefused;
  }
  int code = 0;
  switch (baud) {
    case 9600:
      code = 0;
      break;
    case 19200:
      code = 1;
      break;
    case 38400:
      code = 2;
      break;
    case 57600:
      code = 3;
      break;
    case 115200:
      code = 4;
      break;
    case 230400:
      code = 5;
      break;
    case 460800:
      code = 6;
      break;
    default:
      LogPrint(link->log, kLogDetail, Source(link),
               "SetBaudCommand: unsupported baud rate %d, using 9600", static_cast<int>(baud));
      break;
  }
  char command[32];
  std::snprintf(command, sizeof command, "set -baud %d\r", code);

  const std::uint32_t start = DSTicks();
  Status result = kNoAttempt;
  for (std::uint32_t attempt = 0; attempt < std::max<std::uint32_t>(link->retries, 1); ++attempt) {
    char answer[32];
    Status rc = Transact(link, command, 'K', kSetBaudTimeoutMs, answer);
    if (rc == kNoAnswer) {
      // A logger that already went back to 9600 stays silent at the old rate.
      if (baud == 9600) {
        result = kOk;
        break;
      }
      result = kNoAnswer;
      if (link->baud == 9600) DSSleep(kSetBaudPauseMs);
      continue;
    }
    if (rc < 0) {
      result = rc;
      continue;
    }
    if (Contains(answer, "OK")) {
      LogPrint(link->log, kLogDetail, Source(link),
               "SetBaudCommand set device baud rate to %d (%d ms)", static_cast<int>(baud),
               Since(start));
      result = kOk;
      break;
    }
    if (!Contains(answer, "\r>")) {
      LogPrint(link->log, kLogDetail, Source(link), "SetBaudCommand failed: heard: %s (%d ms)",
               answer, Since(start));
      result = kNotRecognised;
      break;
    }
    LogPrint(link->log, kLogDetail, Source(link),
             "SetBaudCommand failed (heard prompt): trying again (%d ms)", Since(start));
    result = kNotRecognised;
  }
  if (result < 0)
    LogPrint(link->log, kLogFailure, Source(link), "SetBaudCommand failed with error %d (%d ms)",
             result, Since(start));
  DSSleep(kAfterBaudPauseMs);
  return result;
}

Status CheckDeviceName(LoggerLink* /*link*/, const char* name) {
  if (!name || name[0] == '\0') return kNameEmpty;
  if (std::strlen(name) > 8) return kNameLength;
  for (const char* reserved : ReservedDeviceNames)
    if (std::strcmp(name, reserved) == 0) return kNameReserved;
  for (const char* p = name; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < '!' || c == 127 || c == 255) return kNameBadCharacter;
    if (std::strchr("?\\\"/<>*|:;,", c)) return kNameShellCharacter;
    if (c >= 128) return kNameNotAscii;
  }
  return kOk;
}

}  // namespace quendal
