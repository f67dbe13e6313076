// Sets of settings, the logger clock and erasing the logger's data.
#include "logger/maintenance.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/timing.h"
#include "logger/command_util.h"
#include "logger/parameters.h"

namespace quendal {

using namespace logger_detail;

namespace {

constexpr std::uint32_t kAfterFailurePauseMs = 100;
constexpr std::uint32_t kSetClockTimeoutMs = 1100;
constexpr std::uint32_t kGetClockTimeoutMs = 2200;
constexpr std::uint32_t kEraseTimeoutMs = 17000;
constexpr std::uint32_t kShowBits = kSetName | kSetIdentity | kSetWake | kSetRadioMode;
constexpr std::uint32_t kOldFirmwareBits = kShowBits | kSetSerialNumber;
constexpr const char* kReconnectSource = "******";

bool KnowsIdentity(const LoggerInfo& info) {
  return info.loggerType != kLoggerUnknown && !info.version.empty() && info.versionNumber > 0;
}

// One pass of DeviceSettings: the first requested bit in the fixed order. Returns the
// step's result; a request with no bit of the order left is returned unchanged.
Status SettingsPass(LoggerLink* link, std::uint32_t* request, std::uint32_t* done, int direction) {
  LoggerInfo& info = link->info;
  const bool read = direction == kRead;
  std::uint32_t& asked = *request;
  auto take = [&](std::uint32_t bit) {
    if (!(asked & bit)) return false;
    asked &= ~bit;
    return true;
  };
  auto ran = [&](Status rc, std::uint32_t bit) {
    if (rc > 0) *done |= bit;
    return rc;
  };
  // A failed read of these must not leave an older value marked as known.
  auto ranForgetting = [&](Status rc, std::uint32_t bit) {
    if (rc < 0) info.knownMask &= ~bit;
    return ran(rc, bit);
  };

  if (take(kSetIdentity)) {
    if (!read) return kOk;
    if (KnowsIdentity(info)) {
      *done |= kSetIdentity;
      return kOk;
    }
    Status rc = VerCommand(link, 0);
    if (rc == kUnsupportedKind) {
      LogPrint(link->log, kLogFailure, Source(link),
               "DeviceSettings: old Vaultra model 007 not supported");
      return rc;
    }
    if (rc > 0 && !info.newFirmware) {
      // The "show" answer carried these.
      asked &= ~kOldFirmwareBits;
      *done |= kShowBits;
      return rc;
    }
    return ran(rc, kSetIdentity);
  }
  if (read && info.loggerType == kLoggerTarn && !info.newFirmware &&
      (asked & (kSetName | kSetWake | kSetRadioMode))) {
    asked &= ~(kSetName | kSetSerialNumber | kSetWake | kSetRadioMode);
    Status rc = ParseShowCommand(link, nullptr);
    if (rc > 0) *done |= kShowBits;
    return rc;
  }
  if (take(kSetName)) return ran(NameCommand(link, &info.name, direction), kSetName);
  if (take(kSetDeviceId))
    return ran(DeviceIDCommand(link, &info.deviceId, direction), kSetDeviceId);
  if (take(kSetReportMode))
    return ran(ReportCommand(link, &info.reportMode, direction), kSetReportMode);
  if (take(kSetDepths)) return ran(DepthCommand(link, info.depths, direction), kSetDepths);
  if (take(kSetLatitude))
    return ranForgetting(LatitudeCommand(link, &info.latitude, direction), kSetLatitude);
  if (take(kSetLongitude))
    return ranForgetting(LongitudeCommand(link, &info.longitude, direction), kSetLongitude);
  if (take(kSetTimeZone))
    return ran(TimeZoneCommand(link, &info.timeZone, direction), kSetTimeZone);
  if (take(kSetSite)) return ranForgetting(SiteCommand(link, &info.site, direction), kSetSite);
  if (take(kSetSerialNumber))
    return ran(SNCommand(link, &info.serialNumber, direction), kSetSerialNumber);
  if (take(kSetWake)) return ran(WakeCommand(link, &info.wake, direction), kSetWake);
  if (take(kSetPadc)) return ran(PADCCommand(link, &info.padc, direction), kSetPadc);
  if (take(kSetPorts)) return ran(PortsCommand(link, info.ports, direction), kSetPorts);
  if (take(kSetTrait)) return ran(TraitCommand(link, &info.trait, direction), kSetTrait);
  if (take(kSetRadioMode))
    return ran(RmodeCommand(link, &info.radioMode, direction), kSetRadioMode);
  if (asked & kRadioBits) {
    std::uint32_t bits = asked & kRadioBits;
    asked &= ~kRadioBits;
    if (read && TraitHasRadio(&info) == 0) return kRadioConfigFailed;
    Status rc = MSRadioCommand(link, &info.radioChannel, &info.radioSubchannel, &info.radioVersion,
                               direction, &bits);
    *done |= bits;
    return rc;
  }
  if (take(kSetDataParameter))
    return ran(DataParameterCommand(link, &info.dataParameter, direction), kSetDataParameter);
  if (take(kSetBuild)) return ran(OrveBuildCommand(link, &info.build, direction), kSetBuild);
  if (take(kSetAdc30))
    return ran(ADCcalCommand(link, 1, info.adc30Cal.slopes, info.adc30Cal.offsets, direction),
               kSetAdc30);
  if (take(kSetAdc15))
    return ran(ADCcalCommand(link, 2, info.adc15Cal.slopes, info.adc15Cal.offsets, direction),
               kSetAdc15);
  if (take(kSetApn)) return ran(APNCommand(link, &info.apn, direction), kSetApn);
  if (take(kSetApnUser)) return ran(APNUserCommand(link, &info.apnUser, direction), kSetApnUser);
  if (take(kSetApnPassword))
    return ran(APNPasswdCommand(link, &info.apnPassword, direction), kSetApnPassword);
  if (take(kSetAuthKey)) return ran(AuthKeyCommand(link, &info.authKey, direction), kSetAuthKey);
  if (take(kSetHost)) return ran(HostCommand(link, &info.host, direction), kSetHost);
  if (take(kSetIpPort)) return ran(IPPortCommand(link, &info.ipPort, direction), kSetIpPort);
  return kOk;
}

bool Ends(Status step) {
  return step == kEcho || step == kRelayActive || step == kUninitialised ||
         step == kUnsupportedKind;
}

}  // namespace

Status DeviceSettings(LoggerLink* link, LoggerInfo* block, std::uint32_t* flags, int direction) {
  if (!link || !block || !flags) return kMissingArgument;
  if (direction != kRead && direction != kWrite) return kBadArgument;
  LoggerInfo& info = link->info;
  std::uint32_t request = *flags;
  std::uint32_t done = 0;
  if (direction == kWrite) {
    info = *block;
  } else {
    if (info.versionNumber > 0)
      done |= kSetIdentity;
    else
      request |= kSetIdentity;
    // The radio read depends on the trait.
    if ((request & kRadioBits) && !(info.knownMask & kSetTrait)) request |= kSetTrait;
  }
  const std::uint32_t asked = request;

  Status result = kOk;
  Status step = kOk;
  std::uint32_t passRequest = request;  // the request before the last pass
  Status passResult = result;
  std::uint32_t reconnects = 0;
  bool first = true;
  for (;;) {
    if (first) {
      first = false;
      if (request == 0) break;
    } else if (Ends(step)) {
      result = step;
      break;
    } else if (step == kNoAnswer) {
      if (IsRadio(link) || reconnects >= link->retries) {
        result = kNoAnswer;
        break;
      }
      ++reconnects;
      Status login = DeviceLogin(link, link->request.name.c_str(), link->request.password.c_str(),
                                 &link->request.baudCode);
      if (login == kNothingListening) {
        result = kNoAnswer;
        break;
      }
      if (login > 0)
        LogPrint(link->log, kLogStep, kReconnectSource, "DeviceSettings re-connected to device");
      // Repeat the pass that heard nothing.
      request = passRequest;
      result = passResult;
      step = SettingsPass(link, &request, &done, direction);
      continue;
    } else {
      if (step < 0) {
        result = kSomeFailed;
        DSSleep(kAfterFailurePauseMs);
      }
      if (request == 0 || request == passRequest) break;
      reconnects = 0;
    }
    passRequest = request;
    passResult = result;
    step = SettingsPass(link, &request, &done, direction);
  }

  if (done == 0 && asked != 0 && result == kOk) result = kRefused;
  *flags = done;
  if (direction == kRead) {
    info.knownMask |= done;
    *block = info;
  }
  return result;
}

LoggerClock ClockFromSeconds(std::int32_t seconds) {
  using namespace std::chrono;
  const std::int64_t total = seconds;
  std::int64_t dayCount = total / 86400;
  std::int64_t rest = total % 86400;
  if (rest < 0) {
    rest += 86400;
    --dayCount;
  }
  const year_month_day date{sys_days{year{2000} / January / 1} + days{dayCount}};
  return {static_cast<int>(date.year()),
          static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())),
          static_cast<int>(rest / 3600),
          static_cast<int>(rest % 3600 / 60),
          static_cast<int>(rest % 60)};
}

