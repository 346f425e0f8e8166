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
