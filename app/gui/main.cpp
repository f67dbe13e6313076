#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "app/gui/frm_main.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quendal");
  try {
    quendal::WindowOptions options;
    options.arguments = QApplication::arguments().mid(1);
    quendal::TfrmMain frmMain(options);
    frmMain.show();
    return QApplication::exec();
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, "Quendal", QString::fromLocal8Bit(error.what()));
    return 1;
  }
}
