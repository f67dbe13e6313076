// The serial port on Windows: the communications calls on a COM device.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "host/serial_port.h"

namespace quendal::port {
namespace {

constexpr DWORD kReadTotalConstantMs = 100;
constexpr DWORD kWriteMsPerByte = 10;
constexpr DWORD kWriteTotalConstantMs = 100;

HANDLE Win(PortHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// A failed call that left no error number must still report a failure.
int LastError() {
  DWORD err = GetLastError();
  return err != 0 ? static_cast<int>(err) : ERROR_GEN_FAILURE;
}

DWORD AtMost(DWORD a, std::uint32_t b) {
  return a < b ? a : static_cast<DWORD>(b);
}

// Bytes that the driver holds for us, or -1 when the driver will not say.
long long WaitingBytes(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(h, &errors, &stat)) return -1;
  return stat.cbInQue;
}

}  // namespace

int Open(const char* portName, PortHandle* handle) {
  if (!portName || !*portName || !handle) return ERROR_FILE_NOT_FOUND;
  char device[96];
  int n = std::snprintf(device, sizeof device, "\\\\.\\%s", portName);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof device) return ERROR_INVALID_NAME;
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  *handle = reinterpret_cast<PortHandle>(h);
  return 0;
}

int SetQueueSizes(PortHandle handle, std::uint32_t input, std::uint32_t output) {
  return SetupComm(Win(handle), input, output) ? 0 : LastError();
}

int Configure(PortHandle handle, std::uint32_t baud, ConfigureStep* failedStep) {
  ConfigureStep unused;
  if (!failedStep) failedStep = &unused;
  HANDLE h = Win(handle);

  *failedStep = ConfigureStep::kGetSettings;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return LastError();

  *failedStep = ConfigureStep::kApplySettings;
  if (baud == 0) return ERROR_INVALID_PARAMETER;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(h, &dcb)) return LastError();

  // Windows returns at once with waiting bytes, else after the first byte or 100 ms.
  *failedStep = ConfigureStep::kTimeouts;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = kReadTotalConstantMs;
  timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
  timeouts.WriteTotalTimeoutConstant = kWriteTotalConstantMs;
  if (!SetCommTimeouts(h, &timeouts)) return LastError();
  return 0;
}

// Adapters without modem lines (and Wine on a pseudo-terminal) refuse the escape
// functions; the line works all the same.
void RaiseDtrAndClearErrors(PortHandle handle) {
  HANDLE h = Win(handle);
  EscapeCommFunction(h, SETDTR);
  DWORD errors = 0;
  ClearCommError(h, &errors, nullptr);
}

void DropDtr(PortHandle handle) {
  EscapeCommFunction(Win(handle), CLRDTR);
}

bool IsInUseError(int err) {
  return err == ERROR_ACCESS_DENIED;
}

bool IsMissingError(int err) {
  return err == ERROR_FILE_NOT_FOUND;
}

// Windows answers a port another program holds with "access denied" too: that is busy.
bool IsDeniedError(int) {
  return false;
}

int Close(PortHandle handle) {
  return CloseHandle(Win(handle)) ? 0 : LastError();
}

int Write(PortHandle handle, const void* bytes, std::uint32_t count, std::uint32_t* written) {
  std::uint32_t unusedCount;
  if (!written) written = &unusedCount;
  *written = 0;
  if (count == 0) return 0;
  if (!bytes) return ERROR_INVALID_PARAMETER;
  DWORD n = 0;
  BOOL ok = WriteFile(Win(handle), bytes, count, &n, nullptr);
  *written = n;
  return ok ? 0 : LastError();
}

// The time-outs alone would do on Windows, but Wine lets every read that asks for more
// than is waiting run its full 100 ms. Asking for exactly what waits, or for one byte
// when nothing does, returns as early on both.
int ReadSome(PortHandle handle, char* buffer, std::uint32_t capacity, std::uint32_t* got) {
  std::uint32_t unusedCount;
  if (!got) got = &unusedCount;
  *got = 0;
  if (capacity == 0) return 0;
  if (!buffer) return ERROR_INVALID_PARAMETER;
  HANDLE h = Win(handle);
  DWORD n = 0;

  long long waiting = WaitingBytes(h);
  if (waiting < 0) {
    if (!ReadFile(h, buffer, capacity, &n, nullptr)) return LastError();
    *got = n;
    return 0;
  }
  if (waiting > 0) {
    if (!ReadFile(h, buffer, AtMost(static_cast<DWORD>(waiting), capacity), &n, nullptr))
      return LastError();
    *got = n;
    return 0;
  }

  if (!ReadFile(h, buffer, 1, &n, nullptr)) return LastError();
  *got = n;
  if (n == 0 || capacity == 1) return 0;
  // What came with the first byte; a failure here shows on the next read, and the byte
  // already read is kept.
  waiting = WaitingBytes(h);
  if (waiting > 0) {
    DWORD more = 0;
    if (ReadFile(h, buffer + 1, AtMost(static_cast<DWORD>(waiting), capacity - 1), &more, nullptr))
      *got += more;
  }
  return 0;
}

int WaitReadable(PortHandle handle, std::uint32_t ms, bool* ready) {
  *ready = false;
  HANDLE h = Win(handle);
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    // A port that cannot tell is left to the read, which waits its 100 ms.
    const long long waiting = WaitingBytes(h);
    if (waiting != 0) {
      *ready = true;
      return 0;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return 0;
    Sleep(static_cast<DWORD>(deadline - now < 5 ? deadline - now : 5));
  }
}

void PurgeInput(PortHandle handle) {
  PurgeComm(Win(handle), PURGE_RXCLEAR);
}

int SetBaud(PortHandle handle, std::uint32_t baud) {
  if (baud == 0) return ERROR_INVALID_PARAMETER;
  HANDLE h = Win(handle);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return LastError();
  dcb.BaudRate = baud;
  return SetCommState(h, &dcb) ? 0 : LastError();
}

// Simulated devices live on Linux pseudo-terminals; a COM port is always taken as real.
std::uint32_t SimulatedTimeScale(PortHandle) {
  return 1;
}

}  // namespace quendal::port
