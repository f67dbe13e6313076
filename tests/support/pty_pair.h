#pragma once
// A fresh pseudo-terminal for tests (POSIX): its master descriptor, closed on exec, and the
// path of its slave, which the code under test opens as it would a serial port.
#include <string>

namespace quendal::test {

struct PtyOptions {
  bool raw = true;          // nothing echoed or translated before the opener sets the line up
  bool nonBlocking = false;  // the master's reads and writes
};

// The master, or -1 with `*error` saying why.
int OpenPtyMaster(std::string* slavePath, std::string* error = nullptr, PtyOptions options = {});

}  // namespace quendal::test
