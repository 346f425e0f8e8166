// "Create Logfile" and velkaro-diag-log in a fixed setting: simulated readers
// behind the private pcscd, a fake system tree, a settings store and a
// version record of the tests' own. The logs are compared byte for byte.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "app/diag_tool_app.h"
#include "fakes.h"
#include "log/log_texts.h"
#include "log/log_writer.h"
#include "platform/qt_dialogs.h"
#include "platform/service_state.h"
#include "registry_fixture.h"
#include "sandbox_environment.h"
#include "temp_dir.h"
#include "window_host.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/log/readers");

const std::string kData = VELKARO_TEST_DATA "/log";
const std::string kRoot = kData + "/root";

class DiagLogTest : public ::testing::Test {
 protected:
  DiagLogTest() {
    system.modulePath = kRoot + "/opt/velkaro/velkaro-diag";
    system.version = velkaro::OsVersionRecord{velkaro::VER_PLATFORM_LINUX, 6, 1, 76, "6.1.0-18-amd64",
                                              "Debian GNU/Linux 12 (bookworm)"};
    stores.WriteMachine(RegistryStores::ReadFile(kData + "/registry.reg"));
  }

  // "Create Logfile" with the file dialog answering `path`; the log's bytes.
  std::string CreateLogfile(const std::optional<std::string>& path) {
    dialog.answer = path;
    CDiagToolApp app;
    EXPECT_TRUE(app.LoadConfiguration());
    app.CreateLogfile();
    return path ? RegistryStores::ReadFile(*path) : std::string();
  }
  std::string LastMessage() const { return messages.Shown().empty() ? "" : messages.Shown().back().text; }
  // The names in the output directory, the log's temporary files included.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir out;
  ScopedEnv systemRoot{"VELKARO_SYSTEM_ROOT", kRoot};
  ScopedEnv temp{"TEMP", out.path().string()};
  RegistryStores stores;
  FakeSystemInfo system;
  FakeSaveFileDialog dialog;
  RecordingMessageBox messages;
};

// pcscd stopped, as an overloaded or wedged one looks; it goes on at the end
// of the scope, so that the calls left waiting end and the sandbox stops.
class StoppedPcscd {
 public:
  StoppedPcscd() = default;
  ~StoppedPcscd() {
    if (m_stopped) ::kill(Sandbox().Pid(), SIGCONT);
  }
  StoppedPcscd(const StoppedPcscd&) = delete;
  StoppedPcscd& operator=(const StoppedPcscd&) = delete;
  void Stop() {
    if (!m_stopped) m_stopped = ::kill(Sandbox().Pid(), SIGSTOP) == 0;
  }

 private:
  bool m_stopped = false;
};

// The progress window as the log drives it; the test presses Cancel.
class RecordingProgress final : public velkaro::IProgressDialog {
 public:
  RecordingProgress() : m_scope(*this, &velkaro::ProgressDialog, &velkaro::InstallProgressDialog) {}
  void Open(const std::string&, const std::string& step, std::function<void()> onCancel) override {
    open = true;
    steps.push_back(step);
    m_onCancel = std::move(onCancel);
  }
  void SetStep(const std::string& step) override { steps.push_back(step); }
  void Raise() override { ++raised; }
  void Close() override { open = false; }
  void Cancel() {
    open = false;
    if (m_onCancel) m_onCancel();
  }

  bool open = false;
  int raised = 0;
  std::vector<std::string> steps;

 private:
  std::function<void()> m_onCancel;
  velkaro::ScopedService<velkaro::IProgressDialog> m_scope;
};

std::vector<std::string> Lines(const std::vector<UnansweredStep>& steps) {
  std::vector<std::string> lines;
  for (const UnansweredStep& step : steps) lines.push_back(UnansweredLine(step));
  return lines;
}

std::string ReadersFrom(const std::string& log, int first) {
  return std::regex_replace(log, std::regex("(Present reader [" + std::to_string(first) + "-9]: [^,]*), [^\r]*"),
                            "$1, FW Version = n/a, Lib Version = n/a, Serial Number = n/a");
}

std::string WithoutReaders(std::string log) {
  const std::size_t from = log.find("Present reader 0:");
  return log.erase(from, log.find("\r\n\r\nGeneral Information\r\n") - from);
}

std::string AfterLastSeparator(const std::string& log) { return log.substr(log.rfind("*****")); }

