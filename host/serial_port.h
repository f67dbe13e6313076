#pragma once
// The system side of the serial driver, one implementation per system
// (serial_port_posix.cpp, serial_port_win32.cpp). The DS operations in serial.cpp hold
// the protocol-neutral logic and the log lines; these calls only touch the port.
// Each returns 0 or a positive system error number (errno, GetLastError).
#include <cstdint>

#include "host/serial.h"

namespace quendal::port {

// Opens the named port for reading and writing, exclusively, existing devices only.
// On POSIX a bare name means /dev/<name>; on Windows the device is "\\.\<name>".
int Open(const char* portName, PortHandle* handle);
// Whether an error of Open means the port is held by another program, or does not exist.
bool IsInUseError(int err);
bool IsMissingError(int err);
// Of the in-use errors, the one that means this user may not open the port at all.
bool IsDeniedError(int err);

// Driver queue sizes; a failure is only logged by the caller.
int SetQueueSizes(PortHandle handle, std::uint32_t input, std::uint32_t output);

enum class ConfigureStep { kGetSettings, kApplySettings, kTimeouts };

// 8N1, binary, no flow control of any kind, no abort on error, DTR and RTS enabled, the
// given baud; reads return at once with waiting bytes, else within 100 ms. On failure
// `failedStep` names the step.
int Configure(PortHandle handle, std::uint32_t baud, ConfigureStep* failedStep);

// Raises DTR and clears any pending communication error; failures are tolerated
// (a pseudo-terminal has no modem lines).
void RaiseDtrAndClearErrors(PortHandle handle);
void DropDtr(PortHandle handle);

int Close(PortHandle handle);

// Writes in one call, bounded by the write time-outs.
int Write(PortHandle handle, const void* bytes, std::uint32_t count, std::uint32_t* written);

// Reads what is waiting, or waits up to 100 ms for the first byte. `*got` 0 means
// 100 ms of silence.
int ReadSome(PortHandle handle, char* buffer, std::uint32_t capacity, std::uint32_t* got);

// Waits up to `ms` for bytes to read; `*ready` also when the line has failed, so that the
// read that follows reports it.
int WaitReadable(PortHandle handle, std::uint32_t ms, bool* ready);

void PurgeInput(PortHandle handle);

int SetBaud(PortHandle handle, std::uint32_t baud);

// How many times faster than the real device the device on this port says it runs: above 1
// only for a simulated device that marked its pseudo-terminal so (sim/pty_transport.h);
// 1 for every other port.
std::uint32_t SimulatedTimeScale(PortHandle handle);

// The mark: the terminal's window size with no rows and columns, this pixel width and the
// scale as its pixel height. No serial line has pixels, and no terminal zero rows.
inline constexpr std::uint16_t kSimulatedDeviceMark = 0x5153;
inline constexpr std::uint32_t kLargestTimeScale = 100;

}  // namespace quendal::port
