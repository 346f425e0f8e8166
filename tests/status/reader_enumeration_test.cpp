// Reader enumeration pieces that a real pcscd never feeds bad input: the
// multi-string split and the list difference.

#include "status/reader_enumeration.h"

#include <gtest/gtest.h>

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
