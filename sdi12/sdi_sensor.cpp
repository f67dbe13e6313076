#include "sdi12/sdi_sensor.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "host/timing.h"
#include "sdi12/sdi_internal.h"

namespace quendal {
namespace {

constexpr std::uint32_t kAttentionTries = 3;
constexpr std::uint32_t kLoaderStartRetryCount = 1;
constexpr std::uint32_t kLoaderStartTimeoutMs = 1000;
constexpr std::uint32_t kLoaderBytePauseMs = 100;
constexpr std::uint32_t kShortestValidXa = 9;
constexpr std::uint32_t kConvertBelowVersion = 340;

// Xa factory defaults; the leading "a" stands where a reply has its address.
constexpr const char* kXaOldDefault = "a 1 1.44832 1.91683 2.35961 2.991";
constexpr const char* kXaBremoDefault = "a 1 1.39619 2.03054 2.54573 2.9907";
constexpr const char* kXaDorroDefault = "a 1 1.4724 2.03944 2.5652 2.9907";
constexpr std::size_t kXaCompareLength = 32;

// One reply of the sensor, zero-terminated.
struct Reply {
  char text[kSdiReplySize] = {};
  std::uint32_t length = 0;

  // The reply after the sensor's address character.
  const char* Body() const { return length > 0 ? text + 1 : text; }
  std::string_view BodyText() const { return {Body(), length > 0 ? length - 1 : 0}; }
  bool Contains(const char* what) const { return std::strstr(text, what) != nullptr; }
};

Status Send(SdiSensorLink* sdi, const char* command, Reply* reply) {
  reply->length = sizeof reply->text;
  Status rc = SDISendCommand(sdi, command, reply->text, &reply->length, nullptr);
  if (rc < 0) reply->length = 0;
  return rc;
}

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A sensor reports its type as one visible character.
bool IsTypeCharacter(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u > ' ' && u <= 127;
}

// Keeps a character of a log argument from putting a control byte into the error file.
char Printable(std::uint32_t c) {
  return (c > ' ' && c < 127) ? static_cast<char>(c) : ' ';
}

// The text up to the carriage return that ends the reply, with one leading white-space
// character skipped. A NUL or line feed inside is kept, so that the settings file refuses
// the value rather than hold a part of it.
std::string_view FieldText(const char* text, std::size_t length) {
  std::string_view all(text, length);
  std::size_t n = all.find('\r');
  if (n == std::string_view::npos) n = all.size();
  while (n > 0 && all[n - 1] == '\n') --n;
  if (n > 0 && IsWhiteSpace(text[0])) return {text + 1, n - 1};
  return {text, n};
}

std::string_view FieldText(const char* text) {
  return FieldText(text, std::strlen(text));
}

bool IsNumberCharacter(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
}

// Some sensors of these types store -1 where 0 belongs. Only a whole value "-1" is
// mended; an exponent such as "2.5e-1" is part of a different number.
bool RepairMinusOne(char* text, std::uint32_t length) {
  auto wholeMinusOne = [&](std::uint32_t i, char after) {
    return i + 2 < length && text[i] == '-' && text[i + 1] == '1' && text[i + 2] == after &&
           (i == 1 || !IsNumberCharacter(text[i - 1]));
  };
  bool changed = false;
  for (std::uint32_t i = 1; i < length; ++i) {
    if (wholeMinusOne(i, ' ')) {
      text[i] = '+';
      text[i + 1] = '0';
      changed = true;
    }
  }
  for (std::uint32_t i = 1; i < length; ++i) {
    if (wholeMinusOne(i, '\r')) {
      text[i] = '+';
      text[i + 1] = '0';
      changed = true;
      break;
    }
  }
  return changed;
}

bool IsBremoLike(std::uint8_t type) {
  return type == 'z' || type == 'x';
}

// The Xa default for a sensor whose reply is missing or too short; null when none.
const char* XaDefault(std::uint8_t type, std::uint32_t version) {
  if (IsBremoLike(type)) {
    if (version < 356) return kXaOldDefault;
    if (version <= 399) return kXaBremoDefault;
  } else if (type == 'w') {
    if (version <= 352) return kXaOldDefault;
    if (version <= 401) return kXaDorroDefault;
  }
  return nullptr;
}

// Firmware of these versions ships a newer default; a sensor still holding the older one
// got it from earlier firmware, not from a calibration.
const char* NewerXaDefault(std::uint8_t type, std::uint32_t version) {
  if (IsBremoLike(type) && version >= 356 && version <= 399) return kXaBremoDefault;
  if (type == 'w' && version >= 353 && version <= 401) return kXaDorroDefault;
  return nullptr;
}

enum class CommandBuild { kOk, kTooLong, kBadCharacter };

// prefix + text + "!" in a command buffer. Never cut: a shortened value written into a
// sensor would be a wrong value. A "!" or a control character would end or break the
// command at the sensor.
CommandBuild BuildCommand(char (&out)[kSdiCommandBufferSize], const char* prefix,
                          std::string_view text) {
  out[0] = '\0';
  for (char c : text) {
    if (c == '!' || static_cast<unsigned char>(c) < ' ') return CommandBuild::kBadCharacter;
  }
  const std::size_t prefixLength = std::strlen(prefix);
  if (prefixLength + text.size() + 2 > kSdiCommandBufferSize) return CommandBuild::kTooLong;
  std::snprintf(out, sizeof out, "%s%.*s!", prefix, static_cast<int>(text.size()), text.data());
  return CommandBuild::kOk;
}

void LogRefusedCommand(SdiSensorLink* sdi, const char* operation, const char* what,
                       std::string_view text, CommandBuild why) {
  if (why == CommandBuild::kTooLong) {
    SdiLog(sdi, "%s refused %s \"%.*s\": %u characters do not fit one command", operation, what,
           static_cast<int>(text.size()), text.data(), static_cast<unsigned>(text.size()));
  } else {
    SdiLog(sdi, "%s refused %s \"%.*s\": it holds a character that would break the command",
           operation, what, static_cast<int>(text.size()), text.data());
  }
}

// Writes a value the sensor confirms with "OK". Returns 1, -34 when it answered "ERROR",
// -22 when it never confirmed, or the code of a send that failed last (also left in
// `failedSend`, else 0).
Status ConfirmedWrite(SdiSensorLink* sdi, const char* command, Status* failedSend) {
  Status result = 0;
  Status last = 0;
  for (std::uint32_t attempt = 0; attempt < sdi->retryCount; ++attempt) {
    Reply reply;
    last = Send(sdi, command, &reply);
    if (last > 0 && reply.Contains("OK")) {
      *failedSend = 0;
      return kOk;
    }
    if (reply.Contains("ERROR")) result = kDeviceError;
    if (result == 0) result = kNoAttempt;
  }
  *failedSend = last < 0 ? last : 0;
  if (last < 0) return last;
  return result == 0 ? kNoAttempt : result;
}

// An SDI-12 address is a digit or a letter.
bool IsSensorAddress(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

Status SDIGetSensorVersion(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  Reply reply;
  Status rc = Send(sdi, "?I!", &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDIGetSensorVersion recieved error %i", rc);
    return rc;
  }
  // A garbled first character would later be written into the sensor as its address.
  if (!IsSensorAddress(reply.text[0])) {
    SdiLog(sdi, "SDIGetSensorVersion found no sensor address in \"%s\"", reply.text);
    return kNotRecognised;
  }
  sdi->address = reply.text[0];
  sdi->identity.Clear();
  if (reply.length > 3) {
    const char* from = reply.text + 3;
    std::string_view identity(from, reply.length - 3);
    sdi->identity.Set(identity.substr(0, identity.find('\r')));
  }
  // Characters 18 to 20 hold the version as three digits.
  std::uint32_t version = 0;
  for (std::uint32_t i = 17; i < 20 && i < reply.length; ++i) {
    char c = reply.text[i];
    if (c < '0' || c > '9') break;
    version = version * 10 + static_cast<std::uint32_t>(c - '0');
  }
  sdi->firmwareVersion = version;
  SdiLog(sdi, "SDIGetSensorVersion found sensor info: %s", sdi->identity.c_str());
  return static_cast<Status>(version);
}

Status SDIGetSensorType(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  Reply reply;
  Status rc = Send(sdi, "?X8!", &reply);
  if (rc >= 0) {
    const char* body = reply.Body();
    char type = IsWhiteSpace(body[0]) ? body[1] : body[0];
    if (IsTypeCharacter(type)) {
      sdi->typeCode = static_cast<std::uint8_t>(type);
      SdiLog(sdi, "SDIGetSensorType found sensor type as \"%c\"", type);
      return kOk;
    }
    SdiLog(sdi, "SDIGetSensorType found no type in \"%s\"", reply.text);
  } else {
    SdiLog(sdi, "SDIGetSensorType recieved error %i", rc);
  }

  // The model field of the identity names the types of sensors that cannot tell it.
  sdi->typeCode = 0;
  if (sdi->identity.empty()) SDIGetSensorVersion(sdi);
  std::string_view identity = sdi->identity.view();
  if (identity.find("Bremo ") != std::string_view::npos) {
    sdi->typeCode = 'z';
  } else if (identity.find("Valtu ") != std::string_view::npos) {
    sdi->typeCode = '}';
  } else if (identity.find("Vomra ") != std::string_view::npos) {
    sdi->typeCode = 127;
  }
  if (sdi->typeCode == 0) {
    SdiLog(sdi, "SDIGetSensorType couldn't detirmine sensor type");
    return kRefused;
  }
  SdiLog(sdi, "SDIGetSensorType found sensor type as \"%c\"", static_cast<char>(sdi->typeCode));
  return kOk;
}

Status SDIGetSensorSN(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  Reply reply;
  Status rc = Send(sdi, "?X#!", &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDIGetSensorSN recieved error %i looking for X#", rc);
    return rc;
  }
  sdi->serialNumber.Set(FieldText(reply.Body(), reply.BodyText().size()));
  if (sdi->serialNumber.empty()) return kNothingDone;
  SdiLog(sdi, "SDIGetSensorSN found SN \"%s\"", sdi->serialNumber.c_str());
  return kOk;
}

Status SDIGetSensorCalibration(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  Reply reply;
  Status rc = kNoAttempt;
  for (std::uint32_t i = 0; i < kAttentionTries && rc <= 0; ++i) rc = Send(sdi, "?!", &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDIGetSensorCalibration \"attention sequence\" recieved error %i", rc);
  }

  rc = Send(sdi, "?X4!", &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDIGetSensorCalibration recieved error %i looking for X4", rc);
    return rc;
  }
  const std::uint8_t type = sdi->typeCode;
  if (IsBremoLike(type) && RepairMinusOne(reply.text, reply.length)) {
    SdiLog(sdi, "SDIGetSensorCalibration updated X4 to remove '-1'");
  }
  sdi->calibration.Set(FieldText(reply.Body(), reply.BodyText().size()));
  SdiLog(sdi, "SDIGetSensorCalibration found calibration X4 \"%s\"", sdi->calibration.c_str());

  if (type != 'y' && type != 'l' && type != 'w' && !IsBremoLike(type)) return kOk;

  rc = Send(sdi, "?Xa!", &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDIGetSensorCalibration recieved error %i looking for Xa", rc);
    if (type == 'y') return rc;
  }
  const char* xa = reply.text;
  bool set = false;
  if (reply.length < kShortestValidXa) {
    if (const char* fallback = XaDefault(type, sdi->firmwareVersion)) {
      xa = fallback;
      set = true;
    }
  } else if (const char* newer = NewerXaDefault(type, sdi->firmwareVersion)) {
    if (std::strncmp(reply.text + 1, kXaOldDefault + 1, kXaCompareLength) == 0) {
      xa = newer;
      set = true;
    }
  }
  sdi->calibration2.Set(xa == reply.text ? FieldText(reply.Body(), reply.BodyText().size())
                                         : FieldText(xa[0] ? xa + 1 : xa));
  SdiLog(sdi, "SDIGetSensorCalibration %s calibration Xa \"%s\"", set ? "set" : "found",
         sdi->calibration2.c_str());
  return kOk;
}

Status SDIConvertCalibration(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  if (sdi->firmwareVersion >= kConvertBelowVersion) return kNothingDone;
  float x[9] = {};
  int read = std::sscanf(sdi->calibration.c_str(), "%f %f %f %f %f %f %f %f %f", &x[0], &x[1],
                         &x[2], &x[3], &x[4], &x[5], &x[6], &x[7], &x[8]);
  if (read != 9) {
    SdiLog(sdi, "SDIConvertCalibration kept X4 \"%s\": %d of 9 numbers read",
           sdi->calibration.c_str(), read < 0 ? 0 : read);
    return kNothingDone;
  }
  const float d = x[2] - x[1];
  const float b = -1000.0f * x[1] / d;
  const float c = 1000.0f / d;
  const float e = (x[5] + x[4]) * 0.5f;
  // Equal second and third numbers (or overflow) would write infinities into the sensor.
  if (!std::isfinite(x[0]) || !std::isfinite(b) || !std::isfinite(c) || !std::isfinite(e) ||
      !std::isfinite(x[8])) {
    SdiLog(sdi, "SDIConvertCalibration kept X4 \"%s\": it gives no finite six-number form",
           sdi->calibration.c_str());
    return kNothingDone;
  }
  char text[257];
  std::snprintf(text, sizeof text, "%0.3f %0.6e %0.6e %0.6e %0.1f %0.1f", static_cast<double>(x[0]),
                static_cast<double>(b), static_cast<double>(c), 0.0, static_cast<double>(e),
                static_cast<double>(x[8]));
  sdi->calibration.Set(text);
  return kOk;
}

Status SDISaveInfo(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  sdi->identity.Clear();
  sdi->calibration.Clear();
  sdi->calibration2.Clear();
  sdi->serialNumber.Clear();
  sdi->firmwareVersion = 0;
  sdi->address = '0';
  sdi->typeCode = 0;

  Status rc = SDIGetSensorVersion(sdi);
  if (rc < 0) return rc;
  // Type and serial number are best effort.
  SDIGetSensorType(sdi);
  SDIGetSensorSN(sdi);
  rc = SDIGetSensorCalibration(sdi);
  if (rc < 0) return rc;
  if ((sdi->typeCode == 'u' || sdi->typeCode == 't') && sdi->firmwareVersion < 340) {
    SDIConvertCalibration(sdi);
  }
  return kOk;
}

Status SDISetSensorAddress(SdiSensorLink* sdi, char address) {
  if (!sdi) return kMissingArgument;
  // After a reset the sensor answers to "0".
  if (!IsSensorAddress(address)) {
    SdiLog(sdi, "SDISetSensorAddress could not set sensor address to '%c'", Printable(address));
    return kBadArgument;
  }
  char command[kSdiCommandBufferSize];
  std::snprintf(command, sizeof command, "0A%c!", address);
  Reply reply;
  Status rc = Send(sdi, command, &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDISetSensorAddress recieved error %i", rc);
    return rc;
  }
  if (reply.text[0] == address) {
    SdiLog(sdi, "SDISetSensorAddress successfully set sensor address to '%c'", address);
    return kOk;
  }
  SdiLog(sdi, "SDISetSensorAddress could not set sensor address to '%c'", address);
  return kNotRecognised;
}

Status SDISetSensorCalibration(SdiSensorLink* sdi, const char* text) {
  if (!sdi) return kMissingArgument;
  // A copy: the caller may pass the stored field itself.
  BoundedText<256> x4(text ? std::string_view(text) : sdi->calibration.view());
  if (x4.empty()) {
    SdiLog(sdi, "SDISetSensorCalibration doesn't have a valid X5 calibration string");
    return kNothingDone;
  }

  Status result;
  char command[kSdiCommandBufferSize];
  CommandBuild built = BuildCommand(command, "?X5", x4.view());
  if (built != CommandBuild::kOk) {
    LogRefusedCommand(sdi, "SDISetSensorCalibration", "X5 calibration", x4.view(), built);
    result = kBadArgument;
  } else {
    Status failedSend = 0;
    result = ConfirmedWrite(sdi, command, &failedSend);
    if (result == kOk) {
      SdiLog(sdi, "SDISetSensorCalibration successfully set sensor X5 calibration to \"%s\"",
             x4.c_str());
    }
    if (failedSend < 0) SdiLog(sdi, "SDISetSensorCalibration recieved error %i for X5", failedSend);
  }

  const std::uint8_t type = sdi->typeCode;
  if (type == 'y' || type == 'w' || IsBremoLike(type)) {
    std::string_view xb = sdi->calibration2.view();
    Status xbResult;
    built = BuildCommand(command, "?Xb", xb);
    if (built != CommandBuild::kOk) {
      LogRefusedCommand(sdi, "SDISetSensorCalibration", "Xb calibration", xb, built);
      xbResult = kBadArgument;
    } else {
      Status failedSend = 0;
      xbResult = ConfirmedWrite(sdi, command, &failedSend);
      if (xbResult == kOk) {
        SdiLog(sdi, "SDISetSensorCalibration successfully set sensor Xb calibration to \"%s\"",
               sdi->calibration2.c_str());
      }
      if (failedSend < 0) {
        SdiLog(sdi, "SDISetSensorCalibration recieved error %i for Xb", failedSend);
      }
    }
    // The first failure stands unless the sensor reported one of its own in the Xb step.
    if (xbResult == kOk || (xbResult == kNoAttempt && result < 0)) {
      if (result >= 0) result = kOk;
    } else {
      result = xbResult;
    }
  }

  if (result != kOk) SdiLog(sdi, "SDISetSensorCalibration did not set sensor calibration");
  return result;
}

Status SDISetSensorSN(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  if (sdi->serialNumber.empty()) {
    SdiLog(sdi, "SDISetSensorSN didn't find a valid serial number");
    return kNothingDone;
  }
  char command[kSdiCommandBufferSize];
  CommandBuild built = BuildCommand(command, "?X#", sdi->serialNumber.view());
  if (built != CommandBuild::kOk) {
    LogRefusedCommand(sdi, "SDISetSensorSN", "serial number", sdi->serialNumber.view(), built);
    return kBadArgument;
  }
  Status failedSend = 0;
  Status result = ConfirmedWrite(sdi, command, &failedSend);
  if (result == kOk) {
    SdiLog(sdi, "SDISetSensorSN successfully set sensor serial number to \"%s\"",
           sdi->serialNumber.c_str());
  }
  if (failedSend < 0) {
    SdiLog(sdi, "SDISetSensorSN recieved error %i setting serial number.", failedSend);
  }
  return result;
}

bool SDISettingsFit(const SdiSensorLink* sdi, std::string* problem) {
  if (!sdi) return false;
  struct Value {
    const char* prefix;
    const char* what;
    std::string_view text;
    bool used;
  };
  const std::uint8_t type = sdi->typeCode;
  const Value values[] = {
      {"?X#", "serial number", sdi->serialNumber.view(), true},
      {"?X5", "calibration", sdi->calibration.view(), true},
      {"?Xb", "second calibration", sdi->calibration2.view(),
       type == 'y' || type == 'w' || IsBremoLike(type)},
  };
  for (const Value& v : values) {
    if (!v.used || v.text.empty()) continue;
    char command[kSdiCommandBufferSize];
    const CommandBuild built = BuildCommand(command, v.prefix, v.text);
    if (built == CommandBuild::kOk) continue;
    if (problem) {
      char text[160];
      if (built == CommandBuild::kTooLong) {
        std::snprintf(text, sizeof text,
                      "its %s has %u characters, more than the %u a command takes", v.what,
                      static_cast<unsigned>(v.text.size()),
                      static_cast<unsigned>(kSdiCommandBufferSize - std::strlen(v.prefix) - 2));
      } else {
        std::snprintf(text, sizeof text, "its %s holds a character that ends a command", v.what);
      }
      *problem = text;
    }
    return false;
  }
  return true;
}

Status SDIRestoreInfo(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  // Every setting is tried; the first failure is what the caller hears of.
  Status serial = SDISetSensorSN(sdi);
  Status address = SDISetSensorAddress(sdi, sdi->address);
  Status calibration = SDISetSensorCalibration(sdi, nullptr);
  if (calibration < 0) return calibration;
  if (address < 0) return address;
  if (serial < 0) return serial;
  return kOk;
}

Status SDISetSensorType(SdiSensorLink* sdi, std::uint32_t code) {
  if (!sdi) return kMissingArgument;
  const std::uint8_t stored = sdi->typeCode;
  auto storedIsOneOf = [stored](const char* members) {
    return stored != 0 && std::strchr(members, static_cast<char>(stored)) != nullptr;
  };

  std::uint32_t send = code;
  if (code == kSensorFamilyLurra) {
    if (!storedIsOneOf("sron")) {
      SdiLog(sdi, "SDISetSensorType didn't get a valid Lurra Sensor type (%c)", Printable(stored));
      return kNotRecognised;
    }
    send = stored;
  } else if (code == kSensorFamilyFesko) {
    if (!storedIsOneOf("yl")) {
      SdiLog(sdi, "SDISetSensorType didn't get a valid Fesko Sensor type (%c)", Printable(stored));
      return kNotRecognised;
    }
    send = stored;
  } else if (code == kSensorFamilyHarvo) {
    if (!storedIsOneOf("tji")) {
      SdiLog(sdi, "SDISetSensorType didn't get a valid Harvo Sensor type (%c)", Printable(stored));
      return kNotRecognised;
    }
    send = stored;
  }
  // A type travels as one visible character; "!" would end the command early.
  if (send <= ' ' || send > 127 || send == '!') {
    SdiLog(sdi, "SDISetSensorType didn't get a valid sensor type (%c)", Printable(send));
    return kBadArgument;
  }

  const char typeChar = static_cast<char>(send);
  char command[kSdiCommandBufferSize];
  std::snprintf(command, sizeof command, "?X9 %c!", typeChar);
  Reply reply;
  Status rc = Send(sdi, command, &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDISetSensorType recieved error %i", rc);
    return rc;
  }
  if (reply.Contains("OK")) {
    SdiLog(sdi, "SDISetSensorType successfully set sensor type to \"%c\"", typeChar);
    return kOk;
  }
  SdiLog(sdi, "SDISetSensorType could not set sensor type to \"%c\"", typeChar);
  return kNotRecognised;
}

Status SDIInvokeQuendal(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  if (!sdi->link) return kNoAnswer;
  // One short try: a sensor already in its loader would only be probed needlessly.
  const std::uint32_t retries = sdi->retryCount;
  const std::uint32_t timeout = sdi->replyTimeoutMs;
  sdi->retryCount = kLoaderStartRetryCount;
  sdi->replyTimeoutMs = kLoaderStartTimeoutMs;
  Reply reply;
  Send(sdi, "?B!", &reply);
  sdi->retryCount = retries;
  sdi->replyTimeoutMs = timeout;

  if (reply.Contains("No BSL")) {
    SdiLog(sdi, "SDIInvokeQuendal: sensor reported a missing Quendal");
    return kNoSensorLoader;
  }
  // Silence is no failure here: the sensor may already be waiting in its loader.
  for (char byte : {']', 'P'}) {
    std::uint32_t written = 0;
    Status rc = DSWrite(sdi->link, &byte, 1, &written);
    if (rc < 0) {
      SdiLog(sdi, "SDIInvokeQuendal could not write '%c' to the comm device (%d)", byte, rc);
      return rc;
    }
    DSSleep(kLoaderBytePauseMs);
  }
  return kOk;
}

Status SDICheckBinary(SdiSensorLink* sdi) {
  if (!sdi) return kMissingArgument;
  Reply reply;
  Status rc = Send(sdi, "?post!", &reply);
  if (rc < 0) {
    SdiLog(sdi, "SDICheckBinary recieved error %i", rc);
    return rc;
  }
  if (reply.Contains("Code Good")) {
    SdiLog(sdi, "SDICheckBinary found good firmware");
    return kOk;
  }
  if (reply.Contains("Code Corrupt")) {
    SdiLog(sdi, "SDICheckBinary found corrupt firmware");
    return kFirmwareCorrupt;
  }
  SdiLog(sdi, "SDICheckBinary unable to check firmware");
  return kRefused;
}

}  // namespace quendal
