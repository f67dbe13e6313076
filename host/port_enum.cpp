// CommPortEnum: the rules that turn what the system lists and what probing finds into the
// port list, the same on every system.
#include "host/port_enum.h"

#include <algorithm>
#include <charconv>
#include <exception>

namespace quendal {
namespace {

constexpr std::string_view kBusyMark = " (busy)";
constexpr std::string_view kRadioModemMarks[] = {"MaxStream PKG-U", "Digi PKG-U"};
constexpr std::string_view kRadioModemName = "Orvelle USB Radmo";
constexpr std::string_view kCableName = "Orvelle KLA";
constexpr std::string_view kCableProduct = "PID_8414\\";
constexpr std::string_view kCableSerial = "ORVELLE_KLA";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view BaseName(std::string_view name) {
  std::size_t slash = name.find_last_of('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::string_view Family(std::string_view name) {
  std::string_view base = BaseName(name);
  std::size_t end = base.size();
  while (end > 0 && IsDigit(base[end - 1])) --end;
  return base.substr(0, end);
}

// An instrument usually hangs on a USB adapter, so those come first.
int FamilyRank(std::string_view family) {
  if (family == "ttyUSB") return 0;
  if (family == "ttyACM") return 1;
  return 2;
}

bool ListedBefore(const port_enum::Found& a, const port_enum::Found& b) {
  if (a.group != b.group) return a.group < b.group;
  std::string_view familyA = Family(a.entry.portName.view());
  std::string_view familyB = Family(b.entry.portName.view());
  int rankA = FamilyRank(familyA);
  int rankB = FamilyRank(familyB);
  if (rankA != rankB) return rankA < rankB;
  if (familyA != familyB) return familyA < familyB;
  return a.entry.portNumber < b.entry.portNumber;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Device strings may carry tabs or line ends; the list shows one line per port.
void BlankControlCharacters(BoundedText<kPortDescriptionChars>* text) {
  for (std::size_t i = 0; i < text->size(); ++i) {
    unsigned char c = static_cast<unsigned char>((*text)[i]);
    if (c < 0x20 || c == 0x7F) (*text)[i] = ' ';
  }
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The busy mark stays: the operator must still see that the adapter is taken.
void RenameRadioModem(PortEntry* entry) {
  std::string_view description = entry->description.view();
  bool isRadioModem = std::any_of(
      std::begin(kRadioModemMarks), std::end(kRadioModemMarks),
      [&](std::string_view mark) { return description.find(mark) != std::string_view::npos; });
  if (!isRadioModem) return;
  bool busy = EndsWith(description, kBusyMark);
  entry->description.Set(BaseName(entry->portName.view()));
  entry->description.Append(" ");
  entry->description.Append(kRadioModemName);
  if (busy) MarkBusy(&entry->description);
}

bool AlreadyListed(const std::vector<PortEntry>& list, std::string_view name) {
  return std::any_of(list.begin(), list.end(), [&](const PortEntry& entry) {
    std::string_view listed = entry.portName.view();
    return listed.size() == name.size() &&
           std::equal(listed.begin(), listed.end(), name.begin(), [](char a, char b) {
             auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
             return lower(a) == lower(b);
           });
  });
}

}  // namespace

std::int32_t TrailingNumber(std::string_view name) {
  std::size_t start = name.size();
  while (start > 0 && IsDigit(name[start - 1])) --start;
  std::int32_t number = 0;
  if (start == name.size()) return 0;
  auto [end, ec] = std::from_chars(name.data() + start, name.data() + name.size(), number);
  (void)end;
  return ec == std::errc() ? number : INT32_MAX;
}

void DescribeFromFriendlyName(std::string_view portName, std::string_view friendlyName,
                              BoundedText<kPortDescriptionChars>* description) {
  if (friendlyName.empty()) {
    description->Set(portName);
    description->Append(" Communications Port");
    return;
  }
  std::size_t cut = friendlyName.find("(COM");
  if (cut != std::string_view::npos) friendlyName = friendlyName.substr(0, cut);
  while (!friendlyName.empty() && friendlyName.back() == ' ') friendlyName.remove_suffix(1);
  description->Set(portName);
  description->Append(" ");
  description->Append(friendlyName);
}

bool RecogniseCableAdapter(std::string_view portName, std::string_view instanceId,
                           BoundedText<kPortDescriptionChars>* description,
                           BoundedText<kPortDescriptionChars - 1>* friendlyName) {
  std::size_t product = instanceId.find(kCableProduct);
  if (product == std::string_view::npos) return false;
  std::string_view rest = instanceId.substr(product + kCableProduct.size());
  if (rest.find(kCableSerial) == std::string_view::npos) return false;

  std::size_t open = rest.find('[');
  std::string_view mark = open == std::string_view::npos ? std::string_view() : rest.substr(open);
  BoundedText<kPortDescriptionChars> text(portName);
  text.Append(" ");
  text.Append(kCableName);
  BoundedText<kPortDescriptionChars - 1> shown(kCableName);
  if (!mark.empty()) {
    text.Append(" ");
    text.Append(mark);
    shown.Append(" ");
    shown.Append(mark);
  }
  shown.Append(" (");
  shown.Append(portName);
  shown.Append(")");
  if (description) *description = text;
  if (friendlyName) *friendlyName = shown;
  return true;
}

namespace {

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool StartsIgnoringCase(std::string_view text, std::string_view start) {
  return text.size() >= start.size() && SameIgnoringCase(text.substr(0, start.size()), start);
}

// The four hex digits after `tag` ("VID_") in `part`; empty when they are not there.
std::string_view IdAfter(std::string_view part, std::string_view tag) {
  for (std::size_t at = 0; at + tag.size() + 4 <= part.size(); ++at) {
    if (!StartsIgnoringCase(part.substr(at), tag)) continue;
    std::string_view id = part.substr(at + tag.size(), 4);
    if (std::all_of(id.begin(), id.end(), IsHexDigit)) return id;
  }
  return {};
}

}  // namespace

void SetUsbIdentity(std::string_view vendorId, std::string_view productId, std::string_view serial,
                    UsbIdentity* usb) {
  *usb = UsbIdentity{};
  auto id = [](std::string_view text, BoundedText<4>* out) {
    if (text.size() != 4 || !std::all_of(text.begin(), text.end(), IsHexDigit)) return;
    char lower[4];
    std::transform(text.begin(), text.end(), lower, Lower);
    out->Set(std::string_view(lower, 4));
  };
  id(vendorId, &usb->vendorId);
  id(productId, &usb->productId);
  // Printable ASCII without blanks: the serial number is a word on the port list's line.
  const bool visible = std::all_of(serial.begin(), serial.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
  });
  if (visible && serial.size() <= kUsbSerialChars) usb->serial.Set(serial);
}

bool ParseUsbInstanceId(std::string_view instanceId, UsbIdentity* usb) {
  *usb = UsbIdentity{};
  const std::size_t first = instanceId.find('\\');
  if (first == std::string_view::npos) return false;
  const std::string_view enumerator = instanceId.substr(0, first);
  std::string_view rest = instanceId.substr(first + 1);
  const std::size_t second = rest.find('\\');
  const std::string_view ids = rest.substr(0, second);
  const std::string_view last =
      second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
  const std::string_view vendor = IdAfter(ids, "VID_");
  const std::string_view product = IdAfter(ids, "PID_");
  if (vendor.empty() || product.empty()) return false;

  std::string_view serial;
  if (SameIgnoringCase(enumerator, "FTDIBUS")) {
    // VID_0403+PID_6001+SERIAL: the driver adds the chip's port letter to the serial number.
    const std::size_t plus = ids.rfind('+');
    if (plus != std::string_view::npos && plus + 1 < ids.size() &&
        !StartsIgnoringCase(ids.substr(plus + 1), "PID_")) {
      serial = ids.substr(plus + 1);
    }
  } else if (SameIgnoringCase(enumerator, "USB")) {
    if (last.find('&') == std::string_view::npos) serial = last;
  } else {
    return false;
  }
  SetUsbIdentity(vendor, product, serial, usb);
  return true;
}

std::vector<const PortEntry*> PortsWithUsbSerial(const PortEntry* entries, std::int32_t count,
                                                 std::string_view serial) {
  std::vector<const PortEntry*> found;
  if (!entries || serial.empty()) return found;
  for (std::int32_t i = 0; i < count; ++i) {
    if (SameIgnoringCase(entries[i].usb.serial.view(), serial)) found.push_back(&entries[i]);
  }
  return found;
}

bool IsBuiltInSerialPort(std::string_view portName) {
  return Family(portName) == "ttyS";
}

bool IsLikelyDevicePort(const PortEntry& entry) {
  return !IsBuiltInSerialPort(entry.portName.view()) &&
         !EndsWith(entry.description.view(), kBusyMark);
}

void MarkBusy(BoundedText<kPortDescriptionChars>* description) {
  if (description->size() + kBusyMark.size() > kPortDescriptionChars) {
    description->Set(description->view().substr(0, kPortDescriptionChars - kBusyMark.size()));
  }
  description->Append(kBusyMark);
}

Status CommPortEnum(DeviceLink* link, PortEntry* entries, std::int32_t* count, bool force,
                    const PortEnumPlaces& places) {
  if (!entries || !count) return kMissingArgument;
  if (*count < 1) return kBadArgument;
  const std::size_t capacity = static_cast<std::size_t>(*count);
  DiagnosticLog* log = link ? link->log : nullptr;

  std::vector<PortEntry> list;
  std::size_t listed = 0;
  bool systemListUsed = false;
  bool probingAdded = false;
  try {
    std::vector<port_enum::Found> found;
    systemListUsed = port_enum::ListPorts(places, capacity, log, &found);
    // Such a name could not be shown on one line, nor would a cut one open the same port.
    std::erase_if(found, [](const port_enum::Found& f) {
      return f.entry.portName.empty() || f.entry.portName.size() >= kPortNameChars ||
             HasControlCharacter(f.entry.portName.view());
    });
    std::stable_sort(found.begin(), found.end(), ListedBefore);

    listed = std::min(found.size(), capacity);
    list.reserve(capacity < 64 ? capacity : 64);
    for (std::size_t i = 0; i < listed; ++i) list.push_back(found[i].entry);
    for (PortEntry& entry : list) {
      if (port_enum::TryPort(entry.portName.c_str()) != port_enum::PortState::kFree)
        MarkBusy(&entry.description);
    }

    if (force || !systemListUsed) {
      for (const port_enum::Candidate& candidate : port_enum::ProbeCandidates(places)) {
        if (list.size() >= capacity) break;
        if (candidate.name.size() >= kPortNameChars) continue;
        if (AlreadyListed(list, candidate.name)) continue;
        port_enum::PortState state = port_enum::TryPort(candidate.name.c_str());
        if (state == port_enum::PortState::kAbsent) continue;
        PortEntry entry;
        entry.portName.Set(candidate.name);
        entry.portNumber = candidate.number;
        DescribeFromFriendlyName(BaseName(candidate.name), {}, &entry.description);
        if (state == port_enum::PortState::kBusy) MarkBusy(&entry.description);
        list.push_back(entry);
        probingAdded = true;
      }
    }
    for (PortEntry& entry : list) {
      RenameRadioModem(&entry);
      BlankControlCharacters(&entry.description);
    }
  } catch (const std::exception&) {
    // Only allocation can throw here.
    return kOutOfMemory;
  }

  for (std::size_t i = 0; i < capacity; ++i) entries[i] = PortEntry{};
  std::copy(list.begin(), list.end(), entries);
  *count = static_cast<std::int32_t>(list.size());
  LogPrint(log, kLogDetail, kSerialSource, "CommPortEnum found %d ports (%d by probing)",
           static_cast<int>(list.size()), static_cast<int>(list.size() - listed));
  return systemListUsed && !probingAdded ? static_cast<Status>(listed) : kOk;
}

}  // namespace quendal
