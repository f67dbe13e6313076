// A whole digital-sensor update, started with the window's Start button, against a simulated
// comm device and sensor whose line is paced at its baud rate (9600 on the sensor's path).
//
//   quendal-update-bench [--stalls]
//
// Prints the wall time of the update against the time the bytes need on the wire plus the
// waits the sequence makes on purpose, the updater's CPU share, and the longest time the
// window's event loop went without running. Goals: ratio <= 1.03, CPU <= 2 %, stall <= 100 ms.
// Runs headless (offscreen) unless a platform is set. --stalls lists every gap over 40 ms.
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "app/gui/frm_main.h"
#include "host/timing.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"

namespace {

using namespace quendal;

// The update runs on the window's thread; the simulator's thread is not the updater's.
double UpdaterCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sits between the transport and the device and adds up each byte's time on the wire at the
// speed it travelled, in both directions.
class WireMeter : public sim::Endpoint {
 public:
  explicit WireMeter(sim::Endpoint* inner) : inner_(inner) {}

  void Receive(const std::uint8_t* bytes, std::size_t count, std::uint32_t hostBaud,
               sim::TimePoint now) override {
    Add(count, hostBaud);
    inner_->Receive(bytes, count, hostBaud, now);
  }
  sim::TimePoint Advance(sim::TimePoint now) override { return inner_->Advance(now); }
  void TakeOutput(std::vector<sim::OutChunk>* out) override {
    const std::size_t first = out->size();
    inner_->TakeOutput(out);
    for (std::size_t i = first; i < out->size(); ++i) {
      Add((*out)[i].bytes.size(), (*out)[i].baud);
    }
  }
  std::uint32_t Baud() const override { return inner_->Baud(); }
  void SetWakeHook(std::function<void()> wake) override { inner_->SetWakeHook(std::move(wake)); }

  double WireSeconds() const {
    std::lock_guard lock(mu_);
    return seconds_;
  }
  std::uint64_t Bytes() const {
    std::lock_guard lock(mu_);
    return bytes_;
  }

 private:
  void Add(std::size_t count, std::uint32_t baud) {
    std::lock_guard lock(mu_);
    bytes_ += count;
    seconds_ += static_cast<double>(count) * 10.0 / (baud ? baud : sim::kShellBaud);
  }

  sim::Endpoint* inner_;
  mutable std::mutex mu_;
  std::uint64_t bytes_ = 0;
  double seconds_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const bool showStalls = argc == 2 && std::strcmp(argv[1], "--stalls") == 0;
  if (argc > 2 || (argc == 2 && !showStalls)) {
    std::fprintf(stderr, "usage: quendal-update-bench [--stalls]\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  QTemporaryDir dir;
  if (!dir.isValid()) return 1;
  // Never the operator's own preferences.
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
  for (const char* sub : {"sys/class/tty", "dev", "sim", "data"}) QDir().mkpath(dir.filePath(sub));

  sim::CommDevice device(sim::DemoCommDeviceOptions());
  WireMeter meter(&device);
  sim::PtyTransport transport(&meter, {.pace = true});
  if (transport.Start() != 1) {
    std::fprintf(stderr, "quendal-update-bench: cannot start the simulated device\n");
    return 1;
  }
  const QString link = dir.filePath("sim/devsim-kcd0");
  if (symlink(transport.SlavePath().c_str(), link.toUtf8().constData()) != 0) return 1;

  WindowOptions options;
  options.dataFolder = dir.filePath("data").toStdString();
  options.portPlaces.sysfsRoot = dir.filePath("sys").toStdString();
  options.portPlaces.deviceFolder = dir.filePath("dev").toStdString();
  options.portPlaces.simulatorFolder = dir.filePath("sim").toStdString();
  TfrmMain window(options);
  int messages = 0;
  window.dialogs.message = [&](const QString& text, const QString& caption, int) {
    ++messages;
    std::fprintf(stderr, "message: %s: %s\n", qPrintable(caption), qPrintable(text));
  };
  window.dialogs.box = [&](const QString& text, const QString& caption, int) {
    ++messages;
    std::fprintf(stderr, "question: %s: %s\n", qPrintable(caption), qPrintable(text));
    return kBoxOk;
  };
  window.dialogs.beep = [](int) {};
  window.show();

  // A fine timer on the window's thread: the widest gap between its runs is the longest the
  // window could not repaint or react.
  QElapsedTimer clock;
  clock.start();
  qint64 lastTick = -1;
  qint64 longestStall = 0;
  bool watching = false;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.setInterval(5);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (watching && lastTick >= 0) longestStall = std::max(longestStall, now - lastTick);
    if (showStalls && watching && lastTick >= 0 && now - lastTick > 40) {
      std::fprintf(stderr, "stall of %lld ms at %.3f s: %s\n",
                   static_cast<long long>(now - lastTick), now / 1000.0,
                   qPrintable(window.statusText->text()));
    }
    lastTick = now;
  });
  tick.start();

  double wallStart = 0, cpuStart = 0, wireStart = 0;
  std::uint64_t sleptStart = 0, bytesStart = 0;
  double wall = 0, cpu = 0, wire = 0, slept = 0;
  std::uint64_t bytes = 0;
  int result = -1;
  QTimer::singleShot(200, &window, [&] {
    if (window.portCount < 1) {
      std::fprintf(stderr, "quendal-update-bench: the simulated device is not listed\n");
      app.exit(1);
      return;
    }
    wallStart = clock.elapsed() / 1000.0;
    cpuStart = UpdaterCpuSeconds();
    wireStart = meter.WireSeconds();
    bytesStart = meter.Bytes();
    sleptStart = DSSleepAskedMs();
    watching = true;
    lastTick = clock.elapsed();
    // The Start timer runs the whole update in one handler, pumping as it goes; the buttons
    // come back when it has returned.
    window.btnStartClick();
    while (!window.btnClose->isEnabled()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    watching = false;
    wall = clock.elapsed() / 1000.0 - wallStart;
    cpu = UpdaterCpuSeconds() - cpuStart;
    wire = meter.WireSeconds() - wireStart;
    bytes = meter.Bytes() - bytesStart;
    slept = static_cast<double>(DSSleepAskedMs() - sleptStart) / 1000.0;
    result = window.statusBar->value() == 100 &&
                     window.statusText->text().startsWith("Successfully updated firmware in ")
                 ? 1
                 : 0;
    app.quit();
  });
  const int appResult = app.exec();
  transport.Stop();
  if (appResult != 0) return appResult;

  const unsigned version = device.WithSensor([](const sim::SdiSensor& s) { return s.version(); });
  std::printf("update:        %s, sensor now at %u.%02u, %d messages\n",
              result == 1 ? "succeeded" : "FAILED", version / 100, version % 100, messages);
  std::printf("line:          %llu bytes both ways, wire time %.2f s\n",
              static_cast<unsigned long long>(bytes), wire);
  std::printf("waits:         %.2f s asked of the sleeps by the sequence\n", slept);
  std::printf("wall time:     %.2f s\n", wall);
  std::printf("ratio:         %.3f (wall / (wire + waits), goal <= 1.03)\n", wall / (wire + slept));
  std::printf("CPU:           %.3f s, %.2f %% of the wall time (goal <= 2 %%)\n", cpu,
              100.0 * cpu / wall);
  std::printf("longest stall: %lld ms of the window's event loop (goal <= 100 ms)\n",
              static_cast<long long>(longestStall));
  return result == 1 ? 0 : 1;
}
