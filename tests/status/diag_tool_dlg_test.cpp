// The General page without readers: file list, APIs tab, administrator
// rules and the refresh thread's pacing. Pages of real readers are tested
// against the private pcscd in the reader tests.

#include "status/diag_tool_dlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <atomic>
#include <filesystem>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "status/devices_dlg.h"
#include "fakes.h"
#include "registry_fixture.h"
#include "temp_dir.h"

using testing_support::TempDir;

namespace {

const std::string kLibDir = "usr/lib/" VELKARO_MULTIARCH_TRIPLET;

class GeneralPageTest : public ::testing::Test {
 protected:
  GeneralPageTest() {
    setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
    // No pcscd to find: the socket lies in an empty directory.
    setenv("PCSCLITE_CSOCK_NAME", (root / "no-pcscd.comm").c_str(), 1);
    system.modulePath = program / "velkaro-diag";
  }
  ~GeneralPageTest() override {
    sheet.reset();
    // Stopped refresh threads end by themselves; the fakes they use stay
    // until they have.
    EXPECT_TRUE(QTest::qWaitFor([] { return CDiagToolDlg::RunningRefreshThreads() == 0; }, 5000));
    unsetenv("VELKARO_SYSTEM_ROOT");
  }

  void Install(const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(root / to).parent_path());
    std::filesystem::copy_file(from, root / to);
  }

  CDiagToolDlg* Open(const std::string& config) {
    program.Write("diagtool.ini", config);
    EXPECT_TRUE(app.LoadConfiguration());
    return Show();
  }

  CDiagToolDlg* Show() {
    sheet = std::make_unique<CDiagToolPropSheet>("t");
    general = AddGeneralPage(*sheet, app);
    sheet->Create();
    return general;
  }

  // The file facts are gathered off the UI thread and arrive as one post.
  QTreeWidget* FileRowsWhenFilled() {
    QElapsedTimer clock;
    clock.start();
    while (general->FileVersions()->topLevelItemCount() == 0 && clock.elapsed() < 10000) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return general->FileVersions();
  }

  static QStringList Rows(QTreeWidget* list, int column) {
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) rows << list->topLevelItem(i)->text(column);
    return rows;
  }

  TempDir root;
  TempDir program;
  testing_support::FakeSystemInfo system;
  testing_support::RecordingMessageBox messages;
  CDiagToolApp app;
  std::unique_ptr<CDiagToolPropSheet> sheet;
  CDiagToolDlg* general = nullptr;
};

}  // namespace

TEST_F(GeneralPageTest, FoundOptionalFilesStandAboveTheMandatoryOnes) {
  Install(VELKARO_DIAG_BINARY, kLibDir + "/libopt1.so");
  Install(VELKARO_DIAG_BINARY, "usr/bin/opt2");
  Install(VELKARO_DIAG_BINARY, "usr/sbin/mand1");
  Open("[Files Linux]\nMFILE1=mand1\nMFILE2=libmissing.so\nMFILE3=name with spaces\n"
       "[Optional]\nOFILE1=libopt1.so\nOFILE2=not-there\nOFILE3=opt2\n");
  EXPECT_EQ(general->StatusText()->text(), "... checking ...");
  EXPECT_EQ(Rows(FileRowsWhenFilled(), 0),
            (QStringList{"libopt1.so", "opt2", "mand1", "libmissing.so", "name with spaces"}));
  EXPECT_EQ(Rows(general->FileVersions(), 1), (QStringList{VELKARO_VERSION, VELKARO_VERSION, VELKARO_VERSION, "", ""}));
  EXPECT_EQ(Rows(general->FileVersions(), 2), (QStringList{"VELKARO", "VELKARO", "VELKARO", "n/a", "n/a"}));
}

TEST_F(GeneralPageTest, ManyConfiguredFilesAreListed) {
  std::string config = "[Files Linux]\n";
  for (int i = 1; i <= 500; ++i) config += "MFILE" + std::to_string(i) + "=file " + std::to_string(i) + "?*[]\n";
  Open(config);
  EXPECT_EQ(FileRowsWhenFilled()->topLevelItemCount(), 500);
  // A page closed while its files are still being inspected goes cleanly.
  sheet.reset();
  Show();
  sheet.reset();
}

TEST_F(GeneralPageTest, ClosingThePageWaitsForTheFileInspection) {
  // Each file with an extension is looked for beside the program; a slow
  // answer keeps the inspection running while the page closes.
  class SlowModulePath final : public velkaro::ISystemInfo {
   public:
    explicit SlowModulePath(velkaro::ISystemInfo& inner) : m_inner(inner) {}
    bool IsUserAnAdmin() override { return m_inner.IsUserAnAdmin(); }
    std::string ModulePath() override {
      QThread::msleep(3);
      ++calls;
      return m_inner.ModulePath();
    }
    std::optional<velkaro::OsVersionRecord> QueryVersion(long& error) override { return m_inner.QueryVersion(error); }
    void ExitProcess(int status) override { m_inner.ExitProcess(status); }
    std::atomic<int> calls{0};

   private:
    velkaro::ISystemInfo& m_inner;
  } slow(system);
  const velkaro::ScopedService<velkaro::ISystemInfo> scope(slow, &velkaro::SystemInfo, &velkaro::InstallSystemInfo);
  std::string config = "[Files Linux]\n";
  for (int i = 1; i <= 200; ++i) config += "MFILE" + std::to_string(i) + "=f" + std::to_string(i) + ".ini\n";
  Open(config);
  sheet.reset();
  const int atClose = slow.calls.load();
  EXPECT_GE(atClose, 200);  // every file was looked for before the page went
  QThread::msleep(50);
  EXPECT_EQ(slow.calls.load(), atClose);
}

