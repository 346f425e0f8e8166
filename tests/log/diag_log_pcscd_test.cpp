// "Create Logfile" and velkaro-diag-log in a fixed setting: simulated readers
// behind the private pcscd, a fake system tree, a settings store and a
// version record of the tests' own. The logs are compared byte for byte.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/diag_tool_app.h"
#include "fakes.h"
#include "registry_fixture.h"
#include "sandbox_environment.h"
#include "temp_dir.h"

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

  TempDir out;
  ScopedEnv systemRoot{"VELKARO_SYSTEM_ROOT", kRoot};
  ScopedEnv temp{"TEMP", out.path().string()};
  RegistryStores stores;
  FakeSystemInfo system;
  FakeSaveFileDialog dialog;
  RecordingMessageBox messages;
};

}  // namespace

TEST_F(DiagLogTest, FixedSettingGivesTheGoldenLogs) {
  VELKARO_REQUIRE_SANDBOX();
  system.admin = true;
  EXPECT_EQ(CreateLogfile(out / "admin.log"), RegistryStores::ReadFile(kData + "/administrator.log"));
  system.admin = false;
  EXPECT_EQ(CreateLogfile(out / "user.log"), RegistryStores::ReadFile(kData + "/user.log"));

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

TEST_F(DiagLogTest, FailuresAreNeverReportedAsSuccess) {
  VELKARO_REQUIRE_SANDBOX();
  CreateLogfile(out / "gone/diag.log");
  EXPECT_EQ(LastMessage(), "FILE CANNOT BE CREATED\n" + out / "gone/diag.log" + ": No such file or directory");
  {
    // The disk is full for one line of the report and has room again after.
    FakeLogFileSystem disk;
    disk.onWrite = [&](std::string_view bytes) {
      disk.capacity = bytes.starts_with("Present reader 1:") ? disk.written : SIZE_MAX;
    };
    CreateLogfile(out / "full.log");
    EXPECT_EQ(LastMessage(), "File-IO error\nErrorcode: -3\n" + out / "full.log" + ": No space left on device");
  }
  {
    FakeLogFileSystem disk;
    disk.onWrite = [&](std::string_view bytes) {
      if (bytes == "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\DiagnosticTool]") stores.WriteMachine("no store\n");
    };
    CreateLogfile(out / "store.log");
    EXPECT_EQ(LastMessage().rfind("Error scanning registry\nErrorcode: -1\n", 0), 0u) << LastMessage();
  }
  const std::size_t shown = messages.Shown().size();
  CreateLogfile(std::nullopt);  // cancelled: nothing written, nothing shown
  EXPECT_EQ(messages.Shown().size(), shown);
}
