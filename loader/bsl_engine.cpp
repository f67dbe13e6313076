#include "loader/bsl_engine.h"

#include <cstdio>
#include <cstring>

#include "host/timing.h"
#include "loader/image_fit.h"

namespace quendal {
namespace {

constexpr const char* kSource = "Quendal";
constexpr std::uint32_t kRetryPauseMs = 175;
constexpr std::uint32_t kCommandWaitMs = 1000;
constexpr std::uint32_t kCommandReplyBytes = 20;
constexpr std::uint32_t kShellReplyBytes = 31;
constexpr std::uint32_t kLoaderBaud = 9600;
constexpr std::uint32_t kBlockChars = 512;
constexpr std::uint32_t kBlockAddressStep = 0x100;

DiagnosticLog* Log(HostBSL* host) {
  return host->log;
}

bool Contains(const char* text, const char* what) {
  return std::strstr(text, what) != nullptr;
}

// Reads what the device sent into a small zero-terminated buffer.
Status ReadShort(HostBSL* host, char (&buffer)[kShellReplyBytes + 1]) {
  std::uint32_t got = 0;
  Status rc = DSRead(&host->link, buffer, kShellReplyBytes, &got);
  buffer[rc < 0 ? 0 : got] = '\0';
  return rc;
}

Status WriteText(HostBSL* host, const char* text) {
  std::uint32_t written = 0;
  return DSWrite(&host->link, text, static_cast<std::uint32_t>(std::strlen(text)), &written);
}

// Writes `text`, gives the device `waitMs` to answer and reads what came.
Status Say(HostBSL* host, const char* text, std::uint32_t waitMs,
           char (&reply)[kShellReplyBytes + 1]) {
  reply[0] = '\0';
  Status io = WriteText(host, text);
  if (io < 0) return io;
  DSSleep(waitMs);
  return ReadShort(host, reply);
}

// The closing line of a handshake; a loader found already active counts as success.
Status LogHandshake(HostBSL* host, const char* operation, Status rc, std::uint32_t attempts) {
  if (rc > 0) {
    LogPrint(Log(host), kLogStep, kSource, "%s successful (%d tries)", operation,
             static_cast<int>(attempts));
  } else if (rc == kLoaderActive) {
    LogPrint(Log(host), kLogStep, kSource, "%s found the Quendal already active", operation);
    rc = kOk;
  } else {
    LogPrint(Log(host), kLogFailure, kSource, "%s failed with error %d", operation, rc);
  }
  return rc;
}

// Sends one frame up to `tries` times, 175 ms apart; the last attempt's result stands.
template <typename Send>
Status WithAttempts(HostBSL* host, Send send) {
  Status rc = kNoAttempt;
  for (std::uint32_t attempt = 0; attempt < host->tries; ++attempt) {
    if (attempt > 0) DSSleep(kRetryPauseMs);
    rc = send();
    if (rc > 0) break;
  }
  return rc;
}

bool ReportProgress(HostBSL* host, std::uint32_t total, std::uint32_t done, int phase, char kind) {
  if (!host->reportProgress || !host->progress) return true;
  return host->progress(total, done, phase, kind) != 0;
}

// Common tail of BSLCommand and BSLCommandValues: send the frame in the command buffer
// once and collect the reply. Returns the failure of the exchange (0 when none) and the
// number of reply bytes.
Status Exchange(HostBSL* host, std::size_t frameLength, char terminator, char* reply,
                std::uint32_t* replyBytes) {
  Status failure = 0;
  *replyBytes = 0;
  DSFlush(&host->link, 1);
  std::uint32_t written = 0;
  Status rc = DSWrite(&host->link, host->commandBuffer.data(),
                      static_cast<std::uint32_t>(frameLength), &written);
  host->frameUnsent = rc < 0 || written < frameLength;
  if (rc >= 0 && written < frameLength) rc = kNoAnswer;
  if (rc < 0) {
    LogPrint(Log(host), kLogFailure, kSource,
             "BSLCommand got unexpected response (%d) from DCommWrite", rc);
    failure = rc;
  } else {
    rc = DSWait(&host->link, kCommandWaitMs, terminator);
    if (rc < 0) {
      LogPrint(Log(host), kLogFailure, kSource,
               "BSLCommand got unexpected response (%d) from DCommWait", rc);
      failure = rc;
    } else {
      rc = DSRead(&host->link, reply, kCommandReplyBytes, replyBytes);
      if (rc < 0) {
        LogPrint(Log(host), kLogFailure, kSource,
                 "BSLCommand got unexpected response (%d) from DCommRead", rc);
        failure = rc;
        *replyBytes = 0;
      }
    }
  }
  reply[*replyBytes] = '\0';
  if (*replyBytes == 0) failure = kNoAnswer;
  return failure;
}

// Run before the first frame that changes the device's memory.
Status GuardImage(HostBSL* host, const char* operation) {
  if (!host->target || host->target->flashEnd == 0) return kOk;
  std::string why;
  Status rc = CheckImageFits(*host, *host->target, &why);
  if (rc < 0)
    LogPrint(Log(host), kLogFailure, kSource, "%s refused the image: %s", operation, why.c_str());
  return rc;
}

}  // namespace

HostBSL::~HostBSL() {
  if (portLent) {
    BSLTakeBack(this);
  } else if (connected) {
    DSClose(&link);
    connected = false;
  }
}

std::uint32_t FrameChecksum(char letter, const char* payload, std::size_t length) {
  std::uint32_t sum = static_cast<unsigned char>(letter) + static_cast<unsigned char>('.');
  for (std::size_t i = 0; i < length; ++i) sum += static_cast<unsigned char>(payload[i]);
  return sum % 65535;
}

std::size_t BuildFrame(char letter, const char* payload, std::size_t length, char* out,
                       std::size_t capacity) {
  const std::size_t frameLength = 1 + length + 1 + 4 + 1;
  if (capacity < frameLength + 1) return 0;
  out[0] = letter;
  if (length > 0) std::memcpy(out + 1, payload, length);
  std::snprintf(out + 1 + length, capacity - 1 - length, "%c%04X\r", '.',
                static_cast<unsigned>(FrameChecksum(letter, payload, length)));
  return frameLength;
}

std::size_t FormatFrameValues(const std::uint32_t* values, std::size_t count, bool extended,
                              char* out, std::size_t capacity) {
  const std::size_t width = extended ? 5 : 4;
  if (capacity < count * width + 1) return 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(out + i * width, capacity - i * width, extended ? "%05X" : "%04X",
                  static_cast<unsigned>(values[i]));
  }
  out[count * width] = '\0';
  return count * width;
}