// The libraries are looked for by the refresh thread; its first facts decide.
TEST_F(GeneralPageTest, ApisTabOnlyWhenAnApiLibraryIsInstalled) {
  Open("");
  ASSERT_TRUE(QTest::qWaitFor([&] { return general->RefreshCount() >= 1; }, 5000));
  EXPECT_EQ(general->ApiPage(), nullptr);
  EXPECT_EQ(sheet->GetPageCount(), 1);
  sheet.reset();

  Install(VELKARO_DIAG_BINARY, kLibDir + "/libmorlek.so");
  Open("");
  ASSERT_TRUE(QTest::qWaitFor([&] { return general->RefreshCount() >= 1; }, 5000));
  ASSERT_NE(general->ApiPage(), nullptr);
  EXPECT_EQ(sheet->GetPageCount(), 2);
  EXPECT_EQ(sheet->GetTabText(1), "APIs");
}

TEST_F(GeneralPageTest, NonAdministratorOnLinuxStaysWithoutLogfile) {
  system.admin = false;
  Open("");
  EXPECT_FALSE(general->CreateLogfileButton()->isEnabled());
  EXPECT_FALSE(system.exitStatus.has_value());
  EXPECT_TRUE(messages.Shown().empty());
}

// The Devices window changes nothing: ordinary users open it too.
TEST_F(GeneralPageTest, AnyUserOpensTheDevicesWindow) {
  system.admin = false;
  Open("");
  ASSERT_TRUE(general->DevicesButton()->isEnabled());
  general->DevicesButton()->click();
  const auto* devices = general->findChild<CDevicesDlg*>();
  ASSERT_NE(devices, nullptr);
  EXPECT_TRUE(devices->isVisible());
}

TEST_F(GeneralPageTest, NonAdministratorOnWindows7IsSentAway) {
  system.admin = false;
  system.SetWindows(velkaro::VER_PLATFORM_WIN32_NT, 6, 1);
  program.Write("diagtool.ini", "");
  Open("");
  ASSERT_EQ(messages.Shown().size(), 1u);
  EXPECT_EQ(messages.Shown()[0].caption, "Critical");
  EXPECT_EQ(messages.Shown()[0].style, velkaro::MB_ICONSTOP | velkaro::MB_OK);
  EXPECT_EQ(system.exitStatus, 0);
}

TEST_F(GeneralPageTest, RefreshesNeverPileUp) {
  Open("");
  ASSERT_TRUE(general->IsRefreshThreadRunning());
  // Three refresh periods without handling events: only one refresh may be
  // waiting, because the next is posted only when the last has run.
  QThread::msleep(2500);
  QApplication::processEvents();
  EXPECT_EQ(general->RefreshCount(), 1);
  // No pcscd program in the fake system tree and no socket that answers.
  EXPECT_EQ(general->StatusText()->text().toStdString(), "Not installed properly!");
}

TEST_F(GeneralPageTest, NoRefreshAfterTheThreadStopped) {
  Open("");
  QThread::msleep(200);  // the first refresh is queued by now
  general->StopRefreshThread();
  EXPECT_FALSE(general->IsRefreshThreadRunning());
  general->RemoveAllPages();
  QApplication::processEvents();
  EXPECT_EQ(general->RefreshCount(), 0);
}

TEST_F(GeneralPageTest, SettingsGroupsWithoutFactoriesStayEmpty) {
  Open("");
  for (int group : {kGroupRfidSettings, kGroupRfidBaudrates, kGroupProxSettings}) {
    general->SetSettingsPageFactory(group, {});
  }
  general->SetRfidPagesWanted(true);
  general->SetProxPageWanted(true);
  general->UpdateRfidPages();
  general->UpdateProxPage();
  EXPECT_FALSE(general->Group(kGroupRfidSettings).bShown);
  EXPECT_EQ(sheet->GetPageCount(), 1);

  // With a factory the tab appears, becomes active, and goes when unwanted.
  general->SetSettingsPageFactory(kGroupProxSettings, [] { return new CPropertyPage("x"); });
  general->UpdateProxPage();
  ASSERT_EQ(sheet->GetPageCount(), 2);
  EXPECT_EQ(sheet->GetTabText(1), "Proxcard settings");
  EXPECT_EQ(sheet->GetActiveIndex(), 1);
  general->SetProxPageWanted(false);
  general->UpdateProxPage();
  EXPECT_EQ(sheet->GetPageCount(), 1);
  EXPECT_EQ(sheet->GetActiveIndex(), 0);
  EXPECT_FALSE(general->Group(kGroupProxSettings).bShown);
}

TEST_F(GeneralPageTest, SettingsMenuBringsTheSettingsTabs) {
  testing_support::RegistryStores stores;  // the settings pages read and write it
  Open("");
  general->SetRfidPagesWanted(true);
  general->SetProxPageWanted(true);
  general->UpdateRfidPages();
  general->UpdateProxPage();
  QStringList tabs;
  for (int i = 1; i < sheet->GetPageCount(); ++i) tabs << sheet->GetTabText(i);
  EXPECT_EQ(tabs, (QStringList{"RFID settings", "RFID baudrate settings", "Proxcard settings"}));
}
