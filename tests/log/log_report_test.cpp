// The report's text pieces: the OS line by the version table, the log's own
// status texts, the file rows' tabs and the final messages.

#include "log/log_report.h"

#include <gtest/gtest.h>

using velkaro::OsVersionRecord;

TEST(LogReportTest, OsLineFollowsTheVersionTable) {
  struct Case {
    OsVersionRecord record;
    const char* line;
  };
  const Case cases[] = {
      {{velkaro::VER_PLATFORM_LINUX, 6, 1, 76, "6.1.0-18-amd64", "Debian GNU/Linux 12 (bookworm)"},
       "OS Version: Debian GNU/Linux 12 (bookworm)  6.1.0-18-amd64  BuildNumber: 76"},
      {{0, 3, 10, 0x00010002, "", ""}, "OS Version: Windows 3.1  BuildNumber: 65538"},
      {{1, 4, 0, 0x040003B6, " C", ""}, "OS Version: Windows 95   C  BuildNumber: 950"},
      {{1, 4, 10, 0x040A08AE, " A ", ""}, "OS Version: Windows 98 SE   A   BuildNumber: 2222"},
      {{1, 4, 10, 0x040A07CE, "", ""}, "OS Version: Windows 98  BuildNumber: 1998"},
      {{1, 4, 90, 0x045A0BB8, "", ""}, "OS Version: Windows ME  BuildNumber: 3000"},
      {{2, 3, 51, 1057, "", ""}, "OS Version: Windows 3.x  BuildNumber: 1057"},
      {{2, 4, 0, 1381, "Service Pack 6", ""}, "OS Version: Windows NT4.0  Service Pack 6  BuildNumber: 1381"},
      {{2, 5, 0, 2195, "", ""}, "OS Version: Windows 2000  BuildNumber: 2195"},
      {{2, 5, 1, 2600, "Service Pack 3", ""}, "OS Version: Windows XP  Service Pack 3  BuildNumber: 2600"},
      {{2, 5, 2, 3790, "", ""}, "OS Version: Windows 2003  BuildNumber: 3790"},
      {{2, 6, 0, 6002, "", ""}, "OS Version: Windows Vista  BuildNumber: 6002"},
      {{2, 6, 1, 7601, "", ""}, "OS Version: Windows 7  BuildNumber: 7601"},
      {{2, 6, 2, 9200, "", ""}, "Unknown OS MajorVersion = 6 MinorVersion = 2\n  BuildNumber: 9200"},
      // os-release and the kernel release are outside text.
      {{velkaro::VER_PLATFORM_LINUX, 6, 1, 2, "6.1\r\n", "Evil\x1b]0;t\x07\xff"},
       "OS Version: Evil\\x1B]0;t\\x07\\xFF  6.1\\x0D\\x0A  BuildNumber: 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(ComposeOsLine(c.record), c.line);
  EXPECT_EQ(ComposeOsLine(std::nullopt), "OS Version: n/a");
}

TEST(LogReportTest, StoppedServiceReadsAsUnknownInTheLog) {
  EXPECT_EQ(std::string(LogStatusText(RMS_STOPPED)), "State of Resource Manager unknown !");
  EXPECT_EQ(std::string(LogStatusText(0x12345678)), "State of Resource Manager unknown !");
  EXPECT_EQ(std::string(LogStatusText(RMS_RUNNING)), "Started and Running");
  EXPECT_EQ(std::string(LogStatusText(RMS_MANUAL)), "is configured as 'Manual'");
  EXPECT_EQ(std::string(LogStatusText(RMS_NOT_INSTALLED)), "Not installed properly!");
}

// The name and the version each count on their own: rows put them on
// either side of eight characters, both ways round.
TEST(LogReportTest, FileRowsTakeTwoTabsBelowEightCharacters) {
  struct Case {
    const char* name;
    const char* version;
    const char* row;
  };
  const Case cases[] = {
      {"pcscd17", "1.9.9.2", "pcscd17\t\t1.9.9.2\t\tn/a"},
      {"velkaro8", "2.0.10.1", "velkaro8\t2.0.10.1\tn/a"},
      {"pcscd17", "2.0.10.1", "pcscd17\t\t2.0.10.1\tn/a"},
      {"velkaro8", "1.9.9.2", "velkaro8\t1.9.9.2\t\tn/a"},
      {"pcscd", "", "pcscd\t\t\t\tn/a"},
      // A tab or line end of the file's own is shown, and counts as shown.
      {"a\tb", "1\r\n", "a\\x09b\t\t1\\x0D\\x0A\tn/a"},
  };
  for (const Case& c : cases) EXPECT_EQ(FileRow(c.name, c.version, "n/a"), c.row) << c.name << ' ' << c.version;
  EXPECT_EQ(FileRow("f", "1", "Maker\x1b[2J"), "f\t\t1\t\tMaker\\x1B[2J");
}

TEST(LogReportTest, EveryResultHasItsMessage) {
  struct Case {
    int result;
    const char* text;
  };
  const Case cases[] = {
      {0, "LogFile created successfully"},
      {-1, "Error scanning registry\nErrorcode: -1"},
      {-2, "Can not determinate OS Version\nErrorcode: -2"},
      {-3, "File-IO error\nErrorcode: -3"},
      {-4, "Invalid diagtool.ini\nErrorcode: -4"},
      {-5, "File-IO error\nErrorcode: -5"},
      {-12, "File-IO error\nErrorcode: -12"},
      {-13, "Unknown Error\nErrorcode: -13"},
      {2, "Unknown Error\nErrorcode: 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(DumpResultMessage(c.result, ""), c.text);
  EXPECT_EQ(DumpResultMessage(-3, "/tmp/x.log: No space left on device"),
            "File-IO error\nErrorcode: -3\n/tmp/x.log: No space left on device");
}
