#pragma once
// Test helpers: what a device's memory holds after an image text is written into erased flash,
// and running a program to capture its output.
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quendal::test {

inline constexpr std::size_t kTestMemorySize = 0x100000;

// Decodes "@AAAAA" addresses and words (high byte first) into a flat array of erased (0xFF)
// memory. `touched` marks every byte that a word wrote. Returns false on malformed text.
inline bool DecodeImageText(const std::string& text, std::vector<std::uint8_t>* memory,
                            std::vector<bool>* touched = nullptr) {
  memory->assign(kTestMemorySize, 0xFF);
  if (touched) touched->assign(kTestMemorySize, false);
  std::size_t i = 0;
  std::uint32_t address = 0;
  bool haveAddress = false;
  while (i < text.size()) {
    if (text[i] == '@') {
      if (i + 6 > text.size()) return false;
      address = static_cast<std::uint32_t>(std::stoul(text.substr(i + 1, 5), nullptr, 16));
      haveAddress = true;
      i += 6;
      continue;
    }
    if (!haveAddress || i + 4 > text.size() || address + 1 >= kTestMemorySize) return false;
    unsigned word = static_cast<unsigned>(std::stoul(text.substr(i, 4), nullptr, 16));
    (*memory)[address] = static_cast<std::uint8_t>(word & 0xFF);
    (*memory)[address + 1] = static_cast<std::uint8_t>(word >> 8);
    if (touched) (*touched)[address] = (*touched)[address + 1] = true;
    address += 2;
    i += 4;
  }
  return true;
}

#ifndef _WIN32
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
#endif  // _WIN32

}  // namespace quendal::test
