// Reader enumeration pieces that a real pcscd never feeds bad input: the
// multi-string split and the list difference; and a "pcscd" whose socket
// takes the connection and never answers, as a stopped one does.

#include "status/reader_enumeration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pcscd_socket_stand_in.h"
#include "platform/deadline.h"

namespace {

std::vector<char> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace

TEST(ReaderEnumerationTest, MultiStringSplitStopsAtItsEnd) {
  const struct {
    std::string_view buffer;
    std::vector<std::string> names;
  } cases[] = {
      {std::string_view("A 00 00\0B 01 00\0\0", 17), {"A 00 00", "B 01 00"}},
      {std::string_view("A\0B", 3), {"A", "B"}},  // no terminator: never read past the end
      {std::string_view("\0A\0\0", 4), {}},        // an empty first name ends the list
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitMultiString(Bytes(c.buffer)), c.names) << c.buffer.size();
}

TEST(ReaderEnumerationTest, DifferenceKeepsEachListsOrder) {
  const ReaderListChange change = DiffReaderLists({"A", "B", "C"}, {"D", "C", "A", "E"});
  EXPECT_EQ(change.removed, std::vector<std::string>{"B"});
  EXPECT_EQ(change.added, (std::vector<std::string>{"D", "E"}));
  EXPECT_TRUE(DiffReaderLists({"A"}, {"A"}).empty());
}

TEST(ReaderEnumerationTest, SilentPcscdCostsOneDeadlineAndNoFurtherCallsUntilTheLateOneIsBack) {
  using namespace std::chrono_literals;
  using velkaro::PcscdReply;
  testing_support::PcscdSocketStandIn pcscd(testing_support::PcscdSocketStandIn::Mode::kSilent);
  const auto maps = std::make_shared<const CReaderModelMaps>();
  CTimedReaderEnumerator enumerator(200ms);
  const auto timed = [&](std::vector<std::string>& list) {
    const auto started = std::chrono::steady_clock::now();
    const PcscdReply reply = enumerator.Enumerate(list, maps, {});
    return std::pair(reply, std::chrono::steady_clock::now() - started);
  };
  std::vector<std::string> list;
  const auto [first, firstTook] = timed(list);
  EXPECT_EQ(first, PcscdReply::kNoAnswer);
  EXPECT_GE(firstTook, 190ms);
  EXPECT_LT(firstTook, 1s);
  // The late call still holds pcsc-lite: the next refresh does not queue behind it.
  const auto [second, secondTook] = timed(list);
  EXPECT_EQ(second, PcscdReply::kNoAnswer);
  EXPECT_LT(secondTook, 50ms);
  EXPECT_TRUE(enumerator.CallOutstanding());

  // The connection goes: the late call comes back, and the next one is made.
  ASSERT_TRUE(pcscd.DropOneClient());
  for (int i = 0; i < 200 && enumerator.CallOutstanding(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(enumerator.CallOutstanding());
  EXPECT_EQ(timed(list).first, PcscdReply::kNoAnswer);
  EXPECT_TRUE(list.empty());
  ASSERT_TRUE(pcscd.DropOneClient());
  EXPECT_EQ(pcscd.Accepted(), 2);  // one connection per call made
}

// One worker makes the calls of a refresh after the other and ends with its
// owner, so a closed page leaves no thread behind for long.
TEST(ReaderEnumerationTest, WorkerServesEveryCallAndEndsWithItsOwner) {
  using namespace std::chrono_literals;
  testing_support::PcscdSocketStandIn pcscd(testing_support::PcscdSocketStandIn::Mode::kAbsent);
  const auto maps = std::make_shared<const CReaderModelMaps>();
  const int before = velkaro::RunningAbandonableThreads();
  {
    CTimedReaderEnumerator enumerator;
    for (int i = 0; i < 3; ++i) {
      std::vector<std::string> list;
      EXPECT_EQ(enumerator.Enumerate(list, maps, {}), velkaro::PcscdReply::kRefused) << i;
      EXPECT_EQ(velkaro::RunningAbandonableThreads(), before + 1) << i;
    }
  }
  for (int i = 0; i < 100 && velkaro::RunningAbandonableThreads() > before; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(velkaro::RunningAbandonableThreads(), before);
}
