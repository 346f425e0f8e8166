// Card names from Debian's ATR list on reader sessions against the private
// pcscd (the scenario tests/data/reader/pages, installed by
// reader_session_test.cpp for this whole program).

#include <gtest/gtest.h>

#include <filesystem>

#include "card/atr_list.h"
#include "sandbox_environment.h"
#include "session_driver.h"

using namespace std::chrono_literals;

TEST(AtrListSessionTest, CardTheConfigurationDoesNotNameShowsTheListsNameWithItsSource) {
  VELKARO_REQUIRE_SANDBOX();
  ASSERT_TRUE(std::filesystem::exists(CAtrList::kDefaultPath)) << "pcsc-tools is not installed (scripts/setup)";
  auto list = CAtrList::Load(CAtrList::kDefaultPath);
  ASSERT_TRUE(list->WaitUntilRead(10s));
  // Both cards of the scenario are in Debian's list; the configuration names one.
  const auto names = std::make_shared<const CCardNames>(
      CardNameMap{{"3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C", "VELKARO Signature Card"}},
      CardPatternMap{}, std::move(list));

  SessionDriver unnamed(testing_support::Sandbox().ReaderName("VELKARO CT 210"), false, names);
  SessionDriver configured(testing_support::Sandbox().ReaderName("VELKARO CT 200"), false, names);
  ASSERT_TRUE(unnamed.Start());
  ASSERT_TRUE(configured.Start());
  ASSERT_TRUE(unnamed.UpdateUntilStatus("Smart card inserted"));
  ASSERT_TRUE(configured.UpdateUntilStatus("Smart card inserted"));
  EXPECT_EQ(unnamed.Fields().m_strATR, "3B 02 14 50");
  EXPECT_EQ(unnamed.Fields().m_strCardName, "Schlumberger Multiflex 3k (ATR list)");
  EXPECT_EQ(configured.Fields().m_strCardName, "VELKARO Signature Card");
}
