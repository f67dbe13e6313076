// The serial port's system side for the fuzz targets: writes are swallowed and answered
// from the reply script, reads take what the script put on the line.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fake_device.h"
#include "host/serial_port.h"
#include "host/timing_platform.h"

namespace quendal {
namespace {

constexpr PortHandle kFakeHandle = 7;

std::vector<std::string> g_replies;
std::size_t g_next = 0;
std::string g_line;  // bytes waiting to be read

}  // namespace

namespace fuzz {

void SetReplies(std::vector<std::string> replies) {
  g_replies = std::move(replies);
  g_next = 0;
  g_line.clear();
}

}  // namespace fuzz

namespace port {

int Open(const char*, PortHandle* handle) {
  *handle = kFakeHandle;
  return 0;
}
bool IsInUseError(int) {
  return false;
}
bool IsMissingError(int) {
  return false;
}
bool IsDeniedError(int) {
  return false;
}
int SetQueueSizes(PortHandle, std::uint32_t, std::uint32_t) {
  return 0;
}
int Configure(PortHandle, std::uint32_t, ConfigureStep*) {
  return 0;
}
void RaiseDtrAndClearErrors(PortHandle) {}
void DropDtr(PortHandle) {}
int Close(PortHandle) {
  return 0;
}

int Write(PortHandle, const void*, std::uint32_t count, std::uint32_t* written) {
  *written = count;
  if (g_next < g_replies.size()) g_line += g_replies[g_next++];
  return 0;
}

int ReadSome(PortHandle, char* buffer, std::uint32_t capacity, std::uint32_t* got) {
  if (g_line.empty()) {
    detail::PlainSleep(100);
    *got = 0;
    return 0;
  }
  const std::size_t n = std::min<std::size_t>(capacity, g_line.size());
  std::memcpy(buffer, g_line.data(), n);
  g_line.erase(0, n);
  *got = static_cast<std::uint32_t>(n);
  return 0;
}

int WaitReadable(PortHandle, std::uint32_t ms, bool* ready) {
  *ready = !g_line.empty();
  if (!*ready) detail::PlainSleep(ms);
  return 0;
}

void PurgeInput(PortHandle) {
  g_line.clear();
}

int SetBaud(PortHandle, std::uint32_t) {
  return 0;
}

std::uint32_t SimulatedTimeScale(PortHandle) {
  return 1;
}

}  // namespace port
}  // namespace quendal
