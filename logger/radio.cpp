// The radio settings: through the logger's own commands, or through the radio module's
// AT command mode (directly over the PC's radio modem, or passed through an old logger).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/timing.h"
#include "logger/command_util.h"
#include "logger/maintenance.h"
#include "logger/parameters.h"

namespace quendal {

using namespace logger_detail;

namespace {

constexpr std::uint32_t kRadioTimeoutMs = 2000;
constexpr std::uint32_t kPassThroughPauseMs = 500;
constexpr std::uint32_t kTermTimeoutMs = 1100;
constexpr std::uint32_t kEnterAtTimeoutMs = 1500;
constexpr std::uint32_t kEnterAtTries = 2;
constexpr std::uint32_t kAtTimeoutMs = 1100;
constexpr std::uint32_t kAtStoreTimeoutMs = 2000;
constexpr std::uint32_t kAfterAtPauseMs = 100;
constexpr std::int32_t kHighestChannel = 6;
constexpr std::int32_t kHighestSubChannel = 0xFFFF;

constexpr std::uint32_t kChannelBit = kSetRadioChannel;
constexpr std::uint32_t kSubChannelBit = kSetRadioSubchannel;
constexpr std::uint32_t kVersionBit = kSetRadioVersion;

// The value of a radio answer starts two characters after its first 'K' (the logger's
// "OK" ends there), or at the start without one.
const char* RadioValue(const char* answer) {
  const char* p = std::strchr(answer, 'K');
  if (!p) return answer;
  for (int i = 0; i < 2 && *p; ++i) ++p;
  return p;
}

bool ReadHex(const char* text, std::int32_t* value) {
  const char* p = SkipSpace(text);
  if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(p, &end, 16);
  if (v > 0x7FFFFFFFul) return false;
  *value = static_cast<std::int32_t>(v);
  return true;
}

bool ReadWord(const char* text, char (&word)[9]) {
  return std::sscanf(text, "%8s", word) == 1;
}

bool FourHexDigits(const char* word) {
  if (std::strlen(word) != 4) return false;
  for (int i = 0; i < 4; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(word[i]))) return false;
  return true;
}

// One step of the logger's own radio commands: up to the retry count of tries until
// `accept` takes the answer. "No Radio" ends it with -45.
template <typename Accept>
Status RadioStep(LoggerLink* link, const char* command, Accept accept) {
  Status last = kNoAttempt;
  const std::uint32_t tries = link->retries ? link->retries : 1;
  for (std::uint32_t attempt = 0; attempt < tries; ++attempt) {
    char answer[32];
    Status rc = Transact(link, command, '>', kRadioTimeoutMs, answer);
    if (Contains(link->answer.data(), "No Radio")) return kNoRadio;
    if (rc < 0) {
      last = rc;
      // Only a refused command is worth asking again; silence and echo have had their tries.
      if (rc != kDeviceError) break;
      continue;
    }
    Status taken = accept(answer);
    if (taken != kNotRecognised) return taken;
    last = kNotRecognised;
  }
  return last;
}

Status AtCommand(LoggerLink* link, const char* command, char terminator, std::uint32_t timeoutMs,
                 char (&answer)[32]) {
  return Transact(link, command, terminator, timeoutMs, answer);
}

}  // namespace

