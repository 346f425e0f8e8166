#include <unistd.h>

#include <QApplication>
#include <cstdio>

#include "app/diag_tool_app.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  // Qt reads these once, when the application starts.
  KeepQtFilesInRootsPlaces(RootHome());
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkaro-diag"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-diag"));

  const ProgramServices services;
  CDiagToolApp app;
  const int code = RunDiagTool(app);
  // A reader driver or a stopped pcscd may still hold a tab's or the
  // refresh's thread inside pcsc-lite, using the services above. Leaving
  // without any destructor (pcsc-lite frees its contexts in one) keeps such a
  // thread from running into freed memory; the window and every file are
  // closed by now.
  std::fflush(nullptr);
  _exit(code);
}
