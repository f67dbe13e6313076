#include "app/cli/ports_command.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/cli/options.h"
#include "host/port_enum.h"
#include "host/serial.h"

namespace quendal::cli {
namespace {

// Room for more than the window's 16: a script may want every port.
constexpr std::int32_t kMostPorts = 64;

std::string ShortName(const PortEntry& entry) {
  const std::string listed = entry.description.c_str();
  return listed.substr(0, listed.find(' '));
}

}  // namespace

std::string UsbColumn(const PortEntry& entry) {
  if (entry.usb.vendorId.empty() || entry.usb.productId.empty()) return {};
  std::string column = entry.usb.vendorId.c_str();
  column += ':';
  column += entry.usb.productId.c_str();
  if (!entry.usb.serial.empty()) {
    column += ' ';
    column += kUsbPortPrefix;
    column += entry.usb.serial.c_str();
  }
  return column;
}

int FindPortByUsbSerial(const std::string& serial, std::string* name, std::string* description,
                        std::string* why) {
  if (serial.empty()) {
    *why = "option --port usb: needs the adapter's serial number (see quendal-cli ports)";
    return kExitUsage;
  }
  std::vector<PortEntry> entries(kMostPorts);
  std::int32_t count = kMostPorts;
  DeviceLink link;
  if (CommPortEnum(&link, entries.data(), &count, false) < 1) count = 0;
  const std::vector<const PortEntry*> found = PortsWithUsbSerial(entries.data(), count, serial);
  if (found.size() == 1) {
    *name = found[0]->portName.c_str();
    *description = ShortName(*found[0]);
    return kExitOk;
  }
  if (found.empty()) {
    *why = "no port's USB adapter has the serial number " + serial +
           ". Check that the adapter is plugged in; 'quendal-cli ports' shows the serial "
           "numbers there are.";
  } else {
    *why = std::to_string(found.size()) + " ports' USB adapters have the serial number " + serial +
           " (";
    for (std::size_t i = 0; i < found.size(); ++i) {
      if (i > 0) *why += ", ";
      *why += ShortName(*found[i]);
    }
    *why += "); name the port instead.";
  }
  return kExitPortMissing;
}

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
    const std::string usb = UsbColumn(entries[i]);
    std::printf("%s\t%s%s%s\n", entries[i].portName.c_str(), entries[i].description.c_str(),
                usb.empty() ? "" : "\t", usb.c_str());
  }
  if (count == 0) std::fprintf(stderr, "quendal-cli: no serial ports found\n");
  return kExitOk;
}

}  // namespace quendal::cli
