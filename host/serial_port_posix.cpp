// The serial port on POSIX systems: termios on a tty device.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

#include "host/serial_port.h"
#include "host/termios_speeds.h"

namespace quendal::port {
namespace {

int Fd(PortHandle handle) {
  return static_cast<int>(handle);
}

// Sets both directions; a rate outside the table goes to the system as a number, which
// BSD-style systems accept and glibc refuses with EINVAL.
int SetSpeed(termios* tio, std::uint32_t baud) {
  // B0 would hang up the line rather than set a rate.
  if (baud == 0) return EINVAL;
  speed_t code = static_cast<speed_t>(baud);
  errno = 0;
  TermiosCodeOf(baud, &code);
  if (cfsetispeed(tio, code) != 0 || cfsetospeed(tio, code) != 0) return errno ? errno : EINVAL;
  return 0;
}

// tcsetattr succeeds when any part of the change took, so the rate is checked back.
int ApplyAndCheck(int fd, const termios& wanted) {
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) return errno;
  termios now{};
  if (tcgetattr(fd, &now) != 0) return errno;
  if (cfgetospeed(&now) != cfgetospeed(&wanted)) return EINVAL;
  return 0;
}

std::string DevicePath(const char* portName) {
  std::string name = portName;
  if (name.find('/') != std::string::npos) return name;
  return "/dev/" + name;
}

}  // namespace

int Open(const char* portName, PortHandle* handle) {
  if (!portName || !*portName || !handle) return ENOENT;
  const std::string path = DevicePath(portName);
  // Non-blocking only while opening: a modem line without carrier would block the open.
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // 0 is the closed value of a handle, and 1 and 2 belong to the console.
  if (fd <= 2) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    if (moved < 0) return err;
    fd = moved;
  }
  // Root ignores TIOCEXCL, so the lock is what keeps a second opener out; TIOCEXCL still
  // keeps out programs that do not lock.
  ioctl(fd, TIOCEXCL);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
    close(fd);
    return EBUSY;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  *handle = fd;
  return 0;
}

int SetQueueSizes(PortHandle, std::uint32_t, std::uint32_t) {
  return 0;
}

int Configure(PortHandle handle, std::uint32_t baud, ConfigureStep* failedStep) {
  ConfigureStep unused;
  if (!failedStep) failedStep = &unused;
  const int fd = Fd(handle);
  termios tio{};
  *failedStep = ConfigureStep::kGetSettings;
  if (tcgetattr(fd, &tio) != 0) return errno;

  *failedStep = ConfigureStep::kApplySettings;
  tio.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  // With HUPCL the system would drop DTR behind our back on close.
  tio.c_cflag &= ~HUPCL;
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  if (int err = SetSpeed(&tio, baud)) return err;
  if (int err = ApplyAndCheck(fd, tio)) return err;

  // Return at once with waiting bytes, else within 100 ms.
  *failedStep = ConfigureStep::kTimeouts;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 1;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return errno;

  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &lines);  // a pseudo-terminal has no modem lines
  return 0;
}

void RaiseDtrAndClearErrors(PortHandle handle) {
  int lines = TIOCM_DTR;
  ioctl(Fd(handle), TIOCMBIS, &lines);
}

void DropDtr(PortHandle handle) {
  int lines = TIOCM_DTR;
  ioctl(Fd(handle), TIOCMBIC, &lines);
}

bool IsInUseError(int err) {
  return err == EBUSY || err == EACCES || err == EPERM;  // locked, or not ours to open
}

bool IsMissingError(int err) {
  return err == ENOENT || err == ENODEV || err == ENXIO;
}

bool IsDeniedError(int err) {
  return err == EACCES || err == EPERM;
}

int Close(PortHandle handle) {
  const int fd = Fd(handle);
  // The exclusive flag can outlive our descriptor (a pseudo-terminal keeps its tty while
  // the other side is open) and would lock out the next opener who is not root.
  ioctl(fd, TIOCNXCL);
  // After EINTR the descriptor is gone all the same.
  if (close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

int Write(PortHandle handle, const void* bytes, std::uint32_t count, std::uint32_t* written) {
  std::uint32_t unusedCount;
  if (!written) written = &unusedCount;
  *written = 0;
  if (count == 0) return 0;
  if (!bytes) return EINVAL;
  const int fd = Fd(handle);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  // A blocking write to a line that nobody drains never returns; non-blocking writes
  // under a deadline give the same bound as the write time-outs: 10 ms a byte + 100 ms.
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(100 + 10 * static_cast<std::uint64_t>(count));
  const char* next = static_cast<const char*>(bytes);
  int err = 0;
  while (*written < count) {
    ssize_t n = write(fd, next + *written, count - *written);
    if (n > 0) {
      *written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      err = errno;
      break;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      err = ETIMEDOUT;
      break;
    }
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(left < 1000 ? left : 1000)) < 0 && errno != EINTR) {
      err = errno;
      break;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return err;
}

int ReadSome(PortHandle handle, char* buffer, std::uint32_t capacity, std::uint32_t* got) {
  std::uint32_t unusedCount;
  if (!got) got = &unusedCount;
  *got = 0;
  if (capacity == 0) return 0;
  if (!buffer) return EINVAL;
  const int fd = Fd(handle);
  ssize_t n;
  do {
    n = read(fd, buffer, capacity);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  if (n == 0) {
    // A hung-up line also reads 0 bytes, at once and for ever; tell it from silence.
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) return EIO;
  }
  *got = static_cast<std::uint32_t>(n);
  return 0;
}

int WaitReadable(PortHandle handle, std::uint32_t ms, bool* ready) {
  *ready = false;
  pollfd pfd{Fd(handle), POLLIN, 0};
  const int n = poll(&pfd, 1, static_cast<int>(ms));
  if (n < 0) return errno == EINTR ? 0 : errno;
  *ready = n > 0;
  return 0;
}

void PurgeInput(PortHandle handle) {
  tcflush(Fd(handle), TCIFLUSH);
}

int SetBaud(PortHandle handle, std::uint32_t baud) {
  const int fd = Fd(handle);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return errno;
  if (int err = SetSpeed(&tio, baud)) return err;
  return ApplyAndCheck(fd, tio);
}

std::uint32_t SimulatedTimeScale(PortHandle handle) {
  const int fd = Fd(handle);
#ifdef __linux__
  // Only a pseudo-terminal's slave (majors 136-143) can be a simulated device.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < 136 ||
      major(st.st_rdev) > 143) {
    return 1;
  }
#endif
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_row != 0 || size.ws_col != 0 ||
      size.ws_xpixel != kSimulatedDeviceMark || size.ws_ypixel < 2 ||
      size.ws_ypixel > kLargestTimeScale) {
    return 1;
  }
  return size.ws_ypixel;
}

}  // namespace quendal::port
