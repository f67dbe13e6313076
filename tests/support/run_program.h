#pragma once
// Running a program from a test and capturing what it prints (POSIX shells only).
#ifndef _WIN32
#include <sys/wait.h>

#include <cstdio>
#include <string>

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

inline ProgramRun RunProgram(const std::string& command) {
  ProgramRun run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

}  // namespace quendal::test
#endif  // _WIN32
