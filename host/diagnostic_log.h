#pragma once
// The error file: every layer appends one line per event. Each line is a separate
// open-append-close so that a crash loses nothing already written and two running
// copies can share the file.
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace quendal {

enum LogLevel : std::uint32_t {
  kLogNone = 0,
  kLogFailure = 1,  // failures and every text shown to the operator
  kLogStep = 10,    // successful steps and notable events
  kLogDetail = 30,  // the level the program runs at
  kLogTrace = 40,   // serial byte trace
};

class DiagnosticLog {
 public:
  DiagnosticLog() = default;
  DiagnosticLog(const char* path, std::uint32_t level) { Open(path, level); }

  // Copies the path (null: "error.txt" in the current directory); an invalid level
  // stores 1. Opens no file.
  void Open(const char* path, std::uint32_t level);
  bool SetLevel(std::uint32_t level);
  std::uint32_t Level() const { return level_; }
  const std::string& Path() const { return path_; }

  // Appends "<time stamp> - <source>: <text>\r\n"; returns the characters written, or 0
  // when the level does not pass or the file cannot be opened.
  int Print(std::uint32_t level, const char* source, const char* format, ...)
      __attribute__((format(gnu_printf, 4, 5)));
  int VPrint(std::uint32_t level, const char* source, const char* format, va_list args)
      __attribute__((format(gnu_printf, 4, 0)));

  // Where the one report of a log that cannot be written goes besides standard error (a
  // window's status); told at once when that has happened already.
  void TellWriteFailure(std::function<void(const std::string& text)> tell);

  // Size in bytes, or the negated system error number.
  long long FileSize() const;
  // Cuts the file to about its last `bytes` bytes, starting at a line start.
  bool KeepTail(std::size_t bytes);

  static bool IsValidLevel(std::uint32_t level);

  // Receives every line that passes the level, without its line end, as it is written (a
  // console's verbose mode shows them); also when the file cannot take it.
  void SetEcho(std::function<void(const std::string& line)> echo) { echo_ = std::move(echo); }

 private:
  std::function<void(const std::string&)> echo_;
  std::string path_ = "error.txt";
  std::uint32_t level_ = kLogFailure;
  std::string failureText_;  // a log that cannot be written says so once
  std::function<void(const std::string& text)> tellFailure_;
};

// Print through a log pointer that may be null (a layer without a log writes nothing).
int LogPrint(DiagnosticLog* log, std::uint32_t level, const char* source, const char* format, ...)
    __attribute__((format(gnu_printf, 4, 5)));

// "%d %s %d %d:%02d:%02d": day and hour without leading zeros, English month.
std::string FormatLogTimeStamp(const std::tm& local);

}  // namespace quendal
