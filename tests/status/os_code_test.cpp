#include "status/os_code.h"

#include <gtest/gtest.h>

#include "fakes.h"

using velkaro::OsVersionRecord;
using velkaro::VER_PLATFORM_LINUX;
using velkaro::VER_PLATFORM_WIN32_NT;
using velkaro::VER_PLATFORM_WIN32_WINDOWS;
using velkaro::VER_PLATFORM_WIN32s;

TEST(OsCodeTest, WindowsTable) {
  struct Case {
    std::uint32_t platform, major, minor;
    const char* csd;
    std::optional<int> code;
  };
  const Case cases[] = {
      {VER_PLATFORM_WIN32s, 3, 1, "", OS_UNKNOWN},
      {VER_PLATFORM_WIN32_NT, 3, 51, "", OS_NT4},
      {VER_PLATFORM_WIN32_NT, 4, 0, "Service Pack 6", OS_NT4},
      {VER_PLATFORM_WIN32_NT, 5, 0, "", OS_W2K},
      {VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 3", OS_XP},
      {VER_PLATFORM_WIN32_NT, 5, 2, "", OS_W2K3},
      {VER_PLATFORM_WIN32_NT, 5, 3, "", std::nullopt},
      {VER_PLATFORM_WIN32_NT, 6, 0, "", OS_VISTA},
      {VER_PLATFORM_WIN32_NT, 6, 1, "", OS_WIN7},
      {VER_PLATFORM_WIN32_NT, 6, 2, "", std::nullopt},
      {VER_PLATFORM_WIN32_NT, 10, 0, "", std::nullopt},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, "", OS_W95},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, " ", OS_W98},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, "", OS_W98},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, " A ", OS_W98SE},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 90, "", OS_WME},
      {VER_PLATFORM_WIN32_WINDOWS, 5, 0, "", std::nullopt},
      {VER_PLATFORM_LINUX, 6, 1, "6.1.0-18-amd64", OS_LINUX},
      {99, 1, 0, "", std::nullopt},
  };
  for (const Case& c : cases) {
    OsVersionRecord record{c.platform, c.major, c.minor, 0, c.csd, {}};
    EXPECT_EQ(OsCodeForRecord(record), c.code) << c.platform << " " << c.major << "." << c.minor;
  }
}

TEST(OsCodeTest, GetOsCodeWritesOnlyKnownCodesAndCopiesServicePack) {
  testing_support::FakeSystemInfo system;
  system.SetWindows(VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 1", 2600);
  int code = 0;
  std::uint32_t build = 0;
  std::string servicePack;
  ASSERT_TRUE(GetOsCode(code, build, &servicePack));
  EXPECT_EQ(code, OS_XP);
  EXPECT_EQ(build, 2600u);
  EXPECT_EQ(servicePack, "Service Pack 1");

  system.SetWindows(VER_PLATFORM_WIN32_NT, 6, 2, "", 9200);
  code = 12345;
  ASSERT_TRUE(GetOsCode(code, build));
  EXPECT_EQ(code, 12345);  // unrecognised: left alone

  system.version.reset();
  EXPECT_FALSE(GetOsCode(code, build));
}

TEST(OsCodeTest, RunningSystemIsLinux) {
  int code = 0;
  std::uint32_t build = 0;
  ASSERT_TRUE(GetOsCode(code, build));
  EXPECT_EQ(code, OS_LINUX);
}
