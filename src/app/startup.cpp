#include "app/startup.h"

#include <memory>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "status/diag_tool_dlg.h"

int RunDiagTool(CDiagToolApp& app) {
  if (!app.LoadConfiguration()) return 1;

  auto sheet = std::make_unique<CDiagToolPropSheet>(QString::fromStdString(app.BuildWindowTitle()), nullptr, 0);
  auto general = std::make_unique<CDiagToolDlg>(sheet.get());
  sheet->AddPage(general.get());
  sheet->DoModal();

  // The General page goes first: it still owns pages that live in the sheet.
  general.reset();
  sheet.reset();
  return 0;
}
