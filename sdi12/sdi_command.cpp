#include <cstring>

#include "host/timing.h"
#include "sdi12/sdi_internal.h"
#include "sdi12/sdi_sensor.h"

namespace quendal {
namespace {

constexpr char kWakeByte = '|';
constexpr std::uint32_t kWakeDelayMs = 175;
constexpr int kProbeWakeBytes = 3;
constexpr std::uint32_t kProbeWakeDelayMs = 30;
constexpr std::uint32_t kProbeWaitMs = 500;
constexpr const char* kProbe = "?!";

Status WriteText(DeviceLink* link, const char* text, std::uint32_t length) {
  std::uint32_t written = 0;
  return DSWrite(link, text, length, &written);
}

void ClearReceiveBuffer(SdiSensorLink* sdi) {
  sdi->receiveBuffer[0] = '\0';
}

// Takes what has arrived into the receive buffer and returns the driver's result.
Status ReadReply(SdiSensorLink* sdi, std::uint32_t* received) {
  char* buffer = sdi->receiveBuffer.data();
  std::uint32_t got = 0;
  Status rc = DSRead(sdi->link, buffer, kSdiReceiveBufferSize, &got);
  if (rc < 0) got = 0;
  // The line feed that ends a reply can trail its carriage return and so be collected
  // with the next reply; it belongs to neither.
  std::uint32_t skip = 0;
  while (skip < got && buffer[skip] == '\n') ++skip;
  if (skip > 0) std::memmove(buffer, buffer + skip, got - skip);
  got -= skip;
  buffer[got] = '\0';
  *received = got;
  return rc;
}

// Wakes the bus and asks whether any sensor is there. Returns the bytes of its answer
// (0: silence) or a negative driver code.
Status Probe(SdiSensorLink* sdi, std::uint32_t* received) {
  *received = 0;
  for (int i = 0; i < kProbeWakeBytes; ++i) {
    WriteText(sdi->link, &kWakeByte, 1);
    DSSleep(kProbeWakeDelayMs);
  }
  DSFlush(sdi->link, 1);
  ClearReceiveBuffer(sdi);
  Status rc = WriteText(sdi->link, kProbe, static_cast<std::uint32_t>(std::strlen(kProbe)));
  if (rc < 0) return rc;
  rc = DSWait(sdi->link, kProbeWaitMs, '\r');
  if (rc < 0) return rc;
  rc = ReadReply(sdi, received);
  return rc < 0 ? rc : static_cast<Status>(*received);
}

}  // namespace

Status SDISendCommand(SdiSensorLink* sdi, const char* command, char* reply, std::uint32_t* capacity,
                      std::uint32_t* elapsedMs) {
  if (elapsedMs) *elapsedMs = 0;
  std::uint32_t room = capacity ? *capacity : 0;
  if (capacity) *capacity = 0;
  if (reply && room > 0) reply[0] = '\0';
  if (!sdi || !command) return kMissingArgument;
  if (!sdi->link) return kNoAnswer;

  const std::uint32_t start = DSTicks();
  Status result = kNoAttempt;
  bool wake = true;
  std::uint32_t received = 0;
  const std::uint32_t commandLength = static_cast<std::uint32_t>(std::strlen(command));

  for (std::uint32_t attempt = 0; attempt < sdi->retryCount; ++attempt) {
    if (wake) {
      WriteText(sdi->link, &kWakeByte, 1);
      DSSleep(kWakeDelayMs);
      DSFlush(sdi->link, 1);
      ClearReceiveBuffer(sdi);
    }

    Status rc = WriteText(sdi->link, command, commandLength);
    if (rc < 0) {
      SdiLog(sdi, "SDISendCommand got unexpected response (%d) from DCommWrite", rc);
      result = rc;
      break;
    }
    SdiLog(sdi, "SDISendCommand sent \"%s\"", command);

    rc = DSWait(sdi->link, sdi->replyTimeoutMs, '\r');
    if (rc < 0) {
      SdiLog(sdi, "SDISendCommand got unexpected response (%d) from DCommWait", rc);
      result = rc;
      break;
    }
    rc = ReadReply(sdi, &received);
    if (rc < 0) {
      SdiLog(sdi, "SDISendCommand got unexpected response (%d) from DCommRead", rc);
      result = rc;
      break;
    }
    if (received > 0) {
      SdiLog(sdi, "SDISendCommand recieved \"%s\"", sdi->receiveBuffer.data());
      result = kOk;
      break;
    }

    // The command went unanswered; whatever the probe brings back is not its reply, so
    // the result stays "no reply" unless a later attempt gets one.
    std::uint32_t probeBytes = 0;
    rc = Probe(sdi, &probeBytes);
    if (rc < 0) {
      SdiLog(sdi, "SDISendCommand got unexpected response (%d) probing the sensor", rc);
      result = rc;
      break;
    }
    if (probeBytes == 0) {
      SdiLog(sdi, "SDISendCommand found no sensor answering \"%s\"", kProbe);
      result = kNoAnswer;
      break;
    }
    wake = !wake;
  }

  const std::uint32_t elapsed = DSTicks() - start;
  if (elapsedMs) *elapsedMs = elapsed;

  if (result < 0) {
    if (result == kNoAttempt) {
      SdiLog(sdi, "SDISendCommand got no reply to \"%s\" in %u attempts", command, sdi->retryCount);
    }
    ClearReceiveBuffer(sdi);
    return result;
  }
  if (!reply || room == 0) return static_cast<Status>(received);

  std::uint32_t copied = received < room - 1 ? received : room - 1;
  std::memcpy(reply, sdi->receiveBuffer.data(), copied);
  reply[copied] = '\0';
  *capacity = copied;
  if (copied < received) {
    SdiLog(sdi, "DeviceCommand got %d more bytes than expected (%s)",
           static_cast<int>(received - copied), command);
  }
  return static_cast<Status>(received);
}

}  // namespace quendal
