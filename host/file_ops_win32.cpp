#include <windows.h>

#include <limits>

#include "host/file_ops.h"

namespace quendal {

bool AppendWhole(const std::string& path, const char* data, std::size_t size) {
  if (size > std::numeric_limits<DWORD>::max()) return false;
  // Append access alone: every write goes to the end of the file as one piece.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  const BOOL closed = CloseHandle(file);
  return ok && closed && written == size;
}

bool ReplaceWholeFile(const std::string& from, const std::string& to) {
  // Removing the old file first would lose it whenever the move then fails.
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace quendal
