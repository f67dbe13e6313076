// The parameter commands that share one shape (a "get" that reads a number or a text, a
// "set" that needs the logger's confirmation), each described by a table row; the members
// with their own rules are in parameter_rules.cpp.
#include "logger/parameters.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host/timing.h"
#include "logger/command_util.h"
#include "logger/maintenance.h"
#include "logger/parameter_util.h"

namespace quendal {

using namespace logger_detail;

namespace {

constexpr std::int32_t kNewestPadcLessFirmware = 164;
constexpr std::int32_t kRelmoRadioMode = 16;

enum class Need : std::uint8_t { kNothing, kCapability, kGprs };

bool Allowed(const LoggerLink* link, Need need, std::uint32_t capability) {
  switch (need) {
    case Need::kNothing:
      return true;
    case Need::kCapability:
      return (link->info.capabilities & capability) != 0;
    case Need::kGprs:
      return TraitHasGprs(link) == 1;
  }
  return false;
}

}  // namespace

namespace logger_detail {

bool ValidDirection(int direction) {
  return direction == kRead || direction == kWrite;
}

Status Fail(LoggerLink* link, const char* member, Status rc, std::uint32_t start) {
  LogPrint(link->log, kLogFailure, Source(link), "%s failed with error %d (%d ms)", member, rc,
           Since(start));
  return rc;
}

Status Exchange(LoggerLink* link, const char* command, std::uint32_t answerBytes, char* answer) {
  std::uint32_t len = answerBytes;
  return DeviceCommand(link, command, '>', kTimeoutMs, answer, &len, nullptr);
}

// The line of the link's last answer (`received` bytes, more than a caller's buffer may
// hold) that holds a value: after the first carriage return when asked, from its first
// character that is no white space to the next carriage return. A NUL is part of it.
std::string_view AnswerLine(const LoggerLink* link, Status received, bool afterFirstCr) {
  std::string_view answer(link->answer.data(),
                          std::min<std::size_t>(received > 0 ? received : 0, kReadBufferSize));
  if (afterFirstCr) {
    const std::size_t cr = answer.find('\r');
    if (cr != std::string_view::npos) answer.remove_prefix(cr + 1);
  }
  const std::size_t first = answer.find_first_not_of(" \t\r\n");
  answer.remove_prefix(first == std::string_view::npos ? answer.size() : first);
  return answer.substr(0, answer.find('\r'));
}

// A value cut to its field would be restored as another value: it is named instead, and
// the update stops before anything is erased.
Status RefuseUnfit(LoggerLink* link, const char* command, std::size_t length, std::size_t max) {
  std::string_view shown(command);
  if (!shown.empty() && shown.back() == '\r') shown.remove_suffix(1);
  char problem[160];
  std::snprintf(problem, sizeof problem,
                "its answer to \"%.*s\" has %u characters, more than the %u it can keep",
                static_cast<int>(shown.size()), shown.data(), static_cast<unsigned>(length),
                static_cast<unsigned>(max));
  link->unfitText = problem;
  LogPrint(link->log, kLogFailure, Source(link), "ReadTextValue: %s", problem);
  return kSettingsUnfit;
}

// A text value of at most `max` characters from the answer to `command`: the prompt alone
// is -31, a line longer than the field -150. Taken whole, never cut: a NUL inside stays, so
// that the settings file refuses the value rather than hold a part of it.
Status ReadTextValue(LoggerLink* link, const char* command, Status received, bool afterFirstCr,
                     std::size_t max, std::string* value) {
  const std::string_view line = AnswerLine(link, received, afterFirstCr);
  if (!line.empty() && line[0] == '>') return kBarePrompt;
  if (line.size() > max) return RefuseUnfit(link, command, line.size(), max);
  value->assign(line);
  return line.empty() ? kNotRecognised : kOk;
}

}  // namespace logger_detail

namespace {

// --- members that read and write one number ---

struct NumberRow {
  const char* member;
  Need need;
  std::uint32_t capability;
  const char* get;
  const char* set;  // one %d
  bool afterFirstCr;
  bool refuseNegative;
  Status unreadable;
  const char* found;     // value, ms
  const char* notFound;  // ms; may be null
  const char* setLine;   // value, ms
};

consteval bool Checked(const NumberRow& s) {
  return FormatTakes(s.set, "d") && FormatTakes(s.found, "d d") && FormatTakes(s.notFound, "d") &&
         FormatTakes(s.setLine, "d d");
}

constexpr NumberRow kWake = {"WakeCommand",
                             Need::kCapability,
                             kCapWake,
                             "get -w\r",
                             "set -w %d\r",
                             true,
                             true,
                             kNotRecognised,
                             "WakeCommand found device measurement interval %d (%d ms)",
                             "WakeCommand could not find device measurement interval (%d ms)",
                             "WakeCommand set device measurment interval to %d (%d ms)"};
constexpr NumberRow kReport = {"ReportCommand",
                               Need::kCapability,
                               kCapDeviceId,
                               "get -report\r",
                               "set -report %d\r",
                               false,
                               false,
                               kNotRecognised,
                               "ReportCommand found device report mode %d (%d ms)",
                               "ReportCommand could not find device report mode (%d ms)",
                               "ReportCommand set report mode to %d (%d ms)"};
constexpr NumberRow kTimeZone = {"TimeZoneCommand",
                                 Need::kCapability,
                                 kCapDeviceId,
                                 "get -tz\r",
                                 "set -tz %d\r",
                                 false,
                                 false,
                                 kNotRecognised,
                                 "TimeZoneCommand found device time zone %d (%d ms)",
                                 "TimeZoneCommand could not find device time zone (%d ms)",
                                 "TimeZoneCommand set time zone to %d (%d ms)"};
constexpr NumberRow kPadcNew = {"PADCCommand",
                                Need::kCapability,
                                kCapWake,
                                "get -padc\r",
                                "set -padc %d\r",
                                true,
                                true,
                                kNotRecognised,
                                "PADCCommand found device PADC %d Hz (%d ms)",
                                "PADCCommand could not find device PADC value (%d ms)",
                                "PADCCommand set device PADC %d Hz (%d ms)"};
constexpr NumberRow kPadcOld = {
    "PADCCommand", Need::kCapability, kCapWake,       "hertz\r",         "set -p %d\r",   true,
    true,          kNotRecognised,    kPadcNew.found, kPadcNew.notFound, kPadcNew.setLine};
constexpr NumberRow kRmode = {"RmodeCommand",
                              Need::kCapability,
                              kCapRadioMode,
                              "get -r\r",
                              "set -r %d\r",
                              false,
                              false,
                              kNotRecognised,
                              "RmodeCommand found rmode %d (%d ms)",
                              "RmodeCommand could not find device rmode (%d ms)",
                              "RmodeCommand set rmode to %d (%d ms)"};
constexpr NumberRow kDataParameter = {
    "DataParameterCommand",
    Need::kCapability,
    kCapDataParameter,
    "get -data\r",
    "set -data %d\r",
    false,
    false,
    kNotRecognised,
    "DataParameterCommand found data parameter %d (%d ms)",
    "DataParameterCommand could not find device data parameter (%d ms)",
    "DataParameterCommand set data parameter to %d (%d ms)"};
constexpr NumberRow kIpPort = {"IPPortCommand",
                               Need::kGprs,
                               0,
                               "get -ipport\r",
                               "set -ipport %d\r",
                               false,
                               false,
                               kBarePrompt,
                               "IPPortCommand found device ipport %d (%d ms)",
                               "IPPortCommand could not find device ipport (%d ms)",
                               "IPPortCommand set ipport to %d (%d ms)"};
static_assert(Checked(kWake) && Checked(kReport) && Checked(kTimeZone) && Checked(kPadcNew) &&
              Checked(kPadcOld) && Checked(kRmode) && Checked(kDataParameter) && Checked(kIpPort));

Status NumberParam(LoggerLink* link, const NumberRow& row, std::int32_t* value, int direction) {
  if (!link || !value) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  const std::uint32_t start = DSTicks();
  if (!Allowed(link, row.need, row.capability)) return Fail(link, row.member, kRefused, start);
  char answer[kAnswerSpace];
  if (direction == kWrite) {
    if (row.refuseNegative && *value < 0) return Fail(link, row.member, kBadArgument, start);
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, row.set, *value);
    Status rc = Exchange(link, command, kShortAnswer, answer);
    if (rc < 0) return Fail(link, row.member, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, row.member, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), row.setLine, *value, Since(start));
    return kOk;
  }
  Status rc = Exchange(link, row.get, kShortAnswer, answer);
  if (rc < 0) return Fail(link, row.member, rc, start);
  std::int32_t read = 0;
  if (!ReadInt(row.afterFirstCr ? AfterFirstCr(answer) : answer, &read)) {
    if (row.notFound) LogPrint(link->log, kLogDetail, Source(link), row.notFound, Since(start));
    return Fail(link, row.member, row.unreadable, start);
  }
  *value = read;
  LogPrint(link->log, kLogDetail, Source(link), row.found, read, Since(start));
  return kOk;
}

