#include "app/prop_sheet.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QCloseEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTimer>
#include <memory>

#include "fakes.h"
#include "status/diag_tool_dlg.h"

using testing_support::FakeSystemInfo;
using testing_support::RecordingMessageBox;

namespace {

// A first page that records what the main window asks of the General page.
class RecordingCoordinator : public CPropertyPage, public IPageCoordinator {
 public:
  explicit RecordingCoordinator(CDiagToolPropSheet* sheet) : CPropertyPage("General"), m_sheet(sheet) {}
  bool SetRfidPagesWanted(bool wanted) override { return Record(wanted ? "rfid:on" : "rfid:off"); }
  bool SetProxPageWanted(bool wanted) override { return Record(wanted ? "prox:on" : "prox:off"); }
  bool StopRefreshThread() override { return Record("stop@" + std::to_string(m_sheet->GetActiveIndex())); }
  bool RemoveAllPages() override { return Record("remove@" + std::to_string(m_sheet->GetActiveIndex())); }
  std::vector<std::string> calls;

 private:
  bool Record(std::string call) {
    calls.push_back(std::move(call));
    return true;
  }
  CDiagToolPropSheet* m_sheet;
};

class RegisterPage : public CPropertyPage, public IRegisterViewPage {
 public:
  RegisterPage() : CPropertyPage("VELKARO CL 3700 00 00") {}
  void ReadRegisterDump(bool forLog) override { dumps.push_back(forLog); }
  std::vector<bool> dumps;
};

class CountingPage : public CPropertyPage {
 public:
  explicit CountingPage(const QString& caption) : CPropertyPage(caption) {}
  int inits = 0;

 protected:
  bool OnInitDialog() override {
    ++inits;
    return true;
  }
};

QStringList MenuBarLayout(const CDiagToolPropSheet& sheet) {
  QStringList items;
  for (QAction* action : sheet.menuBar()->actions()) {
    if (action->isSeparator()) {
      items << "-";
    } else if (action->menu()) {
      QStringList sub;
      for (QAction* item : action->menu()->actions()) sub << item->text();
      items << action->text() + "[" + sub.join("|") + "]";
    } else {
      items << action->text();
    }
  }
  return items;
}

// What the status bar shows, read from its labels (offscreen has no pixels to read).
QStringList StatusBarTexts(const CDiagToolPropSheet& sheet) {
  QStringList texts;
  for (const QLabel* label : sheet.findChildren<QLabel*>()) {
    if (label->parentWidget() == sheet.statusBar() && label->isVisible()) texts << label->text();
  }
  return texts;
}

class PropSheetTest : public ::testing::Test {
 protected:
  void Build() {
    sheet = std::make_unique<CDiagToolPropSheet>("VELKARO Diagnostic Tool (Ver. 1.0.0.0)");
    general = new RecordingCoordinator(sheet.get());
    sheet->AddPage(general);
    sheet->Create();
  }

  FakeSystemInfo system;
  RecordingMessageBox messages;
  std::unique_ptr<CDiagToolPropSheet> sheet;
  RecordingCoordinator* general = nullptr;
};

}  // namespace

TEST_F(PropSheetTest, AdministratorMenuHasViewLogfileAndAbout) {
  Build();
  EXPECT_EQ(MenuBarLayout(*sheet), (QStringList{"-", "&View[RFID settings|Prox settings|RFID registers]",
                                                "&Create Logfile", "-", "&About ..."}));
  EXPECT_TRUE(sheet->IsMenuItemEnabled(ID_VIEW_RFID_SETTINGS));
  EXPECT_FALSE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
  EXPECT_FALSE(sheet->IsMenuItemChecked(ID_VIEW_PROX_SETTINGS));
  EXPECT_FALSE(sheet->windowIcon().isNull());
  EXPECT_EQ(StatusBarTexts(*sheet), QStringList{});
}

