// The port list's system side on POSIX: Linux lists its serial ports in sysfs
// (/sys/class/tty/NAME/device), with the USB device's strings a few folders up; running
// simulated devices leave links in their runtime folder. Without sysfs the list is empty
// and the caller probes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/port_enum.h"

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace quendal::port_enum {
namespace {

// More than any machine has; only guards against a runaway folder.
constexpr std::size_t kMostListed = 1024;
// From a tty's device folder up to its USB device: usb-serial adds a port folder under the
// interface, cdc-acm does not.
constexpr int kUsbLevels = 4;
constexpr int kProbeNumbers = 16;
constexpr const char* kProbeFamilies[] = {"ttyUSB", "ttyACM", "ttyS"};
constexpr std::string_view kSimulatorPrefix = "devsim-";

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string SysfsRoot(const PortEnumPlaces& places) {
  return places.sysfsRoot.empty() ? "/sys" : WithoutTrailingSlashes(places.sysfsRoot);
}

std::string DeviceFolder(const PortEnumPlaces& places) {
  return places.deviceFolder.empty() ? "/dev" : WithoutTrailingSlashes(places.deviceFolder);
}

// Set for test runs (QUENDAL_PORTS_ONLY_SIMULATED=1): list only the simulated devices of the
// runtime folder, never a port the machine has, and probe nothing. It can only take ports
// away from the list, so a user who sets it by mistake sees fewer ports, never other ones.
bool OnlySimulatedDevices() {
  const char* only = std::getenv("QUENDAL_PORTS_ONLY_SIMULATED");
  return only != nullptr && only[0] != '\0' && std::string_view(only) != "0";
}

// Where quendal-devsim puts its links.
std::string SimulatorFolder(const PortEnumPlaces& places) {
  if (!places.simulatorFolder.empty()) return WithoutTrailingSlashes(places.simulatorFolder);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::string(runtime) + "/quendal";
  return "/tmp/quendal-" + std::to_string(getuid());
}

// The name DSOpen takes for `node` in `folder`: bare under /dev, else the full path.
std::string PortNameFor(const std::string& folder, const std::string& node) {
  if (folder == "/dev" && node.find('/') == std::string::npos) return node;
  return folder + "/" + node;
}

// Same mapping as the serial driver, so that the test opens what DSOpen would open.
std::string DevicePath(const char* portName) {
  std::string name = portName;
  if (name.find('/') != std::string::npos) return name;
  return "/dev/" + name;
}

bool IsCharacterDevice(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// A sysfs attribute as one line, without its line end; "" when unreadable.
std::string ReadAttribute(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  char buffer[256];
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return {};
  std::string text(buffer, static_cast<std::size_t>(n));
  std::size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return {};
  std::string result = real;
  std::free(real);
  return result;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

struct UsbStrings {
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::string vendorId;
  std::string productId;
};

// The USB device above a tty's device folder, never leaving the sysfs tree.
bool FindUsbDevice(const std::string& root, const std::string& deviceLink, UsbStrings* usb) {
  const std::string realRoot = RealPath(root);
  std::string folder = RealPath(deviceLink);
  if (realRoot.empty() || folder.empty()) return false;
  for (int level = 0; level < kUsbLevels; ++level) {
    if (folder.size() <= realRoot.size() || folder.compare(0, realRoot.size(), realRoot) != 0 ||
        folder[realRoot.size()] != '/') {
      return false;
    }
    std::string vendor = ReadAttribute(folder + "/idVendor");
    if (!vendor.empty()) {
      usb->vendorId = vendor;
      usb->productId = ReadAttribute(folder + "/idProduct");
      usb->manufacturer = ReadAttribute(folder + "/manufacturer");
      usb->product = ReadAttribute(folder + "/product");
      usb->serial = ReadAttribute(folder + "/serial");
      return true;
    }
    folder.resize(folder.find_last_of('/'));
  }
  return false;
}

// "FTDI FT232R USB UART", without saying the maker twice ("Prolific" + "Prolific USB...").
std::string UsbText(const UsbStrings& usb) {
  if (usb.manufacturer.empty()) return usb.product;
  if (usb.product.empty()) return usb.manufacturer;
  if (usb.product.compare(0, usb.manufacturer.size(), usb.manufacturer) == 0) return usb.product;
  return usb.manufacturer + " " + usb.product;
}

void Describe(const std::string& shortName, const UsbStrings* usb,
              BoundedText<kPortDescriptionChars>* description) {
  std::string text = usb ? UsbText(*usb) : std::string();
  if (text.find("Orvelle USB") != std::string::npos) {
    // The id as Windows would show it, so that one rule knows the cable everywhere.
    std::string instanceId =
        "USB\\VID_" + Upper(usb->vendorId) + "&PID_" + Upper(usb->productId) + "\\" + usb->serial;
    if (RecogniseCableAdapter(shortName, instanceId, description, nullptr)) return;
  }
  if (text.empty()) {
    DescribeFromFriendlyName(shortName, {}, description);
    return;
  }
  description->Set(shortName);
  description->Append(" ");
  description->Append(text);
}

void AddSysfsPort(const std::string& root, const std::string& classFolder,
                  const std::string& deviceFolder, const std::string& ttyName,
                  std::vector<Found>* found) {
  const std::string ttyFolder = classFolder + "/" + ttyName;
  struct stat st {};
  // Virtual consoles and pseudo-terminals have no device behind them.
  if (stat((ttyFolder + "/device").c_str(), &st) != 0) return;
  // The serial core keeps a tty for every possible UART; type 0 means none is fitted.
  if (ReadAttribute(ttyFolder + "/type") == "0") return;

  // sysfs writes "/" in a device name as "!".
  std::string node = ttyName;
  for (char& c : node) {
    if (c == '!') c = '/';
  }
  if (!IsCharacterDevice(deviceFolder + "/" + node)) return;

  Found port;
  port.entry.portName.Set(PortNameFor(deviceFolder, node));
  port.entry.portNumber = TrailingNumber(ttyName);
  UsbStrings usb;
  bool isUsb = FindUsbDevice(root, ttyFolder + "/device", &usb);
  Describe(node, isUsb ? &usb : nullptr, &port.entry.description);
  if (isUsb) SetUsbIdentity(usb.vendorId, usb.productId, usb.serial, &port.entry.usb);
  found->push_back(port);
}

// Only a folder of our own: anyone could plant links in somebody else's.
void AddSimulatedDevices(const std::string& folder, std::vector<Found>* found) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* item = readdir(dir)) {
    if (found->size() >= kMostListed) break;
    std::string name = item->d_name;
    if (name.compare(0, kSimulatorPrefix.size(), kSimulatorPrefix) != 0) continue;
    const std::string path = folder + "/" + name;
    // A link left by a device that died points nowhere, or at a terminal that is gone.
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
    if (!IsCharacterDevice(path)) continue;
    Found port;
    port.group = 1;
    port.entry.portName.Set(path);
    port.entry.portNumber = TrailingNumber(name);
    port.entry.description.Set(name);
    port.entry.description.Append(" Simulated device");
    found->push_back(port);
  }
  closedir(dir);
}

#ifdef __linux__
bool IsLegacyUart(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return base.size() > 4 && base.compare(0, 4, "ttyS") == 0 && base[4] >= '0' && base[4] <= '9';
}
#endif

}  // namespace

bool ListPorts(const PortEnumPlaces& places, std::size_t limit, DiagnosticLog* log,
               std::vector<Found>* found) {
  (void)limit;  // every port, so that the sorted list decides which ones fit
  if (OnlySimulatedDevices()) {
    if (log) {
      log->Print(kLogDetail, kSerialSource,
                 "QUENDAL_PORTS_ONLY_SIMULATED is set: simulated devices only");
    }
    AddSimulatedDevices(SimulatorFolder(places), found);
    return true;  // the list is complete: nothing to probe
  }
  const std::string root = SysfsRoot(places);
  const std::string classFolder = root + "/class/tty";
  const std::string deviceFolder = DeviceFolder(places);
  DIR* dir = opendir(classFolder.c_str());
  if (dir) {
    while (const dirent* item = readdir(dir)) {
      if (found->size() >= kMostListed) break;
      if (item->d_name[0] == '.') continue;
      AddSysfsPort(root, classFolder, deviceFolder, item->d_name, found);
    }
    closedir(dir);
  }
  AddSimulatedDevices(SimulatorFolder(places), found);
  return dir != nullptr;
}

std::vector<Candidate> ProbeCandidates(const PortEnumPlaces& places) {
  const std::string folder = DeviceFolder(places);
  std::vector<Candidate> candidates;
  if (OnlySimulatedDevices()) return candidates;
  for (const char* family : kProbeFamilies) {
    for (int number = 0; number < kProbeNumbers; ++number) {
      candidates.push_back({PortNameFor(folder, family + std::to_string(number)), number});
    }
  }
  return candidates;
}

PortState TryPort(const char* portName) {
  if (!portName || !*portName) return PortState::kAbsent;
  const std::string path = DevicePath(portName);
  // Non-blocking: a modem line without carrier would block the open.
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // EBUSY: another opener set exclusive mode. A port we may not open is still there.
    if (errno == EBUSY || errno == EACCES || errno == EPERM) return PortState::kBusy;
    return PortState::kAbsent;
  }
  PortState state = PortState::kFree;
  if (!isatty(fd)) {
    state = PortState::kAbsent;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // The serial driver locks every port it opens; root gets past exclusive mode but not
    // past the lock.
    if (errno == EWOULDBLOCK) state = PortState::kBusy;
  }
#ifdef TIOCGEXCL
  // A holder that set exclusive mode without locking; only root gets this far.
  int exclusive = 0;
  if (state == PortState::kFree && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
    state = PortState::kBusy;
#endif
#ifdef __linux__
  // The legacy UART names exist whether or not a UART is fitted.
  serial_struct serial{};
  if (state == PortState::kFree && IsLegacyUart(path) && ioctl(fd, TIOCGSERIAL, &serial) == 0 &&
      serial.type == PORT_UNKNOWN) {
    state = PortState::kAbsent;
  }
#endif
  // Closing drops our lock; the exclusive mode of a holder is not ours to touch.
  close(fd);
  return state;
}

}  // namespace quendal::port_enum
