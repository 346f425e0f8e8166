#include <unistd.h>

#include <QApplication>
#include <cstdio>

#include "app/diag_tool_app.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  int code = 0;
  {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velkaro-diag"));
    QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-diag"));

    const ProgramServices services;
    CDiagToolApp app;
    code = RunDiagTool(app);
  }
  // A reader driver may still hold a tab's thread inside pcsc-lite. Leaving
  // without the libraries' destructors (pcsc-lite frees its contexts in one)
  // keeps that thread from running into freed memory; the window and every
  // file are closed by now.
  std::fflush(nullptr);
  _exit(code);
}
