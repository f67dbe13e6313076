#pragma once
// Running a program from a test through a POSIX shell and capturing what it prints; the
// program gets the tests' own environment only (hermetic.h).
#ifndef _WIN32
#include <string>

#include "tests/support/child_program.h"

namespace quendal::test {

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct ProgramRun {
  int status = -1;
  std::string output;  // standard output and error together
};

// Standard input is /dev/null. A program still running after ten minutes is killed (-1).
inline ProgramRun RunProgram(const std::string& command) {
  ChildProgram child(ChildProgram::Exec({"/bin/sh", "-c", command}));
  ProgramRun run;
  if (!child.Started()) return run;
  run.status = child.Wait(600000);
  run.output = child.output;
  return run;
}

}  // namespace quendal::test
#endif  // _WIN32
