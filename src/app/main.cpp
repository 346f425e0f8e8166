#include <QApplication>

#include "app/diag_tool_app.h"
#include "app/startup.h"
#include "platform/qt_dialogs.h"
#include "platform/services.h"
#include "platform/systemd_service.h"
#include "res/strings.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkaro-diag"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-diag"));

  velkaro::QtMessageBox messageBox(res::kAppTitle);
  velkaro::QtSaveFileDialog saveDialog;
  velkaro::SystemdServiceControl serviceControl;
  velkaro::InstallMessageBox(&messageBox);
  velkaro::InstallSaveFileDialog(&saveDialog);
  velkaro::InstallServiceControl(&serviceControl);

  CDiagToolApp app;
  const int status = RunDiagTool(app);

  velkaro::InstallServiceControl(nullptr);
  velkaro::InstallMessageBox(nullptr);
  velkaro::InstallSaveFileDialog(nullptr);
  return status;
}
