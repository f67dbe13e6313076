#pragma once
// The serial driver: the only code that touches a serial port. Synchronous; every call
// returns when its work or its time-out is done. One implementation per system
// (serial_posix.cpp, serial_win32.cpp) behind this header.
#include <cstdint>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/status.h"

namespace quendal {

// A system handle as an integer: a file descriptor on POSIX, a HANDLE on Windows.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kPortClosed = 0;
inline constexpr PortHandle kPortInvalid = -1;  // left behind by a failed open

// Received text; the buffer has one byte more for the terminating zero.
inline constexpr std::uint32_t kReadBufferSize = 2048;
inline constexpr std::uint32_t kReadBufferBytes = kReadBufferSize + 1;

inline constexpr std::uint32_t kDefaultBaud = 9600;

// The block of fields at the start of every object that talks to a device.
struct DeviceLink {
  DiagnosticLog* log = nullptr;
  PortHandle handle = kPortClosed;
  std::uint32_t baud = 0;
  BoundedText<64> portName;
  char* readBuffer = nullptr;  // kReadBufferBytes bytes, owner's or allocated by DSOpen
  // What the last wait collected, NUL bytes of the device included; 0: the zero-terminated
  // text of readBuffer counts (a buffer handed over by another link).
  std::uint32_t readLength = 0;
  bool terminatorSeen = false;
  bool bufferOwned = false;

  DeviceLink() = default;
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;
  // Closes a port still open and frees an owned buffer. A port lent to this link by
  // another object must be taken back (handle cleared) before it goes.
  ~DeviceLink();
};

// Return codes: kMissingArgument for a null link throughout.

// Opens the port exclusively at `baud`. kOk; the negated system error of the open or of the
// line settings (see DSPortInUse and the two below; no name is a missing port),
// kOutOfMemory when no read buffer could be had.
Status DSOpen(DeviceLink* link, const char* portName, std::uint32_t baud);
// What a failed DSOpen (the negated system error) says of the port, in this system's codes:
// another program holds it, or there is no such port.
bool DSPortInUse(Status rc);
bool DSPortMissing(Status rc);
// Of DSPortInUse: the user lacks the right to open the port (POSIX: not in its group).
bool DSPortDenied(Status rc);
// kOk; kNothingDone when no port was open, kRefused when the system would not close it.
Status DSClose(DeviceLink* link);
// The number of bytes written (all of them); kNoAnswer when the port is closed or the
// write failed or stalled, kMissingArgument without bytes.
Status DSWrite(DeviceLink* link, const void* bytes, std::uint32_t count, std::uint32_t* written);
// Returns the terminator when it arrived, 0 when the time-out passed first; kNoAnswer when
// the port is closed or a read failed, kOutOfMemory without a read buffer.
Status DSWait(DeviceLink* link, std::uint32_t timeoutMs, char terminator);
// The number of bytes delivered (what the last wait collected, then what the port has);
// kNoAnswer when nothing could be delivered from a closed or failing port,
// kMissingArgument without a buffer, kOutOfMemory without a read buffer.
Status DSRead(DeviceLink* link, char* buffer, std::uint32_t capacity, std::uint32_t* count);
// Mode 1 also discards the system's input queue; every mode empties the read buffer.
// Always kNothingDone.
Status DSFlush(DeviceLink* link, int mode);
// kOk; kNothingDone at the rate already set, kNeverOpened for a link that never had a port,
// kNoAnswer when the port is closed, kBadArgument for 0, the negated system error.
Status DSHostBaud(DeviceLink* link, std::uint32_t baud);

// The source name used for lines about a link that may have no port name.
inline constexpr const char* kSerialSource = "OrveSerial";

}  // namespace quendal
