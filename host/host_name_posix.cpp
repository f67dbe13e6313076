#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "host/append_line.h"

namespace quendal {

Status AppendLine(const std::string& path, const std::string& line) {
  // O_APPEND makes the seek to the end and the write one step, for every writer at once.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  const int writeError = n < 0 ? errno : 0;
  // A short write on a local file means a full disk: the line is cut and says so.
  const bool shortWrite = n >= 0 && static_cast<std::size_t>(n) != line.size();
  const int closeError = close(fd) != 0 ? errno : 0;
  if (writeError) return -writeError;
  if (shortWrite) return -ENOSPC;
  return closeError ? -closeError : kOk;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace quendal
