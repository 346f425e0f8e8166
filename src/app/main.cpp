#include <QApplication>

#include "app/diag_tool_app.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkaro-diag"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-diag"));

  const ProgramServices services;
  CDiagToolApp app;
  return RunDiagTool(app);
}
