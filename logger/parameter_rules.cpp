// The parameter commands with rules of their own: the name and serial number, the trait
// (emulated on loggers that cannot tell it), the authorisation key and the ADC calibration.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host/timing.h"
#include "logger/command_util.h"
#include "logger/maintenance.h"
#include "logger/parameter_util.h"
#include "logger/parameters.h"

namespace quendal {

using namespace logger_detail;

namespace {

constexpr std::uint32_t kRadioVersionBit = 0x1000;

}  // namespace

Status NameCommand(LoggerLink* link, BoundedText<8>* name, int direction) {
  if (!link || !name) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  constexpr const char* kMember = "NameCommand";
  const std::uint32_t start = DSTicks();
  char answer[kShortAnswer];
  if (direction == kWrite) {
    Status check = CheckDeviceName(link, name->c_str());
    if (check < 0) {
      LogPrint(link->log, kLogFailure, Source(link),
               "NameCommand: \"%s\" is an illegal device name (error %d)", name->c_str(), check);
      return Fail(link, kMember, check, start);
    }
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, "set -i %s\r", name->c_str());
    Status rc = Exchange(link, command, kShortAnswer, answer);
    if (rc < 0) return Fail(link, kMember, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, kMember, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), "NameCommand set device name to \"%s\" (%d ms)",
             name->c_str(), Since(start));
    return kOk;
  }
  Status rc = Exchange(link, "get -i\r", kShortAnswer, answer);
  if (rc == kBarePrompt) return Fail(link, kMember, kUninitialised, start);
  if (rc < 0) return Fail(link, kMember, rc, start);
  std::string_view word = AnswerLine(link, rc, true);
  word = word.substr(0, word.find_first_of(" \t\n"));
  if (word.empty()) {
    LogPrint(link->log, kLogDetail, Source(link), "NameCommand couldn't find device name (%d ms)",
             Since(start));
    return Fail(link, kMember, kNotRecognised, start);
  }
  // Only the prompt after the line: a logger that was never given a name.
  if (word[0] == '>') return Fail(link, kMember, kUninitialised, start);
  if (word.size() > 8) return Fail(link, kMember, RefuseUnfit(link, "get -i", word.size(), 8), start);
  name->Set(word);
  LogPrint(link->log, kLogDetail, Source(link), "NameCommand found device named \"%s\" (%d ms)",
           name->c_str(), Since(start));
  return kOk;
}

Status SNCommand(LoggerLink* link, BoundedText<15>* serialNumber, int direction) {
  if (!link || !serialNumber) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  constexpr const char* kMember = "SNCommand";
  const std::uint32_t start = DSTicks();
  char answer[kShortAnswer];
  if (direction == kWrite) {
    if (!link->info.newFirmware) return Fail(link, kMember, kRefused, start);
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, "set -sn %s\r", serialNumber->c_str());
    Status rc = Exchange(link, command, kShortAnswer, answer);
    if (rc < 0) return Fail(link, kMember, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, kMember, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link),
             "SNCommand set device serial number to \"%s\" (%d ms)", serialNumber->c_str(),
             Since(start));
    return kOk;
  }
  Status result = kNoAttempt;
  for (std::uint32_t attempt = 0; attempt < (link->retries ? link->retries : 1); ++attempt) {
    Status rc = Exchange(link, "get -sn\r", kShortAnswer, answer);
    if (rc < 0) {
      result = rc;
      if (rc == kEcho) break;
      continue;
    }
    std::string text;
    rc = ReadTextValue(link, "get -sn\r", rc, true, 15, &text);
    if (rc == kSettingsUnfit) return Fail(link, kMember, rc, start);
    if (rc < 0) {
      result = kNotRecognised;
      continue;
    }
    serialNumber->Set(text);
    LogPrint(link->log, kLogDetail, Source(link),
             "SNCommand found device serial number \"%s\" (%d ms)", serialNumber->c_str(),
             Since(start));
    return kOk;
  }
  return Fail(link, kMember, result, start);
}

