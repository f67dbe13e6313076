#pragma once
// Ctrl-C, termination requests and a closed output during an update. The first request
// asks the update to stop at its next safe point; a second ends the program at once.
#include "host/serial.h"

namespace quendal::cli {

// Catches interrupts until ReleaseInterrupts. A second interrupt writes one grave accent to
// whichever of the watched links has its port open (a comm device then leaves pass-through)
// and ends the program with kExitInterrupted. The links must outlive the catching.
void CatchInterrupts(const DeviceLink* first, const DeviceLink* second);
void ReleaseInterrupts();
// True once the first interrupt came.
bool Interrupted();
// A standard output whose reader went away only stops the printing.
void IgnoreBrokenPipe();

}  // namespace quendal::cli
