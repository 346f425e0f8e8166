#include "app/startup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
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
#include "window_host.h"

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

// The log's work runs off the user-interface thread and nobody waits for it:
// Start returns while the work still runs, what it posts runs on the
// user-interface thread, and once the runner is gone its posts are dropped.
TEST(BackgroundRunnerTest, StartReturnsAtOnceAndPostsReachOnlyALiveRunner) {
  auto runner = std::make_unique<velkaro::QtBackgroundRunner>();
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto late = std::make_shared<std::atomic<int>>(0);  // 1: posted after the runner went, 2: that task ran
  std::thread::id ranOn;
  bool posted = false;
  ASSERT_TRUE(runner->Start([&, release, late](const velkaro::UiPost& post) {
    post([&] {
      ranOn = std::this_thread::get_id();
      posted = true;
    });
    while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    post([late] { late->store(2); });
    if (late->load() == 0) late->store(1);
  }));
  EXPECT_TRUE(testing_support::WaitUntil([&] { return posted; }, 5000));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  runner.reset();
  release->store(true);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return late->load() != 0; }, 5000));
  testing_support::RunEvents(50);
  EXPECT_EQ(late->load(), 1);
}

// The progress window shows the step as written and tells a cancel, only a
// cancel, to its owner.
TEST(LogProgressTest, ShowsTheStepAndReportsOnlyACancel) {
  CLogProgress progress;
  int cancels = 0;
  progress.Open("Create Logfile", "Reading the system", [&] { ++cancels; });
  ASSERT_NE(progress.Dialog(), nullptr);
  EXPECT_TRUE(progress.Dialog()->isVisible());
  EXPECT_FALSE(progress.Dialog()->isModal());
  progress.SetStep("Reading reader 0: <b>VELKARO</b> CL 3700 00 00");
  EXPECT_EQ(progress.Dialog()->Step(), "Reading reader 0: <b>VELKARO</b> CL 3700 00 00");
  EXPECT_EQ(progress.Dialog()->findChild<QLabel*>()->textFormat(), Qt::PlainText);

  progress.Dialog()->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  EXPECT_EQ(cancels, 1);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the window deletes itself
  EXPECT_EQ(progress.Dialog(), nullptr);

  progress.Open("Create Logfile", "Reading the system", [&] { ++cancels; });
  progress.Close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(progress.Dialog(), nullptr);
  EXPECT_EQ(cancels, 1);
}