// --- members that read and write one text ---

struct TextRow {
  const char* member;
  Need need;
  std::uint32_t capability;
  const char* get;
  const char* set;  // one %s
  std::uint32_t answerBytes;
  bool afterFirstCr;
  const char* found;    // text, ms
  const char* setLine;  // text, ms
};

consteval bool Checked(const TextRow& s) {
  return FormatTakes(s.set, "s") && FormatTakes(s.found, "s d") && FormatTakes(s.setLine, "s d");
}

constexpr TextRow kDeviceId = {"DeviceIDCommand",
                               Need::kCapability,
                               kCapDeviceId,
                               "get -devid\r",
                               "set -devid %s\r",
                               kShortAnswer,
                               false,
                               "DeviceIDCommand found DeviceID \"%s\" (%d ms)",
                               "DeviceIDCommand set DeviceID to \"%s\" (%d ms)"};
constexpr TextRow kSite = {"SiteCommand",
                           Need::kCapability,
                           kCapDeviceId,
                           "get -site\r",
                           "set -site %s\r",
                           kShortAnswer,
                           false,
                           "SiteCommand found site name \"%s\" (%d ms)",
                           "SiteCommand set site to \"%s\" (%d ms)"};
constexpr TextRow kBuild = {"OrveBuildCommand",
                            Need::kCapability,
                            kCapBuild,
                            "get -build\r",
                            "set -build %s\r",
                            kShortAnswer,
                            true,
                            "OrveBuildCommand found OrveBuild info \"%s\" (%d ms)",
                            "OrveBuildCommand set OrveBuild number to \"%s\" (%d ms)"};
