#pragma once
// An exclusive hold on a file that several running copies of the program share. The
// system lets go of it when the process ends in any way, so a killed updater never
// blocks the next one.
#include <string>

#include "host/status.h"

namespace quendal {

class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock on `path` (created if missing) without waiting and writes `owner` into
  // it for whoever finds it held. 1; kSettingsFileBusy with the holder's text in `*holder`;
  // or the negated system error number.
  Status TryLock(const std::string& path, const std::string& owner, std::string* holder);
  void Release();
  bool Held() const { return handle_ != kNone; }

 private:
  static constexpr long long kNone = -1;
  long long handle_ = kNone;  // a file descriptor or a HANDLE
};

// This process's number, as the system shows it.
unsigned long ThisProcessId();

}  // namespace quendal
