#include <windows.h>

#include "app/cli/interrupt.h"
#include "app/cli/options.h"

namespace quendal::cli {
namespace {

volatile LONG interrupts = 0;
const DeviceLink* volatile watched[2] = {nullptr, nullptr};

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  if (InterlockedIncrement(&interrupts) == 1) {
    // A closed console ends the process when the handler returns: the update cannot wait
    // for a safe point then, so the device gets its grave accent as on a second request.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  }
  for (const DeviceLink* link : watched) {
    if (!link) continue;
    const PortHandle handle = link->handle;
    if (handle != kPortClosed && handle != kPortInvalid) {
      // The bus wake first ends an SDI-12 command the grave accent would otherwise join.
      const char bytes[] = "|`";
      DWORD written = 0;
      WriteFile(reinterpret_cast<HANDLE>(handle), bytes, 2, &written, nullptr);
    }
  }
  ExitProcess(static_cast<UINT>(kExitInterrupted));
  return TRUE;
}

}  // namespace

void CatchInterrupts(const DeviceLink* first, const DeviceLink* second) {
  interrupts = 0;
  watched[0] = first;
  watched[1] = second;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ReleaseInterrupts() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  watched[0] = nullptr;
  watched[1] = nullptr;
}

bool Interrupted() {
  return interrupts != 0;
}

// Windows raises no signal for a closed pipe: a failed write only returns an error.
void IgnoreBrokenPipe() {}

}  // namespace quendal::cli
