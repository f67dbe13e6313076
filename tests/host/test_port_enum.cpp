// The port list: the shared rules everywhere; on POSIX the whole enumeration on a made-up
// sysfs tree whose device nodes are links to real pseudo-terminals, so that opens and busy
// tests are real; on Windows a probe of the COM port that the CI job provides.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/port_enum.h"
#include "host/serial.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#endif

namespace quendal {
namespace {

struct Listing {
  Status result = 0;
  std::vector<PortEntry> entries;
};

Listing Enumerate(std::int32_t capacity, bool force, const PortEnumPlaces& places = {}) {
  Listing listing;
  std::vector<PortEntry> table(static_cast<std::size_t>(capacity));
  std::int32_t count = capacity;
  listing.result = CommPortEnum(nullptr, table.data(), &count, force, places);
  if (listing.result >= 0) table.resize(static_cast<std::size_t>(count));
  listing.entries = table;
  return listing;
}

TEST(PortEnumRules, FriendlyNamesAndTheMakersCableAdapter) {
  struct Described {
    const char* friendly;
    const char* description;
  } described[] = {
      {"USB Serial Port (COM3)", "COM3 USB Serial Port"},
      {"Prolific USB-to-Serial Comm Port(COM3)", "COM3 Prolific USB-to-Serial Comm Port"},
      {"Bluetooth Link", "COM3 Bluetooth Link"},
      {"", "COM3 Communications Port"},
  };
  for (const Described& d : described) {
    BoundedText<kPortDescriptionChars> description("old");
    DescribeFromFriendlyName("COM3", d.friendly, &description);
    EXPECT_EQ(description.view(), d.description) << d.friendly;
  }

  struct Adapter {
    const char* instanceId;
    const char* description;  // null: not the maker's cable
    const char* shown;
  } adapters[] = {
      {"USB\\VID_0403&PID_8414\\ORVELLE_KLA", "COM5 Orvelle KLA", "Orvelle KLA (COM5)"},
      {"USB\\VID_0403&PID_8414\\ORVELLE_KLA[B12]", "COM5 Orvelle KLA [B12]",
       "Orvelle KLA [B12] (COM5)"},
      {"USB\\VID_0403&PID_8414\\[B12]ORVELLE_KLA", "COM5 Orvelle KLA [B12]ORVELLE_KLA",
       "Orvelle KLA [B12]ORVELLE_KLA (COM5)"},
      {"USB\\VID_0403&PID_8415\\ORVELLE_KLA", nullptr, nullptr},
      {"FTDIBUS\\VID_0403+PID_8414+ORVELLE_KLA\\0000", nullptr, nullptr},
      {"ORVELLE_KLA\\PID_8414\\X", nullptr, nullptr},
  };
  for (const Adapter& a : adapters) {
    BoundedText<kPortDescriptionChars> description("old");
    BoundedText<kPortDescriptionChars - 1> shown("old");
    bool recognised = RecogniseCableAdapter("COM5", a.instanceId, &description, &shown);
    EXPECT_EQ(recognised, a.description != nullptr) << a.instanceId;
    EXPECT_EQ(description.view(), a.description ? a.description : "old") << a.instanceId;
    EXPECT_EQ(shown.view(), a.shown ? a.shown : "old") << a.instanceId;
  }
}

// Windows names a port's USB device by its instance id; the same parser is tested here.
TEST(PortEnumRules, UsbIdentityFromWindowsInstanceIds) {
  struct Case {
    const char* instanceId;
    bool usb;
    const char* vendor;
    const char* product;
    const char* serial;
  } cases[] = {
      {"USB\\VID_0403&PID_6001\\A12345", true, "0403", "6001", "A12345"},
      {"usb\\vid_067B&pid_2303\\5&1A2B3C4D&0&2", true, "067b", "2303", ""},  // made up
      {"USB\\VID_2341&PID_0043&MI_00\\6&2A3F1B&0&0000", true, "2341", "0043", ""},
      {"FTDIBUS\\VID_0403+PID_6001+A9XK1A\\0000", true, "0403", "6001", "A9XK1A"},
      {"USB\\VID_0403&PID_6001", true, "0403", "6001", ""},
      {"USB\\VID_0403&PID_6001\\A 1", true, "0403", "6001", ""},  // no word: not kept
      {"USB\\VID_04G3&PID_6001\\A12345", false, "", "", ""},
      {"ACPI\\PNP0501\\1", false, "", "", ""},
      {"BTHENUM\\{00001101}_VID&0001005D_PID&223B\\7&1", false, "", "", ""},
      {"", false, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.instanceId);
    UsbIdentity usb;
    usb.serial.Set("old");
    EXPECT_EQ(ParseUsbInstanceId(c.instanceId, &usb), c.usb);
    EXPECT_EQ(usb.vendorId.view(), c.vendor);
    EXPECT_EQ(usb.productId.view(), c.product);
    EXPECT_EQ(usb.serial.view(), c.serial);
  }
}

TEST(PortEnumRules, MissingArgumentsAndNoRoomFillNothing) {
  PortEntry entries[2];
  entries[0].portName.Set("keep");
  std::int32_t count = 2;
  EXPECT_EQ(CommPortEnum(nullptr, nullptr, &count, true), kMissingArgument);
  EXPECT_EQ(CommPortEnum(nullptr, entries, nullptr, true), kMissingArgument);
  for (std::int32_t capacity : {0, -1, INT32_MIN}) {
    count = capacity;
    EXPECT_EQ(CommPortEnum(nullptr, entries, &count, true), kBadArgument) << capacity;
    EXPECT_EQ(count, capacity);
  }
  EXPECT_EQ(entries[0].portName.view(), "keep");
}

#ifndef _WIN32

namespace fs = std::filesystem;

// A pseudo-terminal whose slave stands in for a serial port.
class Pty {
 public:
  Pty() { master_ = test::OpenPtyMaster(&slave_); }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  const std::string& Slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

struct Usb {
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::string productId = "6001";
  bool acm = false;  // cdc-acm has no port folder under the interface, usb-serial has
};

// A machine's sysfs, /dev and runtime folder in a temporary folder.
class FakeMachine : public testing::Test {
 protected:
  // The made-up machine stands for the real one: the test run's narrowing is off here.
  void SetUp() override {
    if (const char* only = std::getenv(kOnly)) savedOnly = only;
    unsetenv(kOnly);
    places = {dir.File("sys"), dir.File("dev"), dir.File("run")};
    fs::create_directories(places.sysfsRoot + "/class/tty");
    fs::create_directories(places.deviceFolder);
    fs::create_directories(places.simulatorFolder);
  }

