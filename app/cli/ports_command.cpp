#include "app/cli/ports_command.h"

#include <cstdint>
#include <cstdio>

#include "app/cli/options.h"
#include "host/port_enum.h"
#include "host/serial.h"

namespace quendal::cli {
namespace {

// Room for more than the window's 16: a script may want every port.
constexpr std::int32_t kMostPorts = 64;

}  // namespace

int RunPortsCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options = ParseOptions(args, {}, {"--all"});
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli ports: %s\nusage: quendal-cli ports [--all]\n",
                 options.error.c_str());
    return kExitUsage;
  }

  std::vector<PortEntry> entries(kMostPorts);
  std::int32_t count = kMostPorts;
  DeviceLink link;
  Status rc = CommPortEnum(&link, entries.data(), &count, options.Has("--all"));
  if (rc < 0) {
    std::fprintf(stderr, "quendal-cli: the serial ports could not be listed (error %d)\n", rc);
    return kExitFailed;
  }
  if (rc < 1) count = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    std::printf("%s\t%s\n", entries[i].portName.c_str(), entries[i].description.c_str());
  }
  if (count == 0) std::fprintf(stderr, "quendal-cli: no serial ports found\n");
  return kExitOk;
}

}  // namespace quendal::cli