Status MSRadioCommand(LoggerLink* link, std::int32_t* channel, std::int32_t* subChannel,
                      BoundedText<8>* version, int direction, std::uint32_t* bits) {
  if (!link || !bits) return kMissingArgument;
  if (!channel || !subChannel || !version || (direction != kRead && direction != kWrite)) {
    *bits = 0;
    return channel && subChannel && version ? kBadArgument : kMissingArgument;
  }
  const std::uint32_t start = DSTicks();
  const std::uint32_t asked = *bits & kRadioBits;
  const LoggerInfo& info = link->info;
  if (!(info.capabilities & kCapRadio)) {
    *bits = 0;
    return kRefused;
  }

  if (IsRadio(link)) {
    if (direction == kWrite) {
      LogPrint(link->log, kLogDetail, Source(link),
               "MSRadioCommand can't set radio parameters while connected over the radio");
      *bits = 0;
      return kCannotSetOverRadio;
    }
    if (link->request.configureRadio) {
      *channel = link->request.radioChannel;
      *subChannel = link->request.radioSubchannel;
      version->Clear();
      *bits = kChannelBit | kSubChannelBit;
      LogPrint(link->log, kLogDetail, Source(link),
               "MSRadioCommand knows the RCH is %d and RSCH is %d (can't get RVER)", *channel,
               *subChannel);
      return kOk;
    }
    std::uint32_t radmo = kChannelBit | kSubChannelBit;
    Status rc = RadmoConfig(link, channel, subChannel, version, kRead, &radmo);
    *bits = radmo;
    if (rc >= 0)
      LogPrint(
          link->log, kLogDetail, Source(link),
          "MSRadioCommand asked the Radmo and found the RCH is %d and RSCH is %d (can't get RVER)",
          *channel, *subChannel);
    return rc;
  }

  if (!info.newFirmware) {
    if (info.loggerType != kLoggerTarn) {
      *bits = 0;
      return kNoAnswer;
    }
    // Old loggers pass the line through to their radio module.
    std::uint32_t written = 0;
    DSWrite(link, "term\r", 5, &written);
    DSSleep(kPassThroughPauseMs);
    std::uint32_t radmo = asked;
    Status rc = RadmoConfig(link, channel, subChannel, version, direction, &radmo);
    DSSleep(kPassThroughPauseMs);
    char answer[32];
    Transact(link, "term\r", '>', kTermTimeoutMs, answer);
    *bits = radmo;
    return rc;
  }

  Status result = kOk;
  std::uint32_t done = 0;
  char command[32];
  if (direction == kWrite) {
    const char* confirmation = info.loggerType == kLoggerTarn ? "OK\r\rOK" : "OK";
    auto confirmed = [&](const char* answer) {
      return Contains(answer, confirmation) ? kOk : kNotRecognised;
    };
    // "set -rch" and "set -rsch": the value in hex, confirmed by the answer.
    auto setValue = [&](std::uint32_t bit, const char* word, std::int32_t value) {
      if (!(asked & bit)) return;
      std::snprintf(command, sizeof command, "set -%s %X\r", word, static_cast<unsigned>(value));
      Status rc = RadioStep(link, command, confirmed);
      if (rc > 0) {
        done |= bit;
        LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand set %s to %d (%d ms)", word,
                 value, Since(start));
      } else {
        result = rc;
      }
    };
    setValue(kChannelBit, "rch", *channel);
    setValue(kSubChannelBit, "rsch", *subChannel);
  } else {
    if (asked & kVersionBit) {
      Status rc = RadioStep(link, "get -rver\r", [&](const char* answer) {
        char word[9];
        if (!ReadWord(RadioValue(answer), word)) return kNotRecognised;
        if (std::strncmp(word, "00", 2) == 0) return kNoRadio;
        if (!FourHexDigits(word)) return kNotRecognised;
        version->Set(word);
        return kOk;
      });
      if (rc > 0) {
        done |= kVersionBit;
        LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand found rver %s (%d ms)",
                 version->c_str(), Since(start));
      } else if (rc == kBarePrompt) {
        result = kNothingDone;
      } else {
        if (rc == kNoRadio) version->Clear();
        result = rc;
      }
    }
    // "get -rch" and "get -rsch": a hex value no higher than the radio allows.
    auto getValue = [&](std::uint32_t bit, const char* word, std::int32_t highest,
                        std::int32_t* out) {
      if (result == kNoRadio || !(asked & bit)) return;
      std::int32_t value = 0;
      char get[16];
      std::snprintf(get, sizeof get, "get -%s\r", word);
      Status rc = RadioStep(link, get, [&](const char* answer) {
        return ReadHex(RadioValue(answer), &value) && value <= highest ? kOk : kNotRecognised;
      });
      if (rc > 0) {
        *out = value;
        done |= bit;
        LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand found %s %d (%d ms)", word,
                 value, Since(start));
      } else {
        result = rc;
      }
    };
    getValue(kChannelBit, "rch", kHighestChannel, channel);
    getValue(kSubChannelBit, "rsch", kHighestSubChannel, subChannel);
    const std::uint32_t missing = asked & ~done;
    if (missing & kVersionBit)
      LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand could not find rver (%d ms)",
               Since(start));
    if (missing & kChannelBit)
      LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand could not find rch (%d ms)",
               Since(start));
    if (missing & kSubChannelBit)
      LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand could not find rsch (%d ms)",
               Since(start));
  }

  const std::uint32_t failed = asked & ~done;
  if ((result != kNothingDone && result != kNoRadio) || done != 0) {
    if (result < 0 || failed != 0) {
      if (done != 0)
        result = kSomeFailed;
      else if (result > 0)
        result = kNotRecognised;  // nothing done is no success
      LogPrint(link->log, kLogFailure, Source(link),
               "MSRadioCommand failed with error %d setting %d (%d ms)", result,
               static_cast<int>(failed), Since(start));
    }
  } else {
    LogPrint(link->log, kLogDetail, Source(link), "MSRadioCommand couldn't find a radio (%d ms)",
             Since(start));
  }
  *bits = done;
  return result;
}