constexpr TextRow kApn = {"APNCommand",
                          Need::kGprs,
                          0,
                          "get -apn\r",
                          "set -apn %s\r",
                          kLongAnswer,
                          false,
                          "APNCommand found APN \"%s\" (%d ms)",
                          "APNCommand set APN to \"%s\" (%d ms)"};
constexpr TextRow kApnUser = {"APNUserCommand",
                              Need::kGprs,
                              0,
                              "get -user\r",
                              "set -user %s\r",
                              kLongAnswer,
                              false,
                              "APNUserCommand found APN user name \"%s\" (%d ms)",
                              "APNUserCommand set APN user name to \"%s\" (%d ms)"};
constexpr TextRow kApnPassword = {"APNPasswdCommand",
                                  Need::kGprs,
                                  0,
                                  "get -passwd\r",
                                  "set -passwd %s\r",
                                  kLongAnswer,
                                  false,
                                  "APNPasswdCommand found APN password \"%s\" (%d ms)",
                                  "APNPasswdCommand set APN password to \"%s\" (%d ms)"};
// A 63-character host with its carriage returns and prompt does not fit in 64 bytes, and
// a cut host would be written back cut after an update.
constexpr TextRow kHost = {"HostCommand",
                           Need::kGprs,
                           0,
                           "get -host\r",
                           "set -host %s\r",
                           kAdcAnswer,
                           false,
                           "HostCommand found the remote host name \"%s\" (%d ms)",
                           "HostCommand set remote host name to \"%s\" (%d ms)"};