  // A device node (or a simulated device's link) to a fresh pseudo-terminal.
  std::string AddNode(const std::string& path) {
    ptys.push_back(std::make_unique<Pty>());
    EXPECT_FALSE(ptys.back()->Slave().empty());
    fs::create_symlink(ptys.back()->Slave(), path);
    return ptys.back()->Slave();
  }

  // A tty in sysfs with a device behind it, a USB one when given; a node unless told not.
  std::string AddPort(const std::string& name, const Usb* usb = nullptr, const char* type = nullptr,
                      bool node = true) {
    const std::string tty = places.sysfsRoot + "/class/tty/" + name;
    std::string device = places.sysfsRoot + "/devices/platform/serial8250/" + name;
    if (usb) {
      const std::string usbDevice = places.sysfsRoot + "/devices/usb1/1-" + name;
      device = usbDevice + "/1-" + name + ":1.0" + (usb->acm ? "" : "/" + name);
      fs::create_directories(device);
      const std::pair<const char*, std::string> files[] = {{"idVendor", "0403"},
                                                           {"idProduct", usb->productId},
                                                           {"manufacturer", usb->manufacturer},
                                                           {"product", usb->product},
                                                           {"serial", usb->serial}};
      for (const auto& [file, text] : files) {
        if (!text.empty()) test::WriteWholeFile(usbDevice + "/" + file, text + "\n");
      }
    }
    fs::create_directories(device);
    fs::create_directories(tty);
    fs::create_symlink(device, tty + "/device");
    if (type) test::WriteWholeFile(tty + "/type", std::string(type) + "\n");
    return node ? AddNode(Node(name)) : std::string();
  }

  std::string Node(const std::string& name) const { return places.deviceFolder + "/" + name; }
  std::string Sim(const std::string& name) const { return places.simulatorFolder + "/" + name; }

  // "name|description|number", for whole-list comparisons.
  static std::vector<std::string> Lines(const Listing& listing) {
    std::vector<std::string> lines;
    for (const PortEntry& e : listing.entries) {
      lines.push_back(std::string(e.portName.view()) + "|" + e.description.c_str() + "|" +
                      std::to_string(e.portNumber));
    }
    return lines;
  }
  std::string Line(const std::string& name, const std::string& description, int number) const {
    return Node(name) + "|" + description + "|" + std::to_string(number);
  }

