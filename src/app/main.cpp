#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <string_view>

#include "app/diag_tool_app.h"
#include "app/startup.h"

namespace {

constexpr char kUsage[] =
    "Usage: pkexec velkaro-diag\n"
    "Opens the diagnostic window: the smart card service, the readers, their cards and the\n"
    "installed files, the diagnostic log (\"Create Logfile\") and the contactless driver's settings.\n"
    "Started without root it shows readers and cards, but writes no log and changes no setting.\n"
    "For a log without a window: velkaro-diag-log. The manual: /usr/share/doc/velkaro-diag/\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that it needs no display.
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
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
