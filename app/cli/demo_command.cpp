#include "app/cli/demo_command.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/cli/options.h"
#include "app/cli/update_command.h"
#include "app/engine/updater_engine.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"

namespace quendal::cli {
namespace {

struct SensorFacts {
  std::uint32_t version = 0;
  char address = 0;
  std::string serialNumber;
  std::string x4;
  std::string xa;
  bool selfTest = false;
};

SensorFacts Facts(const sim::CommDevice& device) {
  return device.WithSensor([](const sim::SdiSensor& s) {
    return SensorFacts{s.version(), s.address(), s.serialNumber(),
                       s.x4(),      s.xa(),      s.SelfTestPasses()};
  });
}

void Describe(const char* when, const SensorFacts& f) {
  std::printf("%s: firmware %u.%02u, address %c, serial number %s, calibration \"%s\" / \"%s\"%s\n",
              when, f.version / 100, f.version % 100, f.address, f.serialNumber.c_str(),
              f.x4.c_str(), f.xa.c_str(), f.selfTest ? "" : " (code corrupt)");
}

// A folder of its own, so the demo never touches a real update's settings file.
std::string MakeDemoFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quendal-demo-XXXXXX";
  if (!mkdtemp(pattern.data())) return {};
  return pattern;
}

}  // namespace

int RunDemoCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options =
      ParseOptions(args, {}, {"--events", "--keep", "-q", "--quiet", "-v", "--verbose"});
  bool quiet = false;
  bool verbose = false;
  if (options.error.empty()) TakeLoudness(options, &quiet, &verbose, &options.error);
  if (!options.error.empty()) {
    std::fprintf(stderr, "quendal-cli demo: %s\n", options.error.c_str());
    return kExitUsage;
  }
  const bool events = options.Has("--events");
  if (ThisBuild().targetType != kTypeDigitalSensor) {
    std::fprintf(stderr,
                 "quendal-cli demo: the demo updates a digital sensor; this build "
                 "updates instruments\n");
    return kExitFailed;
  }

  sim::CommDevice device(sim::DemoCommDeviceOptions());
  sim::PtyTransport transport(&device);
  if (transport.Start() < 0) {
    std::fprintf(stderr, "quendal-cli demo: could not create a pseudo-terminal\n");
    return kExitFailed;
  }

  UpdateRequest request;
  request.port = transport.SlavePath();
  request.portDescription = "simulated KCD";
  request.events = events;
  request.quiet = quiet;
  request.verbose = verbose;
  request.dataDir = MakeDemoFolder();
  if (request.dataDir.empty()) {
    std::fprintf(stderr, "quendal-cli demo: could not create a data folder\n");
    return kExitFailed;
  }

  const SensorFacts before = Facts(device);
  if (!events && !quiet) {
    std::printf("Simulated KCD with a Lurra sensor on %s\n", request.port.c_str());
    Describe("Sensor before", before);
  }
  int status = RunUpdateRequest(request);
  const SensorFacts after = Facts(device);
  transport.Stop();

  const bool kept = after.address == before.address && after.serialNumber == before.serialNumber &&
                    after.x4 == before.x4 && after.xa == before.xa && after.selfTest;
  if (!events) Describe("Sensor after", after);
  if (options.Has("--keep")) {
    // Events keep standard output pure JSON; the folder is named on standard error there.
    std::fprintf(events ? stderr : stdout,
                 "Kept: %s (the log, the settings copy and the record of the update)\n",
                 request.dataDir.c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(request.dataDir, ec);
    if (ec) {
      std::fprintf(stderr, "quendal-cli demo: the folder %s could not be removed (%s)\n",
                   request.dataDir.c_str(), ec.message().c_str());
    }
  }
  if (status == kExitOk && !kept) {
    std::fprintf(stderr, "quendal-cli demo: the sensor did not keep its settings\n");
    status = kExitFailed;
  }
  return status;
}

}  // namespace quendal::cli