Status ClassifyLoaderReply(const char* reply, std::uint32_t got, Status failure, bool valueFrame) {
  // Only what the loader itself sends counts: "+" acknowledges, "-" and "?" refuse. Line
  // noise (a baud mismatch gives 0xF0 and the like) is no answer at all.
  if (got == 0 || !reply) return failure ? failure : kNoAnswer;
  if (reply[0] == '+' || (got > 1 && reply[1] == '+')) return static_cast<Status>(got);
  if (reply[0] == '?' || reply[0] == '-') return kRefused;
  if (!valueFrame && reply[0] == '\r') return kRefused;
  if (valueFrame && Contains(reply, "ERROR")) return kRefused;
  return failure ? failure : kRefused;
}

int LoaderVersionFromReply(const char* reply) {
  int version = 0;
  if (!reply || std::sscanf(reply, "+%d+", &version) != 1) return 0;
  return version > 0 ? version : 0;  // "+-5+" must not pass for a failure code
}

Status BSLCommand(HostBSL* host, char letter, const char* payload, std::uint32_t length,
                  char terminator, char* reply, std::uint32_t* elapsedMs) {
  if (!host->connected) return kNoAnswer;
  if (length > kMaxFramePayload) return kBadArgument;
  if (!reply || (letter != 'g' && (!payload || length == 0))) return kMissingArgument;

  std::size_t frameLength =
      BuildFrame(letter, payload, length, host->commandBuffer.data(), host->commandBuffer.size());
  std::uint32_t start = DSTicks();
  std::uint32_t got = 0;
  Status failure = Exchange(host, frameLength, terminator, reply, &got);
  if (elapsedMs) *elapsedMs = DSTicks() - start;

  return ClassifyLoaderReply(reply, got, failure, false);
}

