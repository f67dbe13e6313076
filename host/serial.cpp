// The DS operations: the serial driver's logic and log lines, the same on every system;
// the port itself is reached through serial_port.h.
#include "host/serial.h"

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <new>

#include "host/serial_port.h"
#include "host/timing.h"

namespace quendal {
namespace {

constexpr std::uint32_t kQueueBytes = 2048;
constexpr std::uint32_t kReopenPauseMs = 100;
constexpr std::uint32_t kSilentReadMs = 100;  // how long an empty read stands for
constexpr std::uint32_t kPauseAfterEmptyReads = 6;
constexpr std::uint32_t kPauseMinTimeoutMs = 400;
constexpr std::uint32_t kPauseMs = 200;
constexpr std::uint32_t kResponsiveSliceMs = 25;  // a window's longest wait for its messages

// A link after a failed open holds the invalid value; it must never reach the system.
bool IsOpen(const DeviceLink* link) {
  return link->handle != kPortClosed && link->handle != kPortInvalid;
}

const char* Source(const DeviceLink* link) {
  return link->portName.c_str();
}

void FreeOwnedBuffer(DeviceLink* link) {
  if (!link->bufferOwned) return;
  delete[] link->readBuffer;
  link->readBuffer = nullptr;
  link->bufferOwned = false;
}

// On the same clock as every other wait, so that a virtual clock drives the time-outs too.
int ElapsedMs(std::uint32_t since) {
  return static_cast<int>(DSTicks() - since);
}

}  // namespace

DeviceLink::~DeviceLink() {
  // No logging here: the log may already be gone when a link dies.
  if (IsOpen(this)) {
    port::DropDtr(handle);
    port::Close(handle);
    handle = kPortClosed;
  }
  FreeOwnedBuffer(this);
}

Status DSOpen(DeviceLink* link, const char* portName, std::uint32_t baud) {
  if (!link) return kMissingArgument;
  DiagnosticLog* log = link->log;
  const bool reopening = IsOpen(link);
  if (reopening) {
    if (log) {
      log->Print(kLogTrace, kSerialSource, "DSOpen found port \"%d\" already open",
                 static_cast<int>(link->handle));
    }
    DSClose(link);
  }
  // Whatever this port turns out to be, no wait is shortened until it says so itself; the
  // pause before a reopen neither, since the port reopened may be another one.
  DSSetDeviceTimeScale(1);
  if (reopening) DSSleep(kReopenPauseMs);
  // The stored name is cut for the log; the device is opened by its full name, since a
  // cut path could name another device.
  link->portName.Set(portName);
  PortHandle handle = kPortClosed;
  int err = port::Open(portName ? portName : "", &handle);
  if (err != 0) {
    link->handle = kPortInvalid;
    if (log)
      log->Print(kLogFailure, Source(link), "DSOpen failed to open comm port (error %d)", err);
    return -err;
  }
  link->handle = handle;

  err = port::SetQueueSizes(handle, kQueueBytes, kQueueBytes);
  if (err != 0 && log) {
    log->Print(kLogTrace, Source(link), "DSOpen failed to set buffer size on comm port (error %d)",
               err);
  }

  const std::uint32_t rate = baud ? baud : kDefaultBaud;
  port::ConfigureStep step = port::ConfigureStep::kGetSettings;
  err = port::Configure(handle, rate, &step);
  if (err == 0 || step != port::ConfigureStep::kGetSettings) link->baud = rate;
  if (err != 0) {
    if (log) {
      switch (step) {
        case port::ConfigureStep::kGetSettings:
          log->Print(kLogFailure, Source(link),
                     "DSOpen failed to retreive DCB on comm port (error %d)", err);
          break;
        case port::ConfigureStep::kApplySettings:
          log->Print(kLogFailure, Source(link),
                     "DSOpen failed to apply DCB on comm port (error %d)", err);
          break;
        case port::ConfigureStep::kTimeouts:
          log->Print(kLogFailure, Source(link),
                     "DSOpen failed to set timeouts on comm port (error %d)", err);
          break;
      }
    }
    return -err;
  }

  port::RaiseDtrAndClearErrors(handle);

  if (!link->readBuffer) {
    link->readBuffer = new (std::nothrow) char[kReadBufferBytes];
    if (!link->readBuffer) return kOutOfMemory;
    link->bufferOwned = true;
  } else {
    link->bufferOwned = false;
  }
  std::memset(link->readBuffer, 0, kReadBufferBytes);
  link->readLength = 0;
  link->terminatorSeen = false;
  const std::uint32_t scale = port::SimulatedTimeScale(handle);
  DSSetDeviceTimeScale(scale);
  if (scale > 1 && log) {
    log->Print(kLogDetail, Source(link), "DSOpen found a simulated device %u times faster",
               scale);
  }

  if (log) {
    log->Print(kLogDetail, Source(link),
               "DSOpen successfully opened and configured comm port at %d baud",
               static_cast<int>(link->baud));
  }
  return kOk;
}

bool DSPortInUse(Status rc) {
  return rc < 0 && port::IsInUseError(-rc);
}

bool DSPortMissing(Status rc) {
  return rc < 0 && port::IsMissingError(-rc);
}

bool DSPortDenied(Status rc) {
  return rc < 0 && port::IsDeniedError(-rc);
}

Status DSClose(DeviceLink* link) {
  if (!link) return kMissingArgument;
  if (!IsOpen(link)) {
    link->handle = kPortClosed;
    return kNothingDone;
  }
  port::DropDtr(link->handle);
  const int err = port::Close(link->handle);
  link->handle = kPortClosed;
  FreeOwnedBuffer(link);
  if (err != 0) {
    // The error file has always shown 1 here, whatever the system said.
    if (link->log)
      link->log->Print(kLogFailure, Source(link), "DSClose failed to close comm port (error %d)",
                       1);
    return kRefused;
  }
  if (link->log) link->log->Print(kLogDetail, Source(link), "DSClose closed comm port");
  return kOk;
}

Status DSWrite(DeviceLink* link, const void* bytes, std::uint32_t count, std::uint32_t* written) {
  std::uint32_t unusedCount;
  if (!written) written = &unusedCount;
  *written = 0;
  if (!link) return kMissingArgument;
  if (!IsOpen(link)) {
    if (link->log)
      link->log->Print(kLogFailure, kSerialSource, "DSWrite tried to write to a closed port");
    return kNoAnswer;
  }
  if (!bytes && count > 0) return kMissingArgument;
  const int err = port::Write(link->handle, bytes, count, written);
  if (err != 0) {
    if (link->log)
      link->log->Print(kLogFailure, Source(link), "DSWrite WriteFile failed (error %d)", err);
    return kNoAnswer;
  }
  // A short write is a failure: the device got a command cut in two.
  if (*written != count) {
    if (link->log) {
      link->log->Print(kLogFailure, Source(link), "DSWrite wrote only %u of %u bytes", *written,
                       count);
    }
    return kNoAnswer;
  }
  if (link->log)
    link->log->Print(kLogTrace, Source(link), "DSWrite wrote %d bytes", static_cast<int>(*written));
  return static_cast<Status>(*written);
}

namespace {

// Reads as port::ReadSome does (bytes at once, else up to 100 ms of silence), but waits in
// slices and runs the window's messages whenever a slice has passed since they last ran here,
// bytes or not, so a window never goes much longer than a slice without them, also across the
// exchanges of a long upload.
int ReadSomeResponsive(PortHandle handle, char* buffer, std::uint32_t capacity,
                       std::uint32_t* got) {
  thread_local std::uint32_t lastRun = DSTicks();
  *got = 0;
  const std::uint32_t start = DSTicks();
  for (;;) {
    bool ready = false;
    int err = port::WaitReadable(handle, kResponsiveSliceMs, &ready);
    if (err == 0 && ready) err = port::ReadSome(handle, buffer, capacity, got);
    const std::uint32_t now = DSTicks();
    if (now - lastRun >= kResponsiveSliceMs) {
      DSRunPendingMessages();
      lastRun = DSTicks();
    }
    if (err != 0 || ready || now - start >= kSilentReadMs) return err;
  }
}

}  // namespace

Status DSWait(DeviceLink* link, std::uint32_t timeoutMs, char terminator) {
  if (!link) return kMissingArgument;
  DiagnosticLog* log = link->log;
  if (!IsOpen(link)) {
    if (log) log->Print(kLogFailure, kSerialSource, "DSWait tried to operate on a closed port");
    return kNoAnswer;
  }
  if (!link->readBuffer) return kOutOfMemory;

  const std::uint32_t start = DSTicks();
  timeoutMs = DSScaledTimeoutMs(timeoutMs);
  char* buffer = link->readBuffer;
  std::uint32_t filled = 0;
  std::uint32_t emptyReads = 0;
  buffer[0] = '\0';
  link->readLength = 0;
  const bool responsive = DSHasMessagePump();
  for (;;) {
    std::uint32_t got = 0;
    const std::uint32_t room = kReadBufferSize - filled;
    if (room > 0) {
      const int err = responsive ? ReadSomeResponsive(link->handle, buffer + filled, room, &got)
                                 : port::ReadSome(link->handle, buffer + filled, room, &got);
      if (err != 0) {
        if (log) log->Print(kLogFailure, Source(link), "DSWait ReadFile failed (error %d)", err);
        return kNoAnswer;
      }
    } else {
      // Full without the terminator: what follows stays in the system's queue for the
      // next read, and the wait runs out as on a silent line (no busy loop on a read of
      // nothing, no writing past the buffer).
      DSSleep(kSilentReadMs);
    }

    if (got > 0) {
      const char* fresh = buffer + filled;
      filled += got;
      buffer[filled] = '\0';
      link->readLength = filled;
      if (std::memchr(fresh, terminator, got)) {
        link->terminatorSeen = true;
        if (log)
          log->Print(kLogTrace, Source(link), "DSWait found '%c' in %d ms", terminator,
                     ElapsedMs(start));
        // As unsigned: a terminator above 127 must not read as a failure code.
        return static_cast<unsigned char>(terminator);
      }
    }

    const int elapsed = ElapsedMs(start);
    // Checked after every read: a line that chatters without the terminator must not
    // hold the wait past its time-out either.
    if (elapsed > static_cast<std::int64_t>(timeoutMs)) {
      if (log) {
        log->Print(kLogTrace, Source(link), "DSWait read %d bytes, but never found '%c' in %d ms",
                   static_cast<int>(filled), terminator, elapsed);
      }
      return kNothingDone;
    }
    if (got == 0) {
      ++emptyReads;
      DSRunPendingMessages();  // each empty read held the window for 100 ms
      if (emptyReads >= kPauseAfterEmptyReads && timeoutMs > kPauseMinTimeoutMs) DSSleep(kPauseMs);
    }
  }
}

Status DSRead(DeviceLink* link, char* buffer, std::uint32_t capacity, std::uint32_t* count) {
  std::uint32_t unusedCount;
  if (!count) count = &unusedCount;
  *count = 0;
  if (!link) return kMissingArgument;
  if (!link->readBuffer) return kOutOfMemory;
  if (!buffer && capacity > 0) return kMissingArgument;

  std::uint32_t delivered = 0;
  // A NUL the device sent is a byte of its answer, not the answer's end.
  const std::size_t held =
      std::max<std::size_t>(strnlen(link->readBuffer, kReadBufferSize), link->readLength);
  if (held > 0) {
    delivered = held < capacity ? static_cast<std::uint32_t>(held) : capacity;
    if (delivered > 0) std::memcpy(buffer, link->readBuffer, delivered);
    link->readBuffer[0] = '\0';
    link->readLength = 0;
    if (link->log) {
      link->log->Print(kLogTrace, Source(link), "DSRead read %d bytes from gReadBuffer",
                       static_cast<int>(delivered));
    }
    if (held > capacity) {
      *count = delivered;
      return static_cast<Status>(delivered);
    }
  }

  if (link->terminatorSeen) {
    link->terminatorSeen = false;
    *count = delivered;
    return static_cast<Status>(delivered);
  }

  // Text already taken from the read buffer is handed over even when the port fails:
  // it is gone from the buffer and would otherwise be lost.
  if (!IsOpen(link)) {
    if (link->log)
      link->log->Print(kLogFailure, kSerialSource, "DSRead tried to read from a closed port");
    *count = delivered;
    return delivered > 0 ? static_cast<Status>(delivered) : kNoAnswer;
  }
  if (delivered < capacity) {
    std::uint32_t got = 0;
    const int err =
        DSHasMessagePump()
            ? ReadSomeResponsive(link->handle, buffer + delivered, capacity - delivered, &got)
            : port::ReadSome(link->handle, buffer + delivered, capacity - delivered, &got);
    if (err != 0) {
      if (link->log)
        link->log->Print(kLogFailure, Source(link), "DSRead ReadFile failed (error %d)", err);
      *count = delivered;
      return delivered > 0 ? static_cast<Status>(delivered) : kNoAnswer;
    }
    delivered += got;
    if (link->log)
      link->log->Print(kLogTrace, Source(link), "DSRead read %d btyes", static_cast<int>(got));
  }
  *count = delivered;
  return static_cast<Status>(delivered);
}

Status DSFlush(DeviceLink* link, int mode) {
  if (!link) return kMissingArgument;
  if (mode == 1 && IsOpen(link)) port::PurgeInput(link->handle);
  if (link->readBuffer) link->readBuffer[0] = '\0';
  link->readLength = 0;
  return kNothingDone;
}

Status DSHostBaud(DeviceLink* link, std::uint32_t baud) {
  if (!link) return kMissingArgument;
  if (baud == link->baud) return kNothingDone;
  if (link->portName.empty()) return kNeverOpened;
  if (!IsOpen(link)) {
    if (link->log)
      link->log->Print(kLogFailure, kSerialSource, "DSHostBaud tried to operate on a closed port");
    return kNoAnswer;
  }
  // Rate 0 would hang the line up instead of setting a rate.
  const int err = baud == 0 ? EINVAL : port::SetBaud(link->handle, baud);
  if (err != 0) {
    if (link->log) {
      link->log->Print(kLogFailure, Source(link),
                       "DSHostBaud failed to apply new baud rate \"%d\" (error %d)",
                       static_cast<int>(baud), err);
    }
    return baud == 0 ? kBadArgument : -err;
  }
  link->baud = baud;
  return kOk;
}

}  // namespace quendal
