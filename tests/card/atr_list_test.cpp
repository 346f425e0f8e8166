// Card names from the shared ATR list behind the configuration's card tables.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "card/atr_list.h"
#include "card/card_names.h"
#include "fakes.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::RecordingDebugOutput;
using testing_support::TempDir;

constexpr char kConfiguredAtr[] = "3B DA 18 FF";

// The configuration's tables with the list at `path`, once it is read.
std::shared_ptr<const CCardNames> NamesWithList(const std::string& path) {
  CardNameMap names{{kConfiguredAtr, "Configured card"}, {"3B 11 22 33", ""}};
  CardPatternMap patterns;
  patterns.Set("3B 77 ?? 01", "Configured pattern");
  auto list = CAtrList::Load(path);
  EXPECT_TRUE(list->WaitUntilRead(10s)) << path;
  return std::make_shared<const CCardNames>(std::move(names), std::move(patterns), std::move(list));
}

}  // namespace

TEST(AtrListTest, ConfigurationNamesFirstThenTheListsFirstMatchingEntry) {
  const auto names = NamesWithList(VELKARO_TEST_DATA "/card/atr_list.txt");
  const std::string thirtyFourBytes =
      "3B 3C 3D 3E 3F 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 55 56 57 58 59 5A 5B 5C";
  std::string cutDescription;
  for (int i = 0; i < 127; ++i) cutDescription += "\u00e9";  // 254 bytes: the next one would pass 255

  const struct {
    std::string atr;
    std::string name;
  } cases[] = {
      {"3B 02 14 50", "Listed card, exact (ATR list)"},
      {"3b 02 14 50", "Listed card, exact (ATR list)"},
      {"3B 02 14 50 11", ""},  // a pattern covers the whole ATR, not its start
      {"3B 02 14", ""},
      {"3B 99 14 51", "Listed card, any second byte (ATR list)"},
      {"3B 6F 00 00 80 5A 11 03 8C 90 00", "Listed card, range and nibble (ATR list)"},
      {"3B 6F 00 00 80 5A 11 06 8C 90 00", ""},
      {"3B 8F 80 01 12 34 56 90 00", "Listed card, any run (ATR list)"},
      {"3B 8F 80 01 12 34 56 90 01", ""},
      {kConfiguredAtr, "Configured card"},
      {"3B 11 22 33", ""},
      {"3B 77 55 01", "Configured pattern"},
      {"3B 03 03 03", "Listed card, CR LF (ATR list)"},
      {"3B 04 04 04", "Listed card, odd spacing (ATR list)"},
      {thirtyFourBytes.substr(0, 33 * 3 - 1), ""},
      {thirtyFourBytes, ""},
      {"3B 00 05 05", ""},
      {"3B 06 06 06", ""},
      {"3B 07 07", ""},
      {"3B 0A 0A 0A", ""},
      {"3B 0B 0B 0B", ""},
      {"3B 0C 0C 0C", "Listed card, after one without description (ATR list)"},
      {"3B 0D 0D 0D", "Control character and a bad ? byte (ATR list)"},
      {"3B 0E 0E 0E", cutDescription + " (ATR list)"},
      {"3B 55 55 55", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(names->CardNameFor(c.atr), c.name) << c.atr;
}

TEST(AtrListTest, DamagedListsNameNoCardFalselyAndLeaveTheConfigurationAlone) {
  const TempDir dir;
  const std::string entry = "3B 01 01 01\n\tComplete entry\n\n";
  // Comment lines that fill a file up to `size` bytes.
  const auto filler = [](std::size_t size) {
    std::string text;
    const std::string line = "# " + std::string(77, '-') + "\n";
    while (text.size() + line.size() <= size) text += line;
    return text + std::string(size - text.size(), '\n');
  };
  const std::string beforeBound = entry + filler(CAtrList::kMaxFileSize - 16 - entry.size());
  const std::string fiftyMegabytes = beforeBound + "3B 0E 0E 0E\n\tCut by the bound\n\n" +
                                     filler(50u << 20) + "3B 0F 0F 0F\n\tPast the bound\n";

  const struct {
    const char* what;
    std::function<std::string()> make;  // the list's path
    std::string completeEntryName;
    std::string debugLineNames;  // the text one debug line holds
  } cases[] = {
      {"missing", [&] { return dir / "missing.txt"; }, "", "missing.txt: No such file"},
      {"empty", [&] { return dir.Write("empty.txt", ""); }, "", "0 patterns"},
      {"truncated", [&] { return dir.Write("truncated.txt", entry + "3B 0F 0F 0F\n\tPast"); },
       "Complete entry (ATR list)", "1 patterns"},
      {"binary", [&] { return dir.Write("binary.txt", entry + std::string("\0\x01\xfe\n\t3B 0F", 10)); }, "",
       "binary.txt: holds NUL bytes"},
      {"fifty megabytes", [&] { return dir.Write("big.txt", fiftyMegabytes); }, "Complete entry (ATR list)",
       "big.txt: larger than 4194304 bytes"},
      {"relative path", [&] { return std::string("tests/data/card/atr_list.txt"); }, "", "not an absolute path"},
  };
  for (const auto& c : cases) {
    const RecordingDebugOutput debug;
    const auto names = NamesWithList(c.make());
    EXPECT_EQ(names->CardNameFor("3B 01 01 01"), c.completeEntryName) << c.what;
    for (const char* atr : {"3B 0E 0E 0E", "3B 0F 0F 0F"}) EXPECT_EQ(names->CardNameFor(atr), "") << c.what << atr;
    EXPECT_EQ(names->CardNameFor(kConfiguredAtr), "Configured card") << c.what;
    std::string lines;
    for (const std::string& line : debug.Lines()) lines += line + "\n";
    EXPECT_NE(lines.find(c.debugLineNames), std::string::npos) << c.what << ": " << lines;
  }
}
