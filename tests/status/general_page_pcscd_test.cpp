// The General page against a private pcscd with simulated readers: which
// readers it handles, their rows and tabs as readers come and go, and pcscd
// going away and coming back. The page refreshes once a second, so every
// change is awaited with a generous deadline before the state is compared.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "fakes.h"
#include "platform/systemd_service.h"
#include "reader/reader_dialog.h"
#include "sandbox_environment.h"
#include "stand_in_systemd.h"
#include "status/diag_tool_dlg.h"
#include "temp_dir.h"

// Readable names in failure messages.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

using namespace testing_support;

// Readers 00 to 04, in this order: a known model with a card; a known model
// that is not plugged in yet; a reader nobody handles; a brand-named reader
// without a model row; a reader that the configuration adds.
const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/status/admitted_readers");

constexpr char kConfiguration[] = "[Additional_Readers]\nReader1=Kappa Desk Reader\n";
constexpr auto kDeadline = 5s;
constexpr char kRunning[] = "Started and Running";
constexpr char kStopped[] = "is 'Stopped'";
constexpr char kUnknown[] = "State of Resource Manager unknown !";
constexpr char kProxTab[] = "Proxcard settings";

// Runs the event loop until `done` holds or the deadline has passed.
void WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

class GeneralPagePcscdTest : public ::testing::Test {
 protected:
  GeneralPagePcscdTest() {
    // A system tree of its own: pcscd is installed there, so a pcscd that
    // does not answer reads as stopped rather than missing, and no card API
    // library puts an "APIs" tab before the readers.
    root.Write("usr/sbin/pcscd", "");
    setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
    system.modulePath = program / "velkaro-diag";
    // The program's own service check: with PCSCLITE_CSOCK_NAME set it asks
    // the socket of the private pcscd, never the host's service manager.
    velkaro::InstallServiceControl(&serviceControl);
  }
  ~GeneralPagePcscdTest() override {
    sheet.reset();
    // Stopped refresh threads end by themselves; the services they use stay
    // until they have.
    WaitUntil([] { return CDiagToolDlg::RunningRefreshThreads() == 0; });
    velkaro::InstallServiceControl(nullptr);
    unsetenv("VELKARO_SYSTEM_ROOT");
  }

  void SetUp() override {
    // Names are taken while pcscd lists them, before any test stops it.
    ct200 = Name("VELKARO CT 200");
    rf600 = Name("VELKARO RF 600");
    acme = Name("ACME Reader");
    prototype = Name("VELKARO Prototype X");
    configured = Name("Kappa Desk Reader");
  }

  static QString Name(std::string_view model) {
    if (!SandboxEnvironment().Possible() || !SandboxEnvironment().Problem().empty()) return {};
    return QString::fromStdString(Sandbox().ReaderName(model));
  }

  // `plainTabs`: reader tabs without a page of their own behind them (no
  // card monitors), where only the General page is looked at.
  void Open(bool plainTabs = false) {
    program.Write("diagtool.ini", kConfiguration);
    ASSERT_TRUE(app.LoadConfiguration());
    sheet = std::make_unique<CDiagToolPropSheet>("t");
    general = AddGeneralPage(*sheet, app);
    for (int kind : {kGroupReaderPages, kGroupKestrelPages}) {
      if (!plainTabs) break;
      general->SetReaderPageFactory(kind, [](const std::string& name, const ReaderModel*) {
        return new CPropertyPage(QString::fromStdString(name));
      });
    }
    sheet->Create();
  }

  // Opens the window and waits for the readers handled from the start.
  void OpenWithReaders(bool plainTabs = false) {
    ASSERT_NO_FATAL_FAILURE(Open(plainTabs));
    WaitUntil([&] { return FoundReaders() == Handled(); });
    ASSERT_EQ(FoundReaders(), Handled());
  }

  QStringList Handled() const { return {ct200, prototype, configured}; }

  QStringList FoundReaders() const {
    QStringList rows;
    for (int i = 0; i < general->FoundReaders()->topLevelItemCount(); ++i)
      rows << general->FoundReaders()->topLevelItem(i)->text(0);
    return rows;
  }

  // The texts of the tabs after the General page.
  QStringList Tabs() const {
    QStringList tabs;
    for (int i = 1; i < sheet->GetPageCount(); ++i) tabs << sheet->GetTabText(i);
    return tabs;
  }

  QString Status() const { return general->StatusText()->text(); }

  TempDir root;
  TempDir program;
  FakeSystemInfo system;
  RecordingMessageBox messages;
  velkaro::SystemdServiceControl serviceControl;
  CDiagToolApp app;
  std::unique_ptr<CDiagToolPropSheet> sheet;
  CDiagToolDlg* general = nullptr;
  QString ct200, rf600, acme, prototype, configured;
};

}  // namespace

