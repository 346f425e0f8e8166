#pragma once

#include "app/log_progress_dlg.h"
#include "platform/qt_dialogs.h"
#include "platform/qt_url_opener.h"
#include "platform/systemd_service.h"

#include <string>

class CDiagToolApp;
class CDiagToolDlg;
class CDiagToolPropSheet;

// Run as root with an ordinary user's HOME or XDG_* variables kept (su
// without "-", su -m, sudo -E), Qt would keep its settings, caches and
// runtime files in that user's directories, writing through any link planted
// there. Called before the QApplication exists: each such variable naming a
// place that root alone does not control is pointed at root's own place under
// `rootHome` (the runtime directory at /run/user/0, or a 0700 one under the
// cache), with a debug line saying what it replaced. Search paths and files
// from which Qt and fontconfig would load plugins or configuration
// (QT_PLUGIN_PATH, FONTCONFIG_FILE, XDG_CONFIG_DIRS, ...) are dropped in the
// same case, so the system's own are used. Does nothing for other users.
void KeepQtFilesInRootsPlaces(const std::string& rootHome);
// Root's home directory as the user database gives it.
std::string RootHome();

// The composition root: creates the General page for `sheet`, gives it the
// page factories and handlers of every subsystem, and adds it as the first
// tab (the window then owns it).
CDiagToolDlg* AddGeneralPage(CDiagToolPropSheet& sheet, CDiagToolApp& app);

// The whole run of the program, from reading the configuration to the closed
// main window. Needs a QApplication. Returns the process exit status.
int RunDiagTool(CDiagToolApp& app);

// The services the program runs with (the window system's message box and
// save dialog, systemd's view of pcscd, long work off the user-interface
// thread and its progress window), installed for the object's lifetime in place of the fallbacks.
class ProgramServices {
 public:
  ProgramServices();
  ~ProgramServices();
  ProgramServices(const ProgramServices&) = delete;
  ProgramServices& operator=(const ProgramServices&) = delete;

 private:
  velkaro::QtMessageBox m_messageBox;
  velkaro::QtSaveFileDialog m_saveDialog;
  velkaro::QtUrlOpener m_urlOpener;
  velkaro::SystemdServiceControl m_serviceControl;
  velkaro::QtBackgroundRunner m_backgroundRunner;
  CLogProgress m_progress;
};