TEST_F(PropSheetTest, NonAdministratorHasOnlyAboutAndAnElevationNote) {
  system.admin = false;
  Build();
  EXPECT_EQ(MenuBarLayout(*sheet), (QStringList{"-", "&About ..."}));
  EXPECT_EQ(sheet->MenuItem(ID_VIEW_RFID_SETTINGS), nullptr);
  EXPECT_EQ(sheet->MenuItem(IDM_CREATE_LOGFILE), nullptr);
  sheet->SetRfidSettingsAvailable(false);  // no item to grey: nothing happens
  // The window says what is missing and how to start it elevated.
  EXPECT_EQ(StatusBarTexts(*sheet),
            QStringList{"\"Create Logfile\" and the driver settings need administrator rights; without them, "
                        "velkaro-diag-log writes a log without the settings dump. Start elevated with: "
                        "pkexec velkaro-diag"});
}

TEST_F(PropSheetTest, RfidSettingsTogglesWantedFlagAndCheckMark) {
  Build();
  sheet->OnSysCommand(ID_VIEW_RFID_SETTINGS);
  EXPECT_TRUE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
  sheet->OnSysCommand(ID_VIEW_RFID_SETTINGS);
  EXPECT_FALSE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
  sheet->OnSysCommand(ID_VIEW_PROX_SETTINGS);
  EXPECT_TRUE(sheet->IsMenuItemChecked(ID_VIEW_PROX_SETTINGS));
  EXPECT_EQ(general->calls, (std::vector<std::string>{"rfid:on", "rfid:off", "prox:on"}));
}

TEST_F(PropSheetTest, ClickingTheMenuItemBehavesLikeTheCommand) {
  Build();
  sheet->MenuItem(ID_VIEW_RFID_SETTINGS)->trigger();  // Qt flips the check itself first
  EXPECT_TRUE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
  sheet->MenuItem(ID_VIEW_RFID_SETTINGS)->trigger();
  EXPECT_FALSE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
  EXPECT_EQ(general->calls, (std::vector<std::string>{"rfid:on", "rfid:off"}));
}

TEST_F(PropSheetTest, UnavailableRfidSettingsAreGreyedAndUnchecked) {
  Build();
  sheet->OnSysCommand(ID_VIEW_RFID_SETTINGS);
  sheet->SetRfidSettingsAvailable(false);
  EXPECT_FALSE(sheet->IsMenuItemEnabled(ID_VIEW_RFID_SETTINGS));
  EXPECT_FALSE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
  sheet->SetRfidSettingsAvailable(false);  // already unchecked: no second call
  EXPECT_EQ(general->calls, (std::vector<std::string>{"rfid:on", "rfid:off"}));
  EXPECT_TRUE(sheet->IsMenuItemEnabled(ID_VIEW_PROX_SETTINGS));
  EXPECT_TRUE(sheet->IsMenuItemEnabled(ID_VIEW_RFID_REGISTERS));
  sheet->SetRfidSettingsAvailable(true);
  EXPECT_TRUE(sheet->IsMenuItemEnabled(ID_VIEW_RFID_SETTINGS));
  EXPECT_FALSE(sheet->IsMenuItemChecked(ID_VIEW_RFID_SETTINGS));
}

TEST_F(PropSheetTest, RegisterViewOnlyOnReaderTabs) {
  Build();
  sheet->OnSysCommand(ID_VIEW_RFID_REGISTERS);
  const auto shown = messages.Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "The function is only available in contactless reader tabs");
  EXPECT_EQ(shown[0].caption, "Notice");
  EXPECT_EQ(shown[0].style, velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);

  auto reader = std::make_unique<RegisterPage>();
  sheet->AddPage(reader.get());
  sheet->SetActivePage(1);
  sheet->OnSysCommand(ID_VIEW_RFID_REGISTERS);
  EXPECT_EQ(reader->dumps, std::vector<bool>{false});
  EXPECT_EQ(messages.Shown().size(), 1u);
  sheet->RemovePage(reader.get());
}

TEST_F(PropSheetTest, AboutAndLogfileCommandsReachTheirHandlers) {
  Build();
  std::vector<std::string> called;
  sheet->SetAboutHandler([&] { called.push_back("about"); });
  sheet->SetCreateLogfileHandler([&] { called.push_back("log"); });
  sheet->OnSysCommand(IDM_ABOUTBOX);
  sheet->OnSysCommand(IDM_CREATE_LOGFILE);
  sheet->OnSysCommand(IDM_CREATE_LOGFILE | 0x000F);  // low four bits are ignored
  sheet->OnSysCommand(0xF060);                       // a standard command: not ours
  EXPECT_EQ(called, (std::vector<std::string>{"about", "log", "log"}));
}

