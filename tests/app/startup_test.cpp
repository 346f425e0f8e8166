#include "app/startup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "fakes.h"
#include "platform/qt_dialogs.h"
#include "status/diag_tool_dlg.h"
#include "temp_dir.h"

using testing_support::FakeSaveFileDialog;
using testing_support::FakeSystemInfo;
using testing_support::RecordingMessageBox;
using testing_support::TempDir;

namespace {

class StartupTest : public ::testing::Test {
 protected:
  StartupTest() {
    // The program and its configuration side by side, as installed.
    system.modulePath = dir / "velkaro-diag";
    std::filesystem::copy_file(VELKARO_DIAG_BINARY, system.modulePath);
  }

  TempDir dir;
  FakeSystemInfo system;
  RecordingMessageBox messages;
};

}  // namespace

TEST_F(StartupTest, ShowsTheMainWindowUntilItIsClosed) {
  dir.Write("diagtool.ini", "[Files Linux]\nMFILE1=pcscd\n");
  QString title;
  QStringList tabs;
  int menuItems = 0;
  QTimer::singleShot(0, [&] {
    CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
    ASSERT_NE(sheet, nullptr);
    title = sheet->windowTitle();
    for (int i = 0; i < sheet->GetPageCount(); ++i) tabs << sheet->GetTabText(i);
    menuItems = static_cast<int>(sheet->menuBar()->actions().size());
    sheet->close();
  });
  CDiagToolApp app;
  EXPECT_EQ(RunDiagTool(app), 0);
  EXPECT_EQ(title, QString("VELKARO Diagnostic Tool (Ver. %1)").arg(VELKARO_VERSION));
  EXPECT_EQ(tabs, QStringList{"General"});
  EXPECT_EQ(menuItems, 5);
  EXPECT_EQ(app.GetMandatoryFiles(), StringList{"pcscd"});
  EXPECT_EQ(CDiagToolPropSheet::MainWindow(), nullptr);
  EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(StartupTest, ShippedConfigurationStartsTheWindow) {
  // The default configuration, as staged beside the program.
  std::filesystem::copy_file(std::filesystem::path(VELKARO_DIAG_BINARY).parent_path() / "diagtool.ini",
                             dir / "diagtool.ini");
  QStringList tabs;
  QTimer::singleShot(0, [&] {
    CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
    ASSERT_NE(sheet, nullptr);
    tabs << sheet->GetTabText(0);
    sheet->close();
  });
  CDiagToolApp app;
  EXPECT_EQ(RunDiagTool(app), 0);
  EXPECT_EQ(tabs, QStringList{"General"});
  EXPECT_FALSE(app.GetMandatoryFiles().empty());
  EXPECT_FALSE(app.CardNames().empty());
  EXPECT_TRUE(app.IsAdditionalReader("Generic CCID Reader"));
  EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(StartupTest, BrokenConfigurationEndsBeforeAnyWindow) {
  dir.Write("diagtool.ini", "[Card 1]\nVARTEXT=text\nVARATR=3B 00 00\n");
  bool windowSeen = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { windowSeen = windowSeen || CDiagToolPropSheet::MainWindow() != nullptr; });
  timer.start(0);
  CDiagToolApp app;
  EXPECT_EQ(RunDiagTool(app), 1);
  EXPECT_FALSE(windowSeen);
  EXPECT_EQ(messages.Texts().back(), "Read config file failed");
}

TEST_F(StartupTest, ButtonAndMenuBothCreateTheLogfile) {
  dir.Write("diagtool.ini", "[Files Linux]\nMFILE1=pcscd\n");
  CDiagToolApp app;
  ASSERT_TRUE(app.LoadConfiguration());
  FakeSaveFileDialog dialog;  // the user cancels: nothing is written
  CDiagToolPropSheet sheet(QStringLiteral("title"));
  CDiagToolDlg* general = AddGeneralPage(sheet, app);
  general->CreateLogfileButton()->click();
  sheet.OnSysCommand(IDM_CREATE_LOGFILE);
  ASSERT_EQ(dialog.requests.size(), 2u);
  EXPECT_TRUE(dialog.requests[1].defaultPath.ends_with("/diagtool.log"));
  EXPECT_TRUE(messages.Shown().empty());
}

// The log's work runs off the user-interface thread, whose events (the
// refresh, drawing) go on meanwhile.
TEST(BackgroundRunnerTest, TheWindowsEventsGoOnWhileTheWorkRuns) {
  velkaro::QtBackgroundRunner runner;
  std::atomic<bool> timerFired{false};
  bool sawTimer = false;
  std::thread::id workThread;
  QTimer::singleShot(0, [&] { timerFired = true; });
  runner.Run([&] {
    workThread = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!timerFired && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    sawTimer = timerFired;
  });
  EXPECT_TRUE(sawTimer);
  EXPECT_NE(workThread, std::this_thread::get_id());
}
