#include "platform/os_version.h"

#include <gtest/gtest.h>

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
