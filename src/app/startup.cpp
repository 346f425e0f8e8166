#include "app/startup.h"

#include <memory>

#include "apis/api_dialog.h"
#include "app/about_dlg.h"
#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "card/atr_list.h"
#include "platform/services.h"
#include "reader/kestrel_dialog.h"
#include "reader/reader_dialog.h"
#include "res/strings.h"
#include "rfid/dlg_baudrates.h"
#include "rfid/prox_settings.h"
#include "rfid/rfid_setting_dlg.h"
#include "status/diag_tool_dlg.h"

CDiagToolDlg* AddGeneralPage(CDiagToolPropSheet& sheet, CDiagToolApp& app) {
  auto* general = new CDiagToolDlg(&sheet);
  general->SetAdditionalReaderTest([&app](const std::string& name) { return app.IsAdditionalReader(name); });
  general->SetReaderPageFactory(
      kGroupReaderPages, [cardNames = app.CardTables()](const std::string& name, const ReaderModel* row) {
        CReaderDialog* page = CReaderDialog::Create();
        page->SetReaderName(name);
        page->SetModelFlags(row);
        page->SetCardNames(cardNames);
        return page;
      });
  general->SetReaderPageFactory(
      kGroupKestrelPages, [cardNames = app.CardTables()](const std::string& name, const ReaderModel* row) {
        CKestrel* page = CKestrel::Create();
        page->SetReaderName(name);
        page->SetColumn1(row ? row->column1 : 0);
        page->SetCardNames(cardNames);
        return page;
      });
  general->SetSettingsPageFactory(kGroupRfidSettings, [] { return CRFIDSettingDlg::Create(); });
  general->SetSettingsPageFactory(kGroupRfidBaudrates, [] { return CDlgBaudrates::Create(); });
  general->SetSettingsPageFactory(kGroupProxSettings, [] { return CProxSettings::Create(); });
  general->SetApiPageFactory([] { return CApiDialog::Create(); });
  sheet.SetAboutHandler([&sheet] {
    CAboutDlg about(&sheet);
    about.exec();
  });
  // The button and the menu entry both simply write the log.
  general->SetCreateLogfileHandler([&app] { app.CreateLogfile(); });
  sheet.SetCreateLogfileHandler([&app] { app.CreateLogfile(); });
  // The window owns the General page and destroys it first.
  sheet.AddPage(general);
  return general;
}

int RunDiagTool(CDiagToolApp& app) {
  // Read on a thread of its own while the window comes up.
  app.SetAtrList(CAtrList::Load(CAtrList::ListPath()));
  if (!app.LoadConfiguration()) return 1;

  auto sheet = std::make_unique<CDiagToolPropSheet>(QString::fromStdString(app.BuildWindowTitle()), nullptr, 0);
  AddGeneralPage(*sheet, app);
  sheet->DoModal();
  sheet.reset();
  return 0;
}

ProgramServices::ProgramServices() : m_messageBox(res::kAppTitle) {
  velkaro::InstallMessageBox(&m_messageBox);
  velkaro::InstallSaveFileDialog(&m_saveDialog);
  velkaro::InstallUrlOpener(&m_urlOpener);
  velkaro::InstallServiceControl(&m_serviceControl);
  velkaro::InstallBackgroundRunner(&m_backgroundRunner);
  velkaro::InstallProgressDialog(&m_progress);
}

ProgramServices::~ProgramServices() {
  velkaro::InstallProgressDialog(nullptr);
  velkaro::InstallBackgroundRunner(nullptr);
  velkaro::InstallServiceControl(nullptr);
  velkaro::InstallMessageBox(nullptr);
  velkaro::InstallSaveFileDialog(nullptr);
  velkaro::InstallUrlOpener(nullptr);
}
