#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

using velkaro::ProfileFile;

namespace {

ProfileFile Parse(std::string_view text) {
  ProfileFile profile;
  profile.Parse(text);
  return profile;
}

}  // namespace

TEST(ProfileFileTest, NamesMatchInAnyCaseAndValuesKeepTheirCase) {
  const auto profile = Parse("[Files Linux]\nMFile1 = libpcsclite.so.1 \n");
  EXPECT_EQ(profile.GetString("FILES LINUX", "mfile1"), "libpcsclite.so.1");
  EXPECT_EQ(profile.GetString("files linux", "MFILE1"), "libpcsclite.so.1");
}

TEST(ProfileFileTest, MissingSectionOrKeyGivesTheDefault) {
  const auto profile = Parse("[A]\nx=1\n");
  EXPECT_EQ(profile.GetString("A", "y", "dflt"), "dflt");
  EXPECT_EQ(profile.GetString("B", "x", "dflt"), "dflt");
  EXPECT_EQ(profile.GetString("B", "x"), "");
}

TEST(ProfileFileTest, FirstSectionAndFirstKeyWin) {
  const auto profile = Parse("[A]\nx=first\nx=second\n[a]\nx=third\ny=later\n");
  EXPECT_EQ(profile.GetString("A", "x"), "first");
  // Keys of a repeated section are not seen, as with the system service.
  EXPECT_EQ(profile.GetString("A", "y"), "");
  EXPECT_EQ(profile.SectionNames(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(profile.KeyNames("a"), (std::vector<std::string>{"x"}));
}

// Long sections (numbered lists) are looked up through an index; the rules
// stay those of short ones.
TEST(ProfileFileTest, SectionsWithManyKeysKeepTheLookupRules) {
  std::string text = "[List]\n";
  std::vector<std::string> keys;
  for (int n = 1; n <= 20; ++n) {
    const std::string key = "Key" + std::to_string(n);
    text += key + "=" + std::to_string(n) + "\n";
    if (n < 20) keys.push_back(key);
    if (n == 12) {
      text += "KEY3=late\nkey20=early\n";
      keys.push_back("key20");  // listed where it first appears, as written there
    }
  }
  const auto profile = Parse(text);
  EXPECT_EQ(profile.GetString("list", "KEY3"), "3");
  EXPECT_EQ(profile.GetString("LIST", "key20"), "early");
  EXPECT_EQ(profile.GetString("List", "Key11"), "11");
  EXPECT_EQ(profile.GetString("List", "Key21", "dflt"), "dflt");
  EXPECT_EQ(profile.KeyNames("list"), keys);
}

TEST(ProfileFileTest, OddLinesAreSkipped) {
  const auto profile = Parse(
      "orphan=outside any section\n"
      "; a comment=with equals\n"
      "[S]\n"
      "line without equals\n"
      "  ; indented comment\n"
      "=value without key\n"
      "key=\"quoted value\"\n"
      "empty=\n");
  EXPECT_EQ(profile.GetString("S", "orphan"), "");
  EXPECT_EQ(profile.GetString("S", "key"), "quoted value");
  EXPECT_EQ(profile.GetString("S", "empty", "dflt"), "");
  EXPECT_EQ(profile.GetString("S", "line without equals", "dflt"), "dflt");
  EXPECT_EQ(profile.KeyNames("S"), (std::vector<std::string>{"", "key", "empty"}));
}

TEST(ProfileFileTest, CrLfAndMissingFinalNewlineAndBom) {
  const auto profile = Parse("\xEF\xBB\xBF[S]\r\na=1\r\nb=2");
  EXPECT_EQ(profile.GetString("S", "a"), "1");
  EXPECT_EQ(profile.GetString("S", "b"), "2");
}

TEST(ProfileFileTest, SectionAndKeyListsFollowFileOrder) {
  const auto profile = Parse("[Reg_Linux]\nk2=\nk1=\n[Card 1]\n[Reg_AllOS]\nHKEY_LOCAL_MACHINE\\A=x\n");
  EXPECT_EQ(profile.SectionNames(), (std::vector<std::string>{"Reg_Linux", "Card 1", "Reg_AllOS"}));
  EXPECT_EQ(profile.KeyNames("Reg_Linux"), (std::vector<std::string>{"k2", "k1"}));
  EXPECT_EQ(profile.KeyNames("Reg_AllOS"), (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\A"}));
  EXPECT_TRUE(profile.KeyNames("Missing").empty());
}

TEST(ProfileFileTest, LongValuesAreCutTo255Characters) {
  const std::string longValue(5000, 'x');
  const auto profile = Parse("[S]\nk=" + longValue + "\n");
  EXPECT_EQ(profile.GetString("S", "k"), std::string(255, 'x'));
  EXPECT_EQ(profile.GetString("S", "missing", longValue).size(), 255u);
}

TEST(ProfileFileTest, BinaryJunkDoesNotDisturbTheLinesAround) {
  std::string text = "[S]\na=1\n";
  text += std::string("\x00\xff\xfe[\x01=\x02\n", 8);
  text += "b=2\n";
  const auto profile = Parse(text);
  EXPECT_EQ(profile.GetString("S", "a"), "1");
  EXPECT_EQ(profile.GetString("S", "b"), "2");
  // A value ends at its NUL, in the file as in a default.
  const auto nul = Parse(std::string("[S]\nMFILE1=pc\0scd\nq=\"x\0y\"\n", 26));
  EXPECT_EQ(nul.GetString("S", "MFILE1"), "pc");
  EXPECT_EQ(nul.GetString("S", "q"), "x");
  EXPECT_EQ(nul.GetString("S", "missing", std::string_view("d\0e", 3)), "d");
}

TEST(ProfileFileTest, LoadReadsFilesAndTreatsTheUnreadableAsEmpty) {
  testing_support::TempDir dir;
  ProfileFile profile;
  EXPECT_TRUE(profile.Load(dir.Write("a.ini", "[S]\nk=v")));
  EXPECT_EQ(profile.GetString("S", "k"), "v");

  EXPECT_FALSE(profile.Load(dir / "missing.ini"));
  EXPECT_EQ(profile.GetString("S", "k"), "");
  EXPECT_EQ(profile.LoadProblem(), "");  // a missing file is no problem
  EXPECT_FALSE(profile.Load(dir.path().string()));  // a directory
  EXPECT_TRUE(profile.SectionNames().empty());
  EXPECT_EQ(profile.LoadProblem(), "it is not a regular file");
  EXPECT_EQ(velkaro::GetPrivateProfileString("S", "k", "d", dir.Write("b.ini", "[s]\nK=w\n")), "w");
}
