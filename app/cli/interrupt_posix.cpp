#include <unistd.h>

#include <csignal>

#include "app/cli/interrupt.h"
#include "app/cli/options.h"

namespace quendal::cli {
namespace {

volatile std::sig_atomic_t interrupts = 0;
const DeviceLink* volatile watched[2] = {nullptr, nullptr};
struct sigaction previousInt;
struct sigaction previousTerm;

// Only async-signal-safe calls here: write and _exit.
void OnInterrupt(int) {
  if (interrupts == 0) {
    interrupts = 1;
    return;
  }
  for (const DeviceLink* link : watched) {
    if (!link) continue;
    const PortHandle handle = link->handle;
    // 0 to 2 are never a port of ours (the driver moves them above), -1 a failed open.
    if (handle > 2) {
      // The bus wake first ends an SDI-12 command the grave accent would otherwise join.
      const char bytes[] = "|`";
      [[maybe_unused]] ssize_t n = write(static_cast<int>(handle), bytes, 2);
    }
  }
  _exit(kExitInterrupted);
}

}  // namespace

void CatchInterrupts(const DeviceLink* first, const DeviceLink* second) {
  interrupts = 0;
  watched[0] = first;
  watched[1] = second;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
}

void ReleaseInterrupts() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  watched[0] = nullptr;
  watched[1] = nullptr;
}

bool Interrupted() {
  return interrupts != 0;
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace quendal::cli
