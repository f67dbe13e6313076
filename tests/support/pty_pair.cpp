#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quendal::test {

int OpenPtyMaster(std::string* slavePath, std::string* error, PtyOptions options) {
  auto fail = [error](const char* what, int fd) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  };
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail("posix_openpt", fd);
  char name[128] = {};
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    return fail("pty setup", fd);
  }
  if (options.nonBlocking && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    return fail("fcntl", fd);
  }
  // The pair shares one termios, so the master can make the line raw for both ends.
  termios tio{};
  if (options.raw && tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  *slavePath = name;
  return fd;
}

}  // namespace quendal::test
