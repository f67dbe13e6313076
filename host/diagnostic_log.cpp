#include "host/diagnostic_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>
#include <string_view>
#include <vector>

#include "host/device_text.h"
#include "host/file_ops.h"
#include "host/timing.h"

namespace quendal {
namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::string FormatLogTimeStamp(const std::tm& t) {
  const char* month = (t.tm_mon >= 0 && t.tm_mon < 12) ? kMonths[t.tm_mon] : "???";
  char text[64];
  std::snprintf(text, sizeof text, "%d %s %d %d:%02d:%02d", t.tm_mday, month, t.tm_year + 1900,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

bool DiagnosticLog::IsValidLevel(std::uint32_t level) {
  return level == kLogNone || level == kLogFailure || level == kLogStep || level == kLogDetail ||
         level == kLogTrace;
}

void DiagnosticLog::Open(const char* path, std::uint32_t level) {
  path_ = path ? path : "error.txt";
  level_ = IsValidLevel(level) ? level : kLogFailure;
}

bool DiagnosticLog::SetLevel(std::uint32_t level) {
  if (!IsValidLevel(level)) return false;
  level_ = level;
  return true;
}

int DiagnosticLog::Print(std::uint32_t level, const char* source, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = VPrint(level, source, format, args);
  va_end(args);
  return n;
}

int LogPrint(DiagnosticLog* log, std::uint32_t level, const char* source, const char* format, ...) {
  if (!log) return 0;
  va_list args;
  va_start(args, format);
  int n = log->VPrint(level, source, format, args);
  va_end(args);
  return n;
}

int DiagnosticLog::VPrint(std::uint32_t level, const char* source, const char* format,
                          va_list args) {
  if (level_ < level) return 0;
  // A log at level 0 writes nothing, not even failures.
  if (level_ == kLogNone) return 0;

  // The whole line goes out in one write, so another running copy cannot split it.
  std::string line = FormatLogTimeStamp(LocalNow()) + " - " + (source ? source : "") + ": ";
  if (format) {
    va_list measure;
    va_copy(measure, args);
    const int body = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (body < 0) return 0;
    const std::size_t head = line.size();
    line.resize(head + static_cast<std::size_t>(body) + 1);
    std::vsnprintf(line.data() + head, static_cast<std::size_t>(body) + 1, format, args);
    line.resize(head + static_cast<std::size_t>(body));
    // A device's text is data: its line breaks and control bytes shown, never obeyed.
    if (!FitsOnOneLine(std::string_view(line).substr(head)))
      line = line.substr(0, head) + ControlsVisible(std::string_view(line).substr(head));
  }
  if (echo_) echo_(line);
  line += "\r\n";
  if (const Status rc = AppendWhole(path_, line.data(), line.size()); rc < 0) {
    if (failureText_.empty()) {
      failureText_ = "The log " + path_ + " cannot be written (" + std::strerror(-rc) +
                     "); later lines are lost.";
      std::fprintf(stderr, "%s\n", failureText_.c_str());
      if (tellFailure_) tellFailure_(failureText_);
    }
    return 0;
  }
  return static_cast<int>(line.size());
}

void DiagnosticLog::TellWriteFailure(std::function<void(const std::string& text)> tell) {
  tellFailure_ = std::move(tell);
  if (tellFailure_ && !failureText_.empty()) tellFailure_(failureText_);
}

long long DiagnosticLog::FileSize() const {
  File file(std::fopen(path_.c_str(), "rb"));
  if (!file) return errno ? -static_cast<long long>(errno) : -1;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return errno ? -static_cast<long long>(errno) : -1;
  long size = std::ftell(file.get());
  if (size < 0) return errno ? -static_cast<long long>(errno) : -1;
  return size;
}

bool DiagnosticLog::KeepTail(std::size_t bytes) {
  File source(std::fopen(path_.c_str(), "rb"));
  if (!source) return false;
  if (std::fseek(source.get(), 0, SEEK_END) != 0) return false;
  long size = std::ftell(source.get());
  if (size < 0) return false;
  if (static_cast<std::size_t>(size) < bytes) return true;

  // Start the kept text at a line start: skip to just past the next line feed.
  if (std::fseek(source.get(), size - static_cast<long>(bytes), SEEK_SET) != 0) return false;
  for (int c = std::fgetc(source.get()); c != EOF && c != '\n'; c = std::fgetc(source.get())) {
  }

  std::string tempPath = TemporaryNameFor(path_);
  std::vector<char> buffer;
  try {
    buffer.resize(bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::size_t got = std::fread(buffer.data(), 1, bytes, source.get());
  if (std::ferror(source.get())) return false;
  source.reset();

  // Write the tail beside the file first; the error file is replaced only once the copy
  // is complete, so a full disk never loses the log.
  File temp(CreatePrivateFile(tempPath));
  if (!temp) return false;
  bool ok = std::fwrite(buffer.data(), 1, got, temp.get()) == got;
  ok = (std::fclose(temp.release()) == 0) && ok;
  if (!ok) {
    std::remove(tempPath.c_str());
    return false;
  }
  if (!ReplaceWholeFile(tempPath, path_)) {
    std::remove(tempPath.c_str());
    return false;
  }
  return true;
}

}  // namespace quendal
