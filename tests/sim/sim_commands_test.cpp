// The velkaro-sim commands on a scenario directory.

#include "tool/sim_commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "scenario/scenario_document.h"
#include "temp_dir.h"

namespace velkaro::sim {
namespace {

const char kReader[] = R"(# The contact reader of the tests.
name     = VELKARO CT 200
firmware = 123   # 1.23

# The card.
[card]
atr      = 3B 02 14 50
)";

class SimCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir.Write("ct200.reader", kReader); }

  CommandResult Run(const std::vector<std::string>& args) { return RunSimCommand(m_dir.path().string(), args); }
  std::string File() const {
    std::ifstream in(m_dir.path() / "ct200.reader");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  Scenario Parsed() const { return ParseScenario(File()).scenario.value_or(Scenario{}); }

  testing_support::TempDir m_dir;
};

TEST_F(SimCommandsTest, EditsTouchOnlyTheirLines) {
  ASSERT_EQ(Run({"set", "ct200", "firmware=200", "clock=5000000"}).exitCode, 0);
  EXPECT_EQ(File(), R"(# The contact reader of the tests.
name     = VELKARO CT 200
firmware = 200

# The card.
[card]
atr      = 3B 02 14 50
clock    = 5000000
)");
}

TEST_F(SimCommandsTest, RemovedCardComesBackWithInsert) {
  ASSERT_EQ(Run({"remove", "ct200"}).exitCode, 0);
  ASSERT_EQ(Parsed().cards.size(), 1u);
  EXPECT_FALSE(Parsed().cards[0].present);
  ASSERT_EQ(Run({"insert", "ct200"}).exitCode, 0);
  EXPECT_TRUE(Parsed().cards[0].present);
  EXPECT_EQ(Parsed().cards[0].atr, (Bytes{0x3B, 0x02, 0x14, 0x50}));
}

TEST_F(SimCommandsTest, SwapAndInsertWithFactsReplaceTheCard) {
  ASSERT_EQ(Run({"swap", "ct200", "atr=3B 00", "label=other"}).exitCode, 0);
  ASSERT_EQ(Parsed().cards.size(), 1u);
  EXPECT_EQ(Parsed().cards[0].label, "other");
  EXPECT_NE(File().find("# The card."), std::string::npos) << "comments before the card stay";

  ASSERT_EQ(Run({"set", "ct200", "slots=2"}).exitCode, 0);
  ASSERT_EQ(Run({"insert", "ct200", "--slot", "1", "type=ISO14443A"}).exitCode, 0);
  ASSERT_EQ(Run({"insert", "ct200", "--slot", "1", "--add", "type=ISO15693"}).exitCode, 0);
  const Scenario scenario = Parsed();
  ASSERT_EQ(scenario.cards.size(), 3u);
  EXPECT_EQ(scenario.cards[1].slot, 1u);
  EXPECT_EQ(scenario.cards[2].type, CardType::Iso15693);
  ASSERT_EQ(Run({"mute", "ct200", "--slot", "1"}).exitCode, 0);
  EXPECT_TRUE(Parsed().cards[1].mute && Parsed().cards[2].mute);
  ASSERT_EQ(Run({"set", "ct200", "--slot", "1", "--card", "1", "uid=01 02"}).exitCode, 0);
  EXPECT_EQ(Parsed().cards[2].uid, (Bytes{0x01, 0x02}));
  EXPECT_TRUE(Parsed().cards[1].uid.empty());
}

TEST_F(SimCommandsTest, RefusedChangesLeaveTheFileAsItWas) {
  const std::string before = File();
  const CommandResult bad = Run({"set", "ct200", "clock=fast"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.errors.find("ct200.reader:8: clock: expected a number"), std::string::npos) << bad.errors;
  EXPECT_EQ(Run({"set", "ct200", "colour=red"}).exitCode, 1);
  EXPECT_EQ(Run({"set", "ct200", "antenna=80 00"}).exitCode, 1) << "list facts have their own lines";
  EXPECT_EQ(Run({"fail", "ct200", "4242"}).exitCode, 1);
  EXPECT_EQ(Run({"mute", "ct200", "--slot", "1"}).exitCode, 1) << "slot 1 holds no card";
  EXPECT_EQ(Run({"insert", "nowhere"}).exitCode, 1);
  EXPECT_EQ(Run({"juggle", "ct200"}).exitCode, 2);
  EXPECT_EQ(Run({"insert"}).exitCode, 2);
  EXPECT_EQ(File(), before);
}

TEST_F(SimCommandsTest, ReadersAreNamedByFileOrByName) {
  for (const char* name : {"ct200", "ct200.reader", "VELKARO CT 200", "velkaro ct 200", "VELKARO CT 200 01 00"})
    EXPECT_EQ(Run({"unplug", name}).exitCode, 0) << name;
  EXPECT_FALSE(Parsed().reader.plugged);
  ASSERT_EQ(Run({"replug", "ct200"}).exitCode, 0);
  EXPECT_TRUE(Parsed().reader.plugged);
}

TEST_F(SimCommandsTest, FailingCodesStayOnOneLine) {
  ASSERT_EQ(Run({"fail", "ct200", "3042", "3105:e2"}).exitCode, 0);
  ASSERT_EQ(Run({"fail", "ct200", "serial"}).exitCode, 0);
  EXPECT_NE(File().find("fail     = 3042 3105:E2 serial\n"), std::string::npos) << File();
  ASSERT_EQ(Run({"unfail", "ct200", "3042"}).exitCode, 0);
  EXPECT_EQ(Parsed().reader.failing, (std::set<std::string>{"3105:E2", "serial"}));
  ASSERT_EQ(Run({"unfail", "ct200"}).exitCode, 0);
  EXPECT_EQ(File().find("fail"), std::string::npos);
}

TEST_F(SimCommandsTest, ListAndCheckReportBrokenFiles) {
  m_dir.Write("broken.reader", "name = X\nslots = many\n");
  const CommandResult list = Run({"list"});
  EXPECT_EQ(list.exitCode, 1);
  EXPECT_NE(list.output.find("ct200.reader: \"VELKARO CT 200\" plugged, firmware 1.23"), std::string::npos)
      << list.output;
  EXPECT_NE(list.errors.find("broken.reader:2: slots: expected a number"), std::string::npos) << list.errors;
  EXPECT_EQ(Run({"check"}).exitCode, 1);
  EXPECT_EQ(Run({"set", "broken", "firmware=1"}).exitCode, 1) << "a broken file is fixed by hand first";
}

TEST(WriteFileAtomicallyTest, ReplacesTheFileAndLeavesNothingElse) {
  testing_support::TempDir dir;
  const std::string path = dir.Write("r.reader", "old");
  ASSERT_EQ(WriteFileAtomically(path, "new content\n"), std::nullopt);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "new content\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
  EXPECT_NE(WriteFileAtomically(dir / "missing/r.reader", "x"), std::nullopt);
}

}  // namespace
}  // namespace velkaro::sim
