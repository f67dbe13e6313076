#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/file_ops.h"

namespace quendal {

bool AppendWhole(const std::string& path, const char* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  const bool closed = ::close(fd) == 0;
  return n >= 0 && static_cast<std::size_t>(n) == size && closed;
}

bool ReplaceWholeFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace quendal