static_assert(Checked(kDeviceId) && Checked(kSite) && Checked(kBuild) && Checked(kApn) &&
              Checked(kApnUser) && Checked(kApnPassword) && Checked(kHost));


const char* Shown(const TextRow& row, const char* value) {
  return &row == &kApnPassword && value[0] != '\0' ? kMasked : value;
}

template <std::size_t N>
Status TextParam(LoggerLink* link, const TextRow& row, BoundedText<N>* field, int direction) {
  if (!link || !field) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  const std::uint32_t start = DSTicks();
  if (!Allowed(link, row.need, row.capability)) return Fail(link, row.member, kRefused, start);
  char answer[kAnswerSpace];
  if (direction == kWrite) {
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, row.set, field->c_str());
    Status rc = Exchange(link, command, row.answerBytes, answer);
    if (rc < 0) return Fail(link, row.member, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, row.member, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), row.setLine, Shown(row, field->c_str()),
             Since(start));
    return kOk;
  }
  Status rc = Exchange(link, row.get, row.answerBytes, answer);
  if (rc < 0) return Fail(link, row.member, rc, start);
  std::string text;
  rc = ReadTextValue(link, row.get, rc, row.afterFirstCr, N, &text);
  if (rc < 0) return Fail(link, row.member, rc, start);
  field->Set(text);
  LogPrint(link->log, kLogDetail, Source(link), row.found, Shown(row, field->c_str()),
           Since(start));
  return kOk;
}

// --- the two members with five port values ---

struct FiveRow {
  const char* member;
  std::uint32_t capability;
  const char* get;
  const char* set;        // five %d
  std::uint8_t fill;      // what a read without the capability leaves
  const char* found;      // five values, ms
  const char* onlyFound;  // count, 5, ms
  const char* setLine;    // five values, ms
};

consteval bool Checked(const FiveRow& s) {
  return FormatTakes(s.set, "d d d d d") && FormatTakes(s.found, "d d d d d d") &&
         FormatTakes(s.onlyFound, "d d d") && FormatTakes(s.setLine, "d d d d d d");
}

constexpr FiveRow kDepths = {"DepthCommand",
                             kCapDeviceId,
                             "get -depth\r",
                             "set -depth %d %d %d %d %d\r",
                             255,
                             "DepthCommand: depths are %d %d %d %d %d (%d ms)",
                             "DepthCommand only found %d of %d port depths (%d ms)",
                             "DepthCommand set depths to %d %d %d %d %d (%d ms)"};
constexpr FiveRow kPorts = {"PortsCommand",
                            kCapPorts,
                            "get -ports\r",
                            "set -ports %d %d %d %d %d\r",
                            0,
                            "PortsCommand: ports are %d %d %d %d %d (%d ms)",
                            "PortsCommand only found %d of %d ports (%d ms)",
                            "PortsCommand set ports to %d %d %d %d %d (%d ms)"};
static_assert(Checked(kDepths) && Checked(kPorts));

