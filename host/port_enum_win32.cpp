// The port list's system side on Windows: the present devices of the "Ports" class, each
// with its "PortName" registry value, friendly name and instance id.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/port_enum.h"

namespace quendal::port_enum {
namespace {

constexpr int kProbeNumbers = 16;
constexpr DWORD kPortNameBytes = 32;
// Longer than the list shows, so that a long friendly name is cut rather than lost.
constexpr DWORD kFriendlyNameBytes = 256;
constexpr DWORD kInstanceIdChars = 201;  // the longest device instance id, and its NUL

// Before Windows 2000 the device manager cannot be asked; probing finds the ports instead.
bool SystemListUsable() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) return false;
  return !(version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion < 5);
}

// "COM" followed by a digit; other port classes (LPT1) are not serial ports.
bool ParseComName(std::string_view name, std::int32_t* number) {
  if (name.size() <= 3 || name.substr(0, 3) != "COM" || name[3] < '0' || name[3] > '9')
    return false;
  *number = 0;
  auto [end, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), *number);
  (void)end;
  if (ec != std::errc()) *number = INT32_MAX;
  return true;
}

void AddDevice(HDEVINFO devices, SP_DEVINFO_DATA* device, std::vector<Found>* found) {
  HKEY key = SetupDiOpenDevRegKey(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return;
  char value[kPortNameBytes + 1] = {};
  DWORD size = kPortNameBytes;
  DWORD type = 0;
  LONG rc =
      RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return;
  std::string_view name(value, strnlen(value, size));

  Found port;
  if (!ParseComName(name, &port.entry.portNumber)) return;
  port.entry.portName.Set(name);

  char friendly[kFriendlyNameBytes + 1] = {};
  DWORD friendlyType = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_FRIENDLYNAME, &friendlyType,
                                         reinterpret_cast<BYTE*>(friendly), kFriendlyNameBytes,
                                         nullptr)) {
    friendly[0] = '\0';
  }
  std::string_view friendlyName(friendly, strnlen(friendly, kFriendlyNameBytes));
  DescribeFromFriendlyName(name, friendlyName, &port.entry.description);

  char instanceId[kInstanceIdChars] = {};
  const bool haveId =
      SetupDiGetDeviceInstanceIdA(devices, device, instanceId, kInstanceIdChars, nullptr);
  if (haveId && ParseUsbInstanceId(instanceId, &port.entry.usb) && port.entry.usb.serial.empty()) {
    // One interface of a composite device: the serial number is its parent's.
    DEVINST parent = 0;
    char parentId[kInstanceIdChars] = {};
    UsbIdentity parentUsb;
    if (CM_Get_Parent(&parent, device->DevInst, 0) == CR_SUCCESS &&
        CM_Get_Device_IDA(parent, parentId, kInstanceIdChars, 0) == CR_SUCCESS &&
        ParseUsbInstanceId(parentId, &parentUsb) &&
        parentUsb.vendorId.view() == port.entry.usb.vendorId.view()) {
      port.entry.usb.serial = parentUsb.serial;
    }
  }
  BoundedText<kPortDescriptionChars - 1> shown;
  if (haveId && friendlyName.find("Orvelle USB") != std::string_view::npos &&
      RecogniseCableAdapter(name, instanceId, &port.entry.description, &shown)) {
    // The device manager shows the adapter under this name from now on. Needs
    // administrator rights; without them the list still shows the right text.
    SetupDiSetDeviceRegistryPropertyA(devices, device, SPDRP_FRIENDLYNAME,
                                      reinterpret_cast<const BYTE*>(shown.c_str()),
                                      static_cast<DWORD>(shown.size() + 1));
  }
  found->push_back(port);
}

}  // namespace

bool ListPorts(const PortEnumPlaces&, std::size_t limit, DiagnosticLog*,
               std::vector<Found>* found) {
  if (!SystemListUsable()) return false;
  DWORD needed = 0;
  SetupDiClassGuidsFromNameA("Ports", nullptr, 0, &needed);
  if (needed == 0) return true;
  std::vector<GUID> classes(needed);
  if (!SetupDiClassGuidsFromNameA("Ports", classes.data(), needed, &needed) || needed == 0)
    return true;
  HDEVINFO devices = SetupDiGetClassDevsA(&classes[0], nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return true;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; found->size() < limit && SetupDiEnumDeviceInfo(devices, index, &device);
       ++index) {
    AddDevice(devices, &device, found);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return true;
}

std::vector<Candidate> ProbeCandidates(const PortEnumPlaces&) {
  std::vector<Candidate> candidates;
  for (int number = 1; number <= kProbeNumbers; ++number) {
    candidates.push_back({"COM" + std::to_string(number), number});
  }
  return candidates;
}

PortState TryPort(const char* portName) {
  if (!portName || !*portName) return PortState::kAbsent;
  char device[kPortNameChars + 8];
  int n = std::snprintf(device, sizeof device, "\\\\.\\%s", portName);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof device) return PortState::kAbsent;
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return PortState::kFree;
  }
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_SHARING_VIOLATION:
    case ERROR_SEM_TIMEOUT:
      return PortState::kBusy;
    default:
      return PortState::kAbsent;
  }
}

}  // namespace quendal::port_enum
