// velkaro-diag started as its main starts it, with root's home given as the
// first argument: "Create Logfile" opens the save dialog, Escape closes it,
// then the main window is closed. Exits 0 when exactly that happened. Prints
// the places Qt and fontconfig were left to use, one "NAME=path" a line.

#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  KeepQtFilesInRootsPlaces(argv[1]);
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkaro-diag"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velkaro-diag"));

  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR"}) {
    const char* value = std::getenv(name);
    std::printf("%s=%s\n", name, value ? value : "");
  }
  for (const auto& [name, location] : {std::pair{"Qt config", QStandardPaths::GenericConfigLocation},
                                      std::pair{"Qt cache", QStandardPaths::GenericCacheLocation},
                                      std::pair{"Qt data", QStandardPaths::GenericDataLocation},
                                      std::pair{"Qt runtime", QStandardPaths::RuntimeLocation}}) {
    std::printf("%s=%s\n", name, QStandardPaths::writableLocation(location).toStdString().c_str());
  }

  const ProgramServices services;
  CDiagToolApp app;
  int dialogs = 0;
  QTimer escape;
  QObject::connect(&escape, &QTimer::timeout, [&dialogs] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<QFileDialog*>(widget);
      if (!dialog || !dialog->isVisible()) continue;
      ++dialogs;
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(dialog, &press);
    }
  });
  QTimer::singleShot(0, [&escape] {
    CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
    if (!sheet) return;
    escape.start(50);
    sheet->OnSysCommand(IDM_CREATE_LOGFILE);  // back once Escape has closed the dialog
    escape.stop();
    sheet->close();
  });
  const int code = RunDiagTool(app);
  std::fflush(nullptr);
  _exit(code == 0 && dialogs == 1 ? 0 : 3);
}
