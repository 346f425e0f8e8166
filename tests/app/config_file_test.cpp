#include "app/config_file.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "temp_dir.h"

using testing_support::FakeSystemInfo;
using testing_support::RecordingMessageBox;
using testing_support::TempDir;

namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  ConfigFileTest() { system.modulePath = dir / "velkaro-diag"; }

  void WriteConfig(std::string_view text) { dir.Write("diagtool.ini", text); }

  bool Read() { return ReadConfigFile(mandatory, optional, cardNames, readers, patterns); }

  TempDir dir;
  FakeSystemInfo system;
  RecordingMessageBox messages;
  StringList mandatory, optional, readers;
  CardNameMap cardNames;
  CardPatternMap patterns;
};

}  // namespace

TEST_F(ConfigFileTest, PathIsBesideTheProgram) {
  EXPECT_EQ(GetConfigFilePath(), dir / "diagtool.ini");
  system.modulePath = "velkaro-diag";
  EXPECT_EQ(GetConfigFilePath(), "diagtool.ini");
}

TEST_F(ConfigFileTest, MissingFileGivesEmptyListsAndSuccess) {
  EXPECT_TRUE(Read());
  EXPECT_TRUE(mandatory.empty() && optional.empty() && readers.empty() && cardNames.empty() && patterns.empty());
  EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(ConfigFileTest, NumberedListsStopAtTheFirstGap) {
  WriteConfig(
      "[Files Linux]\nMFILE1=pcscd\nMFILE2=libpcsclite.so.1\nMFILE4=after-gap\n"
      "[Optional]\nOFILE2=no-first\n"
      "[Additional_Readers]\nReader1=Acme Reader\nReader2=Lesegerät\nReader3=\nReader4=X\n");
  EXPECT_TRUE(Read());
  EXPECT_EQ(mandatory, (StringList{"pcscd", "libpcsclite.so.1"}));
  EXPECT_TRUE(optional.empty());
  EXPECT_EQ(readers, (StringList{"ACME READER", "LESEGERÄT"}));
}

TEST_F(ConfigFileTest, FilesSectionFollowsTheRunningSystem) {
  WriteConfig(
      "[Files W9X]\nMFILE1=w9x\n[Files NT4]\nMFILE1=nt4\n[Files W2k]\nMFILE1=w2k\n"
      "[Files WVista]\nMFILE1=vista\n[Files Linux]\nMFILE1=linux\n");
  struct Case {
    std::uint32_t platform, major, minor;
    const char* file;
  };
  const Case cases[] = {
      {velkaro::VER_PLATFORM_LINUX, 6, 1, "linux"},  {velkaro::VER_PLATFORM_WIN32_NT, 6, 1, "vista"},
      {velkaro::VER_PLATFORM_WIN32_NT, 6, 0, "vista"}, {velkaro::VER_PLATFORM_WIN32_NT, 5, 1, "w2k"},
      {velkaro::VER_PLATFORM_WIN32_NT, 4, 0, "nt4"},   {velkaro::VER_PLATFORM_WIN32_NT, 3, 51, "nt4"},
      {velkaro::VER_PLATFORM_WIN32_WINDOWS, 4, 10, "w9x"}, {velkaro::VER_PLATFORM_WIN32s, 3, 1, "w9x"},
  };
  for (const Case& c : cases) {
    system.SetWindows(c.platform, c.major, c.minor);
    mandatory.clear();
    EXPECT_TRUE(Read()) << c.file;
    EXPECT_EQ(mandatory, StringList{c.file});
  }
}

TEST_F(ConfigFileTest, UnknownSystemsAreRefusedWithTheirMessage) {
  system.SetWindows(velkaro::VER_PLATFORM_WIN32_NT, 10, 0);
  EXPECT_FALSE(Read());
  system.SetWindows(7, 1, 0);
  EXPECT_FALSE(Read());
  system.version.reset();
  EXPECT_FALSE(Read());
  EXPECT_EQ(messages.Texts(), (std::vector<std::string>{"Unknown NT operating system code 10 detected",
                                                        "Unknown operating system code 7 detected",
                                                        "Call to GetVersionEx failed with error code 87"}));
}

TEST_F(ConfigFileTest, SecondReadOnFilledListsIsRefused) {
  WriteConfig("[Files Linux]\nMFILE1=pcscd\n");
  EXPECT_TRUE(Read());
  EXPECT_FALSE(Read());
  EXPECT_EQ(mandatory.size(), 1u);

  StringList onlyOptional{"x"}, empty, r;
  CardNameMap c;
  CardPatternMap p;
  EXPECT_FALSE(ReadConfigFile(empty, onlyOptional, c, r, p));
}

TEST_F(ConfigFileTest, CardTablesAreUpperCasedAndEndAtTheFirstEmptySection) {
  WriteConfig(
      "[Card 1]\nCARDNAME=Test Card\nATR=3b 02 14 50\n"
      "[Card 2]\nCARDNAME=No ATR here\n"
      "[Card 3]\nVARTEXT=Pattern !!\nVARATR=3b ?? 14 !!\n"
      "[Card 4]\nCARDNAME=Replaces card 1\nATR=3B 02 14 50\n"
      "[Card 5]\nATR=3B 00\n"
      "[Card 6]\nCARDNAME=never read\nATR=3B 01\n");
  EXPECT_TRUE(Read());
  EXPECT_EQ(cardNames, (CardNameMap{{"3B 02 14 50", "Replaces card 1"}}));
  ASSERT_EQ(patterns.size(), 1u);
  EXPECT_EQ(patterns.Entries()[0].pattern, "3B ?? 14 !!");
  EXPECT_EQ(patterns.Entries()[0].text, "Pattern !!");
}

TEST_F(ConfigFileTest, PatternWithoutWildcardIsRefused) {
  WriteConfig(
      "[Card 1]\nCARDNAME=kept\nATR=3B 01\n"
      "[Card 2]\nVARTEXT=Bad\nVARATR=3B !! 14 50\n"
      "[Card 3]\nCARDNAME=not read\nATR=3B 03\n");
  EXPECT_FALSE(Read());
  EXPECT_EQ(messages.Texts(), std::vector<std::string>{"Please use option VARATR with at least one wildcard symbol \"??\""});
  EXPECT_EQ(cardNames.size(), 1u);  // what was read before stays
}

TEST_F(ConfigFileTest, PatternsKeepFileOrderAndLaterDuplicatesReplaceText) {
  WriteConfig(
      "[Card 1]\nVARTEXT=second pattern\nVARATR=3B ?? 02\n"
      "[Card 2]\nVARTEXT=first pattern\nVARATR=3B 01 ??\n"
      "[Card 3]\nVARTEXT=replaced\nVARATR=3b ?? 02\n");
  EXPECT_TRUE(Read());
  ASSERT_EQ(patterns.size(), 2u);
  EXPECT_EQ(patterns.Entries()[0].pattern, "3B ?? 02");
  EXPECT_EQ(patterns.Entries()[0].text, "replaced");
  EXPECT_EQ(patterns.Entries()[1].pattern, "3B 01 ??");
}

TEST_F(ConfigFileTest, EmptyAndBinaryFilesReadAsEmptyWithoutAWord) {
  WriteConfig("");
  EXPECT_TRUE(Read());
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  WriteConfig(binary);
  EXPECT_TRUE(Read());
  EXPECT_TRUE(mandatory.empty());
  EXPECT_TRUE(messages.Shown().empty());
}

// A file that is there but cannot be read line by line still gives empty
// lists, but the user is told which file it is and why.
TEST_F(ConfigFileTest, UnreadableFileIsNamedWithItsReason) {
  const auto utf16 = [](std::string_view text, bool bigEndian, bool mark) {
    std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (const char c : text) out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    return out;
  };
  const std::string ini = "[Files Linux]\r\nMFILE1=pcscd\r\n";
  const struct {
    const char* what;
    std::string content;
    const char* reason;
  } cases[] = {
      {"huge", "[Files Linux]\nMFILE1=" + std::string(20 * 1024 * 1024, 'a') + "\n", "it is larger than 16 MiB"},
      {"UTF-16LE", utf16(ini, false, true), "it is UTF-16 text; save it as UTF-8"},
      {"UTF-16BE", utf16(ini, true, true), "it is UTF-16 text; save it as UTF-8"},
      {"UTF-16LE without mark", utf16(ini, false, false), "it is UTF-16 text; save it as UTF-8"},
      {"CR only", "[Files Linux]\rMFILE1=pcscd\r", "its lines end in CR alone; save it with LF or CR LF line ends"},
      {"CR with a final CR LF", "[Files Linux]\rMFILE1=pcscd\rMFILE2=pkexec\r\n",
       "its lines end in CR alone; save it with LF or CR LF line ends"},
  };
  const std::string path = dir / "diagtool.ini";
  for (const auto& c : cases) {
    testing_support::RecordingDebugOutput debug;
    RecordingMessageBox shown;
    WriteConfig(c.content);
    mandatory.clear();
    EXPECT_TRUE(Read()) << c.what;
    EXPECT_TRUE(mandatory.empty()) << c.what;
    EXPECT_EQ(shown.Texts(), std::vector<std::string>{"The configuration file " + path + " was not read: " +
                                                      c.reason + "."})
        << c.what;
    EXPECT_EQ(debug.Lines(), std::vector<std::string>{"config: " + path + ": " + c.reason}) << c.what;
  }
}

TEST_F(ConfigFileTest, LongValuesAreCut) {
  WriteConfig("[Files Linux]\nMFILE1=" + std::string(300, 'f') + "\n");
  EXPECT_TRUE(Read());
  ASSERT_EQ(mandatory.size(), 1u);
  EXPECT_EQ(mandatory[0].size(), 255u);
}
