#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "host/file_ops.h"

namespace quendal {

Status AppendWhole(const std::string& path, const char* data, std::size_t size) {
  if (const int error = FileFaultFor(path)) return -error;
  // O_APPEND makes the seek to the end and the write one step, for every writer at once.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

std::string TemporaryNameFor(const std::string& path) {
  return path + "." + std::to_string(::getpid()) + ".tmp";
}

bool ReplaceWholeFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace quendal
