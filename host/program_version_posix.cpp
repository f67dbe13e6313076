// Program files here carry no version resource; the build's own version stands in for it.
#include <unistd.h>

#include <vector>

#include "host/build_version.h"
#include "host/program_version.h"

namespace quendal {

const char* OperatingSystemName() {
#if defined(__APPLE__)
  return "macOS";
#elif defined(__linux__)
  return "Linux";
#else
  return "Unix";
#endif
}

std::string ProgramFileVersion() {
  return QUENDAL_BUILD_ENGINE_VERSION;
}

std::string ProgramFolder() {
  std::vector<char> path(4096);
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
  std::string file(path.data(), static_cast<std::size_t>(n));
  const std::size_t slash = file.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : file.substr(0, slash);
}

}  // namespace quendal