Status FiveParam(LoggerLink* link, const FiveRow& row, std::uint8_t* values, int direction) {
  if (!link || !values) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  const std::uint32_t start = DSTicks();
  if (!(link->info.capabilities & row.capability)) {
    if (direction == kRead)
      for (int i = 0; i < 5; ++i) values[i] = row.fill;
    return Fail(link, row.member, kRefused, start);
  }
  char answer[kAnswerSpace];
  if (direction == kWrite) {
    char command[kCommandSpace];
    std::snprintf(command, sizeof command, row.set, values[0], values[1], values[2], values[3],
                  values[4]);
    Status rc = Exchange(link, command, kShortAnswer, answer);
    if (rc < 0) return Fail(link, row.member, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, row.member, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), row.setLine, values[0], values[1], values[2],
             values[3], values[4], Since(start));
    return kOk;
  }
  Status rc = Exchange(link, row.get, kShortAnswer, answer);
  if (rc < 0) return Fail(link, row.member, rc, start);
  int v[5] = {};
  int count = std::sscanf(answer, "%d %d %d %d %d", &v[0], &v[1], &v[2], &v[3], &v[4]);
  if (count < 5) {
    LogPrint(link->log, kLogDetail, Source(link), row.onlyFound, count < 0 ? 0 : count, 5,
             Since(start));
    return Fail(link, row.member, kNotRecognised, start);
  }
  for (int i = 0; i < 5; ++i)
    values[i] = static_cast<std::uint8_t>(v[i] > 255 ? 255 : v[i] < 0 ? 0 : v[i]);
  LogPrint(link->log, kLogDetail, Source(link), row.found, values[0], values[1], values[2],
           values[3], values[4], Since(start));
  return kOk;
}

// --- latitude and longitude ---

struct PositionRow {
  const char* member;
  const char* get;
  const char* set;    // one %+.5f
  const char* clear;  // no conversion
  const char* found;
  const char* notFound;
  const char* setLine;
};

consteval bool Checked(const PositionRow& s) {
  return FormatTakes(s.set, "f") && FormatTakes(s.clear, "") && FormatTakes(s.found, "f d") &&
         FormatTakes(s.notFound, "d") && FormatTakes(s.setLine, "f d");
}

constexpr PositionRow kLatitude = {"LatitudeCommand",
                                   "get -lat\r",
                                   "set -lat %+.5f\r",
                                   "set -lat \r",
                                   "LatitudeCommand found device latitude %+.5f (%d ms)",
                                   "LatitudeCommand could not find device latitude (%d ms)",
                                   "LatitudeCommand set latitude to %+.5f (%d ms)"};
constexpr PositionRow kLongitude = {"LongitudeCommand",
                                    "get -long\r",
                                    "set -long %+.5f\r",
                                    "set -long \r",
                                    "LongitudeCommand found device longitude %+.5f (%d ms)",
                                    "LongitudeCommand could not find device longitude (%d ms)",
                                    "LongitudeCommand set longitude to %+.5f (%d ms)"};
static_assert(Checked(kLatitude) && Checked(kLongitude));

Status PositionParam(LoggerLink* link, const PositionRow& row, double* value, int direction) {
  if (!link || !value) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  const std::uint32_t start = DSTicks();
  if (!(link->info.capabilities & kCapPosition)) return Fail(link, row.member, kRefused, start);
  char answer[kAnswerSpace];
  if (direction == kWrite) {
    if (!std::isfinite(*value)) return Fail(link, row.member, kBadArgument, start);
    char command[kCommandSpace];
    // Zero clears the position rather than placing the logger in the Gulf of Guinea.
    if (*value == 0.0)
      std::snprintf(command, sizeof command, "%s", row.clear);
    else
      std::snprintf(command, sizeof command, row.set, *value);
    Status rc = Exchange(link, command, kShortAnswer, answer);
    if (rc < 0) return Fail(link, row.member, rc, start);
    if (!Confirmed(link, answer)) return Fail(link, row.member, kNotRecognised, start);
    LogPrint(link->log, kLogDetail, Source(link), row.setLine, *value, Since(start));
    return kOk;
  }
  Status rc = Exchange(link, row.get, kShortAnswer, answer);
  if (rc < 0) return Fail(link, row.member, rc, start);
  double read = 0;
  if (std::sscanf(SkipSpace(answer), "%lf", &read) != 1 || !std::isfinite(read)) {
    LogPrint(link->log, kLogDetail, Source(link), row.notFound, Since(start));
    return Fail(link, row.member, kBarePrompt, start);
  }
  *value = read;
  LogPrint(link->log, kLogDetail, Source(link), row.found, read, Since(start));
  return kOk;
}

}  // namespace

