#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>
#include <string>

#include "host/file_path.h"
#include "host/file_ops.h"

namespace quendal {

Status AppendWhole(const std::string& path, const char* data, std::size_t size) {
  if (const int error = FileFaultFor(path)) return -error;
  if (size > std::numeric_limits<DWORD>::max()) return -static_cast<Status>(ERROR_INVALID_PARAMETER);
  // Append without write access: every write goes to the end of the file. Read access is
  // there only for the lock.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -static_cast<Status>(GetLastError());
  // Not every file system (network shares, Wine) keeps one append whole against another
  // process's, so the writers take turns on a byte far past any file's end.
  OVERLAPPED turn{};
  turn.Offset = 0xFFFFFFF0u;
  turn.OffsetHigh = 0x7FFFFFFFu;
  const BOOL locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
  DWORD written = 0;
  const BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  const DWORD writeError = ok ? 0 : GetLastError();
  if (locked) UnlockFileEx(file, 0, 1, 0, &turn);
  const DWORD closeError = CloseHandle(file) ? 0 : GetLastError();
  if (writeError) return -static_cast<Status>(writeError);
  if (written != size) return -static_cast<Status>(ERROR_DISK_FULL);
  return closeError ? -static_cast<Status>(closeError) : kOk;
}

std::FILE* CreatePrivateFile(const std::string& path) {
  // A user's folders under the profile are the user's alone; links need privileges there.
  return std::fopen(path.c_str(), "wb");
}

std::FILE* OpenDataFile(const std::string& path, Status* error) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *error = kSymbolicLink;
    return nullptr;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) *error = errno != 0 ? -errno : -EIO;
  return file;
}

std::string NamedLinkProblem(const std::string&) {
  return {};  // links need privileges under a user's profile
}

Status MakePrivateFolders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(FilePath(path), ec);
  return ec ? -static_cast<Status>(ec.value()) : kOk;
}

std::string FolderTrustProblem(const std::string&) {
  return {};
}

std::string InputFileProblem(const std::string& path, std::uint64_t maxBytes) {
  std::error_code ec;
  const auto status = std::filesystem::status(FilePath(path), ec);
  if (ec) return {};
  if (!std::filesystem::is_regular_file(status)) return "it is no regular file";
  const std::uintmax_t size = std::filesystem::file_size(FilePath(path), ec);
  if (ec) return {};
  if (size > maxBytes) return "it is larger than " + SizeText(maxBytes);
  return {};
}

std::string TemporaryNameFor(const std::string& path) {
  return path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
}

bool ReplaceWholeFile(const std::string& from, const std::string& to) {
  // Removing the old file first would lose it whenever the move then fails.
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace quendal
