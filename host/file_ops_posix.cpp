#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/file_ops.h"

namespace quendal {

Status AppendWhole(const std::string& path, const char* data, std::size_t size) {
  if (const int error = FileFaultFor(path)) return -error;
  // O_APPEND makes the seek to the end and the write one step, for every writer at once.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
  int fd = ::open(path.c_str(), kFlags, 0600);
  if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0)
    fd = ::open(path.c_str(), kFlags | O_EXCL, 0600);
  if (fd < 0) return -errno;
  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  const int writeError = n < 0 ? errno : 0;
  // A short write on a local file means a full disk: the line is cut.
  const bool shortWrite = n >= 0 && static_cast<std::size_t>(n) != size;
  const int closeError = ::close(fd) != 0 ? errno : 0;
  if (writeError) return -writeError;
  if (shortWrite) return -ENOSPC;
  return closeError ? -closeError : kOk;
}

std::FILE* CreatePrivateFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

std::FILE* OpenDataFile(const std::string& path, Status* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    // With O_NOFOLLOW a link in the file's place fails with ELOOP (EMLINK on some BSDs).
    const int why = fd < 0 ? errno : EINVAL;
    if (fd >= 0) ::close(fd);
    *error = why == ELOOP || why == EMLINK ? kSymbolicLink : -why;
    errno = why;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (!file) {
    *error = -errno;
    ::close(fd);
  }
  return file;
}

std::string NamedLinkProblem(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return {};
  if (info.st_uid != ::geteuid()) return "it is a symbolic link that another user made";
  return {};
}

Status MakePrivateFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return -errno;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -errno;
  return S_ISDIR(info.st_mode) ? kOk : -ENOTDIR;
}

std::string FolderTrustProblem(const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) return std::string("it cannot be examined (") +
                                                 std::strerror(errno) + ")";
  if (info.st_uid != ::geteuid()) return "it belongs to another user";
  if ((info.st_mode & S_IWOTH) && !(info.st_mode & S_ISVTX))
    return "other users may write in it and it lacks the sticky bit";
  return {};
}

std::string InputFileProblem(const std::string& path, std::uint64_t maxBytes) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  if (!S_ISREG(info.st_mode)) return "it is no regular file";
  if (static_cast<std::uint64_t>(info.st_size) > maxBytes)
    return "it is larger than " + SizeText(maxBytes);
  return {};
}

std::string TemporaryNameFor(const std::string& path) {
  return path + "." + std::to_string(::getpid()) + ".tmp";
}

bool ReplaceWholeFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace quendal