Status BSLCommandValues(HostBSL* host, char letter, const std::uint32_t* values,
                        std::uint32_t count, char terminator, char* reply, std::uint32_t* elapsedMs,
                        bool extended) {
  if (!host->connected) return kNoAnswer;
  if (count > kMaxFrameValues) return kBadArgument;
  if (!reply || (count > 0 && !values)) return kMissingArgument;

  char payload[kMaxFrameValues * 5 + 1];
  std::size_t length = FormatFrameValues(values, count, extended, payload, sizeof payload);
  std::size_t frameLength =
      BuildFrame(letter, payload, length, host->commandBuffer.data(), host->commandBuffer.size());
  std::uint32_t start = DSTicks();
  std::uint32_t got = 0;
  Status failure = Exchange(host, frameLength, terminator, reply, &got);
  if (elapsedMs) *elapsedMs = DSTicks() - start;

  return ClassifyLoaderReply(reply, got, failure, true);
}

Status BSLConnect(HostBSL* host, const char* portName, std::uint32_t rate, bool reportProgress,
                  std::uint32_t tries) {
  if (!portName || !*portName) return kMissingArgument;
  host->reportProgress = reportProgress;
  host->tries = tries;
  Status rc = DSOpen(&host->link, portName, kLoaderBaud);
  if (rc < 0) {
    DSClose(&host->link);  // a port that opened but took no settings stays open otherwise
    LogPrint(Log(host), kLogFailure, kSource,
             "BSLConnect received error while opening serial port (%d)", rc);
    return rc;
  }
  host->connected = true;
  host->portLent = false;
  DSSleep(1000);

  rc = kNoAttempt;
  for (std::uint32_t pass = 0; pass < tries; ++pass) {
    Status invoked = BSLInvocation(host, rate);
    if (invoked < 0) {
      Status found = BSLCheck(host, portName, rate);
      // A loader left waiting at its own speed never heard the boot command at 9600: it
      // takes the handshake where it listens.
      if (found == kLoaderWaiting && BSLAttach(host) > 0) found = kLoaderActive;
      if (found != kLoaderActive) {
        rc = invoked;
        break;
      }
    }
    char reply[kLoaderReplySize];
    rc = BSLCommand(host, 'g', nullptr, 0, '\r', reply, nullptr);
    if (rc < 0 || Contains(reply, "ERROR")) {
      if (rc >= 0) rc = kHandshakeFailed;
      DSSleep(kRetryPauseMs);
      continue;
    }
    if (int version = LoaderVersionFromReply(reply); version != 0) {
      host->loaderVersion = version;
      rc = version;
    } else {
      rc = kOk;
    }
    break;
  }

  if (rc < 0) {
    BSLDisconnect(host);
    LogPrint(Log(host), kLogFailure, kSource, "BSLConnect failed to connect to device (error %d)",
             rc);
  } else {
    LogPrint(Log(host), kLogStep, kSource,
             "BSLConnect connected to device running Quendal version %d", host->loaderVersion);
  }
  return rc;
}

Status BSLDisconnect(HostBSL* host) {
  if (!host->connected) return 0;
  Status rc = DSClose(&host->link);
  host->connected = false;
  DSSleep(100);
  return rc;
}

Status BSLHandOff(HostBSL* host, PortHandle handle, char* readBuffer, const char* portName,
                  bool reportProgress, std::uint32_t tries) {
  if (!readBuffer || !portName) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLHandOff called with some NULL parameters");
    return kBadArgument;
  }
  // A port of our own is not left open behind the borrowed one.
  if (host->connected && !host->portLent) BSLDisconnect(host);
  if (host->link.bufferOwned) DSClose(&host->link);
  host->link.handle = handle;
  host->link.readBuffer = readBuffer;
  host->link.bufferOwned = false;
  host->link.terminatorSeen = false;
  host->link.portName.Set(portName);
  host->link.baud = kLoaderBaud;
  host->tries = tries == 0 ? 3 : tries;
  host->reportProgress = reportProgress;
  host->connected = true;
  host->portLent = true;
  return kOk;
}

Status BSLTakeBack(HostBSL* host) {
  if (host->portLent || !host->connected) {
    host->link.handle = kPortClosed;
    host->link.readBuffer = nullptr;
    host->link.bufferOwned = false;
    host->link.terminatorSeen = false;
    host->connected = false;
    host->portLent = false;
  }
  return kOk;
}

