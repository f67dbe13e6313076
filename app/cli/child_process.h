#pragma once
// Copies of this program run as child processes, for a station that updates several units
// at once: each child owns one port and reports as JSON Lines on its standard output.
#include <memory>
#include <string>
#include <vector>

namespace quendal::cli {

class ChildProcess;
void WaitForChildren(const std::vector<ChildProcess*>& children, int ms);

// The path of the running program; empty when it cannot be found.
std::string OwnProgramPath();

class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();  // a child still running is left to finish its update
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `argv` (argv[0] the program) with standard input empty and its own process
  // group, so that a terminal's Ctrl-C reaches the parent alone. False with `error` set.
  bool Start(const std::vector<std::string>& argv, std::string* error);
  // Asks the child to stop at its next safe point (its Ctrl-C).
  void Interrupt();
  // Moves what the child printed since the last call into the buffers; reaps it once both
  // outputs are closed. Never blocks.
  void Collect();
  bool Ended() const { return ended_; }
  // The exit status, or 128 + the signal that ended it.
  int ExitStatus() const { return exitStatus_; }

  // Whole lines are taken from the front; a last line without its end stays.
  bool TakeOutLine(std::string* line) { return TakeLine(&out_, line); }
  bool TakeErrLine(std::string* line) { return TakeLine(&err_, line); }

  struct Impl;

 private:
  friend void WaitForChildren(const std::vector<ChildProcess*>& children, int ms);

  static bool TakeLine(std::string* buffer, std::string* line);

  std::unique_ptr<Impl> impl_;
  std::string out_;
  std::string err_;
  bool ended_ = false;
  int exitStatus_ = -1;
};

// Waits until one of `children` has something to read or ended, or `ms` passed.
void WaitForChildren(const std::vector<ChildProcess*>& children, int ms);

// The station's own Ctrl-C and termination requests: counted, never ending the program, so
// that each one can be passed on to every child.
void CatchStationInterrupts();
void ReleaseStationInterrupts();
int StationInterrupts();

// True when standard output is a terminal.
bool OutputIsTerminal();

}  // namespace quendal::cli
