// The log file helpers on the real file system: lines end in CR LF, and a
// path that another user could have bent elsewhere is refused.

#include "log/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "registry_fixture.h"
#include "temp_dir.h"

namespace {

using namespace testing_support;
using velkaro::LogOpenMode;

constexpr uid_t kNobody = 65534;

std::uint32_t WriteOneLine(const std::string& path, LogOpenMode mode, const std::string& line, CLogFile& file) {
  if (const std::uint32_t opened = OpenLogFile(path, mode, file)) return opened;
  const std::uint32_t written = WriteLogLine(file, line);
  const std::uint32_t closed = CloseLogFile(file);
  return written ? written : closed;
}

}  // namespace

TEST(LogFileTest, LinesEndInCrLfAndACreatedLogStartsEmpty) {
  TempDir dir;
  const std::string path = dir.Write("diag.log", "an older log, longer than the new one\n");
  CLogFile file;
  ASSERT_EQ(OpenLogFile(path, LogOpenMode::kCreateAlways, file), 0u);
  EXPECT_EQ(WriteLogLine(file, "first"), 0u);
  EXPECT_EQ(WriteLogLine(file, ""), 0u);
  EXPECT_EQ(CloseLogFile(file), 0u);
  ASSERT_EQ(WriteOneLine(path, LogOpenMode::kOpenExisting, "appended", file), 0u);
  EXPECT_EQ(RegistryStores::ReadFile(path), "first\r\n\r\nappended\r\n");
  EXPECT_EQ(WriteOneLine(dir / "absent.log", LogOpenMode::kOpenExisting, "x", file), LOG_E_OPEN);
}

TEST(LogFileTest, PathsAnotherUserCouldBendAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  TempDir dir;
  const std::string victim = dir.Write("system/victim", "keep me\n");
  const std::string shared = (dir.path() / "shared").string();  // like /tmp
  std::filesystem::create_directory(shared);
  ::chmod(shared.c_str(), 01777);
  struct Case {
    const char* name;
    std::function<std::string()> prepare;  // answers the log path
    bool opens;
  };
  const Case cases[] = {
      {"a link of another user as the log file",
       [&] {
         const std::string link = shared + "/diag.log";
         std::filesystem::create_symlink(victim, link);
         ::lchown(link.c_str(), kNobody, kNobody);
         return link;
       },
       false},
      {"a link of another user on the way",
       [&] {
         const std::string link = shared + "/dir";
         std::filesystem::create_symlink(dir.path() / "system", link);
         ::lchown(link.c_str(), kNobody, kNobody);
         return link + "/victim";
       },
       false},
      {"a hard link to another file", [&] {
         const std::string link = shared + "/hard.log";
         std::filesystem::create_hard_link(victim, link);
         return link;
       },
       false},
      {"a file of another user where anyone may write", [&] {
         const std::string path = dir.Write("shared/theirs.log", "theirs\n");
         ::chown(path.c_str(), kNobody, kNobody);
         return path;
       },
       false},
      {"a pipe", [&] {
         const std::string path = shared + "/pipe.log";
         ::mkfifo(path.c_str(), 0600);
         return path;
       },
       false},
      {"a directory that does not exist", [&] { return dir / "gone/diag.log"; }, false},
      {"root's own link in root's directory", [&] {
         const std::string link = dir / "system/diag.log";
         std::filesystem::create_symlink("own.log", link);
         return link;
       },
       true},
  };
  for (const Case& c : cases) {
    const std::string path = c.prepare();
    CLogFile file;
    const std::uint32_t result = WriteOneLine(path, LogOpenMode::kCreateAlways, "report", file);
    EXPECT_EQ(result, c.opens ? 0u : LOG_E_OPEN) << c.name;
    if (!c.opens) {
      EXPECT_FALSE(DescribeLogFileError(file).empty()) << c.name;
    }
  }
  EXPECT_EQ(RegistryStores::ReadFile(victim), "keep me\n");
  EXPECT_EQ(RegistryStores::ReadFile(dir / "system/own.log"), "report\r\n");
}
