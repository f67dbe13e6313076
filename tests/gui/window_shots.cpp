// Pictures of the window for the documentation, taken headless against simulated comm
// devices: idle, updating, a failure with its message, and a success. Each PNG is the
// window as it paints itself (no frame or title bar), a message box centred over it.
//
//   QT_QPA_PLATFORM=offscreen quendal-window-shots [FOLDER]   (default: the current folder)
//
// Everything it writes besides the pictures lives in a temporary folder of its own.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/gui/frm_main.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"

using namespace quendal;

namespace {

QString outFolder;

bool Save(const QImage& image, const char* name) {
  const QString path = QDir(outFolder).filePath(name);
  if (!image.save(path, "PNG")) {
    std::fprintf(stderr, "quendal-window-shots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// The window, and over its middle the box when there is one, on a neutral ground.
QImage Picture(QWidget* window, QWidget* box = nullptr) {
  const QPixmap shown = window->grab();
  if (!box) return shown.toImage();
  const QPixmap over = box->grab();
  const int margin = 12;
  const QSize size(std::max(shown.width(), over.width()) + 2 * margin,
                   std::max(shown.height(), over.height()) + 2 * margin);
  QImage image(size, QImage::Format_RGB32);
  image.fill(QColor(0xd8, 0xdc, 0xe0));
  QPainter painter(&image);
  const QPoint windowAt((size.width() - shown.width()) / 2, (size.height() - shown.height()) / 2);
  painter.drawPixmap(windowAt, shown);
  const QPoint boxAt((size.width() - over.width()) / 2, (size.height() - over.height()) / 2);
  painter.setPen(QColor(0x60, 0x60, 0x60));
  painter.drawRect(QRect(boxAt - QPoint(1, 1), over.size() + QSize(1, 1)));
  painter.drawPixmap(boxAt, over);
  return image;
}

// Runs the event loop until `done` holds; false when it did not within `ms`.
bool Await(const std::function<bool()>& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    usleep(5000);
  }
  return true;
}

// Lets the layout finish (wrapped labels take their height in a second pass).
bool Settle() {
  QElapsedTimer timer;
  timer.start();
  return Await([&] { return timer.elapsed() > 300; }, 1000);
}

struct Run {
  QTemporaryDir dir{QDir::tempPath() + "/qshots-XXXXXX"};
  std::unique_ptr<sim::CommDevice> device;
  std::unique_ptr<sim::PtyTransport> transport;
  std::unique_ptr<TfrmMain> window;

  // A window that lists only this run's simulated comm device.
  bool Open(sim::CommDeviceOptions options) {
    if (!dir.isValid()) return false;
    for (const char* sub : {"sys/class/tty", "dev", "sim", "config"})
      QDir().mkpath(dir.filePath(sub));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    device = std::make_unique<sim::CommDevice>(std::move(options));
    transport = std::make_unique<sim::PtyTransport>(device.get());
    if (transport->Start() <= 0) return false;
    const QString link = dir.filePath("sim/devsim-kcd0");
    if (symlink(transport->SlavePath().c_str(), QFile::encodeName(link).constData()) != 0)
      return false;
    WindowOptions windowOptions;
    windowOptions.dataFolder = dir.filePath("Orvelle/Quendal").toStdString();
    QDir().mkpath(QString::fromStdString(windowOptions.dataFolder));
    windowOptions.portPlaces.sysfsRoot = dir.filePath("sys").toStdString();
    windowOptions.portPlaces.deviceFolder = dir.filePath("dev").toStdString();
    windowOptions.portPlaces.simulatorFolder = dir.filePath("sim").toStdString();
    window = std::make_unique<TfrmMain>(windowOptions);
    window->dialogs.beep = [](int) {};
    window->dialogs.openFolder = [](const QUrl&) { return true; };
    window->show();
    return Settle() && window->isVisible();
  }

  ~Run() {
    window.reset();
    if (transport) transport->Stop();
  }
};

// Idle, updating (the bar part way), success.
bool Success() {
  Run run;
  if (!run.Open(sim::DemoCommDeviceOptions())) return false;
  TfrmMain* w = run.window.get();
  if (!Save(Picture(w), "window-idle.png")) return false;
  bool saved = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!saved && Updating(*w->engine()) && w->statusBar->value() >= 35) {
      saved = Save(Picture(w), "window-updating.png");
    }
  });
  watch.start(5);
  w->btnStart->click();
  if (!Await([&] { return !Updating(*w->engine()) && w->btnClose->isEnabled(); }, 240000))
    return false;
  watch.stop();
  return saved && w->statusBar->value() == 100 && Settle() &&
         Save(Picture(w), "window-success.png");
}

// A refusal: the battery is too low. The real message box, taken while it is open.
bool Failure() {
  sim::CommDeviceOptions options = sim::DemoCommDeviceOptions();
  options.battery = 5;
  Run run;
  if (!run.Open(std::move(options))) return false;
  TfrmMain* w = run.window.get();
  bool saved = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    saved = Save(Picture(w, box), "window-failure.png");
    box->accept();
  });
  watch.start(50);
  w->btnStart->click();
  return Await([&] { return !Updating(*w->engine()) && w->btnClose->isEnabled(); }, 60000) && saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quendal");
  outFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
  if (!QDir().mkpath(outFolder)) return 1;
  if (!Success()) {
    std::fprintf(stderr, "quendal-window-shots: the update did not run as expected\n");
    return 1;
  }
  if (!Failure()) {
    std::fprintf(stderr, "quendal-window-shots: the failure did not show its message\n");
    return 1;
  }
  return 0;
}