TEST_F(GeneralPagePcscdTest, HandledReadersAreListedAndTabbedInEnumerationOrder) {
  VELKARO_REQUIRE_SANDBOX();
  // PC/SC lists the readers the page must leave out.
  ASSERT_FALSE(acme.isEmpty());
  ASSERT_FALSE(rf600.isEmpty());
  ASSERT_NO_FATAL_FAILURE(OpenWithReaders());

  EXPECT_EQ(Status(), kRunning);
  EXPECT_EQ(Tabs(), Handled());
  for (int i = 1; i < sheet->GetPageCount(); ++i) {
    auto* page = dynamic_cast<CReaderDialog*>(sheet->GetPage(i));
    ASSERT_NE(page, nullptr) << i;
    EXPECT_EQ(QString::fromStdString(page->Session().ReaderName()), sheet->GetTabText(i));
  }
  EXPECT_EQ(sheet->GetActiveIndex(), 0);

  // Later refreshes find the same readers and change nothing.
  const int refreshes = general->RefreshCount();
  WaitUntil([&] { return general->RefreshCount() >= refreshes + 2; });
  ASSERT_GE(general->RefreshCount(), refreshes + 2);
  EXPECT_EQ(FoundReaders(), Handled());
  EXPECT_EQ(Tabs(), Handled());
  EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(GeneralPagePcscdTest, PluggedInReaderTakesItsPlaceInTheListAndTheLastTab) {
  VELKARO_REQUIRE_SANDBOX();
  ASSERT_NO_FATAL_FAILURE(OpenWithReaders());

  RunSim({"replug", "b_rf600"});
  const QStringList listed = {ct200, rf600, prototype, configured};
  WaitUntil([&] { return FoundReaders() == listed; });
  EXPECT_EQ(FoundReaders(), listed);
  EXPECT_EQ(Tabs(), (QStringList{ct200, prototype, configured, rf600}));
  EXPECT_EQ(sheet->GetActiveIndex(), 0);
}

TEST_F(GeneralPagePcscdTest, UnpluggedReaderLosesItsRowAndTab) {
  VELKARO_REQUIRE_SANDBOX();
  ASSERT_NO_FATAL_FAILURE(OpenWithReaders());

  // The reader of the front tab goes: the tab to its left comes forward
  // (not the one to its right, which the tab bar itself would pick).
  ASSERT_TRUE(sheet->SetActivePage(2));
  const QPointer<CPropertyPage> gone = sheet->GetActivePage();
  ASSERT_TRUE(gone->IsInitialised());  // its monitor runs
  RunSim({"unplug", "d_prototype"});
  WaitUntil([&] { return FoundReaders() == QStringList{ct200, configured}; });
  EXPECT_EQ(FoundReaders(), (QStringList{ct200, configured}));
  EXPECT_EQ(Tabs(), (QStringList{ct200, configured}));
  EXPECT_TRUE(gone.isNull());
  EXPECT_EQ(sheet->GetActiveIndex(), 1);

  // A reader of a background tab to the left goes: the front page stays in
  // front, one place further left.
  ASSERT_TRUE(sheet->SetActivePage(2));
  CPropertyPage* const front = sheet->GetActivePage();
  RunSim({"unplug", "a_ct200"});
  WaitUntil([&] { return FoundReaders() == QStringList{configured}; });
  EXPECT_EQ(FoundReaders(), QStringList{configured});
  EXPECT_EQ(Tabs(), QStringList{configured});
  EXPECT_EQ(sheet->GetActivePage(), front);
}

TEST_F(GeneralPagePcscdTest, StoppedPcscdTakesEveryReaderDownAndItsReturnBringsThemBackAtTheEnd) {
  VELKARO_REQUIRE_SANDBOX();
  ASSERT_NO_FATAL_FAILURE(OpenWithReaders());
  // A settings tab that stays through it all, so that "at the end" shows.
  general->SetSettingsPageFactory(kGroupProxSettings, [] { return new CPropertyPage(kProxTab); });
  general->SetProxPageWanted(true);
  WaitUntil([&] { return Tabs().size() == 4; });
  ASSERT_EQ(Tabs(), Handled() + QStringList{kProxTab});
  // The reader with the card in front: its monitor waits on pcscd when it goes.
  ASSERT_TRUE(sheet->SetActivePage(1));

  Sandbox().Stop();
  WaitUntil([&] { return Status() == kStopped && FoundReaders().isEmpty() && Tabs().size() == 1; });
  EXPECT_EQ(Status(), kStopped);
  EXPECT_EQ(FoundReaders(), QStringList{});
  EXPECT_EQ(Tabs(), QStringList{kProxTab});
  EXPECT_EQ(sheet->GetActiveIndex(), 0);

  ASSERT_EQ(Sandbox().Start(), std::nullopt);
  WaitUntil([&] { return FoundReaders() == Handled() && Tabs().size() == 4; });
  EXPECT_EQ(Status(), kRunning);
  EXPECT_EQ(FoundReaders(), Handled());
  EXPECT_EQ(Tabs(), QStringList{kProxTab} + Handled());
}

// A service manager that never answers costs the refresh thread one call
// time-out; the page says what pcscd itself shows and keeps the readers.
TEST_F(GeneralPagePcscdTest, SilentServiceManagerLeavesTheReadersAndTheirTabs) {
  VELKARO_REQUIRE_SANDBOX();
  testing_support::StandInSystemd standIn;
  std::string error;
  ASSERT_TRUE(standIn.Start("silent", error)) << error;
  velkaro::SystemdServiceControl silent(standIn.Address());
  velkaro::InstallServiceControl(&silent);
  ASSERT_NO_FATAL_FAILURE(OpenWithReaders());
  EXPECT_EQ(Status(), kRunning);
  const int refreshes = general->RefreshCount();
  WaitUntil([&] { return general->RefreshCount() >= refreshes + 2; });
  EXPECT_EQ(Status(), kRunning);
  EXPECT_EQ(Tabs(), Handled());
  sheet.reset();  // before the service check it uses goes
  velkaro::InstallServiceControl(&serviceControl);
}

// A stopped pcscd (SIGSTOP) still takes connections into its listen queue
// and answers nothing: the page says the state is unknown and keeps the
// reader tabs; once it goes on, the page says it runs. Stopped again, the
// window closes at once even while the refresh waits for pcsc-lite.
TEST_F(GeneralPagePcscdTest, StoppedPcscdShowsAnUnknownStateAndTheWindowStillClosesAtOnce) {
  VELKARO_REQUIRE_SANDBOX();
  ASSERT_NO_FATAL_FAILURE(OpenWithReaders(true));
  const pid_t pcscd = Sandbox().Pid();
  // pcscd goes on when the test is done, or after a while when closing
  // waits for it: the test then fails by its clock instead of hanging.
  std::atomic<bool> done{false};
  std::thread watchdog([&done, pcscd] {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    kill(pcscd, SIGCONT);
  });

  ASSERT_EQ(kill(pcscd, SIGSTOP), 0);
  WaitUntil([&] { return Status() == kUnknown; });
  EXPECT_EQ(Status(), kUnknown);
  EXPECT_EQ(FoundReaders(), Handled());
  EXPECT_EQ(Tabs(), Handled());
  ASSERT_EQ(kill(pcscd, SIGCONT), 0);
  WaitUntil([&] { return Status() == kRunning; });
  EXPECT_EQ(Status(), kRunning);

  // Stopped just after a refresh, pcscd holds the next one in pcsc-lite
  // for its deadline (it starts a period later): the window closes then.
  const int refreshes = general->RefreshCount();
  WaitUntil([&] { return general->RefreshCount() > refreshes; });
  ASSERT_EQ(kill(pcscd, SIGSTOP), 0);
  QEventLoop loop;
  QTimer::singleShot(1600, &loop, &QEventLoop::quit);
  loop.exec();
  const auto closing = std::chrono::steady_clock::now();
  sheet.reset();
  const auto closed = std::chrono::steady_clock::now() - closing;
  done = true;
  watchdog.join();
  EXPECT_LT(closed, 500ms);
}

// pcscd run by hand (pcscd -f -d) after the units were stopped, seen where
// the program looks for the system's pcscd: a child process whose mount
// namespace has the private pcscd's run directory on /run/pcscd, without
// PCSCLITE_CSOCK_NAME, asks a stand-in systemd whose units are inactive.
TEST_F(GeneralPagePcscdTest, PcscdStartedByHandWithStoppedUnitsRunsAndListsEveryReader) {
  VELKARO_REQUIRE_SANDBOX();
  testing_support::StandInSystemd standIn;
  std::string error;
  ASSERT_TRUE(standIn.Start("0", error, "stopped")) << error;
  program.Write("diagtool.ini", kConfiguration);
  TempDir runtime;  // /run is replaced in the child
  ::chmod(runtime.path().c_str(), 0700);

  std::vector<std::string> variables;
  for (char** variable = environ; *variable; ++variable) {
    const std::string_view text(*variable);
    if (!text.starts_with("PCSCLITE_CSOCK_NAME=") && !text.starts_with("XDG_RUNTIME_DIR=")) variables.emplace_back(text);
  }
  variables.push_back("XDG_RUNTIME_DIR=" + runtime.path().string());
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const std::string runDir = Sandbox().Directory() + "/run";
  const std::string programDir = program.path().string();
  const std::string& bus = standIn.Address();

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("velkaro-test", "/run", "tmpfs", 0, "mode=0755") != 0 || mkdir("/run/pcscd", 0755) != 0 ||
        mount(runDir.c_str(), "/run/pcscd", nullptr, MS_BIND, nullptr) != 0) {
      _exit(90);
    }
    execle(VELKARO_SYSTEM_PATH_PAGE, VELKARO_SYSTEM_PATH_PAGE, bus.c_str(), programDir.c_str(), nullptr, envp.data());
    _exit(91);
  }
  close(out[1]);
  std::string output;
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status << "\n" << output;
  const QStringList lines = QString::fromStdString(output).split('\n', Qt::SkipEmptyParts);
  ASSERT_FALSE(lines.isEmpty());
  EXPECT_EQ(lines.front(), kRunning);
  EXPECT_EQ(lines.mid(1), Handled());
}