Status BSLInvocation(HostBSL* host, std::uint32_t rate) {
  char reply[kShellReplyBytes + 1];
  Status rc = kNoAttempt;  // stays so when no attempt is made
  for (std::uint32_t attempt = 0; attempt < host->tries; ++attempt) {
    DSFlush(&host->link, 1);
    if (rate != kLoaderBaud) DSHostBaud(&host->link, kLoaderBaud);
    char boot[32];
    std::snprintf(boot, sizeof boot, "boot %s\r", "ZAVE");
    Status io = Say(host, boot, 750, reply);
    if (io < 0) {
      rc = io;
      break;
    }
    if (Contains(reply, "ERROR")) {
      rc = kHandshakeFailed;
      DSSleep(kRetryPauseMs);
      continue;
    }
    if (Contains(reply, "Quendal MISSING")) {
      rc = kNoLoader;
      break;
    }
    if (Contains(reply, "?")) {
      rc = kLoaderActive;
      break;
    }
    if (reply[0] == '\0') {
      // Silence is a device that did not hear, not one without a loader.
      rc = kHandshakeFailed;
      DSSleep(kRetryPauseMs);
      continue;
    }
    if (Contains(reply, "OK") || Contains(reply, "$$") || attempt == 0) rc = kOk;
    break;
  }

  std::uint32_t handshakes = 0;
  if (rc > 0) {
    if (rate != kLoaderBaud) DSHostBaud(&host->link, rate);
    for (std::uint32_t attempt = 0; attempt < host->tries; ++attempt) {
      ++handshakes;
      Status io = Say(host, "\r", 100, reply);
      if (io < 0) {
        rc = io;
        break;
      }
      if (reply[0] != '$') {
        rc = reply[0] == '\0' ? kHandshakeFailed : kNoLoader;
        continue;
      }
      DSFlush(&host->link, 1);
      io = Say(host, "P", 100, reply);
      if (io < 0) {
        rc = io;
        break;
      }
      if (Contains(reply, "#")) {
        rc = kOk;
        break;
      }
      rc = kHandshakeFailed;
      DSSleep(kRetryPauseMs);
    }
  }
  return LogHandshake(host, "BSLInvocation", rc, handshakes);
}
Status BSLAttach(HostBSL* host) {
  char reply[kShellReplyBytes + 1];
  Status rc = kNoAttempt;
  std::uint32_t attempts = 0;
  for (std::uint32_t attempt = 0; attempt < host->tries; ++attempt) {
    ++attempts;
    DSFlush(&host->link, 1);
    Status io = Say(host, "\r", 200, reply);
    if (io < 0) {
      rc = io;
      break;
    }
    if (Contains(reply, "?\r")) {
      rc = kLoaderActive;
      break;
    }
    DSFlush(&host->link, 1);
    io = Say(host, "P", kRetryPauseMs, reply);
    if (io < 0) {
      rc = io;
      break;
    }
    if (reply[0] == '#') {
      rc = kOk;
      break;
    }
    rc = kHandshakeFailed;
    DSSleep(kRetryPauseMs);
  }
  return LogHandshake(host, "BSLAttach", rc, attempts);
}

Status BSLCheck(HostBSL* host, const char* portName, std::uint32_t rate) {
  const bool opened = !host->connected;
  if (opened) {
    Status rc = DSOpen(&host->link, portName, rate);
    if (rc < 0) {
      DSClose(&host->link);  // a port that opened but took no settings stays open otherwise
      LogPrint(Log(host), kLogFailure, kSource,
               "BSLCheck received error while opening serial port (%d)", rc);
      return rc;
    }
    host->connected = true;
    host->portLent = false;
  } else {
    DSHostBaud(&host->link, rate);
  }
  DSSleep(1000);
  DSFlush(&host->link, 1);
  char reply[kShellReplyBytes + 1];
  Status rc = Say(host, "\r", 200, reply);
  // A port opened only for this probe is kept only when a loader answered on it.
  if (opened && (rc < 0 || (!Contains(reply, "?") && !Contains(reply, "$")))) BSLDisconnect(host);
  if (rc < 0) return rc;
  if (Contains(reply, "?")) {
    LogPrint(Log(host), kLogStep, kSource, "BSLCheck found the Quendal already active");
    return kLoaderActive;
  }
  if (Contains(reply, "$")) {
    LogPrint(Log(host), kLogStep, kSource, "BSLCheck found the Quendal waiting for a connection");
    return kLoaderWaiting;
  }
  LogPrint(Log(host), kLogDetail, kSource, "BSLCheck didn't get a response from the Quendal");
  return kNoAnswer;
}

