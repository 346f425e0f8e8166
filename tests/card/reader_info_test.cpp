// The reader information query against the private pcscd: what a reader
// tells, and how far the outputs get when the driver refuses a step.

#include "card/reader_info.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "sandbox_environment.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/reader/pages");

struct Info {
  std::string firmware, library, serial;
  bool refused = false;
};

Info Query(const std::string& reader) {
  Info info{"", "unset", "unset", true};
  info.firmware = GetReaderInfo(reader, info.library, info.serial, {}, &info.refused);
  return info;
}

}  // namespace

TEST(ReaderInfoTest, CompleteQuery) {
  VELKARO_REQUIRE_SANDBOX();
  const Info info = Query(Sandbox().ReaderName("VELKARO CT 200"));
  EXPECT_EQ(info.firmware, "1.23");
  EXPECT_EQ(info.library, "3.10");
  EXPECT_EQ(info.serial, "CT200-004711");
  EXPECT_FALSE(info.refused);
}

TEST(ReaderInfoTest, PlaceholderSerialNumberIsNotShown) {
  VELKARO_REQUIRE_SANDBOX();
  EXPECT_EQ(Query(Sandbox().ReaderName("VELKARO CT 110")).serial, "n/a");
  RunSim({"set", "c_ct110", "serial=123456789"});
  EXPECT_EQ(Query(Sandbox().ReaderName("VELKARO CT 110")).serial, "123456789");
}

TEST(ReaderInfoTest, RefusedStepsLeaveTheLaterOutputsAtNotAvailable) {
  VELKARO_REQUIRE_SANDBOX();
  RecordingDebugOutput debug;
  const std::string reader = Sandbox().ReaderName("VELKARO CT 220");

  RunSim({"fail", "e_ct220", "serial"});
  Info info = Query(reader);
  EXPECT_EQ(info.firmware, "1.01");
  EXPECT_EQ(info.library, "3.12");
  EXPECT_EQ(info.serial, "n/a");

  RunSim({"fail", "e_ct220", "3041"});
  info = Query(reader);
  EXPECT_EQ(info.firmware, "1.01");
  EXPECT_EQ(info.library, "n/a");
  EXPECT_EQ(info.serial, "n/a");

  // Without the firmware step the query never answers another reader's
  // firmware, even right after that reader's query read one.
  RunSim({"set", "a_ct200", "firmware=777"});
  EXPECT_EQ(Query(Sandbox().ReaderName("VELKARO CT 200")).firmware, "7.77");
  RunSim({"fail", "e_ct220", "3001"});
  info = Query(reader);
  EXPECT_EQ(info.firmware, "n/a");
  EXPECT_EQ(info.library, "n/a");
  EXPECT_TRUE(info.refused);

  EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"Error: SCardGetAttrib()!", "Error: SCardControl()!",
                                                     "Error: SCardControl()!"}));
}

TEST(ReaderInfoTest, UnknownAndEmptyReaderNames) {
  VELKARO_REQUIRE_SANDBOX();
  RecordingDebugOutput debug;
  const Info unknown = Query(std::string(1000, 'R'));
  EXPECT_EQ(unknown.firmware, "n/a");
  EXPECT_EQ(unknown.library, "n/a");
  EXPECT_EQ(unknown.serial, "n/a");
  EXPECT_FALSE(unknown.refused) << "no connection, so nothing was refused";
  const Info empty = Query("");
  EXPECT_EQ(empty.firmware, "");
  EXPECT_EQ(empty.library, "n/a");
  EXPECT_EQ(debug.Lines(), std::vector<std::string>{"Error: SCardConnect()!"});
}

TEST(ReaderInfoTest, VersionTexts) {
  EXPECT_EQ(FormatVersion(100), "1.00");
  EXPECT_EQ(FormatVersion(1234), "12.34");
  EXPECT_EQ(FormatVersion(5), "0.05");
  EXPECT_EQ(FormatVersion(0xFFFFFFFF), "42949672.95");
}

// An answer too short for its field leaves that field "n/a"; the query goes on.
TEST(ReaderInfoTest, ShortAnswerLeavesOnlyItsFieldNotAvailable) {
  VELKARO_REQUIRE_SANDBOX();
  const std::string reader = Sandbox().ReaderName("VELKARO CT 200");
  const struct {
    const char* code;
    Info expected;
  } cases[] = {
      {"3001", {"n/a", "3.10", "CT200-004711"}},
      {"3041", {"1.23", "n/a", "CT200-004711"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    RunSim({"set", "a_ct200", std::string("short=") + c.code});
    const Info info = Query(reader);
    EXPECT_EQ(info.firmware, c.expected.firmware);
    EXPECT_EQ(info.library, c.expected.library);
    EXPECT_EQ(info.serial, c.expected.serial);
  }
}
