#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "host/port_enum.h"

namespace quendal::cli {

// quendal-cli ports [--all]
int RunPortsCommand(const std::vector<std::string_view>& args);

// What --port takes to find a port by its adapter's USB serial number: "usb:SERIAL".
inline constexpr std::string_view kUsbPortPrefix = "usb:";

// The port list's third column: "0403:6001 usb:A12345", the ids alone when the adapter has
// no serial number, empty when the port is no USB device the system told us of.
std::string UsbColumn(const PortEntry& entry);

// The port whose adapter reports USB serial number `serial`: its name and short name. Else
// kExitPortMissing with the reason (no port, or several, have that serial number), or
// kExitUsage for an empty serial number.
int FindPortByUsbSerial(const std::string& serial, std::string* name, std::string* description,
                        std::string* why);

}  // namespace quendal::cli
