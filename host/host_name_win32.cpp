#include <windows.h>

#include "host/append_line.h"

namespace quendal {

Status AppendLine(const std::string& path, const std::string& line) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file as
  // one step, for every writer at once.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -static_cast<Status>(GetLastError());
  DWORD written = 0;
  const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (!ok) return -static_cast<Status>(error);
  if (written != line.size()) return -static_cast<Status>(ERROR_DISK_FULL);
  return kOk;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return {};
  return std::string(name, size);
}

}  // namespace quendal