  void TearDown() override {
    if (savedOnly) setenv(kOnly, savedOnly->c_str(), 1);
  }

  static constexpr const char* kOnly = "QUENDAL_PORTS_ONLY_SIMULATED";
  std::optional<std::string> savedOnly;
  test::TempDir dir;
  PortEnumPlaces places;
  std::vector<std::unique_ptr<Pty>> ptys;
};

TEST_F(FakeMachine, ListsPresentPortsInOrderWithReadableDescriptions) {
  Usb ftdi{"FTDI", "FT232R USB UART", "A9XK1", "6001", false};
  Usb prolific{"Prolific Inc.", "Prolific Inc. USB-Serial Controller", ""};
  Usb cable{"Orvelle", "Orvelle USB Cable", "ORVELLE_KLA[A7]", "8414", false};
  Usb otherCable{"Orvelle", "Orvelle USB Cable", "FT55Q", "8414", false};
  Usb radio{"Digi", "PKG-U", "", "6001", true};
  AddPort("ttyUSB1", &ftdi);
  AddPort("ttyUSB10", &cable);
  AddPort("ttyUSB0", &prolific);
  AddPort("ttyACM0", &radio);
  AddPort("ttyUSB2", &otherCable);
  AddPort("ttyS1", nullptr, "4");
  AddPort("ttyS2", nullptr, "0");             // no UART fitted
  AddPort("ttyUSB7", &ftdi, nullptr, false);  // no node
  AddNode(Node("tty3"));                      // a console: no device behind it
  fs::create_directories(places.sysfsRoot + "/class/tty/tty3");
  AddNode(Sim("devsim-sensor"));
  AddNode(Sim("other-link"));
  fs::create_symlink(dir.File("gone"), Sim("devsim-dead"));

  Listing listing = Enumerate(16, false, places);
  EXPECT_EQ(listing.result, 7);
  EXPECT_EQ(Lines(listing), (std::vector<std::string>{
                                Line("ttyUSB0", "ttyUSB0 Prolific Inc. USB-Serial Controller", 0),
                                Line("ttyUSB1", "ttyUSB1 FTDI FT232R USB UART", 1),
                                Line("ttyUSB2", "ttyUSB2 Orvelle USB Cable", 2),
                                Line("ttyUSB10", "ttyUSB10 Orvelle KLA [A7]", 10),
                                Line("ttyACM0", "ttyACM0 Orvelle USB Radmo", 0),
                                Line("ttyS1", "ttyS1 Communications Port", 1),
                                Sim("devsim-sensor") + "|devsim-sensor Simulated device|0",
                            }));

  // Under the system's own /dev a port goes by its bare name, as DSOpen takes it.
  places.sysfsRoot = dir.File("sys2");
  places.deviceFolder = "/dev";
  fs::create_directories(places.sysfsRoot + "/class/tty/ptmx/device");
  listing = Enumerate(1, false, places);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].portName.view(), "ptmx");
}

// The adapter's USB identity comes along, and its serial number finds the port again when
// the adapter comes back under another name; a serial number on no or several ports finds
// none.
TEST_F(FakeMachine, UsbIdentityFindsARepluggedAdapter) {
  Usb ftdi{"FTDI", "FT232R USB UART", "A9XK1", "6001", false};
  Usb acm{"Orvelle", "Field Modem", "fm-7", "00A1", true};
  Usb noSerial{"Prolific", "USB-Serial", "", "2303", false};
  Usb twinA{"FTDI", "Cheap Clone", "A50285BI", "6001", false};
  AddPort("ttyUSB0", &ftdi);
  AddPort("ttyACM0", &acm);
  AddPort("ttyUSB1", &noSerial);
  AddPort("ttyUSB4", &twinA);
  AddPort("ttyUSB5", &twinA);
  AddPort("ttyS0", nullptr, "4");

  Listing listing = Enumerate(16, false, places);
  auto identity = [&](const std::string& name) {
    for (const PortEntry& e : listing.entries) {
      if (e.portName.view() == Node(name)) {
        return std::string(e.usb.vendorId.view()) + ":" + std::string(e.usb.productId.view()) +
               " " + std::string(e.usb.serial.view());
      }
    }
    return std::string("not listed");
  };
  EXPECT_EQ(identity("ttyUSB0"), "0403:6001 A9XK1");
  EXPECT_EQ(identity("ttyACM0"), "0403:00a1 fm-7");
  EXPECT_EQ(identity("ttyUSB1"), "0403:2303 ");
  EXPECT_EQ(identity("ttyS0"), ": ");

  auto found = [&](const char* serial) {
    std::string names;
    for (const PortEntry* e : PortsWithUsbSerial(
             listing.entries.data(), static_cast<std::int32_t>(listing.entries.size()), serial)) {
      names += std::string(e->portName.view()) + " ";
    }
    return names;
  };
  EXPECT_EQ(found("A9XK1"), Node("ttyUSB0") + " ");
  EXPECT_EQ(found("FM-7"), Node("ttyACM0") + " ");  // Windows shows it in upper case
  EXPECT_EQ(found("A9XK"), "");
  EXPECT_EQ(found(""), "");
  EXPECT_EQ(found("A50285BI"), Node("ttyUSB4") + " " + Node("ttyUSB5") + " ");

  // Unplugged and plugged in again: the system gives it the next free name.
  fs::remove_all(places.sysfsRoot + "/class/tty/ttyUSB0");
  fs::remove(Node("ttyUSB0"));
  AddPort("ttyUSB2", &ftdi);
  listing = Enumerate(16, false, places);
  EXPECT_EQ(found("A9XK1"), Node("ttyUSB2") + " ");
}

TEST_F(FakeMachine, PortsThatSomeoneHoldsAreMarkedBusy) {
  Usb wordy{"Orvelle Devices", "Field Instrument Serial Interface Adapter, rev 7", ""};
  Usb radio{"FTDI", "MaxStream PKG-U", ""};
  std::vector<std::string> heldByDriver{AddPort("ttyUSB0"), AddPort("ttyUSB2", &wordy),
                                        AddPort("ttyUSB5", &radio), AddNode(Sim("devsim-kcd"))};
  AddPort("ttyUSB1");
  std::string flagged = AddPort("ttyUSB3");
  std::string locked = AddPort("ttyUSB4");

  std::vector<std::unique_ptr<DeviceLink>> holders;
  for (const std::string& path : heldByDriver) {
    holders.push_back(std::make_unique<DeviceLink>());
    ASSERT_EQ(DSOpen(holders.back().get(), path.c_str(), 9600), kOk);
  }
  // Programs that set exclusive mode without a lock, or lock without exclusive mode.
  int other = open(flagged.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  int locker = open(locked.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(locker, 0);
  ASSERT_EQ(flock(locker, LOCK_EX | LOCK_NB), 0);

  Listing listing = Enumerate(16, false, places);
  EXPECT_EQ(listing.result, 7);
  EXPECT_EQ(
      Lines(listing),
      (std::vector<std::string>{
          Line("ttyUSB0", "ttyUSB0 Communications Port (busy)", 0),
          Line("ttyUSB1", "ttyUSB1 Communications Port", 1),
          Line("ttyUSB2", "ttyUSB2 Orvelle Devices Field Instrument Serial Interface (busy)", 2),
          Line("ttyUSB3", "ttyUSB3 Communications Port (busy)", 3),
          Line("ttyUSB4", "ttyUSB4 Communications Port (busy)", 4),
          Line("ttyUSB5", "ttyUSB5 Orvelle USB Radmo (busy)", 5),
          Sim("devsim-kcd") + "|devsim-kcd Simulated device (busy)|0",
      }));

  // The test took nothing from the holders.
  int exclusive = 0;
  ASSERT_EQ(ioctl(static_cast<int>(holders[0]->handle), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  DeviceLink intruder;
  EXPECT_LT(DSOpen(&intruder, Node("ttyUSB0").c_str(), 9600), 0);

  holders.clear();
  ioctl(other, TIOCNXCL);
  close(other);
  close(locker);
  for (const std::string& line : Lines(Enumerate(16, false, places)))
    EXPECT_EQ(line.find("(busy)"), std::string::npos) << line;
}

TEST_F(FakeMachine, ProbingAddsUnlistedPortsAfterTheListedOnes) {
  AddPort("ttyUSB0");
  AddPort("ttyS0", nullptr, "4");
  AddNode(Node("ttyUSB3"));
  std::string held = AddNode(Node("ttyACM1"));
  test::WriteWholeFile(Node("ttyS5"), "not a terminal");
  fs::create_symlink(dir.File("gone"), Node("ttyACM2"));
  DeviceLink holder;
  ASSERT_EQ(DSOpen(&holder, held.c_str(), 9600), kOk);

  const std::string usb0 = Line("ttyUSB0", "ttyUSB0 Communications Port", 0);
  const std::string s0 = Line("ttyS0", "ttyS0 Communications Port", 0);
  const std::string usb3 = Line("ttyUSB3", "ttyUSB3 Communications Port", 3);
  const std::string acm1 = Line("ttyACM1", "ttyACM1 Communications Port (busy)", 1);
  Listing listing = Enumerate(16, false, places);
  EXPECT_EQ(listing.result, 2);
  EXPECT_EQ(Lines(listing), (std::vector<std::string>{usb0, s0}));
  listing = Enumerate(16, true, places);
  EXPECT_EQ(listing.result, 1);
  EXPECT_EQ(Lines(listing), (std::vector<std::string>{usb0, s0, usb3, acm1}));

  // Without sysfs, probing runs unasked.
  places.sysfsRoot = dir.File("no-sys");
  listing = Enumerate(16, false, places);
  EXPECT_EQ(listing.result, 1);
  EXPECT_EQ(Lines(listing), (std::vector<std::string>{usb0, usb3, acm1, s0}));
}

// A test run sees its own simulated devices and nothing of the machine, probing included.
TEST_F(FakeMachine, TestRunsListOnlySimulatedDevices) {
  AddPort("ttyUSB0");
  AddNode(Node("ttyACM0"));
  AddNode(Sim("devsim-own"));
  const std::string own = Sim("devsim-own") + "|devsim-own Simulated device|0";
  for (const char* value : {"1", "yes"}) {
    setenv(kOnly, value, 1);
    for (bool force : {false, true}) {
      SCOPED_TRACE(testing::Message() << value << (force ? " forced" : ""));
      Listing listing = Enumerate(16, force, places);
      EXPECT_EQ(Lines(listing), (std::vector<std::string>{own}));
    }
  }
  // "0" and "" leave the machine's ports in.
  for (const char* value : {"0", ""}) {
    setenv(kOnly, value, 1);
    EXPECT_EQ(Enumerate(16, true, places).entries.size(), 3u) << '"' << value << '"';
  }
}

TEST_F(FakeMachine, CapacityKeepsTheFirstPortsInOrder) {
  for (const char* name : {"ttyUSB4", "ttyUSB1", "ttyUSB3", "ttyUSB0", "ttyUSB2"}) AddPort(name);
  AddNode(Node("ttyACM0"));

  struct Case {
    std::int32_t capacity;
    bool force;
    Status result;
    std::size_t count;
  } cases[] = {{2, false, 2, 2}, {2, true, 2, 2}, {5, true, 5, 5},
               {6, true, 1, 6},  {7, true, 1, 6}, {7, false, 5, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity << (c.force ? " forced" : ""));
    std::vector<PortEntry> table(static_cast<std::size_t>(c.capacity) + 1);
    table.back().portName.Set("beyond the capacity");
    std::int32_t count = c.capacity;
    EXPECT_EQ(CommPortEnum(nullptr, table.data(), &count, c.force, places), c.result);
    ASSERT_EQ(count, static_cast<std::int32_t>(c.count));
    for (std::size_t i = 0; i + 1 < table.size(); ++i) {
      std::string expected = i < 5 ? Node("ttyUSB" + std::to_string(i)) : Node("ttyACM0");
      EXPECT_EQ(table[i].portName.view(), i < c.count ? expected : "");
    }
    EXPECT_EQ(table.back().portName.view(), "beyond the capacity");
  }
}

#else  // _WIN32

// .ci/windows.sh names a COM port whose other end a peer holds. (Wine lets a second opener
// of a COM port in, so the busy test cannot be shown there.)
TEST(Win32PortEnum, ProbingFindsTheComPort) {
  const char* port = std::getenv("QUENDAL_TEST_COM_PORT");
  if (!port || !*port) GTEST_SKIP() << "QUENDAL_TEST_COM_PORT names no COM port";
  // The serial tests use the port too; take turns.
  HANDLE turn = CreateMutexA(nullptr, FALSE, "Local\\quendal-com-peer");
  ASSERT_NE(turn, nullptr);
  const DWORD got = WaitForSingleObject(turn, 90000);
  ASSERT_TRUE(got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) << got;
  Listing listing = Enumerate(16, true);
  ReleaseMutex(turn);
  CloseHandle(turn);

  EXPECT_GE(listing.result, 1);
  int found = 0;
  for (const PortEntry& entry : listing.entries) {
    if (entry.portName.view() != port) continue;
    ++found;
    EXPECT_EQ(entry.portNumber, std::atoi(port + 3));
    EXPECT_EQ(entry.description.view(), std::string(port) + " Communications Port");
  }
  EXPECT_EQ(found, 1);
}

#endif

}  // namespace
}  // namespace quendal