Status TraitCommand(LoggerLink* link, std::uint32_t* trait, int direction) {
  if (!link || !trait) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  constexpr const char* kMember = "TraitCommand";
  const std::uint32_t start = DSTicks();
  const std::uint32_t caps = link->info.capabilities;
  char answer[kShortAnswer];
  if (direction == kWrite) {
    if (!(caps & kCapDeviceId)) return Fail(link, kMember, kCannotSetOverRadio, start);
    // The logger keeps 255 minus the trait's low byte.
    const int stored = 255 - static_cast<int>(*trait & 0xFF);
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, "set -trait %d\r", stored);
    Status rc = Exchange(link, command, kShortAnswer, answer);
    if (rc < 0) return Fail(link, kMember, rc, start);
    if (!Contains(answer, "OK")) return Fail(link, kMember, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), "TraitCommand set trait to %d (%d ms)",
             static_cast<int>(*trait), Since(start));
    return kOk;
  }
  if (link->info.loggerType == kLoggerWeirstead) {
    *trait = kTraitKnown | kTraitRadio;
    LogPrint(link->log, kLogDetail, Source(link), "TraitCommand: set trait to %d for Weirstead",
             static_cast<int>(*trait));
    return kOk;
  }
  if (caps & kCapTrait) {
    Status rc = Exchange(link, "get -trait\r", kShortAnswer, answer);
    if (rc < 0) return Fail(link, kMember, rc, start);
    std::int32_t value = 0;
    if (!ReadInt(answer, &value) || value < 0 || value > 255)
      return Fail(link, kMember, kNotRecognised, start);
    *trait = static_cast<std::uint32_t>(255 - value) | kTraitKnown;
    LogPrint(link->log, kLogDetail, Source(link), "TraitCommand: found %d (%d ms)",
             static_cast<int>(*trait), Since(start));
    return kOk;
  }
  if (!(caps & kCapRadio)) {
    *trait = kTraitKnown;
    return kOk;
  }
  if (IsRadio(link)) {
    // Reached over the radio: it has one.
    *trait = kTraitKnown | kTraitRadio;
    LogPrint(link->log, kLogDetail, Source(link), "TraitCommand (emulated): knows %d",
             static_cast<int>(*trait));
    return kOk;
  }
  std::uint32_t bits = kRadioVersionBit;
  std::int32_t channel = 0, subChannel = 0;
  BoundedText<8> version;
  Status rc = MSRadioCommand(link, &channel, &subChannel, &version, kRead, &bits);
  if (rc > 0 && (bits & kRadioVersionBit)) {
    *trait = kTraitKnown | kTraitRadio;
  } else if (rc == kNothingDone || rc == kNoRadio) {
    *trait = kTraitKnown;
  } else {
    return Fail(link, kMember, rc < 0 ? rc : kNotRecognised, start);
  }
  LogPrint(link->log, kLogDetail, Source(link), "TraitCommand (emulated): found %d",
           static_cast<int>(*trait));
  return kOk;
}

Status AuthKeyCommand(LoggerLink* link, BoundedText<32>* key, int direction) {
  if (!link || !key) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  constexpr const char* kMember = "AuthKeyCommand";
  const std::uint32_t start = DSTicks();
  if (TraitHasGprs(link) != 1) return Fail(link, kMember, kRefused, start);
  char answer[kLongAnswer];
  if (direction == kWrite) {
    if (key->size() < 32) return Fail(link, kMember, kBadArgument, start);
    for (std::size_t i = 0; i < 32; ++i)
      if (!std::isxdigit(static_cast<unsigned char>((*key)[i])))
        return Fail(link, kMember, kBadArgument, start);
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, "set -authkey %.32s\r", key->c_str());
    Status rc = Exchange(link, command, kLongAnswer, answer);
    if (rc < 0) return Fail(link, kMember, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, kMember, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), "AuthKeyCommand set authkey to \"%s\" (%d ms)",
             kMasked, Since(start));
    return kOk;
  }
  bool teakey = false;
  Status rc = Exchange(link, "get -authkey\r", kLongAnswer, answer);
  if (rc == kDeviceError) {
    teakey = true;
    rc = Exchange(link, "get -teakey\r", kLongAnswer, answer);
  }
  if (rc < 0) return Fail(link, kMember, rc, start);
  std::string text;
  rc = ReadTextValue(link, teakey ? "get -teakey\r" : "get -authkey\r", rc, false, 32, &text);
  if (rc < 0) return Fail(link, kMember, rc, start);
  key->Set(text);
  if (teakey)
    LogPrint(link->log, kLogDetail, Source(link),
             "AuthKeyCommand found authkey (as teakey) \"%s\" (%d ms)",
             key->empty() ? "" : kMasked, Since(start));
  else
    LogPrint(link->log, kLogDetail, Source(link), "AuthKeyCommand found authkey \"%s\" (%d ms)",
             key->empty() ? "" : kMasked, Since(start));
  return kOk;
}

