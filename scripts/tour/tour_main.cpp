// Takes the window on a tour, for the run command without a display and for
// the manual's pictures: starts the program as velkaro-diag does, adds the
// settings tabs, brings each tab to the front in turn and saves a picture of
// the window for each (tab-NN-NAME.png), then of the ATR details of the first
// card (atr-details.png), of the first contactless reader's register view
// (registers.png) and of the Devices window once it has gathered
// (devices.png), printing the files' paths. Every caption each picture shows
// goes to captions.txt, a line "PICTURE<TAB>CAPTION" each, for the manual's
// test. Run it under xvfb-run (or offscreen), pointed at a pcscd with readers.
//
//   velkaro-tour OUTPUT-DIRECTORY
//
// Exit status: 0 when every tab was saved and there was a reader tab; 1 when
// the program could not start or no reader appeared; 2 for a wrong command line.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTextStream>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "reader/atr_details_dlg.h"
#include "reader/kestrel_dialog.h"
#include "reader/reader_dialog.h"
#include "rfid/reg_entries.h"
#include "status/devices_dlg.h"
#include "status/diag_tool_dlg.h"

namespace {

constexpr int kReadersDeadlineMs = 15000;  // for the first refreshes
constexpr int kPageSettleMs = 1500;        // for a page's reader facts and card
constexpr int kWindowDeadlineMs = 10000;   // for a window that gathers or reads first

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

// A caption as the manual names it: without its mnemonic "&" and without the
// colon some captions end with ("Status :" -> "Status").
QString Caption(QString text) {
  text.replace(QLatin1String("&&"), QStringLiteral("\x01"));
  text.remove(QLatin1Char('&'));
  text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
  text = text.simplified();
  while (text.endsWith(QLatin1Char(':'))) text = text.chopped(1).trimmed();
  return text;
}

// The fixed texts a window shows: labels that are not values (values are
// selectable), group titles, button texts, column headers and the tabs of
// any tab bar inside it (not the main window's, whose tabs name readers).
QStringList Captions(const QWidget* root) {
  QStringList captions;
  const auto add = [&](const QString& text) {
    const QString caption = Caption(text);
    if (!caption.isEmpty() && !captions.contains(caption)) captions << caption;
  };
  for (const QWidget* widget : root->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(root)) continue;
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
      if (!(label->textInteractionFlags() & Qt::TextSelectableByMouse)) add(label->text());
    } else if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
      add(group->title());
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
      add(button->text());
    } else if (const auto* header = qobject_cast<const QHeaderView*>(widget)) {
      if (header->model() == nullptr) continue;
      for (int section = 0; section < header->count(); ++section) {
        add(header->model()->headerData(section, header->orientation()).toString());
      }
    } else if (const auto* tabs = qobject_cast<const QTabBar*>(widget)) {
      if (tabs->parentWidget() != nullptr && tabs->parentWidget()->parentWidget() == CDiagToolPropSheet::MainWindow()) {
        continue;
      }
      for (int index = 0; index < tabs->count(); ++index) add(tabs->tabText(index));
    }
  }
  return captions;
}

class CTour {
 public:
  explicit CTour(const QDir& output) : m_output(output), m_captionsFile(output.filePath(QStringLiteral("captions.txt"))) {}

  // The tour itself, run inside the window's loop. Answers the exit status.
  int Run();

 private:
  // Saves a picture of `window` and its captions, plus `extra` captions.
  void Save(QWidget* window, const QString& name, const QStringList& extra = {});
  void SaveMenuCaptions(CDiagToolPropSheet* sheet);
  void SaveAtrDetails(CDiagToolPropSheet* sheet);
  void SaveRegisterView(CDiagToolPropSheet* sheet);
  void SaveDevices(CDiagToolDlg* general);
  void Fail(const QString& what) {
    std::fprintf(stderr, "velkaro-tour: %s\n", qPrintable(what));
    m_status = 1;
  }

  QDir m_output;
  QFile m_captionsFile;
  QTextStream m_captions;
  int m_status = 0;
};

void CTour::Save(QWidget* window, const QString& name, const QStringList& extra) {
  for (const QString& caption : Captions(window) + extra) m_captions << name << '\t' << caption << '\n';
  const QString path = m_output.filePath(name);
  if (!window->grab().save(path, "PNG")) {
    Fail(QStringLiteral("cannot write %1").arg(path));
    return;
  }
  std::printf("%s\n", qPrintable(path));
  std::fflush(stdout);
}

// The menu bar and its menus, under the General tab's picture name.
void CTour::SaveMenuCaptions(CDiagToolPropSheet* sheet) {
  std::function<void(const QList<QAction*>&)> walk = [&](const QList<QAction*>& actions) {
    for (QAction* action : actions) {
      const QString caption = Caption(action->text());
      if (!caption.isEmpty()) m_captions << "menu" << '\t' << caption << '\n';
      if (action->menu() != nullptr) walk(action->menu()->actions());
    }
  };
  walk(sheet->menuBar()->actions());
}