bool SecondsFromClock(const LoggerClock& clock, std::int32_t* seconds) {
  using namespace std::chrono;
  if (clock.year < 1900 || clock.year > 2200 || clock.month < 1 || clock.month > 12 ||
      clock.day < 1 || clock.day > 31)
    return false;
  const year_month_day date{year{clock.year}, month{static_cast<unsigned>(clock.month)},
                            day{static_cast<unsigned>(clock.day)}};
  if (!date.ok() || clock.hour < 0 || clock.hour > 23 || clock.minute < 0 || clock.minute > 59 ||
      clock.second < 0 || clock.second > 59)
    return false;
  const std::int64_t dayCount = (sys_days{date} - sys_days{year{2000} / January / 1}).count();
  const std::int64_t total =
      dayCount * 86400 + clock.hour * 3600 + clock.minute * 60 + clock.second;
  if (total < INT32_MIN || total > INT32_MAX) return false;
  *seconds = static_cast<std::int32_t>(total);
  return true;
}

Status DeviceTime(LoggerLink* link, std::int32_t* seconds, int direction) {
  if (!link) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  auto fail = [&](Status rc) {
    LogPrint(link->log, kLogFailure, Source(link), "DeviceTime failed with error %d (%d ms)", rc,
             Since(start));
    return rc;
  };
  const LoggerInfo& info = link->info;
  if (!(info.capabilities & kCapClock)) {
    if (seconds) *seconds = -1;
    return fail(kRefused);
  }
  if (direction != kRead && direction != kWrite) return fail(kBadArgument);
  const bool secondsClock = (info.capabilities & kCapSecondsClock) != 0;
  char answer[48];

  if (direction == kWrite) {
    std::int64_t when = seconds ? *seconds : 0;
    if (when == 0) {
      const std::time_t now = std::time(nullptr);
      if (now == static_cast<std::time_t>(-1)) {
        LogPrint(link->log, kLogFailure, Source(link),
                 "DeviceTime failed to get system time with error %d", errno);
        return fail(kNotRecognised);
      }
      when = static_cast<std::int64_t>(now) + LocalUtcOffset() - kSeconds1970To2000;
    }
    // Neither clock can be set before 2000 or past what 32 bits hold.
    if (when < 0 || when > INT32_MAX) return fail(kBadArgument);
    if (seconds) *seconds = static_cast<std::int32_t>(when);
    char command[48];
    if (secondsClock) {
      std::snprintf(command, sizeof command, "set -sec %lu\r", static_cast<unsigned long>(when));
      Status rc = Transact(link, command, '>', kSetClockTimeoutMs, answer);
      if (rc < 0) return fail(rc);
      if (!Contains(answer, "OK") && !(info.newFirmware == 0 && Contains(answer, ">")))
        return fail(kNotRecognised);
      LogPrint(link->log, kLogDetail, Source(link),
               "DeviceTime set device orveseconds to %d (%d ms)", static_cast<int>(when),
               Since(start));
      return kOk;
    }
    const LoggerClock clock = ClockFromSeconds(static_cast<std::int32_t>(when));
    std::snprintf(command, sizeof command, "set -t %d:%d:%d\r", clock.hour, clock.minute,
                  clock.second);
    Status rc = Transact(link, command, '>', kSetClockTimeoutMs, answer);
    if (rc < 0) return fail(rc);
    if (!Confirmed(link, answer)) return fail(kNotRecognised);
    LogPrint(link->log, kLogDetail, Source(link),
             "DeviceTime set device time to %d:%02d:%02d (%d ms)", clock.hour, clock.minute,
             clock.second, Since(start));
    std::snprintf(command, sizeof command, "set -d %d-%d-%d\r", clock.year, clock.month, clock.day);
    rc = Transact(link, command, '>', kSetClockTimeoutMs, answer);
    if (rc < 0) return fail(rc);
    if (!Contains(answer, "OK") && !(info.newFirmware == 0 && Contains(answer, ">")))
      return fail(kNotRecognised);
    LogPrint(link->log, kLogDetail, Source(link), "DeviceTime set device date to %d-%d-%d (%d ms)",
             clock.year, clock.month, clock.day, Since(start));
    return kOk;
  }

  if (!seconds) return fail(kMissingArgument);
  const char* command = secondsClock ? "get -sec\r" : info.newFirmware ? "get -t\r" : "time\r";
  Status rc = Transact(link, command, '>', kGetClockTimeoutMs, answer);
  if (rc < 0) {
    *seconds = -1;
    return fail(kNotRecognised);
  }
  if (secondsClock) {
    unsigned long long value = 0;
    if (std::sscanf(answer, "%llu", &value) != 1) {
      *seconds = -1;
      return fail(kNotRecognised);
    }
    // A clock at 2^31 or beyond has not been set (or has wrapped).
    if (value > static_cast<unsigned long long>(INT32_MAX)) {
      *seconds = 0;
      return fail(kNotRecognised);
    }
    *seconds = static_cast<std::int32_t>(value);
    LogPrint(link->log, kLogDetail, Source(link),
             "DeviceTime found device date/timr %ld OrveSeconds (%d ms)",
             static_cast<long>(*seconds), Since(start));
    return kOk;
  }
  const char* text = std::strstr(answer, "Date\\Time:");
  text = text ? text + std::strlen("Date\\Time:") : answer;
  LoggerClock clock{};
  if (std::sscanf(text, "%d-%d-%d %d:%d:%d", &clock.year, &clock.month, &clock.day, &clock.hour,
                  &clock.minute, &clock.second) != 6) {
    *seconds = -1;
    return fail(kNotRecognised);
  }
  std::int32_t value = 0;
  if (!SecondsFromClock(clock, &value)) {
    *seconds = 0;
    return fail(kNotRecognised);
  }
  *seconds = value;
  LogPrint(link->log, kLogDetail, Source(link),
           "DeviceTime found device date/time %d-%d-%d %d:%02d:%02d or %ld (%d ms)", clock.year,
           clock.month, clock.day, clock.hour, clock.minute, clock.second, static_cast<long>(value),
           Since(start));
  return kOk;
}

