#include <QApplication>

#include "app/diag_tool_app.h"
#include "app/startup.h"
#include "platform/qt_dialogs.h"
#include "platform/services.h"
#include "res/strings.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkaro-diag"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-diag"));

  velkaro::QtMessageBox messageBox(res::kAppTitle);
  velkaro::QtSaveFileDialog saveDialog;
  velkaro::InstallMessageBox(&messageBox);
  velkaro::InstallSaveFileDialog(&saveDialog);

  CDiagToolApp app;
  const int status = RunDiagTool(app);

  velkaro::InstallMessageBox(nullptr);
  velkaro::InstallSaveFileDialog(nullptr);
  return status;
}