// The golden log with its cards as the log writes them when pcscd was not
// asked for them; the section after them stays.
std::string WithCardsUnknown(std::string log) {
  const std::size_t from = log.rfind("Cards:\r\n\r\n") + 10;
  return log.replace(from, log.find("\r\n\r\nUSB Devices:", from) - from, "n/a");
}
constexpr char kCardsNotAsked[] =
    "No answer: the cards' ATRs (not asked: an earlier call to pcscd had not answered)";

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  if (const auto at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

}  // namespace

TEST_F(DiagLogTest, FixedSettingGivesTheGoldenLogs) {
  VELKARO_REQUIRE_SANDBOX();
  testing_support::RecordingDebugOutput debug;
  system.admin = true;
  EXPECT_EQ(CreateLogfile(out / "admin.log"), RegistryStores::ReadFile(kData + "/administrator.log"));
  system.admin = false;
  EXPECT_EQ(CreateLogfile(out / "user.log"), RegistryStores::ReadFile(kData + "/user.log"));
  // Each log reads the dpkg database once, for all its files together.
  const auto lines = debug.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.starts_with("dpkg database: "); }),
            2);

  ASSERT_EQ(dialog.requests.size(), 2u);
  EXPECT_EQ(dialog.requests[0].defaultPath, out / "diagtool.log");
  EXPECT_EQ(dialog.requests[0].filter, "LogFiles (*.log);;RegFiles (*.reg);;All Files (*)");
  EXPECT_EQ(dialog.requests[0].defaultExtension, "log");
  const auto shown = messages.Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, "LogFile created successfully");
  EXPECT_EQ(shown[0].caption, "Diagnostic Tool");
  EXPECT_EQ(shown[1].text, "Registry scan skipped\r\nYou do not have administration privileges on this machine");
  EXPECT_EQ(shown[1].caption, "");
}

TEST_F(DiagLogTest, CommandLineWriterGivesTheWindowsBytes) {
  VELKARO_REQUIRE_SANDBOX();
  // The command finds its configuration beside itself, as installed, and
  // reads the real version record and user.
  std::filesystem::create_directories(out / "bin");
  std::filesystem::copy_file(VELKARO_DIAG_LOG_BINARY, out / "bin/velkaro-diag-log");
  std::filesystem::copy_file(kRoot + "/opt/velkaro/diagtool.ini", out / "bin/diagtool.ini");
  system.modulePath = out / "bin/velkaro-diag-log";
  system.version = velkaro::QueryLinuxVersion();
  system.admin = true;  // the sandbox runs only as root
  const std::string window = CreateLogfile(out / "window.log");

  const std::string command =
      system.modulePath + " " + out / "command.log" + " >" + out / "stdout" + " 2>" + out / "stderr";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(RegistryStores::ReadFile(out / "command.log"), window);
  EXPECT_EQ(RegistryStores::ReadFile(out / "stderr"), LastMessage() + "\n");
  EXPECT_EQ(RegistryStores::ReadFile(out / "stdout"), out / "command.log" + "\n");
}