Status BSLSendAddress(HostBSL* host, std::uint32_t address, bool extended) {
  char payload[16];
  std::snprintf(payload, sizeof payload, extended ? "%05X" : "%04X", address);
  const auto length = static_cast<std::uint32_t>(std::strlen(payload));
  Status rc = WithAttempts(host, [&] {
    char reply[kLoaderReplySize];
    return BSLCommand(host, '@', payload, length, '\r', reply, nullptr);
  });
  if (rc < 0) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLSendAddress (%05X) failed with error %d", address,
             rc);
  } else {
    LogPrint(Log(host), kLogStep, kSource, "BSLSendAddress (%05X) successful", address);
  }
  return rc;
}

namespace {

// One "W" block, retried with its address sent again before every retry so that the
// loader writes it at the right place.
Status SendBlock(HostBSL* host, std::uint32_t address, std::uint32_t length, bool extended) {
  // A block that would run into the loader's area is never sent, whatever the image says.
  if (address < kLoaderAreaStart && address + length / 2 > kLoaderAreaStart) return kBadArgument;
  Status rc = kNoAttempt;
  for (std::uint32_t attempt = 0; attempt < host->tries; ++attempt) {
    if (attempt > 0) {
      DSSleep(kRetryPauseMs);
      Status addressed = BSLSendAddress(host, address, extended);
      if (addressed < 0) return addressed;
    }
    char reply[kLoaderReplySize];
    rc = BSLCommand(host, 'W', host->dataBuffer.data(), length, '\r', reply, nullptr);
    if (rc > 0) break;
  }
  return rc;
}

}  // namespace

Status BSLSendFirmware(HostBSL* host, bool extended) {
  const std::uint32_t start = DSTicks();
  if (host->imageText.empty() || host->imageTextLength == 0) return kMissingArgument;
  if (host->imageText[0] != '@') return kBadArgument;
  if (Status fits = GuardImage(host, "BSLSendFirmware"); fits < 0) return fits;

  const std::uint32_t length = std::min<std::uint32_t>(
      host->imageTextLength, static_cast<std::uint32_t>(host->imageText.size()));
  const char* text = host->imageText.data();
  std::uint32_t p = 0;
  std::uint32_t n = 0;
  std::uint32_t address = 0;
  Status rc = kOk;

  while (p < length && rc >= 0) {
    if (p % kBlockChars == 0 && !ReportProgress(host, length, p, 1, 'W')) {
      rc = kCancelled;
      break;
    }
    if (text[p] == '@') {
      if (n > 0) {
        rc = SendBlock(host, address, n, extended);
        if (rc < 0) break;
        n = 0;
      }
      if (p + 6 > length) {
        rc = kBadArgument;
        break;
      }
      char digits[6] = {};
      std::memcpy(digits, text + p + 1, 5);
      unsigned parsed = 0;
      if (std::sscanf(extended ? digits : digits + 1, "%X", &parsed) != 1) {
        rc = kBadArgument;
        break;
      }
      address = parsed;
      rc = BSLSendAddress(host, address, extended);
      if (rc < 0) break;
      p += 6;
      n = 0;
      continue;
    }
    host->dataBuffer[n++] = text[p++];
    if (n == kBlockChars) {
      rc = SendBlock(host, address, n, extended);
      if (rc < 0) break;
      address += kBlockAddressStep;
      n = 0;
    }
  }
  if (rc >= 0 && n > 0) rc = SendBlock(host, address, n, extended);

  ReportProgress(host, length, length, 2, 'W');
  const int seconds = static_cast<int>((DSTicks() - start) / 1000);
  if (rc < 0) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLSendFirmware failed with error %d (%d s)", rc,
             seconds);
  } else {
    LogPrint(Log(host), kLogStep, kSource, "BSLSendFirmware successful (%d s)", seconds);
  }
  return rc;
}