// The ATR details of the first tab that shows a card, opened as its ATR
// box's context menu does.
void CTour::SaveAtrDetails(CDiagToolPropSheet* sheet) {
  for (int index = 0; index < sheet->GetPageCount(); ++index) {
    auto* action = sheet->GetPage(index)->findChild<QAction*>(QStringLiteral("atrDetailsAction"));
    if (action == nullptr || !action->isEnabled()) continue;
    sheet->SetActivePage(index);
    action->trigger();
    auto* details = sheet->findChild<CAtrDetailsDlg*>();
    if (details == nullptr) break;
    Pause(kPageSettleMs);
    Save(details, QStringLiteral("atr-details.png"), {Caption(action->text())});
    details->close();
    return;
  }
  Fail(QStringLiteral("no tab showed a card for the ATR details"));
}

// "RFID registers" on the first contactless reader's tab.
void CTour::SaveRegisterView(CDiagToolPropSheet* sheet) {
  for (int index = 0; index < sheet->GetPageCount(); ++index) {
    auto* page = dynamic_cast<CReaderDialog*>(sheet->GetPage(index));
    if (page == nullptr || !page->Session().IsContactless()) continue;
    sheet->SetActivePage(index);
    Pause(kPageSettleMs);
    sheet->OnSysCommand(ID_VIEW_RFID_REGISTERS);
    CRegEntries* view = nullptr;
    WaitUntil([&] { return (view = sheet->findChild<CRegEntries*>()) != nullptr && view->isVisible(); },
              kWindowDeadlineMs);
    if (view == nullptr) break;
    Pause(kPageSettleMs);
    Save(view, QStringLiteral("registers.png"));
    view->close();
    return;
  }
  Fail(QStringLiteral("no contactless reader showed its registers"));
}

// The Devices window as the General page's button opens it, once its state
// line no longer says that it is reading.
void CTour::SaveDevices(CDiagToolDlg* general) {
  general->DevicesButton()->click();
  auto* devices = general->findChild<CDevicesDlg*>();
  const QString reading = devices ? devices->StateLine()->text() : QString();
  if (!devices || !WaitUntil([&] { return devices->StateLine()->text() != reading; }, kWindowDeadlineMs)) {
    Fail(QStringLiteral("the Devices window did not gather in %1 ms").arg(kWindowDeadlineMs));
  } else {
    Pause(kPageSettleMs);
    Save(devices, QStringLiteral("devices.png"));
  }
  if (devices) devices->close();
}

int CTour::Run() {
  CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
  auto* general = sheet ? dynamic_cast<CDiagToolDlg*>(sheet->GetPage(0)) : nullptr;
  if (!general) {
    std::fprintf(stderr, "velkaro-tour: the main window did not open\n");
    return 1;
  }
  if (!m_captionsFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
    std::fprintf(stderr, "velkaro-tour: cannot write %s\n", qPrintable(m_captionsFile.fileName()));
    return 1;
  }
  m_captions.setDevice(&m_captionsFile);
  // After two refreshes every reader present at the start has its tab.
  WaitUntil([&] { return general->RefreshCount() >= 2; }, kReadersDeadlineMs);
  const bool readers = !general->KnownReaders().empty();
  // The settings tabs, as the View menu adds them (for an administrator,
  // with a contactless reader present).
  for (const unsigned item : {ID_VIEW_RFID_SETTINGS, ID_VIEW_PROX_SETTINGS}) {
    if (sheet->IsMenuItemEnabled(item) && !sheet->IsMenuItemChecked(item)) sheet->OnSysCommand(item);
  }
  Pause(kPageSettleMs);

  for (int index = 0; index < sheet->GetPageCount(); ++index) {
    sheet->SetActivePage(index);
    Pause(kPageSettleMs);
    CPropertyPage* page = sheet->GetPage(index);
    const bool readerTab = dynamic_cast<CReaderDialog*>(page) != nullptr || dynamic_cast<CKestrel*>(page) != nullptr;
    Save(sheet, FileName(index, sheet->GetTabText(index)),
         readerTab ? QStringList() : QStringList{Caption(sheet->GetTabText(index))});
  }
  SaveMenuCaptions(sheet);
  SaveAtrDetails(sheet);
  SaveRegisterView(sheet);
  sheet->SetActivePage(0);
  SaveDevices(general);
  m_captions.flush();
  sheet->close();
  if (!readers) {
    std::fprintf(stderr, "velkaro-tour: no reader appeared (status: %s)\n",
                 qPrintable(general->StatusText()->text()));
    return 1;
  }
  return m_status;
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
  CTour tour(output);
  // Runs once the window's loop is running.
  QTimer::singleShot(0, [&] { tourStatus = tour.Run(); });
  const int status = RunDiagTool(app);
  return status != 0 ? status : tourStatus;
}
