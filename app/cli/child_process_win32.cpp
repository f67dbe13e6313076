// Station mode is not offered on Windows yet: the station refuses it as a usage error
// before any of these is called.
#include <io.h>

#include <cstdio>

#include "app/cli/child_process.h"

namespace quendal::cli {

struct ChildProcess::Impl {};

bool ChildProcessesSupported() {
  return false;
}

std::string OwnProgramPath() {
  return {};
}

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}
ChildProcess::~ChildProcess() = default;

bool ChildProcess::Start(const std::vector<std::string>&, std::string* error) {
  *error = "child processes are not supported on Windows";
  return false;
}

void ChildProcess::Interrupt() {}

void ChildProcess::Collect() {
  ended_ = true;
  exitStatus_ = 1;
}

bool ChildProcess::TakeLine(std::string* buffer, std::string* line) {
  const std::size_t end = buffer->find('\n');
  if (end == std::string::npos) return false;
  line->assign(*buffer, 0, end);
  buffer->erase(0, end + 1);
  return true;
}

void WaitForChildren(const std::vector<ChildProcess*>&, int) {}
void CatchStationInterrupts() {}
void ReleaseStationInterrupts() {}
int StationInterrupts() {
  return 0;
}

bool OutputIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

}  // namespace quendal::cli
