// Which card a slot presents once the driver's settings apply, and the
// settings rules themselves.

#include "scenario/card_selection.h"

#include <gtest/gtest.h>

#include "scenario/prox_format.h"

namespace velkaro::sim {
namespace {

Scenario Parse(const std::string& text) {
  const ParsedScenario parsed = ParseScenario(text);
  EXPECT_TRUE(parsed.scenario) << DescribeErrors("test", parsed.errors);
  return parsed.scenario.value_or(Scenario{});
}

// A field holding an ISO 15693 tag, then an ISO 14443 A and a type B card.
const Scenario kField = Parse(
    "name = VELKARO CL 3700\n"
    "[card]\ntype = ISO15693\nlabel = tag\n"
    "[card]\ntype = ISO14443A\nlabel = a\nrx = 3\ntx = 2\n"
    "[card]\ntype = ISO14443B\nlabel = b\nrx = 3\ntx = 3\n");

std::string Detected(const Scenario& scenario, const DriverSettings& settings) {
  const auto card = SelectCard(scenario, 0, settings);
  return card ? card->label : "none";
}

TEST(CardSelectionTest, SearchOrderDecidesWhichCardIsDetected) {
  DriverSettings settings;
  EXPECT_EQ(Detected(kField, settings), "a") << "without a stored order: code order, ISO14443A first";
  settings.cardSearch = Bytes{0x04, 0x01};
  EXPECT_EQ(Detected(kField, settings), "tag");
  settings.cardSearch = Bytes{0x09, 0x00, 0x03, 0x01};  // bytes outside 1..6 are skipped
  EXPECT_EQ(Detected(kField, settings), "b");
  settings.cardSearch = Bytes{0x02, 0x06};
  EXPECT_EQ(Detected(kField, settings), "none") << "no searched type in the field";
  settings.cardSearch = Bytes{};
  EXPECT_EQ(Detected(kField, settings), "none");
}

TEST(CardSelectionTest, OtherMakersReaderTakesTheFirstCardWhateverTheOrder) {
  Scenario scenario = kField;
  scenario.reader.name = "HALVORN KR210 Proximity";
  DriverSettings settings;
  settings.cardSearch = Bytes{0x03};
  EXPECT_EQ(Detected(scenario, settings), "tag");
}

TEST(CardSelectionTest, RatesNeverExceedTheStoredMaximum) {
  DriverSettings settings;
  settings.cardSearch = Bytes{0x01, 0x03};
  settings.maxRateA = 1;
  settings.maxRateB = 2;
  auto a = SelectCard(kField, 0, settings);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->receiveRate, 1);
  EXPECT_EQ(a->sendRate, 1);
  settings.cardSearch = Bytes{0x03};
  auto b = SelectCard(kField, 0, settings);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->receiveRate, 2);
  EXPECT_EQ(b->sendRate, 2);
  settings.maxRateB.reset();
  EXPECT_EQ(SelectCard(kField, 0, settings)->receiveRate, 3);
  settings.airSpeedCap = 0;  // belongs to the other maker's reader only
  EXPECT_EQ(SelectCard(kField, 0, settings)->receiveRate, 3);

  Scenario other = kField;
  other.reader.name = "HALVORN KR210 Proximity";
  other.cards.erase(other.cards.begin());  // the ISO 14443 A card comes first
  EXPECT_EQ(SelectCard(other, 0, settings)->sendRate, 0);
}

TEST(CardSelectionTest, StoredSettingsBecomeLimits) {
  StoredSettings stored;
  EXPECT_EQ(ApplySettingRules(stored).maxRateA, std::nullopt);
  EXPECT_EQ(ApplySettingRules(stored).airSpeedCap, 3) << "AirSpeedMax missing means 8 (848 kbps)";

  stored.legacyRates = Bytes{0x02, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(ApplySettingRules(stored).maxRateA, 2) << "the older value stands in";
  EXPECT_EQ(ApplySettingRules(stored).maxRateB, std::nullopt) << "0 there means default";
  stored.rateA = 255;
  EXPECT_EQ(ApplySettingRules(stored).maxRateA, std::nullopt) << "the per-type value wins: 255 is default";
  stored.rateA = 0;
  EXPECT_EQ(ApplySettingRules(stored).maxRateA, 0);
  stored.rateB = 7;
  EXPECT_EQ(ApplySettingRules(stored).maxRateB, std::nullopt);

  for (const auto& [value, cap] : std::vector<std::pair<std::uint32_t, std::optional<std::uint8_t>>>{
           {1, 0}, {2, 1}, {4, 2}, {8, 3}, {3, std::nullopt}}) {
    stored.airSpeed = value;
    EXPECT_EQ(ApplySettingRules(stored).airSpeedCap, cap) << value;
  }
  stored.proxFormat = 20;
  EXPECT_EQ(ApplySettingRules(stored).proxFormat, 20u);
}

// A 26-bit frame with site code 123 and card number 12345 (parity bits 0).
const Bytes kFrame26 = {0x00, 0xF6, 0x60, 0x72};

Bytes WithCheck(Bytes atr) {
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  atr.push_back(check);
  return atr;
}

TEST(ProxFormatTest, FormatDecidesTheAtr) {
  const Bytes raw = WithCheck({0x3B, 0x84, 0x80, 0x01, 0x00, 0xF6, 0x60, 0x72});
  const Bytes formatA = WithCheck({0x3B, 0x87, 0x80, 0x01, 0x01, 0x00, 0x7B, 0x00, 0x00, 0x30, 0x39});
  EXPECT_EQ(ProxAtr(26, kFrame26, kProxRaw), raw);
  EXPECT_EQ(ProxAtr(26, kFrame26, 1), formatA);
  EXPECT_EQ(ProxAtr(26, kFrame26, kProxAuto), formatA);
  EXPECT_EQ(ProxAtr(26, kFrame26, 2), raw) << "a 26-bit frame does not fit format B";
  EXPECT_EQ(ProxAtr(26, kFrame26, 7), raw) << "unknown formats decode raw";
  EXPECT_EQ(ProxAtr(26, kFrame26, kProxCustomer), WithCheck({0x3B, 0x85, 0x80, 0x01, 0xFF, 0x00, 0xF6, 0x60, 0x72}));

  // Format D: 34 bits, site code bits 1..16, card number bits 17..32.
  const Bytes frame34 = {0x00, 0x00, 0x00, 0x02, 0x04};  // site 0, card number 0x0102
  EXPECT_EQ(ProxAtr(34, frame34, 20), WithCheck({0x3B, 0x87, 0x80, 0x01, 20, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02}));
}

TEST(ProxFormatTest, OnlyTheVendorsReadersApplyTheFormat) {
  const std::string card = "[card]\ntype = prox\nprox-bits = 26\nprox-data = 00 F6 60 72\n";
  DriverSettings settings;
  settings.proxFormat = 1;
  EXPECT_EQ(SelectCard(Parse("name = VELKARO RF 600\n" + card), 0, settings)->atr[4], 0x01);
  EXPECT_EQ(SelectCard(Parse("name = HALVORN KR210 Proximity\n" + card), 0, settings)->atr[4], 0x00);
}

TEST(CardSelectionTest, IdentityFollowsWhatTheCardReports) {
  DriverSettings settings;
  const std::string a = CardIdentity(*SelectCard(kField, 0, settings));
  EXPECT_EQ(CardIdentity(*SelectCard(kField, 0, settings)), a);
  settings.maxRateA = 0;
  EXPECT_NE(CardIdentity(*SelectCard(kField, 0, settings)), a) << "a new rate limit shows as a new card";
}

}  // namespace
}  // namespace velkaro::sim
