// The General page of a process that sees pcscd only where the system's
// pcscd lives (/run/pcscd/pcscd.comm, no PCSCLITE_CSOCK_NAME) and asks a
// stand-in systemd for the units. general_page_pcscd_test runs it in a mount
// namespace of its own with the private pcscd's run directory on /run/pcscd.
//
//   system_path_page BUS-ADDRESS PROGRAM-DIR
//
// Waits for the first refresh that lists readers (10 s at most), then
// prints the status text and each listed reader, one a line.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTreeWidget>
#include <cstdio>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "fakes.h"
#include "platform/systemd_service.h"
#include "status/diag_tool_dlg.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: system_path_page BUS-ADDRESS PROGRAM-DIR\n");
    return 2;
  }
  QApplication application(argc, argv);
  testing_support::FakeSystemInfo system;
  system.modulePath = std::string(argv[2]) + "/velkaro-diag";
  velkaro::SystemdServiceControl control(argv[1]);
  velkaro::InstallServiceControl(&control);
  CDiagToolApp app;
  if (!app.LoadConfiguration()) return 3;
  {
    CDiagToolPropSheet sheet("t");
    CDiagToolDlg* general = AddGeneralPage(sheet, app);
    // Plain tabs: the reader pages' own monitors are not what is looked at.
    for (int kind : {kGroupReaderPages, kGroupKestrelPages}) {
      general->SetReaderPageFactory(kind, [](const std::string& name, const ReaderModel*) {
        return new CPropertyPage(QString::fromStdString(name));
      });
    }
    sheet.Create();
    QElapsedTimer clock;
    clock.start();
    while ((general->RefreshCount() == 0 || general->FoundReaders()->topLevelItemCount() == 0) &&
           clock.elapsed() < 10000) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    std::printf("%s\n", general->StatusText()->text().toUtf8().constData());
    for (int i = 0; i < general->FoundReaders()->topLevelItemCount(); ++i) {
      std::printf("%s\n", general->FoundReaders()->topLevelItem(i)->text(0).toUtf8().constData());
    }
    std::fflush(stdout);
  }
  velkaro::InstallServiceControl(nullptr);
  return 0;
}