TEST_F(PropSheetTest, TabsAreAddedRemovedRelabelledAndActivated) {
  Build();
  auto a = std::make_unique<CountingPage>("A");
  auto b = std::make_unique<CountingPage>("B");
  sheet->AddPage(a.get());
  sheet->AddPage(b.get());
  EXPECT_EQ(sheet->GetPageCount(), 3);
  EXPECT_EQ(sheet->GetActiveIndex(), 0);  // adding does not move the selection
  EXPECT_EQ(a->inits, 0);                 // pages initialise when first shown
  sheet->SetTabText(2, "VELKARO CT 200 01 00");
  EXPECT_EQ(sheet->GetTabText(2), "VELKARO CT 200 01 00");
  EXPECT_TRUE(sheet->SetActivePage(2));
  EXPECT_EQ(b->inits, 1);
  sheet->SetActivePage(0);
  sheet->SetActivePage(2);
  EXPECT_EQ(b->inits, 1);
  EXPECT_FALSE(sheet->SetActivePage(7));
  sheet->RemovePage(a.get());
  EXPECT_EQ(sheet->GetPageCount(), 2);
  EXPECT_EQ(sheet->GetPage(1), b.get());
  EXPECT_EQ(a->parentWidget(), nullptr);
  sheet->RemovePage(1);
  EXPECT_EQ(sheet->GetPageCount(), 1);
}

// Tab texts are reader names as their drivers give them: an "&" is shown, not
// taken for the mark of a keyboard shortcut.
TEST_F(PropSheetTest, TabTextsAreShownAsWritten) {
  Build();
  auto page = std::make_unique<CountingPage>("Smith & Sons 00 00");
  sheet->AddPage(page.get());
  const QTabBar* bar = sheet->findChild<QTabBar*>();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(sheet->GetTabText(1), "Smith & Sons 00 00");
  EXPECT_TRUE(QKeySequence::mnemonic(bar->tabText(1)).isEmpty());
  for (const QString text : {"A&B", "&&x", "<b>bold</b> & more", "last&"}) {
    sheet->SetTabText(1, text);
    EXPECT_EQ(sheet->GetTabText(1), text);
    EXPECT_TRUE(QKeySequence::mnemonic(bar->tabText(1)).isEmpty()) << text.toStdString();
  }
  sheet->RemovePage(page.get());
}

TEST_F(PropSheetTest, CloseActivatesGeneralStopsRefreshThenRemovesPages) {
  Build();
  auto reader = std::make_unique<CountingPage>("reader");
  sheet->AddPage(reader.get());
  sheet->SetActivePage(1);
  int result = -1;
  QTimer::singleShot(0, sheet.get(), [&] { sheet->close(); });
  result = sheet->DoModal();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(general->calls, (std::vector<std::string>{"stop@0", "remove@0"}));
  EXPECT_FALSE(sheet->isVisible());
  sheet->RemovePage(reader.get());
}

TEST(GeneralPageMenuTest, WantedFlagsSetTheirGroups) {
  FakeSystemInfo system;
  CDiagToolPropSheet sheet("t");
  auto* general = new CDiagToolDlg(&sheet);
  sheet.AddPage(general);
  sheet.Create();
  EXPECT_EQ(general->StatusText()->text(), "... checking ...");
  sheet.OnSysCommand(ID_VIEW_RFID_SETTINGS);
  EXPECT_TRUE(general->Group(kGroupRfidSettings).bWanted);
  EXPECT_TRUE(general->Group(kGroupRfidBaudrates).bWanted);
  EXPECT_FALSE(general->Group(kGroupProxSettings).bWanted);
  sheet.OnSysCommand(ID_VIEW_PROX_SETTINGS);
  EXPECT_TRUE(general->Group(kGroupProxSettings).bWanted);
  sheet.SetRfidSettingsAvailable(false);
  EXPECT_FALSE(general->Group(kGroupRfidSettings).bWanted);
  EXPECT_FALSE(general->Group(kGroupRfidBaudrates).bWanted);
  EXPECT_TRUE(general->Group(kGroupProxSettings).bWanted);
}
