// Uploads the built-in image to a simulated digital sensor whose line is paced at 9600 baud,
// and compares the time taken with the time the bytes need on the wire.
//
//   quendal-upload-bench [--baud N]
//
// Prints the wire time (bytes on the line in both directions, ten bit times each), the
// wall time of the erase and upload phases, their ratio, and the updater's CPU time as a
// share of the wall time. Goal: ratio <= 1.03, CPU <= 2 %.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loader/bsl_engine.h"
#include "loader/device_types.h"
#include "sim/device.h"
#include "sim/pty_transport.h"

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quendal;
  std::uint32_t baud = 9600;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
      baud = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: quendal-upload-bench [--baud N]\n");
      return 2;
    }
  }

  DeviceProfile profile;
  DescribeDevice(kTypeDigitalSensor, 396, &profile);
  sim::DeviceOptions options = sim::OptionsForType(kTypeDigitalSensor, 396);
  options.shellBaud = baud;
  options.layout.loaderBaud = baud;
  sim::SimDevice device(options);
  sim::PtyTransport transport(&device, {.pace = true});
  if (transport.Start() != 1) {
    std::fprintf(stderr, "quendal-upload-bench: cannot start the simulated device\n");
    return 1;
  }
  HostBSL host(nullptr);
  if (host.constructorError < 0) return 1;
  Status rc = BSLConnect(&host, transport.SlavePath().c_str(), baud, false, 3);
  if (rc < 0) {
    std::fprintf(stderr, "quendal-upload-bench: no loader (%d)\n", rc);
    return 1;
  }
  if (baud != 9600) DSHostBaud(&host.link, baud);

  const sim::DeviceCounters before = device.Counters();
  const auto wallStart = std::chrono::steady_clock::now();
  const double cpuStart = ThreadCpuSeconds();

  rc = BSLEraseINFO(&host, profile.infoStart, profile.infoSegments, profile.infoSegmentSize, false);
  if (rc > 0) rc = BSLEraseFlash(&host, profile.flashStart, profile.flashEnd, false);
  if (rc > 0) rc = BSLSendFirmware(&host, false);

  const double cpu = ThreadCpuSeconds() - cpuStart;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const sim::DeviceCounters after = device.Counters();
  BSLSendVectors(&host);
  BSLDisconnect(&host);
  if (rc < 0) {
    std::fprintf(stderr, "quendal-upload-bench: the upload failed (%d)\n", rc);
    return 1;
  }

  const double bytes = static_cast<double>((after.bytesIn - before.bytesIn) +
                                           (after.bytesOut - before.bytesOut));
  const double wire = bytes * 10.0 / baud;
  std::printf("image:       %s, %u characters of image text\n", host.imageName.c_str(),
              host.imageTextLength);
  std::printf("line:        %u baud, %.0f bytes both ways\n", baud, bytes);
  std::printf("wire time:   %.2f s\n", wire);
  std::printf("wall time:   %.2f s\n", wall);
  std::printf("ratio:       %.3f (goal <= 1.03)\n", wall / wire);
  std::printf("updater CPU: %.3f s, %.2f %% of the wall time (goal <= 2 %%)\n", cpu,
              100.0 * cpu / wall);
  std::printf("self-test:   %s\n", device.SelfTestPasses() ? "Code Good" : "Code Corrupt");
  return 0;
}
