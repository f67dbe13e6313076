#include <windows.h>

#include "host/file_lock.h"

namespace quendal {

Status FileLock::TryLock(const std::string& path, const std::string& owner, std::string* holder) {
  Release();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -static_cast<Status>(GetLastError());
  // The lock covers a byte far past the text, so the holder's text stays readable.
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFF0u;
  at.OffsetHigh = 0x7FFFFFFFu;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION && holder) {
      char text[256];
      DWORD n = 0;
      if (ReadFile(file, text, sizeof text - 1, &n, nullptr)) holder->assign(text, n);
    }
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? kSettingsFileBusy : -static_cast<Status>(error);
  }
  DWORD written = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  WriteFile(file, owner.data(), static_cast<DWORD>(owner.size()), &written, nullptr);
  handle_ = static_cast<long long>(reinterpret_cast<INT_PTR>(file));
  return kOk;
}

void FileLock::Release() {
  if (handle_ == kNone) return;
  CloseHandle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle_)));
  handle_ = kNone;
}

unsigned long ThisProcessId() {
  return GetCurrentProcessId();
}

}  // namespace quendal