Status RadmoConfig(LoggerLink* link, std::int32_t* channel, std::int32_t* subChannel,
                   BoundedText<8>* version, int direction, std::uint32_t* bits) {
  if (!link || !bits) return kMissingArgument;
  if (!channel || !subChannel || !version || (direction != kRead && direction != kWrite)) {
    *bits = 0;
    return channel && subChannel && version ? kBadArgument : kMissingArgument;
  }
  const std::uint32_t start = DSTicks();
  const std::uint32_t asked = *bits & kRadioBits;
  char answer[32];

  // The escape sequence is said once per try; the module wants its guard time around it.
  const std::uint32_t savedRetries = link->retries;
  link->retries = 1;
  Status rc = kNoAttempt;
  bool inAtMode = false;
  for (std::uint32_t attempt = 0; attempt < kEnterAtTries && !inAtMode; ++attempt) {
    rc = AtCommand(link, "+++", 'K', kEnterAtTimeoutMs, answer);
    inAtMode = rc > 0 && Contains(answer, "OK");
  }
  link->retries = savedRetries;
  if (!inAtMode) {
    LogPrint(link->log, kLogFailure, Source(link),
             "RadmoConfig failed to get into AT command mode: %d (%d ms)", rc, Since(start));
    *bits = 0;
    return kRadioConfigFailed;
  }

  Status result = kOk;
  std::uint32_t done = 0;
  int failures = 0;
  char command[32];
  if (direction == kWrite) {
    if (asked & kChannelBit) {
      std::snprintf(command, sizeof command, "ATHP%X\r", static_cast<unsigned>(*channel));
      rc = AtCommand(link, command, 'K', kAtTimeoutMs, answer);
      if (rc > 0 && Contains(answer, "OK")) {
        done |= kChannelBit;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig set rch to %d (%d ms)", *channel,
                 Since(start));
      } else {
        failures |= 1;
        if (rc < 0) result = rc;
      }
    }
    if (asked & kSubChannelBit) {
      std::snprintf(command, sizeof command, "ATDT%X\r", static_cast<unsigned>(*subChannel));
      rc = AtCommand(link, command, 'K', kAtTimeoutMs, answer);
      if (rc > 0 && Contains(answer, "OK")) {
        done |= kSubChannelBit;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig set rsch to %d (%d ms)",
                 *subChannel, Since(start));
      } else {
        failures |= 2;
        if (rc < 0) result = rc;
      }
    }
    rc = AtCommand(link, "ATWR\r", 'K', kAtStoreTimeoutMs, answer);
    if (rc > 0 && Contains(answer, "OK")) {
      LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig saved configuration (%d ms)",
               Since(start));
      result = kOk;
    } else {
      failures |= 8;
      if (rc < 0) result = rc;
    }
  } else {
    if (asked & kChannelBit) {
      std::int32_t value = 0;
      rc = AtCommand(link, "ATHP\r", '\r', kAtTimeoutMs, answer);
      if (rc > 0 && ReadHex(answer, &value)) {
        *channel = value;
        done |= kChannelBit;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig found rch %d (%d ms)", value,
                 Since(start));
      } else {
        failures |= 1;
        if (rc < 0) result = rc;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig could not find rch (%d ms)",
                 Since(start));
      }
    }
    if (asked & kSubChannelBit) {
      std::int32_t value = 0;
      rc = AtCommand(link, "ATDT\r", '\r', kAtTimeoutMs, answer);
      if (rc > 0 && ReadHex(answer, &value)) {
        *subChannel = value;
        done |= kSubChannelBit;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig found rsch %d (%d ms)", value,
                 Since(start));
      } else {
        failures |= 2;
        if (rc < 0) result = rc;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig could not find rsch (%d ms)",
                 Since(start));
      }
    }
    if (asked & kVersionBit) {
      char word[9];
      rc = AtCommand(link, "ATVR\r", '\r', kAtTimeoutMs, answer);
      if (rc > 0 && ReadWord(answer, word)) {
        version->Set(word);
        done |= kVersionBit;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig found rver %s (%d ms)", word,
                 Since(start));
      } else {
        failures |= 4;
        if (rc < 0) result = rc;
        LogPrint(link->log, kLogDetail, Source(link), "RadmoConfig could not find rver (%d ms)",
                 Since(start));
      }
    }
  }

  rc = AtCommand(link, "ATCN\r", 'K', kAtTimeoutMs, answer);
  const Status leave = rc < 0 ? rc : Contains(answer, "OK") ? kOk : kRefused;
  if (leave < 0) {
    LogPrint(link->log, kLogFailure, Source(link),
             "RadmoConfig failed to get out of AT command mode: %d (%d ms)", leave, Since(start));
    *bits = done;
    return leave;
  }
  if (result < 0 || failures != 0) {
    if (done != 0)
      result = kSomeFailed;
    else if (result > 0)
      result = kNotRecognised;  // nothing done is no success
    LogPrint(link->log, kLogFailure, Source(link),
             "RadmoConfig failed with error %d and %d (%d ms)", result, failures, Since(start));
  }
  *bits = done;
  DSSleep(kAfterAtPauseMs);
  return result;
}

}  // namespace quendal
