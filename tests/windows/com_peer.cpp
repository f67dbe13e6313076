// The Linux end of the COM port that the Windows tests open under Wine.
//
//   quendal-com-peer LINK
//
// Holds the master of a pseudo-terminal and makes LINK a symbolic link to its slave; the
// harness maps a Wine COM port to LINK. The peer keeps the slave open itself, so the line
// survives the test programs opening and closing it. It reads command lines ending in CR
// (LF ignored) and answers each with a body and the terminator ">":
//
//   ping              pong>
//   speed             <output baud>/<input baud>>   the slave's termios speed
//   mode              the slave's line settings, e.g. "cs8 -parenb -cstopb ...>"
//   send TEXT         TEXT, verbatim (no ">" added)
//   split MS A B      A, then after MS milliseconds B (no ">" added)
//   sum TEXT          "<length> <byte sum>>" of TEXT
//   anything else     ?>
//
// SIGTERM or SIGINT removes LINK and ends the peer.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
  gStop = 1;
}

struct Speed {
  speed_t code;
  unsigned rate;
};

constexpr Speed kSpeeds[] = {
    {B0, 0},          {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},      {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400},  {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
    {B921600, 921600}};

unsigned Rate(speed_t code) {
  for (const Speed& s : kSpeeds) {
    if (s.code == code) return s.rate;
  }
  return static_cast<unsigned>(code);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string Flag(const char* name, bool on) {
  return std::string(on ? " " : " -") + name;
}

// The master reports the slave's settings: both ends of a pty share one termios.
std::string Mode(int master) {
  termios t{};
  if (tcgetattr(master, &t) != 0) return std::string("error ") + std::strerror(errno);
  const char* size = "cs?";
  switch (t.c_cflag & CSIZE) {
    case CS5:
      size = "cs5";
      break;
    case CS6:
      size = "cs6";
      break;
    case CS7:
      size = "cs7";
      break;
    case CS8:
      size = "cs8";
      break;
  }
  return size + Flag("parenb", t.c_cflag & PARENB) + Flag("cstopb", t.c_cflag & CSTOPB) +
         Flag("crtscts", t.c_cflag & CRTSCTS) + Flag("ixon", t.c_iflag & IXON) +
         Flag("ixoff", t.c_iflag & IXOFF) + Flag("icanon", t.c_lflag & ICANON) +
         Flag("echo", t.c_lflag & ECHO);
}

std::string Answer(int master, std::string_view line) {
  auto rest = [&](std::size_t n) { return line.size() > n ? line.substr(n) : std::string_view(); };
  if (line == "ping") return "pong>";
  if (line == "speed") {
    termios t{};
    if (tcgetattr(master, &t) != 0) return "error>";
    return std::to_string(Rate(cfgetospeed(&t))) + "/" + std::to_string(Rate(cfgetispeed(&t))) +
           ">";
  }
  if (line == "mode") return Mode(master) + ">";
  if (line.starts_with("send ")) return std::string(rest(5));
  if (line.starts_with("sum ")) {
    std::string_view text = rest(4);
    unsigned long sum = 0;
    for (unsigned char c : text) sum += c;
    return std::to_string(text.size()) + " " + std::to_string(sum) + ">";
  }
  if (line.starts_with("split ")) {
    std::string args(rest(6));
    char first[256] = {};
    char second[256] = {};
    int ms = 0;
    if (std::sscanf(args.c_str(), "%d %255s %255s", &ms, first, second) != 3 || ms < 0) return "?>";
    if (!WriteAll(master, first)) return "";
    usleep(static_cast<useconds_t>(ms) * 1000u);
    return second;
  }
  return "?>";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s LINK\n", argv[0]);
    return 2;
  }
  const char* link = argv[1];

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  const char* slaveName = ptsname(master);
  int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY) : -1;
  if (slave < 0) {
    std::perror("slave");
    return 1;
  }
  // Raw until the test program sets its own line settings: no echo of our answers.
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  unlink(link);
  if (symlink(slaveName, link) != 0) {
    std::perror("symlink");
    return 1;
  }
  std::printf("%s -> %s\n", link, slaveName);
  std::fflush(stdout);

  std::string line;
  bool overlong = false;
  while (!gStop) {
    pollfd pfd{master, POLLIN, 0};
    int ready = poll(&pfd, 1, 200);
    if (ready <= 0) continue;
    char chunk[512];
    ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) {
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) break;
      usleep(10000);
      continue;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = chunk[i];
      if (c == '\n') continue;
      if (c != '\r') {
        if (line.size() < 65536) {
          line += c;
        } else {
          overlong = true;
        }
        continue;
      }
      if (!line.empty()) {
        std::string reply = overlong ? std::string("?>") : Answer(master, line);
        std::printf("< %.60s\n> %.60s\n", line.c_str(), reply.c_str());
        std::fflush(stdout);
        WriteAll(master, reply);
      }
      line.clear();
      overlong = false;
    }
  }
  unlink(link);
  close(slave);
  close(master);
  return 0;
}
