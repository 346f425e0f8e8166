// Scenario files: what the parser makes of them and how it reports mistakes.

#include "scenario/scenario.h"

#include <gtest/gtest.h>

namespace velkaro::sim {
namespace {

const char kFullScenario[] = R"(# comment line
name     = VELKARO CL 3700   # trailing comment
firmware = 0x10E
serial   = CL-1
channel  = com 3
slots    = 2
fail     = 3042, 3105:fa
fail     = serial
antenna  = 80 04 00 11 01 22
antenna  =
antennas = 3

[card]
atr = 3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C

[card 1]
type  = iso14443b
uid   = 5A:3C:01:99
mute  = yes
label = field card
)";

TEST(ScenarioTest, ReadsReaderAndCardFactsAndFillsTypeDefaults) {
  const ParsedScenario parsed = ParseScenario(kFullScenario);
  ASSERT_TRUE(parsed.scenario) << DescribeErrors("test", parsed.errors);
  const Scenario& s = *parsed.scenario;
  EXPECT_EQ(s.reader.name, "VELKARO CL 3700");
  EXPECT_EQ(s.reader.firmware, 270u);
  EXPECT_EQ(s.reader.library, 100u);
  EXPECT_EQ(s.reader.channel, 0x00010003u);
  EXPECT_EQ(s.reader.slots, 2u);
  EXPECT_EQ(s.reader.failing, (std::set<std::string>{"3042", "3105:FA", "serial"}));
  ASSERT_EQ(s.reader.antennas.size(), 2u);
  EXPECT_TRUE(s.reader.antennas[1].empty());
  EXPECT_EQ(s.AntennaCount(), 3u);

  ASSERT_EQ(s.cards.size(), 2u);
  const CardFacts& contact = s.cards[0];
  EXPECT_EQ(contact.type, CardType::Contact);
  EXPECT_EQ(contact.ta1, 0x18u) << "TA1 as the ATR announces it";
  EXPECT_EQ(contact.clock, 4000000u);
  EXPECT_EQ(contact.voltage, 1u);

  const CardFacts& field = s.cards[1];
  EXPECT_EQ(field.slot, 1u);
  EXPECT_EQ(field.type, CardType::Iso14443B);
  EXPECT_TRUE(field.mute);
  EXPECT_EQ(field.ta1, 0xFFu);
  EXPECT_EQ(field.kind, 8);
  EXPECT_EQ(field.receiveRate, 3);
  EXPECT_EQ(field.uid, (Bytes{0x5A, 0x3C, 0x01, 0x99}));
  // The generated contactless ATR: 3B 8F 80 01, historical bytes with the
  // standard byte, and a check byte that makes the XOR from T0 on zero.
  ASSERT_EQ(field.atr.size(), 20u);
  EXPECT_EQ(field.atr[12], 0x07);
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < field.atr.size(); ++i) check ^= field.atr[i];
  EXPECT_EQ(check, 0);
}

TEST(ScenarioTest, ChannelForms) {
  const auto channel = [](const std::string& value) {
    const auto parsed = ParseScenario("name = R\nchannel = " + value + "\n");
    return parsed.scenario ? parsed.scenario->reader.channel : 0xDEADu;
  };
  EXPECT_EQ(channel("USB"), 0x00200000u);
  EXPECT_EQ(channel("pcmcia"), 0x00400000u);
  EXPECT_EQ(channel("com"), 0x00010000u);
  EXPECT_EQ(channel("COM12"), 0x0001000Cu);
  EXPECT_EQ(channel("0x00300002"), 0x00300002u);
  EXPECT_EQ(channel("com 0"), 0xDEADu);
  EXPECT_EQ(channel("firewire"), 0xDEADu);
}

