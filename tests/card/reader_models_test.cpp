#include "card/reader_models.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

TEST(ReaderModelsTest, TablesHaveTheirShape) {
  std::map<std::tuple<int, int, int, int, int, int>, int> combinations;
  std::set<std::string> names;
  for (const ReaderModel& row : g_readerModels) {
    ++combinations[{row.column1, row.column2, row.column3, row.column4, row.column5, row.pageKind}];
    names.insert(row.name);
  }
  EXPECT_EQ(names.size(), kReaderModelCount);
  const std::map<std::tuple<int, int, int, int, int, int>, int> expected = {
      {{0, 0, 0, 0, 0, 0}, 6}, {{1, 0, 0, 0, 0, 0}, 12}, {{1, 0, 0, 1, 1, 0}, 9}, {{1, 0, 0, 1, 0, 0}, 2},
      {{0, 0, 0, 0, 1, 0}, 1}, {{1, 1, 1, 0, 0, 0}, 1}, {{1, 0, 0, 0, 0, 1}, 1}};
  EXPECT_EQ(combinations, expected);

  int groups = 0, aliases = 0, largest = 0, inGroup = 0;
  bool groupStart = true;
  for (const char* slot : g_readerAliases) {
    const std::string entry = slot;
    if (groupStart) {
      if (entry.empty()) break;
      ++groups;
      inGroup = 0;
      groupStart = false;
    } else if (entry.empty()) {
      groupStart = true;
    } else {
      ++aliases;
      largest = std::max(largest, ++inGroup);
    }
  }
  EXPECT_EQ(groups, 18);
  EXPECT_EQ(aliases, 32);
  EXPECT_EQ(largest, 14);
  CReaderModelMaps maps;
  EXPECT_EQ(maps.Models().size(), kReaderModelCount);
  EXPECT_EQ(maps.Aliases().size(), 32u);
}

TEST(ReaderModelsTest, StripReaderIndexOnWindowsAndPcscLiteNames) {
  EXPECT_EQ(StripReaderIndex("VELKARO CL 3700 00 00"), "VELKARO CL 3700");
  EXPECT_EQ(StripReaderIndex("VELKARO CT 200 0A 01"), "VELKARO CT 200");
  EXPECT_EQ(StripReaderIndex("Acme Reader 0"), "Acme Reader");
  EXPECT_EQ(StripReaderIndex("Acme Reader 12"), "Acme Reader");
  EXPECT_EQ(StripReaderIndex("Reader12"), "");
  EXPECT_EQ(StripReaderIndex("Acme Reader"), "Acme Reader");
  EXPECT_EQ(StripReaderIndex("Acme Reader 0a 00"), "Acme Reader 0a");  // lower-case hex is no pcsc-lite suffix
  EXPECT_EQ(StripReaderIndex(""), "");
  EXPECT_EQ(StripReaderIndex(std::string(1000, 'x') + " 00 00"), std::string(1000, 'x'));
}

TEST(ReaderModelsTest, FindReaderModelByNameAliasAndCase) {
  CReaderModelMaps maps;
  const ReaderModel* first = maps.FindReaderModel("VELKARO CL 3700 00 00");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, maps.FindReaderModel("velkaro cl 3700 01 00"));
  EXPECT_EQ(first->column4, 1u);
  EXPECT_EQ(maps.FindReaderModel("Norvex DualCard 37 00 00"), first);
  EXPECT_EQ(maps.FindReaderModel("HALVORN KR210 02 00")->pageKind, 1u);
  EXPECT_EQ(maps.FindReaderModel("Marlow Chipcard Serial 00 00"), nullptr);  // alias of a model without a row
  EXPECT_TRUE(maps.IsAlias("MARLOW CHIPCARD SERIAL"));
  EXPECT_EQ(maps.FindReaderModel("Acme Reader 0"), nullptr);
  EXPECT_EQ(maps.FindReaderModel("VELKARO CT 2000"), nullptr);  // digit without space cut: "VELKARO CT"
  EXPECT_EQ(maps.FindReaderModel(""), nullptr);
}

TEST(ReaderModelsTest, BrandWordStartsTheName) {
  EXPECT_TRUE(IsBrandReader("VELKARO NEW MODEL"));
  EXPECT_FALSE(IsBrandReader("MY VELKARO"));
  EXPECT_FALSE(IsBrandReader(""));
}
