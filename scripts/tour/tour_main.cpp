// Takes the window on a tour, for the run command without a display: starts
// the program as velkaro-diag does, brings each tab to the front in turn and
// saves a picture of the window for each (tab-NN-NAME.png), then one of the
// Devices window once it has gathered (devices.png), printing the files'
// paths. Run it under xvfb-run, pointed at a pcscd with readers.
//
//   velkaro-tour OUTPUT-DIRECTORY
//
// Exit status: 0 when every tab was saved and there was a reader tab; 1 when
// the program could not start or no reader appeared; 2 for a wrong command line.

#include <QApplication>
#include <QTest>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "status/devices_dlg.h"
#include "status/diag_tool_dlg.h"

namespace {

constexpr int kReadersDeadlineMs = 15000;  // for the first refreshes
constexpr int kPageSettleMs = 1500;        // for a page's reader facts and card
constexpr int kDevicesDeadlineMs = 10000;  // for the Devices window's gathering

// Runs the event loop until `done` holds or `milliseconds` have passed.
bool WaitUntil(const std::function<bool()>& done, int milliseconds) { return QTest::qWaitFor(done, milliseconds); }

void Pause(int milliseconds) {
  WaitUntil([] { return false; }, milliseconds);
}

// "VELKARO CT 200 02 00" -> "tab-03-velkaro-ct-200-02-00.png"
QString FileName(int index, const QString& tabText) {
  QString name;
  for (const QChar c : tabText) {
    if (c.isLetterOrNumber() && c.unicode() < 0x80) {
      name += c.toLower();
    } else if (!name.isEmpty() && !name.endsWith(QLatin1Char('-'))) {
      name += QLatin1Char('-');
    }
  }
  while (name.endsWith(QLatin1Char('-'))) name.chop(1);
  return QStringLiteral("tab-%1-%2.png").arg(index, 2, 10, QLatin1Char('0')).arg(name);
}

// The tour itself, run inside the window's loop. Answers the exit status.
int Tour(const QDir& output) {
  CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
  auto* general = sheet ? dynamic_cast<CDiagToolDlg*>(sheet->GetPage(0)) : nullptr;
  if (!general) {
    std::fprintf(stderr, "velkaro-tour: the main window did not open\n");
    return 1;
  }
  // After two refreshes every reader present at the start has its tab.
  WaitUntil([&] { return general->RefreshCount() >= 2; }, kReadersDeadlineMs);
  const bool readers = !general->KnownReaders().empty();

  int status = 0;
  for (int index = 0; index < sheet->GetPageCount(); ++index) {
    sheet->SetActivePage(index);
    Pause(kPageSettleMs);
    const QString path = output.filePath(FileName(index, sheet->GetTabText(index)));
    if (!sheet->grab().save(path, "PNG")) {
      std::fprintf(stderr, "velkaro-tour: cannot write %s\n", qPrintable(path));
      status = 1;
      continue;
    }
    std::printf("%s\n", qPrintable(path));
    std::fflush(stdout);
  }
  sheet->SetActivePage(0);
  // The Devices window as the General page's button opens it, once its
  // state line no longer says that it is reading.
  general->DevicesButton()->click();
  auto* devices = general->findChild<CDevicesDlg*>();
  const QString reading = devices ? devices->StateLine()->text() : QString();
  const QString picture = output.filePath(QStringLiteral("devices.png"));
  if (!devices || !WaitUntil([&] { return devices->StateLine()->text() != reading; }, kDevicesDeadlineMs)) {
    std::fprintf(stderr, "velkaro-tour: the Devices window did not gather in %d ms\n", kDevicesDeadlineMs);
    status = 1;
  } else {
    Pause(kPageSettleMs);
    if (devices->grab().save(picture, "PNG")) {
      std::printf("%s\n", qPrintable(picture));
    } else {
      std::fprintf(stderr, "velkaro-tour: cannot write %s\n", qPrintable(picture));
      status = 1;
    }
  }
  if (devices) devices->close();
  sheet->close();
  if (!readers) {
    std::fprintf(stderr, "velkaro-tour: no reader appeared (status: %s)\n",
                 qPrintable(general->StatusText()->text()));
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  const QStringList args = QApplication::arguments();
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: velkaro-tour OUTPUT-DIRECTORY\n");
    return 2;
  }
  const QDir output(args[1]);
  if (!QDir().mkpath(output.absolutePath())) {
    std::fprintf(stderr, "velkaro-tour: cannot create %s\n", qPrintable(output.absolutePath()));
    return 1;
  }

  const ProgramServices services;
  CDiagToolApp app;
  int tourStatus = 1;
  // Runs once the window's loop is running.
  QTimer::singleShot(0, [&] { tourStatus = Tour(output); });
  const int status = RunDiagTool(app);
  return status != 0 ? status : tourStatus;
}