TEST(ScenarioTest, NamesEveryMistakeWithItsLine) {
  struct Case {
    const char* text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"name = R\nclock = 5\n", 2, "'clock' is a card fact"},
      {"name = R\n[card]\natr = 3B 00\nname = X\n", 4, "'name' is a reader fact"},
      {"name = R\nfirmware = 1\nfirmware = 2\n", 3, "given twice (first on line 2)"},
      {"name = R\ncolour = red\n", 2, "unknown reader fact 'colour'"},
      {"name = R\nslots = 5\n", 2, "slots: expected a number from 1 to 4"},
      {"name = R\n[card]\natr = 3B 0\n", 3, "atr: expected hexadecimal bytes"},
      {"name = R\n[card]\nclock = 4 MHz\n", 2, "a contact card needs an atr"},
      {"name = R\n[card]\ntype = prox\natr = 3B 00\nprox-data = 01\n", 2, "give no atr"},
      {"name = R\n[card]\ntype = prox\nprox-bits = 26\nprox-data = 01 02\n", 2, "need 4 bytes of prox-data"},
      {"name = R\nfail = 3042 4000\n", 2, "'4000' is not a code the driver answers"},
      {"name = R\n[card 1]\natr = 3B 00\n", 2, "slot 1 does not exist"},
      {"name = R\n[card]\natr = 3B 00\n[card]\natr = 3B 01\n", 2, "must be the only present card of slot 0"},
      {"name = R\n[card]\natr = 3B 00\nmute = perhaps\n", 4, "mute: expected yes or no"},
      {"name = R\n[tray]\n", 2, "unknown section"},
      {"name = R\njust words\n", 2, "expected 'key = value'"},
      {"firmware = 1\n", 0, "the reader has no name"},
      // Quoted lines lose a stray CR as the editor's rewrite does; control
      // bytes are shown, not sent to the terminal or log.
      {"name = R\njust words\r\r\n", 2, "not 'just words'"},
      {"name = R\n[tray] \r\r\n", 2, "unknown section '[tray]';"},
      {"name = R\nco\x1b[2Jlour = red\n", 2, "unknown reader fact 'co\\x1B[2jlour'"},
  };
  for (const Case& c : cases) {
    const ParsedScenario parsed = ParseScenario(c.text);
    EXPECT_FALSE(parsed.scenario) << c.text;
    ASSERT_FALSE(parsed.errors.empty()) << c.text;
    EXPECT_EQ(parsed.errors.front().line, c.line) << c.text;
    EXPECT_NE(parsed.errors.front().message.find(c.message), std::string::npos)
        << c.text << "\ngot: " << parsed.errors.front().message;
  }
}

TEST(ScenarioTest, TextFactsTakeByteEscapes) {
  struct Case {
    const char* value;
    std::optional<std::string> text;  // nothing: refused
  };
  const Case cases[] = {
      {R"(A\x1b]0;t\x07\x0D\xff\xFE)", "A\x1b]0;t\x07\r\xff\xfe"},
      {R"(C:\\dir\\x41 \x5c)", "C:\\dir\\x41 \\"},
      {R"(cut \x4)", std::nullopt},
      {R"(odd \q)", std::nullopt},
      {R"(end \)", std::nullopt},
      {R"(\xg1)", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string value = c.value;
    const auto serial = ParseScenario("name = R\nserial = " + value + "\n[card]\natr = 3B 00\nlabel = " + value + "\n");
    ASSERT_EQ(serial.scenario.has_value(), c.text.has_value()) << value;
    if (c.text) {
      EXPECT_EQ(serial.scenario->reader.serial, *c.text);
      EXPECT_EQ(serial.scenario->cards[0].label, *c.text);
    }
    const auto name = ParseScenario("name = " + value + "\n");
    ASSERT_EQ(name.scenario.has_value(), c.text.has_value()) << value;
    if (c.text) {
      EXPECT_EQ(name.scenario->reader.name, *c.text);
    }
  }
  // reader.conf holds the name on one quoted line, as a C string.
  for (const char* name : {R"(a\x22b)", R"(a\x0Ab)", R"(a\x00b)"})
    EXPECT_FALSE(ParseScenario(std::string("name = ") + name + "\n").scenario) << name;
}

TEST(ScenarioTest, RemovedCardsDoNotCompeteForTheirSlot) {
  const auto parsed = ParseScenario("name = R\n[card]\natr = 3B 00\npresent = no\n[card]\natr = 3B 01\n");
  EXPECT_TRUE(parsed.scenario) << DescribeErrors("test", parsed.errors);
}

TEST(ScenarioTest, ReportsAllErrorsInLineOrder) {
  const auto parsed = ParseScenario("name = R\nfirmware = x\n[card]\natr = zz\nvoltage = 9V\n");
  ASSERT_EQ(parsed.errors.size(), 3u);
  EXPECT_EQ(parsed.errors[0].line, 2);
  EXPECT_EQ(parsed.errors[1].line, 4);
  EXPECT_EQ(parsed.errors[2].line, 5);
  EXPECT_EQ(DescribeErrors("r.reader", {parsed.errors[0]}).rfind("r.reader:2: firmware: expected a number", 0), 0u);
}

TEST(ScenarioTest, FailureEntriesHaveOneSpelling) {
  EXPECT_EQ(CanonicalFailure("3105:fa"), "3105:FA");
  EXPECT_EQ(CanonicalFailure("SERIAL"), "serial");
  EXPECT_EQ(CanonicalFailure("3215"), "3215");
  EXPECT_EQ(CanonicalFailure("3105:FB"), std::nullopt);
  EXPECT_EQ(CanonicalFailure("42"), std::nullopt);
}

}  // namespace
}  // namespace velkaro::sim