// A failed or cancelled log leaves the old file, or nothing, at the chosen
// path and no file of its own beside it; a log put in place is 0600 and,
// written as root for someone, theirs.
TEST_F(DiagLogTest, OnlyAWholeLogReachesThePath) {
  VELKARO_REQUIRE_SANDBOX();
  system.admin = true;
  const ScopedEnv noPkexec{"PKEXEC_UID", ""};
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char* name;
    const char* path;
    bool oldFile;
    std::function<void(LogSetting&, FakeLogFileSystem&)> arrange;
    std::string message;  // what is shown last; the path is put where "@" stands
    bool putInPlace;
  };
  const Case cases[] = {
      {"the disk fills", "full.log", true,
       [](LogSetting&, FakeLogFileSystem& disk) {
         disk.onWrite = [&disk](std::string_view bytes) {
           disk.capacity = bytes.starts_with("Present reader 1:") ? disk.written : SIZE_MAX;
         };
       },
       "File-IO error\nErrorcode: -3\n@: No space left on device", false},
      {"cancelled while the readers are read", "cancel.log", true,
       [](LogSetting& setting, FakeLogFileSystem&) {
         auto seen = std::make_shared<bool>(false);
         setting.onStep = [seen](const std::string& step) { *seen = *seen || step.starts_with("Reading reader 1"); };
         setting.isCancelled = [seen] { return *seen; };
       },
       "", false},
      {"another user's file at the path", "theirs.log", true,
       [this](LogSetting&, FakeLogFileSystem&) { ::chown((out / "theirs.log").c_str(), kNobody, kNobody); },
       "FILE CANNOT BE CREATED\n@: the file belongs to nobody (uid 65534), not to this user or the user who asked",
       false},
      {"a directory that does not exist", "gone/diag.log", false, {},
       "FILE CANNOT BE CREATED\n@: No such file or directory", false},
      {"a whole log over the old one", "whole.log", true, {}, "LogFile created successfully", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = out / c.path;
    if (c.oldFile) out.Write(c.path, "the old log\n");
    const std::vector<std::string> before = Names();
    CDiagToolApp app;
    ASSERT_TRUE(app.LoadConfiguration());
    LogSetting setting = app.MakeLogSetting();
    LogOutcome outcome;
    {
      FakeLogFileSystem disk;
      if (c.arrange) c.arrange(setting, disk);
      outcome = WriteDiagnosticLog(path, setting);
    }
    std::string message = c.message;
    if (const std::size_t at = message.find('@'); at != std::string::npos) message.replace(at, 1, path);
    EXPECT_EQ(outcome.messages.empty() ? "" : outcome.messages.back().text, message);
    EXPECT_EQ(Names(), before);
    if (c.putInPlace) {
      EXPECT_EQ(RegistryStores::ReadFile(path), RegistryStores::ReadFile(kData + "/administrator.log"));
    } else if (c.oldFile) {
      EXPECT_EQ(RegistryStores::ReadFile(path), "the old log\n");
    }
  }

  // Root writing for the user who asked through sudo hands the log over.
  const ScopedEnv uid{"SUDO_UID", std::to_string(kNobody)};
  const ScopedEnv gid{"SUDO_GID", "0"};  // the group is nobody's own from passwd
  CDiagToolApp app;
  ASSERT_TRUE(app.LoadConfiguration());
  ASSERT_EQ(app.WriteLog(out / "handed.log").result, LogResult::kComplete);
  struct stat st {};
  ASSERT_EQ(::stat((out / "handed.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  // Theirs now, so it may be replaced for them.
  EXPECT_EQ(app.WriteLog(out / "handed.log").result, LogResult::kComplete);
}

// pcscd that stops answering (before the log, or in the middle of the
// readers) costs one deadline: the log asks pcscd nothing more, writes what
// it did not get as n/a and ends with every section.
TEST_F(DiagLogTest, AStoppedPcscdCostsOneDeadlineAndTheLogStaysWhole) {
  VELKARO_REQUIRE_SANDBOX();
  system.admin = true;
  const std::string golden = RegistryStores::ReadFile(kData + "/administrator.log");
  struct Case {
    const char* name;
    const char* stopAt;  // the step at which pcscd stops; null: before the log
    std::string log;
    std::vector<std::string> unanswered;
  };
  const Case cases[] = {
      // pcscd takes the service check's connection but does not answer it.
      {"stopped before the log", nullptr,
       Replaced(WithoutReaders(WithCardsUnknown(golden)), "Resource Manager Status: Started and Running",
                "Resource Manager Status: State of Resource Manager unknown !"),
       {"No answer: the reader list", kCardsNotAsked}},
      {"stopped when reader 1 is read", "Reading reader 1:", ReadersFrom(WithCardsUnknown(golden), 1),
       {"No answer: the reader information of \"VELKARO CT 200 01 00\"",
        "No answer: the reader information of \"Kappa Desk Reader 03 00\" (not asked: an earlier call to pcscd had "
        "not answered)",
        "No answer: the reader information of \"VELKARO CL 3710 04 00\" (not asked: an earlier call to pcscd had "
        "not answered)",
        kCardsNotAsked}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDiagToolApp app;
    ASSERT_TRUE(app.LoadConfiguration());
    // A case that starts with pcscd running waits until the one before has
    // let go of it: woken again, it first works off what was left waiting.
    if (c.stopAt) {
      for (int i = 0; i < 100 && velkaro::ProbePcscdSocket() != velkaro::PcscdReply::kAnswered; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    StoppedPcscd pcscd;
    if (!c.stopAt) pcscd.Stop();
    LogSetting setting = app.MakeLogSetting();
    setting.onStep = [&](const std::string& step) {
      if (c.stopAt && step.starts_with(c.stopAt)) pcscd.Stop();
    };
    const auto start = std::chrono::steady_clock::now();
    const LogOutcome outcome = WriteDiagnosticLog(out / "stopped.log", setting);
    // One deadline of a few seconds; a call made after the miss would add
    // another.
    EXPECT_LT(Seconds(start), 7.0);
    EXPECT_EQ(outcome.result, LogResult::kComplete);
    EXPECT_EQ(Lines(outcome.unanswered), c.unanswered);
    EXPECT_EQ(RegistryStores::ReadFile(out / "stopped.log"), c.log);
  }
}

// velkaro-diag-log with pcscd stopped ends in time with its whole file, says
// on standard error what did not answer and exits with 4.
TEST_F(DiagLogTest, TheCommandWithPcscdStoppedExitsWithFour) {
  VELKARO_REQUIRE_SANDBOX();
  std::filesystem::create_directories(out / "bin");
  std::filesystem::copy_file(VELKARO_DIAG_LOG_BINARY, out / "bin/velkaro-diag-log");
  std::filesystem::copy_file(kRoot + "/opt/velkaro/diagtool.ini", out / "bin/diagtool.ini");
  StoppedPcscd pcscd;
  pcscd.Stop();
  const std::string command = "timeout 60 " + out / "bin/velkaro-diag-log" + " " + out / "command.log" + " >" +
                              out / "stdout" + " 2>" + out / "stderr";
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  EXPECT_LT(Seconds(start), 20.0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(RegistryStores::ReadFile(out / "stderr"),
            "No answer: the reader list\n" + std::string(kCardsNotAsked) + "\nLogFile created successfully\n");
  const std::string log = RegistryStores::ReadFile(out / "command.log");
  for (const char* part : {"General Information: \r\n", "Resource Manager Status: ", "Files: \r\n",
                           "\r\n\r\n\r\n\r\nGeneral Information\r\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\]"}) {
    EXPECT_NE(log.find(part), std::string::npos) << part;
  }
  const std::string golden = WithCardsUnknown(RegistryStores::ReadFile(kData + "/administrator.log"));
  EXPECT_TRUE(log.ends_with(AfterLastSeparator(golden)));
  struct stat st {};
  ASSERT_EQ(::stat((out / "command.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A configuration the command refuses leaves a log without file rows: it
// says why and claims no success. It exits with 5, or with 1 where the
// settings dump could not read the file either and the log is incomplete.
TEST_F(DiagLogTest, TheCommandWithARefusedConfigurationClaimsNoSuccess) {
  VELKARO_REQUIRE_SANDBOX();
  std::filesystem::create_directories(out / "bin");
  std::filesystem::copy_file(VELKARO_DIAG_LOG_BINARY, out / "bin/velkaro-diag-log");
  const struct {
    const char* name;
    std::function<void(const std::string&)> place;
    const char* reason;
    int status;
  } cases[] = {
      {"CR line ends", [](const std::string& ini) { std::ofstream(ini, std::ios::binary) << "[Files Linux]\rMFILE1=pcscd\r"; },
       "its lines end in CR alone", 5},
      {"a directory", [](const std::string& ini) { std::filesystem::create_directory(ini); },
       "it is not a regular file", 1},
      {"too large", [](const std::string& ini) { std::ofstream(ini, std::ios::binary) << std::string(17 << 20, ';'); },
       "it is larger than 16 MiB", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string ini = out / "bin/diagtool.ini";
    std::filesystem::remove_all(ini);
    c.place(ini);
    const std::string command = "timeout 60 " + out / "bin/velkaro-diag-log" + " " + out / "command.log" + " >" +
                                out / "stdout" + " 2>" + out / "stderr";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    const std::string errors = RegistryStores::ReadFile(out / "stderr");
    EXPECT_EQ(WEXITSTATUS(status), c.status) << errors;
    EXPECT_NE(errors.find("The configuration file " + ini + " was not read: " + c.reason), std::string::npos) << errors;
    EXPECT_EQ(errors.find("successfully"), std::string::npos) << errors;
    EXPECT_EQ(RegistryStores::ReadFile(out / "stdout"), c.status == 5 ? out / "command.log" + "\n" : "");
  }
}

TEST_F(DiagLogTest, FailuresAreNeverReportedAsSuccess) {
  VELKARO_REQUIRE_SANDBOX();
  {
    // Damaged once the report is written: the dump, which looks at the store
    // after its heading (the second line with a build number), fails.
    FakeLogFileSystem disk;
    int buildLines = 0;
    disk.onWrite = [&](std::string_view bytes) {
      if (bytes.find(logtext::kBuildNumber) != std::string_view::npos && ++buildLines == 2) stores.WriteMachine("no store\n");
    };
    CreateLogfile(out / "store.log");
    EXPECT_EQ(LastMessage().rfind("Error scanning registry\nErrorcode: -1\n", 0), 0u) << LastMessage();
  }
  const std::size_t shown = messages.Shown().size();
  CreateLogfile(std::nullopt);  // cancelled: nothing written, nothing shown
  EXPECT_EQ(messages.Shown().size(), shown);
}

// The window's "Create Logfile" returns to the event loop at once; the
// progress window follows the steps and closes with the outcome. With pcscd
// stopped, a second "Create Logfile" brings the window forward, and Cancel
// leaves the old file and shows nothing.
TEST_F(DiagLogTest, TheWindowsLogNeverHoldsTheWindowAndCancels) {
  VELKARO_REQUIRE_SANDBOX();
  system.admin = true;
  velkaro::QtBackgroundRunner runner;
  const velkaro::ScopedService<velkaro::IBackgroundRunner> useRunner(runner, &velkaro::BackgroundRunner,
                                                                     &velkaro::InstallBackgroundRunner);
  RecordingProgress progress;
  CDiagToolApp app;
  ASSERT_TRUE(app.LoadConfiguration());

  dialog.answer = out / "window.log";
  auto start = std::chrono::steady_clock::now();
  app.CreateLogfile();
  EXPECT_LT(Seconds(start), 0.5);
  EXPECT_TRUE(progress.open);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !messages.Shown().empty(); }, 20000));
  EXPECT_EQ(messages.Texts(), std::vector<std::string>{"LogFile created successfully"});
  EXPECT_FALSE(progress.open);
  EXPECT_NE(std::find(progress.steps.begin(), progress.steps.end(), "Reading reader 1: VELKARO CT 200 01 00\u2026"),
            progress.steps.end());
  EXPECT_EQ(RegistryStores::ReadFile(out / "window.log"), RegistryStores::ReadFile(kData + "/administrator.log"));

  out.Write("cancel.log", "the old log\n");
  const std::vector<std::string> before = Names();
  StoppedPcscd pcscd;
  pcscd.Stop();
  dialog.answer = out / "cancel.log";
  start = std::chrono::steady_clock::now();
  app.CreateLogfile();
  EXPECT_LT(Seconds(start), 0.5);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return progress.steps.back() == "Reading the readers\u2026"; }, 5000));
  app.CreateLogfile();
  EXPECT_EQ(dialog.requests.size(), 2u);
  EXPECT_EQ(progress.raised, 1);
  progress.Cancel();
  EXPECT_FALSE(app.IsLogRunning());
  // The writer sees the cancel once its deadline for pcscd has passed.
  EXPECT_TRUE(testing_support::WaitUntil([&] { return Names() == before; }, 10000));
  testing_support::RunEvents(100);
  EXPECT_EQ(RegistryStores::ReadFile(out / "cancel.log"), "the old log\n");
  EXPECT_EQ(messages.Shown().size(), 1u);
}

// A reader whose name and serial number carry a terminal title sequence, a
// bare CR, a tab and bytes that are not UTF-8: the log shows each of them as
// \xNN, and every line still ends in CR LF.
TEST_F(DiagLogTest, ControlBytesFromAReaderNeverBreakTheLog) {
  VELKARO_REQUIRE_SANDBOX();
  system.admin = true;
  PcscdSandbox& sandbox = Sandbox();
  const std::string file = "h_control.reader";
  ASSERT_FALSE(sandbox.WriteReader(file, "name = VELKARO \\x1b]0;pwned\\x07 CT\\x0d\\x09\\xff\\xfe\n"
                                         "serial = \\x1b]0;pwned\\x07\\x0D\\xFF\\xFE\\\\\n"));
  sandbox.Stop();
  ASSERT_EQ(sandbox.Start(), std::nullopt);
  // pcscd reads the names once: the other tests of this process get theirs.
  struct Restore {
    PcscdSandbox& sandbox;
    std::string path;
    ~Restore() {
      std::filesystem::remove(path);
      sandbox.Stop();
      sandbox.Start();
    }
  } restore{sandbox, sandbox.ScenarioDir() + "/" + file};

  const std::string log = CreateLogfile(out / "control.log");
  EXPECT_NE(log.find("\r\nPresent reader 4: VELKARO \\x1B]0;pwned\\x07 CT\\x0D\\x09\\xFF\\xFE 07 00, FW Version = 1.00, "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(", Serial Number = \\x1B]0;pwned\\x07\\x0D\\xFF\\xFE\\\r\n"), std::string::npos) << log;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const auto byte = static_cast<unsigned char>(log[i]);
    const bool lineEnd = (byte == '\r' && log[i + 1] == '\n') || (byte == '\n' && i > 0 && log[i - 1] == '\r');
    if (byte < 0x20 && byte != '\t' && !lineEnd) ADD_FAILURE() << "byte " << int(byte) << " at " << i;
    if (byte >= 0x7F) ADD_FAILURE() << "byte " << int(byte) << " at " << i;
  }
}
