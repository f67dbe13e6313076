// Every way the loader engine and the session fail after they opened a port leaves the port
// free: the next opener gets it at once, as a second Start would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "host/diagnostic_log.h"
#include "instrument/instrument_session.h"
#include "loader/bsl_engine.h"
#include "sim/device.h"
#include "sim/pty_transport.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

// Whether another opener could take the port now: the driver's exclusive lock is free.
bool PortFree(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

TEST(PortRelease, EveryFailedOpenOrProbeLetsThePortGo) {
  test::TempDir dir;
  DiagnosticLog log(dir.File("log.txt").c_str(), kLogDetail);
  // A file opens like a port but takes no line settings; a device that is off says nothing.
  const std::string notATerminal = dir.File("not-a-terminal");
  test::WriteWholeFile(notATerminal, "");
  sim::DeviceOptions options = sim::OptionsForType(kTypeCvFour, 205);
  sim::SimDevice device(options);
  sim::PtyTransport transport(&device);
  ASSERT_EQ(transport.Start(), 1);
  device.PowerCycle(600000);
  const std::string silent = transport.SlavePath();

  struct Case {
    const char* name;
    const std::string* port;
    std::function<Status(HostBSL*, InstrumentSession*, const char*)> run;
  } cases[] = {
      {"BSLConnect, no settings", &notATerminal,
       [](HostBSL* h, InstrumentSession*, const char* p) {
         return BSLConnect(h, p, 57600, true, 1);
       }},
      {"BSLCheck, no settings", &notATerminal,
       [](HostBSL* h, InstrumentSession*, const char* p) { return BSLCheck(h, p, 57600); }},
      {"BSLCheck, no loader", &silent,
       [](HostBSL* h, InstrumentSession*, const char* p) { return BSLCheck(h, p, 57600); }},
      {"BSLConnect, no loader", &silent,
       [](HostBSL* h, InstrumentSession*, const char* p) {
         return BSLConnect(h, p, 57600, true, 1);
       }},
      {"DPConnect, no settings", &notATerminal,
       [](HostBSL*, InstrumentSession* s, const char* p) {
         DeviceProfile profile;
         return DPConnect(s, p, 2, 1, &profile);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = std::make_unique<HostBSL>(&log);
    auto session = std::make_unique<InstrumentSession>(&log);
    EXPECT_LT(c.run(host.get(), session.get(), c.port->c_str()), 0);
    EXPECT_TRUE(PortFree(*c.port)) << "still held after the failure";
    // Taking back a port the engine owns must not forget it open either.
    BSLTakeBack(host.get());
    EXPECT_TRUE(PortFree(*c.port));
  }
}

}  // namespace
}  // namespace quendal
