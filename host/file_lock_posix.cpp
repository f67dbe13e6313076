#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "host/file_lock.h"

namespace quendal {

Status FileLock::TryLock(const std::string& path, const std::string& owner, std::string* holder) {
  Release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -errno;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK && holder) {
      char text[256];
      const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
      holder->assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    return error == EWOULDBLOCK ? kSettingsFileBusy : -error;
  }
  // Who holds it, for the one that finds it held.
  if (::ftruncate(fd, 0) == 0) {
    ssize_t ignored = ::pwrite(fd, owner.data(), owner.size(), 0);
    (void)ignored;
  }
  handle_ = fd;
  return kOk;
}

void FileLock::Release() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));  // lets go of the lock
  handle_ = kNone;
}

unsigned long ThisProcessId() {
  return static_cast<unsigned long>(::getpid());
}

}  // namespace quendal