Status EraseData(LoggerLink* link) {
  if (!link) return kMissingArgument;
  const std::uint32_t start = DSTicks();
  auto fail = [&](Status rc) {
    LogPrint(link->log, kLogFailure, Source(link), "EraseData failed with error %d (%d ms)", rc,
             Since(start));
    return rc;
  };
  const bool newFirmware = link->info.newFirmware != 0;
  BoundedText<8> heard;
  Status rc = newFirmware ? NameCommand(link, &heard, kRead) : ParseShowCommand(link, &heard);
  if (rc < 0) {
    LogPrint(link->log, kLogFailure, Source(link),
             "EraseData failed checking the identity of device (error %d)", rc);
    return fail(kIdentityMismatch);
  }
  if (std::strncmp(heard.c_str(), link->info.name.c_str(), 8) != 0) {
    LogPrint(link->log, kLogFailure, Source(link),
             "EraseData: Identity mismatch. Class: %s, Device: %s", link->info.name.c_str(),
             heard.c_str());
    return fail(kIdentityMismatch);
  }

  char answer[32];
  rc = Transact(link, "yes\r", newFirmware ? '>' : '!', kEraseTimeoutMs, answer);
  if (rc > 0 && Contains(answer, "OK")) {
    LogPrint(link->log, kLogDetail, Source(link), "InitializeDevice erased device data (%d ms)",
             Since(start));
    return kOk;
  }
  if ((rc > 0 && Contains(answer, "DataFlash FAIL")) || rc == kDeviceError || rc == kNoAttempt ||
      rc == kNoAnswer) {
    LogPrint(link->log, kLogFailure, Source(link),
             "EraseData failed due to a broken DataFlash (%d ms)", Since(start));
    return kDataFlashBroken;
  }
  return fail(rc > 0 ? kNotRecognised : rc);
}

}  // namespace quendal
