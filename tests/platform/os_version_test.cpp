#include "platform/os_version.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "fakes.h"
#include "platform/deadline.h"
#include "platform/file_limits.h"
#include "temp_dir.h"

TEST(OsVersionTest, KernelReleaseGivesMajorMinorAndPatch) {
  std::uint32_t major = 9, minor = 9, patch = 9;
  velkaro::ParseKernelRelease("6.1.0-18-amd64", major, minor, patch);
  EXPECT_EQ(major, 6u);
  EXPECT_EQ(minor, 1u);
  EXPECT_EQ(patch, 0u);
  velkaro::ParseKernelRelease("5.15.133.1-microsoft-standard", major, minor, patch);
  EXPECT_EQ(patch, 133u);
  velkaro::ParseKernelRelease("6.8", major, minor, patch);
  EXPECT_EQ(minor, 8u);
  EXPECT_EQ(patch, 0u);
  velkaro::ParseKernelRelease("weird", major, minor, patch);
  EXPECT_EQ(major, 0u);
  velkaro::ParseKernelRelease("99999999999999.2.3", major, minor, patch);
  EXPECT_EQ(major, UINT32_MAX);
  EXPECT_EQ(minor, 2u);
}

TEST(OsVersionTest, PrettyNameComesFromOsRelease) {
  testing_support::TempDir dir;
  EXPECT_EQ(velkaro::ReadOsReleasePrettyName(dir.Write("a", "NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n")),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(velkaro::ReadOsReleasePrettyName(dir.Write("b", "PRETTY_NAME=Plain")), "Plain");
  EXPECT_EQ(velkaro::ReadOsReleasePrettyName(dir.Write("c", "NAME=x\n")), "");
}

TEST(OsVersionTest, LinuxRecordNamesTheSystem) {
  testing_support::TempDir dir;
  auto record = velkaro::QueryLinuxVersion(dir / "no-os-release");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->platformId, velkaro::VER_PLATFORM_LINUX);
  EXPECT_EQ(record->productName, "Linux");
  EXPECT_FALSE(record->csdVersion.empty());
  EXPECT_GT(record->majorVersion, 2u);
}

// os-release is usually a link; whatever it leads to must not hang the tool
// or fill its memory, and reads as a missing file.
TEST(OsVersionTest, OsReleaseThatIsNoSmallRegularFileReadsAsMissing) {
  testing_support::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  dir.Write("huge", "PRETTY_NAME=Huge\n" + std::string(velkaro::kMaxOsReleaseSize, '#'));
  const struct {
    const char* target;
    bool logged;
  } cases[] = {{"fifo", true}, {"/dev/zero", true}, {"huge", true}, {"missing", false}};
  for (const auto& c : cases) {
    const std::string link = dir / (std::string("link-") + std::filesystem::path(c.target).filename().string());
    std::filesystem::create_symlink(c.target, link);
    testing_support::RecordingDebugOutput debug;
    const auto record = velkaro::RunWithDeadline<std::optional<velkaro::OsVersionRecord>>(
        [link] { return velkaro::QueryLinuxVersion(link); }, std::chrono::seconds(5));
    if (!record) {
      // Let a reader stuck on the FIFO go before failing.
      ::close(::open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK));
      ADD_FAILURE() << c.target << ": no answer in time";
      continue;
    }
    ASSERT_TRUE(*record) << c.target;
    EXPECT_EQ((*record)->productName, "Linux") << c.target;
    EXPECT_EQ(debug.Lines().size(), c.logged ? 1u : 0u) << c.target;
  }
}
