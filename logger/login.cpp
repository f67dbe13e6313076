// Opening and closing a connection: login over a serial line or the radio.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/timing.h"
#include "logger/command_util.h"
#include "logger/logger_link.h"
#include "logger/maintenance.h"

namespace quendal {

using namespace logger_detail;

namespace {

constexpr std::uint32_t kQueryTimeoutMs = 3000;
constexpr std::uint32_t kAfterQueryPauseMs = 2500;
constexpr std::uint32_t kLoginTimeoutMs = 1100;
constexpr std::uint32_t kWakePackets = 909;
constexpr std::uint32_t kWakePauseMs = 55;
constexpr std::uint32_t kLogoutPauseMs = 100;
constexpr std::uint32_t kLogoutReadBytes = 31;
constexpr std::uint32_t kRadioConfigureRetries = 3;
constexpr std::uint32_t kRadioSetBits = 0x0C00;

Status WriteText(LoggerLink* link, const char* text) {
  std::uint32_t written = 0;
  return DSWrite(link, text, static_cast<std::uint32_t>(std::strlen(text)), &written);
}

bool IsListeningFailure(Status rc) {
  return rc == kNoAnswer || rc == kNoAttempt;
}

void EndConnection(LoggerLink* link) {
  DSClose(link);
  link->request.kind = kNoConnection;
}

Status SerialLogin(LoggerLink* link, std::uint8_t* baudCode) {
  Status rc = VerCommand(link, 1);
  if (rc == kNoAnswer) {
    LogPrint(link->log, kLogFailure, Source(link),
             "DeviceLogin: nothing is listening over the serial port");
    return kNothingListening;
  }
  if (rc < 0) {
    LogPrint(link->log, kLogFailure, Source(link), "DeviceLogin failed with error %d", rc);
    return rc;
  }
  // Unknown codes stay at the rate every connection starts with.
  const std::uint8_t code =
      (*baudCode == 0 || *baudCode >= BaudCodeTable.size()) ? kStartBaudCode : *baudCode;
  const std::uint32_t rate = BaudCodeTable[code];
  if ((link->info.capabilities & kCapBaud) && rate != link->baud) {
    Status set = SetBaudCommand(link, rate);
    if (set < 0) {
      LogPrint(link->log, kLogFailure, Source(link),
               "DeviceLogin: device didn't change baud rate (error %d)", set);
      *baudCode = kStartBaudCode;
    } else {
      Status host = DSHostBaud(link, rate);
      if (host < 0) {
        LogPrint(link->log, kLogFailure, Source(link),
                 "DeviceLogin: host reports it can't change baud (error %d)", host);
        return kNothingListening;
      }
      *baudCode = code;
    }
  } else {
    *baudCode = kStartBaudCode;
  }
  LogPrint(link->log, kLogDetail, Source(link),
           "DeviceLogin communicating with a device running %s at %d baud",
           link->info.version.c_str(), static_cast<int>(link->baud));
  return kOk;
}

Status RadioLogin(LoggerLink* link, const char* givenName, std::uint8_t* baudCode) {
  Status rc = kNoAnswer;
  bool loggedIn = false;
  for (int pass = 0; pass < 2 && !loggedIn; ++pass) {
    char name[9] = {};
    std::snprintf(name, sizeof name, "%s", givenName);
    bool ended = false;
    if (name[0] == '\0') {
      rc = QueryCommand(link, name, 1);
      if (IsListeningFailure(rc)) {
        name[0] = '\0';
      } else if (rc < 0) {
        ended = true;
      }
    }
    if (!ended && name[0] != '\0') {
      rc = LoginCommand(link, name);
      if (rc > 0) {
        link->info.name.Set(name);
        loggedIn = true;
      } else if (rc != kNoAnswer) {
        ended = true;
      }
    }
    if (ended) break;
    if (!loggedIn && pass == 0) SendWake(link);
  }
  if (IsListeningFailure(rc) || (rc > 0 && link->info.name.empty())) {
    LogPrint(link->log, kLogFailure, Source(link),
             "DeviceLogin: nothing is listening over the radio");
    return kNothingListening;
  }
  if (rc == kEcho) {
    LogPrint(link->log, kLogFailure, Source(link), "DeviceLogin thinks a relay must be active");
    return kRelayActive;
  }
  if (rc < 0) {
    LogPrint(link->log, kLogFailure, Source(link), "DeviceLogin failed with error %d", rc);
    return rc;
  }
  *baudCode = kStartBaudCode;
  LogPrint(link->log, kLogDetail, Source(link),
           "DeviceLogin communicating with a device running %s at %d baud",
           link->info.version.c_str(), static_cast<int>(link->baud));
  return kOk;
}

}  // namespace

LoggerLink::LoggerLink(DiagnosticLog* logTo) {
  log = logTo;
  readBuffer = readStorage.data();
}

LoggerLink::~LoggerLink() {
  if (request.kind != kNoConnection) {
    options.keepPortOpen = 0;
    DisconnectDevice(this, 0);
  }
  // The storage goes before the serial fields do.
  if (!bufferOwned) readBuffer = nullptr;
}

Status DeviceLogin(LoggerLink* link, const char* name, const char* /*password*/,
                   std::uint8_t* baudCode) {
  if (!link || !name || !baudCode) return kMissingArgument;
  if (link->baud != kDefaultBaud) {
    Status rc = DSHostBaud(link, kDefaultBaud);
    if (rc < 0) {
      LogPrint(link->log, kLogFailure, Source(link),
               "DeviceLogin: host reports it can't change baud (error %d)", rc);
      return kNothingListening;
    }
  }
  return IsRadio(link) ? RadioLogin(link, name, baudCode) : SerialLogin(link, baudCode);
}

Status QueryCommand(LoggerLink* link, char* nameOut, int mode) {
  if (!link || !nameOut) return kMissingArgument;
  if (mode == 0) return kMissingArgument;
  if (mode < 0) return kBadArgument;
  const std::uint32_t start = DSTicks();
  const std::uint32_t savedRetries = link->retries;
  link->retries = 1;
  Status result = kNoAnswer;
  bool heard = false;
  for (std::uint32_t attempt = 0; attempt < std::max<std::uint32_t>(savedRetries, 1); ++attempt) {
    if (mode == 1) {
      char answer[180];
      Status rc = Transact(link, "\rquery\r", '\r', kQueryTimeoutMs, answer);
      nameOut[0] = '\0';
      if (rc == kEcho) {
        result = rc;
        break;
      }
      if (rc < 0) {
        result = rc;
        continue;
      }
      std::size_t n = 0;
      while (n < 8 && answer[n] && answer[n] != '\r') ++n;
      std::memcpy(nameOut, answer, n);
      nameOut[n] = '\0';
      if (CheckDeviceName(link, nameOut) > 0) {
        heard = true;
        break;
      }
      nameOut[0] = '\0';
      result = kNotRecognised;
    } else {
      auto len = static_cast<std::uint32_t>(mode);
      Status rc = DeviceCommand(link, "\rquery\r", '>', kQueryTimeoutMs, nameOut, &len, nullptr);
      if (rc > 0 || rc == kBarePrompt) {
        heard = true;
        break;
      }
      result = rc;
      if (rc == kEcho) break;
    }
  }
  link->retries = savedRetries;

  if (heard) {
    LogPrint(link->log, kLogDetail, Source(link), "QueryCommand heard from: %s (%d ms)", nameOut,
             Since(start));
    DSSleep(kAfterQueryPauseMs);
    return kOk;
  }
  if (result == kEcho) {
    LogPrint(link->log, kLogFailure, Source(link),
             "QueryCommand is hearing \"query\" -- a relay must be active (%d ms)", Since(start));
    return kRelayActive;
  }
  if (result == kNoAnswer) {
    LogPrint(link->log, kLogDetail, Source(link),
             "QueryCommand didn't get any answers after %d tries (%d ms)",
             static_cast<int>(savedRetries), Since(start));
    return kNoAttempt;
  }
  LogPrint(link->log, kLogFailure, Source(link), "QueryCommand failed with error %d (%d ms)",
           result, Since(start));
  return result;
}

Status LoginCommand(LoggerLink* link, const char* name) {
  if (!link) return kMissingArgument;
  const std::size_t length = name ? std::strlen(name) : 0;
  if (length > 8) {
    LogPrint(link->log, kLogFailure, Source(link),
             "LoginCommand: Device name %s is wrong length (%d characters)", name,
             static_cast<int>(length));
    return kNameLength;
  }
  char command[20];
  if (length > 0)
    std::snprintf(command, sizeof command, "login %s\r", name);
  else
    std::snprintf(command, sizeof command, "login\r");
  char answer[10];
  Status rc = Transact(link, command, '>', kLoginTimeoutMs, answer);
  if (rc == kBarePrompt) return kOk;
  if (rc < 0) return rc;
  // The prompt may lie beyond what the small buffer holds; the link keeps all of it.
  return Contains(link->answer.data(), ">") ? kOk : kNotRecognised;
}

Status SendWake(LoggerLink* link) {
  if (!link) return kMissingArgument;
  std::uint32_t sent = 0;
  Status result = kOk;
  for (; sent < kWakePackets; ++sent) {
    Status rc = WriteText(link, "\r");
    if (rc < 0) {
      result = rc;
      break;
    }
    DSSleep(kWakePauseMs);
  }
  LogPrint(link->log, kLogDetail, Source(link), "SendWake sent %d packets", static_cast<int>(sent));
  return result;
}

Status ConnectDevice(LoggerLink* link, ConnectRequest* request) {
  if (!link || !request) return kMissingArgument;
  if (link->status == kOutOfMemory) return kOutOfMemory;
  link->info = LoggerInfo{};
  link->resets = 0;
  switch (request->kind) {
    case kSerialConnection:
    case kRadioConnection:
      break;
    case kNoConnection:
      return kBadArgument;
    case 20:
    case 40:
    case 100:
    case 110:
    case 120:
      return kUnsupportedKind;
    default:
      return kMissingArgument;
  }
  if (request->baudCode >= BaudCodeTable.size()) return kBadArgument;
  const bool radio = request->kind == kRadioConnection;
  link->retries = radio ? link->options.radioRetries : link->options.serialRetries;
  if (request->baudCode == 0) request->baudCode = kStartBaudCode;

  if (link->request.kind == kNoConnection) {
    Status rc = DSOpen(link, request->port.c_str(), kDefaultBaud);
    if (rc < 0) {
      DSClose(link);  // a failed configuration leaves the handle open
      return rc;
    }
  }
  link->request = *request;

  if (radio && request->configureRadio) {
    link->retries = kRadioConfigureRetries;
    std::uint32_t bits = kRadioSetBits;
    BoundedText<8> version;
    Status rc = RadmoConfig(link, &link->request.radioChannel, &link->request.radioSubchannel,
                            &version, 1, &bits);
    if (rc < 0) {
      if (!link->options.keepPortOpen) EndConnection(link);
      return kRadioConfigFailed;
    }
    link->retries = link->options.radioRetries;
  }

  Status rc = DeviceLogin(link, link->request.name.c_str(), link->request.password.c_str(),
                          &link->request.baudCode);
  request->baudCode = link->request.baudCode;
  if (rc < 0 && !link->options.keepPortOpen) EndConnection(link);
  return rc;
}

Status DisconnectDevice(LoggerLink* link, int quiet) {
  if (!link) return kMissingArgument;
  if (link->request.kind == kNoConnection) return kNothingDone;
  Status result = kOk;
  if (!IsRadio(link)) {
    if (link->baud != kDefaultBaud) SetBaudCommand(link, kDefaultBaud);
  } else if (!quiet) {
    char login[20];
    std::snprintf(login, sizeof login, "login %s\r", link->info.name.c_str());
    result = kNoAttempt;
    for (std::uint32_t attempt = 0; attempt < std::max<std::uint32_t>(link->retries, 1);
         ++attempt) {
      DSFlush(link, 1);
      WriteText(link, "logout\r");
      DSSleep(kLogoutPauseMs);
      WriteText(link, login);
      char heard[kLogoutReadBytes + 1];
      std::uint32_t count = 0;
      Status rc = DSRead(link, heard, kLogoutReadBytes, &count);
      // Silence after the login means the logger has left the radio connection.
      if (rc >= 0 && count == 0) {
        result = kOk;
        break;
      }
      LogPrint(link->log, kLogDetail, Source(link),
               "DisconnectDevice: Device didn't disconnect, retrying");
    }
  }

  link->info = LoggerInfo{};
  link->resets = 0;
  if (link->options.keepPortOpen) {
    Status rc = DSHostBaud(link, kDefaultBaud);
    if (rc < 0) {
      EndConnection(link);
      LogPrint(link->log, kLogFailure, Source(link),
               "DisconnectDevice: Error setting host baud rate; can't keep port open (error %d)",
               rc);
    }
  } else {
    EndConnection(link);
  }
  if (result > 0) LogPrint(link->log, kLogDetail, Source(link), "DisconnectDevice successful");
  return result;
}

}  // namespace quendal
