// The "Cards:" section's lines for what pcsc-lite may answer.

#include "log/log_cards.h"

#include <gtest/gtest.h>

TEST(LogCardsTest, SectionLinesForEachAnswer) {
  using Lines = std::vector<std::string>;
  const struct {
    const char* name;
    std::optional<ReaderCards> cards;
    Lines lines;  // after "", "Cards:", ""
  } cases[] = {
      {"not asked", std::nullopt, {"n/a"}},
      {"refused", ReaderCards{{}, "SCardGetStatusChange failed: 0x8010001D"},
       {"n/a (SCardGetStatusChange failed: 0x8010001D)"}},
      {"no card anywhere", ReaderCards{}, {"none"}},
      {"a card and a mute one",
       ReaderCards{{{"R\x1b]0;x\x07 00", {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B}},
                    {"Mute 01 00", {}, true}},
                   {}},
       {"R\\x1B]0;x\\x07 00: ATR = 3B 95 13 81 01 80 73 FF 01 00 0B, T=1; Fi=372 Di=4; TCK ok",
        "Mute 01 00: no ATR (mute card)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Lines expected{"", "Cards:", ""};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(CardsSection(c.cards), expected);
  }
}
