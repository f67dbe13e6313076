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
    return QApplication::exec();
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, "Quendal", QString::fromLocal8Bit(error.what()));
    return 1;
  }
}