Status BSLSendVectors(HostBSL* host) {
  DSSleep(50);
  std::uint32_t words[kVectorCount];
  for (std::uint32_t i = 0; i < kVectorCount; ++i) words[i] = host->vectors[i] & 0xFFFF;
  char reply[kLoaderReplySize] = {};
  Status rc = WithAttempts(host, [&] {
    return BSLCommandValues(host, 'V', words, kVectorCount, '+', reply, nullptr, false);
  });
  // The loader's own refusal fails the step as any frame's does. Silence, or what a
  // restarted firmware says, is no refusal: the device may start its new firmware before
  // it answers.
  if (rc <= 0 && (reply[0] == '-' || reply[0] == '?')) {
    rc = kRefused;
  } else if (rc <= 0 && host->frameUnsent) {
    // A frame the port never carried cannot have restarted anything.
    LogPrint(Log(host), kLogFailure, kSource, "BSLSendVectors could not send the vectors");
    rc = rc < 0 ? rc : kNoAnswer;
  } else if (rc <= 0) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLSendVectors with digital sensor didn't hear ACK");
    rc = 0;
  }
  if (rc < 0) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLSendVectors failed with error %d", rc);
  } else {
    LogPrint(Log(host), kLogStep, kSource, "BSLSendVectors successful");
  }
  return rc;
}

Status BSLEraseINFO(HostBSL* host, std::uint32_t start, std::uint32_t count,
                    std::uint32_t segmentSize, bool extended) {
  const std::uint32_t begin = DSTicks();
  std::uint32_t address = start;
  Status rc = GuardImage(host, "BSLEraseINFO");
  if (rc > 0) rc = 0;
  for (std::uint32_t i = 0; i < count && rc >= 0; ++i) {
    const std::uint32_t segment = address;
    rc = WithAttempts(host, [&] {
      char reply[kLoaderReplySize];
      return BSLCommandValues(host, 'X', &segment, 1, '\r', reply, nullptr, extended);
    });
    address += segmentSize;
    if (rc <= 0) {
      if (rc == 0) rc = kNoAttempt;
      break;
    }
  }
  const long ms = static_cast<long>(DSTicks() - begin);
  if (rc < 0) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLEraseINFO failed with error %d (%ld ms)", rc, ms);
  } else {
    LogPrint(Log(host), kLogStep, kSource, "BSLEraseINFO successful: %d segments @ %X (%ld ms)",
             static_cast<int>(count), address, ms);
  }
  return rc;
}

Status BSLEraseFlash(HostBSL* host, std::uint32_t start, std::uint32_t end, bool extended) {
  if (start >= kLoaderAreaStart && start <= kLoaderAreaEnd) return kBadArgument;
  const std::uint32_t begin = DSTicks();
  const std::uint32_t total = end > start ? (end - start) / kFlashSegmentSize : 0;
  Status rc = start < end ? GuardImage(host, "BSLEraseFlash") : 0;
  std::uint32_t segmentIndex = 0;
  for (std::uint32_t a = start; a < end && rc >= 0; ++segmentIndex) {
    if (segmentIndex % 10 == 0 &&
        !ReportProgress(host, total, (a - start) / kFlashSegmentSize, 1, 'X')) {
      rc = kCancelled;
      break;
    }
    const std::uint32_t segment = a;
    rc = WithAttempts(host, [&] {
      char reply[kLoaderReplySize];
      return BSLCommandValues(host, 'X', &segment, 1, '\r', reply, nullptr, extended);
    });
    if (rc <= 0) {
      if (rc == 0) rc = kNoAttempt;
      break;
    }
    a += kFlashSegmentSize;
    if (a >= kLoaderAreaStart && a <= kLoaderAreaEnd) a = 0x10000;
  }
  if (start < end && rc != kImageDoesNotFit) ReportProgress(host, total, total, 2, 'X');
  const long seconds = static_cast<long>((DSTicks() - begin) / 1000);
  if (rc < 0) {
    LogPrint(Log(host), kLogFailure, kSource, "BSLEraseFlash failed with error %d (%ld s)", rc,
             seconds);
  } else {
    LogPrint(Log(host), kLogStep, kSource, "BSLEraseFlash successful: segment %X to %X (%ld s)",
             start, end, seconds);
  }
  return rc;
}

}  // namespace quendal