Status ADCcalCommand(LoggerLink* link, int which, std::uint8_t* slopes, std::uint8_t* offsets,
                     int direction) {
  if (!link) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  const char* set = which == 1 ? "-adc30" : which == 2 ? "-adc15" : nullptr;
  auto fail = [&](Status rc) {
    LogPrint(link->log, kLogFailure, Source(link),
             "ADCcalCommand (%s) failed with error %d (%d ms)", set ? set : "?", rc, Since(start));
    return rc;
  };
  if (!set) return fail(kBadArgument);
  if (!slopes || !offsets) return fail(kMissingArgument);
  if (!ValidDirection(direction)) return fail(kBadArgument);
  if (!(link->info.capabilities & kCapAdcCal)) return fail(kRefused);
  const bool single = (link->info.capabilities & kCapSingleAdcCal) != 0;
  char answer[kAnswerSpace];

  auto sum = [&]() {
    unsigned total = 0;
    for (int i = 0; i < 5; ++i) total += slopes[i] + offsets[i];
    return total % 256;
  };

  if (direction == kWrite) {
    char command[kCommandSpace];
    unsigned check = 0;
    if (single) {
      check = (slopes[0] + offsets[0]) % 256u;
      std::snprintf(command, sizeof command, "set %s %u %u %u\r", set, slopes[0], offsets[0],
                    check);
    } else {
      check = sum();
      std::snprintf(command, sizeof command, "set %s %u %u %u %u %u %u %u %u %u %u %u\r", set,
                    slopes[0], offsets[0], slopes[1], offsets[1], slopes[2], offsets[2], slopes[3],
                    offsets[3], slopes[4], offsets[4], check);
    }
    Status rc = Exchange(link, command, kAdcAnswer, answer);
    if (rc < 0) return fail(rc);
    if (!Contains(answer, "OK")) return fail(kNotRecognised);
    LogPrint(link->log, kLogDetail, Source(link),
             "ADCcalCommand set %s %u %u %u %u %u %u %u %u %u %u %u (%d ms)", set, slopes[0],
             offsets[0], slopes[1], offsets[1], slopes[2], offsets[2], slopes[3], offsets[3],
             slopes[4], offsets[4], check, Since(start));
    return kOk;
  }

  char command[32];
  std::snprintf(command, sizeof command, "get %s\r", set);
  Status rc = Exchange(link, command, kAdcAnswer, answer);
  if (rc < 0) return fail(rc);
  long numbers[11] = {};
  int count = 0;
  const char* p = answer;
  while (count < 11) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p) break;
    numbers[count++] = v;
    p = end;
  }
  const int expected = single ? 3 : 11;
  if (count != expected) {
    LogPrint(link->log, kLogDetail, Source(link),
             "ADCcalCommand only found %d of %d cal %s factors (%d ms)", count, 11, set,
             Since(start));
    return fail(kNotRecognised);
  }
  bool valid = true;
  auto store = [&](long v) {
    if (v >= 1 && v <= 254) return static_cast<std::uint8_t>(v);
    valid = false;
    return static_cast<std::uint8_t>(v <= 0 ? 0 : 255);
  };
  const int pairs = single ? 1 : 5;
  for (int i = 0; i < 5; ++i) {
    slopes[i] = i < pairs ? store(numbers[2 * i]) : 0;
    offsets[i] = i < pairs ? store(numbers[2 * i + 1]) : 0;
  }
  const long received = numbers[expected - 1];
  if (static_cast<long>(sum()) != received) valid = false;
  LogPrint(link->log, kLogDetail, Source(link),
           "ADCcalCommand found (%s) %s %u %u %u %u %u %u %u %u %u %u %u (%d ms)",
           valid ? "valid" : "not valid", set, slopes[0], offsets[0], slopes[1], offsets[1],
           slopes[2], offsets[2], slopes[3], offsets[3], slopes[4], offsets[4],
           static_cast<unsigned>(received), Since(start));
  return valid ? kOk : fail(kRefused);
}

}  // namespace quendal
