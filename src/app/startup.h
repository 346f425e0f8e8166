#pragma once

#include "app/log_progress_dlg.h"
#include "platform/qt_dialogs.h"
#include "platform/qt_url_opener.h"
#include "platform/systemd_service.h"

class CDiagToolApp;
class CDiagToolDlg;
class CDiagToolPropSheet;

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
