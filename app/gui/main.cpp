#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "app/gui/frm_main.h"
#include "web/frm_web.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quendal");
  try {
    quendal::WindowOptions options;
    options.arguments = QApplication::arguments().mid(1);
    quendal::TfrmMain frmMain(options);
    // The window owns the form, so it goes when the window goes.
    frmMain.frmWeb = new quendal::TfrmWeb(&frmMain);
    frmMain.show();
    // Starting runs the window's messages: a close handled then came before the main loop,
    // which would never have heard of it and run on without a window.
    if (!frmMain.isVisible()) return 0;
    return QApplication::exec();
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, "Quendal", QString::fromLocal8Bit(error.what()));
    return 1;
  }
}
