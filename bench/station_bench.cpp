// A station update of 1, 2, 4 and 8 simulated comm devices with Lurra sensors at once, each
// line paced at its baud rate, through quendal-cli's station mode.
//
//   quendal-station-bench [--units 1,2,4,8]
//
// Prints each wall time against one unit's, and the host CPU per unit (the station and its
// children, from getrusage, over the wall time). Goals: 8 units in at most 1.1x the time of
// one; host CPU under 2 % per unit. The simulators run in this process and are not counted.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/comm_device.h"
#include "sim/pty_transport.h"

namespace {

using namespace quendal;

double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
  double wall = 0;
  double cpu = 0;
  int status = -1;
  int updated = 0;
};

Run StationRun(int units, const std::string& folder) {
  std::vector<std::unique_ptr<sim::CommDevice>> devices;
  std::vector<std::unique_ptr<sim::PtyTransport>> transports;
  std::vector<std::string> argv = {QUENDAL_CLI_PATH, "update"};
  for (int i = 0; i < units; ++i) {
    sim::CommDeviceOptions options = sim::DemoCommDeviceOptions();
    devices.push_back(std::make_unique<sim::CommDevice>(std::move(options)));
    transports.push_back(
        std::make_unique<sim::PtyTransport>(devices.back().get(), sim::TransportOptions{true}));
    if (transports.back()->Start() != 1) {
      std::fprintf(stderr, "the simulated device %d did not start\n", i);
      std::exit(1);
    }
    argv.push_back("--port");
    argv.push_back(transports.back()->SlavePath());
  }
  argv.push_back("--data-dir");
  argv.push_back(folder);

  Run run;
  const double cpuBefore = ChildCpuSeconds();
  std::fflush(stdout);  // else the child's copy of the buffer is printed twice
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    // The station's plain lines are not part of the figures.
    FILE* null = std::freopen("/dev/null", "w", stdout);
    (void)null;
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = ChildCpuSeconds() - cpuBefore;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  for (auto& device : devices) {
    if (device->WithSensor([](const sim::SdiSensor& s) { return s.version(); }) == 396u) {
      ++run.updated;
    }
  }
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts = {1, 2, 4, 8};
  if (argc == 3 && std::strcmp(argv[1], "--units") == 0) {
    counts.clear();
    std::stringstream list(argv[2]);
    for (std::string item; std::getline(list, item, ',');) counts.push_back(std::atoi(item.c_str()));
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: quendal-station-bench [--units 1,2,4,8]\n");
    return 2;
  }
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("quendal-station-bench-" + std::to_string(getpid())))
          .string();
  std::printf("units  wall s  vs one  host CPU/unit  updated  exit\n");
  double one = 0;
  int worst = 0;
  for (int units : counts) {
    std::filesystem::remove_all(folder);
    const Run run = StationRun(units, folder);
    if (one == 0) one = run.wall;
    const double perUnit = run.cpu / run.wall / units * 100.0;
    std::printf("%5d  %6.1f  %5.2fx  %12.2f %%  %4d/%-2d  %4d\n", units, run.wall, run.wall / one,
                perUnit, run.updated, units, run.status);
    std::fflush(stdout);
    if (run.status != 0 || run.updated != units) worst = 1;
  }
  std::filesystem::remove_all(folder);
  std::printf("goal: 8 units in at most 1.10x the time of one, host CPU under 2 %% per unit\n");
  return worst;
}
