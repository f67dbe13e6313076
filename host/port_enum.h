#pragma once
// The serial ports of the machine, for the port list: the system's own list of present
// ports with readable descriptions (the maker's cable and radio-modem adapters recognised),
// ports that another program holds marked busy, and on request a probe of the usual device
// names. The rules live in port_enum.cpp; what the system is asked lives in one file per
// system (port_enum_posix.cpp, port_enum_win32.cpp) behind the calls at the end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/serial.h"
#include "host/status.h"

namespace quendal {

// A device path can be long; a name that does not fit is never listed, since a cut name
// could open another device.
inline constexpr std::size_t kPortNameChars = 255;
inline constexpr std::size_t kPortDescriptionChars = 64;
// A USB string descriptor holds at most 126 characters.
inline constexpr std::size_t kUsbSerialChars = 126;

// The USB device behind a port: vendor and product ids as four lower-case hex digits
// ("0403", "6001") and its serial number; each empty where the system does not know it.
struct UsbIdentity {
  BoundedText<4> vendorId;
  BoundedText<4> productId;
  BoundedText<kUsbSerialChars> serial;
};

struct PortEntry {
  // What DSOpen takes: "COM3" on Windows; on POSIX a device under /dev by its bare name
  // ("ttyUSB0") and anything else by its full path.
  BoundedText<kPortNameChars> portName;
  // The text of the port list, led by the port's short name: "ttyUSB0 FTDI FT232R USB UART".
  BoundedText<kPortDescriptionChars> description;
  // The digits that end the name (COM3: 3, ttyUSB0: 0); 0 when there are none.
  std::int32_t portNumber = 0;
  UsbIdentity usb;
};

// Where a POSIX system's lists are; an empty field means the system's own place. Tests
// point them at a made-up tree. Windows asks its device manager and ignores them.
struct PortEnumPlaces {
  std::string sysfsRoot;        // "/sys"
  std::string deviceFolder;     // "/dev"; ports elsewhere are named by their full path
  std::string simulatorFolder;  // running simulated devices' links: $XDG_RUNTIME_DIR/quendal,
                                // else /tmp/quendal-UID
};

// Fills `entries` (the capacity in `*count`) and sets `*count` to the number filled.
// Order: USB adapters first (ttyUSB, then ttyACM), then every other family by name (COM,
// ttyAMA, ttyS ...), each family by number, and simulated devices last; entries that
// probing added follow in the order probed (ttyUSB0..15, ttyACM0..15, ttyS0..15 on POSIX,
// COM1..16 on Windows). Probing runs when `force` is set or the system cannot list its
// ports. A port that cannot be opened now gets " (busy)" at the end of its description.
// Returns -10 without `entries` or `count`, -11 for a capacity below 1, -60 when working
// memory cannot be had (the array is then untouched); else the number of ports the system
// list gave when it was used and probing added none, otherwise 1.
Status CommPortEnum(DeviceLink* link, PortEntry* entries, std::int32_t* count, bool force,
                    const PortEnumPlaces& places = {});

// The rules shared by the systems' sides.

// The description of a port the system lists under a friendly name such as "USB Serial
// Port (COM3)": the port name, then the friendly name up to its "(COM" part.
void DescribeFromFriendlyName(std::string_view portName, std::string_view friendlyName,
                              BoundedText<kPortDescriptionChars>* description);

// The maker's cable adapter, told by its device instance id ("...PID_8414\...ORVELLE_KLA...",
// with an optional "[mark]"). When it is one, sets the description and the name that the
// system's device manager should show from now on (`friendlyName` may be null); else
// changes nothing and returns false.
bool RecogniseCableAdapter(std::string_view portName, std::string_view instanceId,
                           BoundedText<kPortDescriptionChars>* description,
                           BoundedText<kPortDescriptionChars - 1>* friendlyName);

// The USB identity in a Windows device instance id: "USB\VID_0403&PID_6001\A12345", or the
// FTDI driver's "FTDIBUS\VID_0403+PID_6001+A12345A\0000". An id that Windows made up for a
// device without a serial number (or for one interface of a composite device) holds "&" in
// its last part and gives no serial number. False when the id names no USB device.
bool ParseUsbInstanceId(std::string_view instanceId, UsbIdentity* usb);

// Keeps the USB identity only where it is well formed: ids of four hex digits (made lower
// case) and a serial number of visible characters that fits whole; the rest is emptied,
// since a cut or garbled serial number could pick another adapter.
void SetUsbIdentity(std::string_view vendorId, std::string_view productId, std::string_view serial,
                    UsbIdentity* usb);

// The ports among `entries` whose adapter reports `serial` (compared without regard to case,
// as Windows shows it in upper case). A replugged adapter keeps its serial number under a new
// port name.
std::vector<const PortEntry*> PortsWithUsbSerial(const PortEntry* entries, std::int32_t count,
                                                 std::string_view serial);

// A port built into the machine (ttyS0 on Linux): the system lists it whether or not
// anything is wired to it, so it is never the likely place of the device.
bool IsBuiltInSerialPort(std::string_view portName);

// True for a port the device may well hang on when the operator named none: neither a
// built-in port nor one marked busy. The window preselects the first such port and the
// console takes the only one.
bool IsLikelyDevicePort(const PortEntry& entry);

// Appends " (busy)", shortening the description where the whole mark would not fit.
void MarkBusy(BoundedText<kPortDescriptionChars>* description);

// The trailing decimal digits of a name, 0 without any, capped at INT32_MAX.
std::int32_t TrailingNumber(std::string_view name);

namespace port_enum {

// A port from the system's list. Group 1 (simulated devices) sorts after group 0.
struct Found {
  PortEntry entry;
  int group = 0;
};

struct Candidate {
  std::string name;
  std::int32_t number = 0;
};

enum class PortState { kAbsent, kFree, kBusy };

// Adds the present ports to `found`: at least `limit` of them when there are that many
// (the caller sorts and keeps the first `limit`). False when the system cannot list its
// ports at all. Failing system calls end or skip the listing quietly.
bool ListPorts(const PortEnumPlaces& places, std::size_t limit, DiagnosticLog* log,
               std::vector<Found>* found);

// The ports to probe when asked, in order.
std::vector<Candidate> ProbeCandidates(const PortEnumPlaces& places);

// Opens the port the way DSOpen would, for a moment: free when that works, busy when the
// port exists but someone holds it or we may not open it, absent otherwise.
PortState TryPort(const char* portName);

}  // namespace port_enum
}  // namespace quendal