Status WakeCommand(LoggerLink* link, std::int32_t* wake, int direction) {
  return NumberParam(link, kWake, wake, direction);
}

Status ReportCommand(LoggerLink* link, std::int32_t* reportMode, int direction) {
  return NumberParam(link, kReport, reportMode, direction);
}

Status DataParameterCommand(LoggerLink* link, std::int32_t* value, int direction) {
  return NumberParam(link, kDataParameter, value, direction);
}

Status TimeZoneCommand(LoggerLink* link, std::int32_t* timeZone, int direction) {
  if (link && timeZone && direction == kWrite && *timeZone == kTimeZoneFromPc &&
      (link->info.capabilities & kCapDeviceId))
    *timeZone = LocalUtcOffset() / 900;
  return NumberParam(link, kTimeZone, timeZone, direction);
}

Status PADCCommand(LoggerLink* link, std::int32_t* padc, int direction) {
  if (!link || !padc) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  const bool newFirmware = link->info.newFirmware != 0;
  if (!newFirmware && (link->info.capabilities & kCapWake) &&
      link->info.versionNumber <= kNewestPadcLessFirmware) {
    *padc = -1;
    return Fail(link, "PADCCommand", kRefused, DSTicks());
  }
  return NumberParam(link, newFirmware ? kPadcNew : kPadcOld, padc, direction);
}

Status RmodeCommand(LoggerLink* link, std::int32_t* radioMode, int direction) {
  if (!link || !radioMode) return kMissingArgument;
  if (!ValidDirection(direction)) return kBadArgument;
  if (link->info.loggerType == kLoggerRelmo && (link->info.capabilities & kCapRadioMode)) {
    if (direction == kRead) *radioMode = kRelmoRadioMode;
    LogPrint(link->log, kLogDetail, Source(link),
             "RmodeCommand found an Relmo that is always mode %d", kRelmoRadioMode);
    return kOk;
  }
  return NumberParam(link, kRmode, radioMode, direction);
}

Status IPPortCommand(LoggerLink* link, std::uint32_t* ipPort, int direction) {
  if (!ipPort) return kMissingArgument;
  auto value = static_cast<std::int32_t>(*ipPort);
  Status rc = NumberParam(link, kIpPort, &value, direction);
  if (rc > 0 && direction == kRead) *ipPort = static_cast<std::uint32_t>(value);
  return rc;
}

Status DeviceIDCommand(LoggerLink* link, BoundedText<8>* deviceId, int direction) {
  return TextParam(link, kDeviceId, deviceId, direction);
}

Status SiteCommand(LoggerLink* link, BoundedText<25>* site, int direction) {
  return TextParam(link, kSite, site, direction);
}

Status OrveBuildCommand(LoggerLink* link, BoundedText<16>* build, int direction) {
  return TextParam(link, kBuild, build, direction);
}

Status APNCommand(LoggerLink* link, BoundedText<35>* apn, int direction) {
  return TextParam(link, kApn, apn, direction);
}

Status APNUserCommand(LoggerLink* link, BoundedText<35>* user, int direction) {
  return TextParam(link, kApnUser, user, direction);
}

Status APNPasswdCommand(LoggerLink* link, BoundedText<35>* password, int direction) {
  return TextParam(link, kApnPassword, password, direction);
}

Status HostCommand(LoggerLink* link, BoundedText<63>* host, int direction) {
  return TextParam(link, kHost, host, direction);
}

Status DepthCommand(LoggerLink* link, std::uint8_t* depths, int direction) {
  return FiveParam(link, kDepths, depths, direction);
}

Status PortsCommand(LoggerLink* link, std::uint8_t* ports, int direction) {
  return FiveParam(link, kPorts, ports, direction);
}

Status LatitudeCommand(LoggerLink* link, double* latitude, int direction) {
  return PositionParam(link, kLatitude, latitude, direction);
}

Status LongitudeCommand(LoggerLink* link, double* longitude, int direction) {
  return PositionParam(link, kLongitude, longitude, direction);
}

}  // namespace quendal
