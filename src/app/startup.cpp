#include "app/startup.h"

#include <memory>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "card/atr_list.h"
#include "platform/services.h"
#include "res/strings.h"
#include "status/diag_tool_dlg.h"

int RunDiagTool(CDiagToolApp& app) {
  // Read on a thread of its own while the window comes up.
  app.SetAtrList(CAtrList::Load(CAtrList::ListPath()));
  if (!app.LoadConfiguration()) return 1;

  auto sheet = std::make_unique<CDiagToolPropSheet>(QString::fromStdString(app.BuildWindowTitle()), nullptr, 0);
  // The window owns the General page and destroys it first.
  sheet->AddPage(new CDiagToolDlg(sheet.get()));
  sheet->DoModal();
  sheet.reset();
  return 0;
}

ProgramServices::ProgramServices() : m_messageBox(res::kAppTitle) {
  velkaro::InstallMessageBox(&m_messageBox);
  velkaro::InstallSaveFileDialog(&m_saveDialog);
  velkaro::InstallServiceControl(&m_serviceControl);
}

ProgramServices::~ProgramServices() {
  velkaro::InstallServiceControl(nullptr);
  velkaro::InstallMessageBox(nullptr);
  velkaro::InstallSaveFileDialog(nullptr);
}
