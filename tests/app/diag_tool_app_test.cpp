#include "app/diag_tool_app.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "temp_dir.h"

using testing_support::FakeSystemInfo;
using testing_support::RecordingMessageBox;
using testing_support::TempDir;

namespace {

class DiagToolAppTest : public ::testing::Test {
 protected:
  DiagToolAppTest() { system.modulePath = dir / "velkaro-diag"; }

  TempDir dir;
  FakeSystemInfo system;
  RecordingMessageBox messages;
  CDiagToolApp app;
};

}  // namespace

TEST_F(DiagToolAppTest, IsTheProcessInstance) { EXPECT_EQ(CDiagToolApp::Instance(), &app); }

TEST_F(DiagToolAppTest, AdditionalReadersMatchInUpperCaseWithoutIndex) {
  dir.Write("diagtool.ini", "[Additional_Readers]\nReader1=Acme Reader\n");
  ASSERT_TRUE(app.LoadConfiguration());
  EXPECT_TRUE(app.IsAdditionalReader("Acme Reader"));
  EXPECT_TRUE(app.IsAdditionalReader("ACME READER"));
  EXPECT_TRUE(app.IsAdditionalReader("acme reader"));
  EXPECT_FALSE(app.IsAdditionalReader("ACME READER 0"));
  EXPECT_FALSE(app.IsAdditionalReader("ACME"));
  EXPECT_FALSE(app.IsAdditionalReader(""));
}

TEST_F(DiagToolAppTest, FailedConfigurationShowsItsMessageThenTheStartupOne) {
  dir.Write("diagtool.ini", "[Card 1]\nVARTEXT=x\nVARATR=3B 00\n");
  EXPECT_FALSE(app.LoadConfiguration());
  const auto shown = messages.Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].text, "Read config file failed");
  EXPECT_EQ(shown[1].caption, "");
  EXPECT_EQ(shown[1].style, velkaro::MB_OK);
}

TEST_F(DiagToolAppTest, ConfigurationWithoutSectionsGivesEmptyLists) {
  dir.Write("diagtool.ini", "just some text\nwithout=sections\n");
  EXPECT_TRUE(app.LoadConfiguration());
  EXPECT_TRUE(app.GetMandatoryFiles().empty());
  EXPECT_TRUE(app.GetOptionalFiles().empty());
  EXPECT_TRUE(app.CardNames().empty());
  EXPECT_TRUE(app.VarCardTexts().empty());
}

TEST_F(DiagToolAppTest, TitleCarriesTheVersionOfThePackageNote) {
  system.modulePath = VELKARO_DIAG_BINARY;
  EXPECT_EQ(app.GetProductVersion(), VELKARO_VERSION);
  EXPECT_EQ(app.BuildWindowTitle(), std::string("VELKARO Diagnostic Tool (Ver. ") + VELKARO_VERSION + ")");
}

TEST_F(DiagToolAppTest, TitleWithoutVersionEndsInAnEmptyVersion) {
  system.modulePath = VELKARO_FIXTURE_NO_NOTE;
  EXPECT_EQ(app.GetProductVersion(), "");
  EXPECT_EQ(app.BuildWindowTitle(), "VELKARO Diagnostic Tool (Ver. )");
}

TEST_F(DiagToolAppTest, ExactCardNamesComeBeforePatterns) {
  dir.Write("diagtool.ini",
            "[Card 1]\nCARDNAME=Exact card\nATR=3B 02 14 50\n"
            "[Card 2]\nVARTEXT=Pattern card\nVARATR=3B ?? 14 50\n");
  ASSERT_TRUE(app.LoadConfiguration());
  std::string name;
  app.LookupCardName("3b 02 14 50", name);
  EXPECT_EQ(name, "Exact card");
  std::string kept = "already named";
  app.LookupCardName("3B 02 14 50", kept);
  EXPECT_EQ(kept, "already named");
  std::string none;
  app.LookupCardName("3B 03 14 50", none);
  EXPECT_EQ(none, "");
  EXPECT_EQ(app.MatchCardPattern("3B 03 14 50"), "Pattern card");
}

TEST_F(DiagToolAppTest, PatternCapturesReplaceTheMarker) {
  dir.Write("diagtool.ini",
            "[Card 1]\nVARTEXT=Card with !!\nVARATR=3B 8F 80 01 !! !! ??\n"
            "[Card 2]\nVARTEXT=Never reached\nVARATR=3B ?? ?? ?? ?? ?? ??\n");
  ASSERT_TRUE(app.LoadConfiguration());
  EXPECT_EQ(app.MatchCardPattern("3B 8F 80 01 4F 0C 99"), "Card with 4F  0C ");
  // The first pattern in file order wins over a later one that also matches.
  EXPECT_EQ(app.MatchCardPattern("3B 00 00 00 00 00 00"), "Never reached");
  EXPECT_EQ(app.MatchCardPattern("3B 8F 80 01 4F 0C"), "");  // shorter than every pattern
  EXPECT_EQ(app.MatchCardPattern("3B 8F 80 01 4F 0C 9"), "");  // not a byte text
  EXPECT_EQ(app.MatchCardPattern("3"), "");
}

TEST_F(DiagToolAppTest, PatternSeparatorsAreNeverCompared) {
  dir.Write("diagtool.ini", "[Card 1]\nVARTEXT=Dashed\nVARATR=3B-??:14_50\n");
  ASSERT_TRUE(app.LoadConfiguration());
  EXPECT_EQ(app.MatchCardPattern("3B 77 14 50"), "Dashed");
  EXPECT_EQ(app.MatchCardPattern("3B 77 14 51"), "");
}

// A pattern that captures nothing into a text of just "!!" names nothing; it
// does not stop a later pattern from naming the card.
TEST_F(DiagToolAppTest, PatternThatNamesNothingCountsAsNoMatch) {
  dir.Write("diagtool.ini",
            "[Card 1]\nVARTEXT=!!\nVARATR=3B ??\n"
            "[Card 2]\nVARTEXT=Later pattern\nVARATR=?? 01\n");
  ASSERT_TRUE(app.LoadConfiguration());
  EXPECT_EQ(app.MatchCardPattern("3B 01"), "Later pattern");
  EXPECT_EQ(app.MatchCardPattern("3B 02"), "");
}
