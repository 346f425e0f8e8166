// The simulated driver behind a real (private) pcscd: what clients see.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "pcsc_calls.h"
#include "sandbox_environment.h"
#include "scenario/scenario_document.h"

namespace {

using namespace testing_support;

const auto* const g_environment = PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/sim/driver");

const std::string kCl3700Contact = "VELKARO CL 3700 00 00";
const std::string kCl3700Field = "VELKARO CL 3700 00 01";
const std::string kCt200 = "VELKARO CT 200 01 00";
const std::string kCt200Second = "VELKARO CT 200 02 00";
const std::string kCt110 = "VELKARO CT 110 03 00";
const std::string kRf600 = "VELKARO RF 600 04 00";

constexpr DWORD kFirmware = 3001, kLibrary = 3041, kClock = 3042, kTa1 = 3043, kVoltage = 3056, kEscape = 3105,
                kContactless = 3215;

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Waits for pcscd's log to mention `text`.
bool LogMentions(const std::string& text) {
  for (int i = 0; i < 200; ++i) {
    if (Sandbox().Log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(SimDriverTest, ReadersSharingTheDriverHaveTheirOwnIndexesAndFacts) {
  VELKARO_REQUIRE_SANDBOX();
  EXPECT_EQ(Sandbox().ListReaders(),
            (std::vector<std::string>{kCl3700Contact, kCl3700Field, kCt200, kCt200Second, kCt110, kRf600}));

  ScopedContext context;
  ScopedCard first(context.Get(), kCt200, SCARD_SHARE_DIRECT);
  ScopedCard second(context.Get(), kCt200Second, SCARD_SHARE_DIRECT);
  ASSERT_EQ(first.Result(), SCARD_S_SUCCESS);
  ASSERT_EQ(second.Result(), SCARD_S_SUCCESS);
  EXPECT_EQ(first.Value(kFirmware), 123u);
  EXPECT_EQ(second.Value(kFirmware), 124u);
  LONG result = 0;
  EXPECT_EQ(Text(first.Attribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, result)), "CT200-004711");
  EXPECT_EQ(Text(second.Attribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, result)), "CT200-004712");
}

// The sandbox reads the reader's name as the driver does: the key in any
// case, the value whole after the first '=', a comment cut off.
TEST(SimDriverTest, AReaderNameWithAnEqualsSignReachesPcscdWhole) {
  VELKARO_REQUIRE_SANDBOX();
  auto& sandbox = Sandbox();
  sandbox.Stop();
  ASSERT_FALSE(sandbox.WriteReader("f_named.reader", "Name = VELKARO CT 200 a=b  # not x=y\nchannel = com\n"));
  ASSERT_EQ(sandbox.Start(), std::nullopt);
  const auto readers = sandbox.ListReaders();
  EXPECT_NE(std::find(readers.begin(), readers.end(), "VELKARO CT 200 a=b 05 00"), readers.end())
      << testing::PrintToString(readers);
  // Run in one process with the others, the test leaves the scenario as written.
  sandbox.Stop();
  std::filesystem::remove(sandbox.ScenarioDir() + "/f_named.reader");
  EXPECT_EQ(sandbox.Start(), std::nullopt);
}

TEST(SimDriverTest, ReaderFactsAnswerAsTheScenarioSays) {
  VELKARO_REQUIRE_SANDBOX();
  ScopedContext context;
  const auto channel = [&](const std::string& reader) -> std::optional<std::uint32_t> {
    ScopedCard card(context.Get(), reader, SCARD_SHARE_DIRECT);
    LONG result = 0;
    const Bytes value = card.Attribute(SCARD_ATTR_CHANNEL_ID, result);
    if (value.size() != 4) return std::nullopt;
    return value[0] | value[1] << 8 | value[2] << 16 | static_cast<std::uint32_t>(value[3]) << 24;
  };
  EXPECT_EQ(channel(kCt200), 0x00010003u);  // COM3
  EXPECT_EQ(channel(kCt110), 0x00010000u);  // COM without a number
  EXPECT_EQ(channel(kCt200Second), 0x00200000u);
  EXPECT_EQ(channel(kCl3700Contact), 0x00400000u);

  ScopedCard reader(context.Get(), kCt110, SCARD_SHARE_DIRECT);
  ASSERT_EQ(reader.Result(), SCARD_S_SUCCESS);
  EXPECT_EQ(reader.Value(kFirmware), 100u);  // not in the file: the default
  EXPECT_EQ(reader.Value(kLibrary), 100u);
  LONG result = 0;
  EXPECT_EQ(Text(reader.Attribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, result)), "12345678");
  reader.Control(3999, {}, result);
  EXPECT_EQ(result, SCARD_E_UNSUPPORTED_FEATURE);
}

TEST(SimDriverTest, ContactCardAnswersItsFacts) {
  VELKARO_REQUIRE_SANDBOX();
  ScopedContext context;
  ScopedCard card(context.Get(), kCt200, SCARD_SHARE_SHARED);
  ASSERT_EQ(card.Result(), SCARD_S_SUCCESS);
  EXPECT_EQ(card.Protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
  EXPECT_EQ(card.Atr(), (Bytes{0x3B, 0xDA, 0x18, 0xFF, 0x81, 0xB1, 0xFE, 0x75, 0x1F, 0x03, 0x00,
                               0x31, 0xC5, 0x73, 0xC0, 0x01, 0x40, 0x00, 0x90, 0x00, 0x0C}));
  EXPECT_EQ(card.Value(kClock), 3579545u);
  EXPECT_EQ(card.Value(kVoltage), 2u);
  EXPECT_EQ(card.Value(kTa1), 0x18u);  // TA1 of the ATR
  EXPECT_EQ(card.Value(kLibrary), 310u);

  LONG result = 0;
  card.Control(kContactless, {0x01, 0x00}, result, 16);
  EXPECT_NE(result, SCARD_S_SUCCESS) << "a contact card has no contactless facts";
  card.Control(kEscape, EscapeBlock({0xFA}), result);
  EXPECT_NE(result, SCARD_S_SUCCESS) << "a contact card has no identifier";

  EXPECT_EQ(card.Transmit({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}), (Bytes{0x6F, 0x04, 0x84, 0x02, 0x3F, 0x00, 0x90, 0x00}));
  EXPECT_EQ(card.Transmit({0x00, 0xB0, 0x00, 0x00, 0x10}), (Bytes{0x90, 0x00}));
}

TEST(SimDriverTest, ContactlessCardAnswersItsFacts) {
  VELKARO_REQUIRE_SANDBOX();
  ScopedContext context;
  ScopedCard card(context.Get(), kCl3700Field, SCARD_SHARE_SHARED);
  ASSERT_EQ(card.Result(), SCARD_S_SUCCESS);
  const Bytes atr = card.Atr();
  ASSERT_EQ(atr.size(), 20u);
  EXPECT_EQ(Bytes(atr.begin(), atr.begin() + 4), (Bytes{0x3B, 0x8F, 0x80, 0x01}));
  EXPECT_EQ(atr[12], 0x07) << "standard byte of ISO 14443 B";
  EXPECT_EQ(card.Value(kTa1), 0xFFu);

  LONG result = 0;
  const Bytes info = card.Control(kContactless, {0x01, 0x00}, result, 16);
  ASSERT_EQ(result, SCARD_S_SUCCESS);
  ASSERT_EQ(info.size(), 16u);
  EXPECT_EQ(info[7], 1);  // receive rate: 212 kbps
  EXPECT_EQ(info[8], 2);  // send rate: 424 kbps
  EXPECT_EQ(info[9], 6);  // ISO 14443 B part 2
  card.Control(kContactless, {0x02, 0x00}, result, 16);
  EXPECT_NE(result, SCARD_S_SUCCESS);

  EXPECT_EQ(card.Control(kEscape, EscapeBlock({0xFA}), result), (Bytes{0x5A, 0x3C, 0x01, 0x99}));
  EXPECT_EQ(card.Transmit({0xFF, 0xCA, 0x00, 0x00, 0x00}), (Bytes{0x5A, 0x3C, 0x01, 0x99, 0x90, 0x00}));
}

TEST(SimDriverTest, RegisterEscapeCommandsAnswerTheRecordsAsWritten) {
  VELKARO_REQUIRE_SANDBOX();
  ScopedContext context;
  ScopedCard reader(context.Get(), kCl3700Contact, SCARD_SHARE_DIRECT);  // no card in this slot
  ASSERT_EQ(reader.Result(), SCARD_S_SUCCESS);
  LONG result = 0;
  EXPECT_EQ(reader.Control(kEscape, EscapeBlock({0xE2}), result), Bytes{3});
  EXPECT_EQ(reader.Control(kEscape, EscapeBlock({0xE0, 0x01, 0x00, 0x00, 0x00, 0}), result),
            (Bytes{0x80, 0x04, 0x00, 0x11, 0x01, 0x22, 0x82, 0x02, 0x10, 0x3F}));
  EXPECT_EQ(reader.Control(kEscape, EscapeBlock({0xE0, 0x01, 0x00, 0x00, 0x00, 1}), result),
            (Bytes{0x81, 0x03, 0x05, 0x00, 0x07}));
  // Three antennas announced, two described: the third cannot be read.
  reader.Control(kEscape, EscapeBlock({0xE0, 0x01, 0x00, 0x00, 0x00, 2}), result);
  EXPECT_EQ(result, SCARD_E_NOT_TRANSACTED);

  ScopedCard contact(context.Get(), kCt200, SCARD_SHARE_DIRECT);
  contact.Control(kEscape, EscapeBlock({0xE2}), result);
  EXPECT_EQ(result, SCARD_E_UNSUPPORTED_FEATURE) << "a contact reader has no RFID registers";
}

TEST(SimDriverTest, FailingCodesAnswerAnErrorUntilTheyAreHealed) {
  VELKARO_REQUIRE_SANDBOX();
  ScopedContext context;
  ScopedCard card(context.Get(), kCt200, SCARD_SHARE_SHARED);
  ASSERT_EQ(card.Result(), SCARD_S_SUCCESS);

  RunSim({"fail", "b_ct200", "3042", "serial"});
  EXPECT_EQ(card.Value(kClock), std::nullopt);
  EXPECT_EQ(card.Value(kVoltage), 2u) << "only the named codes fail";
  LONG result = 0;
  card.Attribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, result);
  EXPECT_EQ(result, SCARD_E_NOT_TRANSACTED);

  RunSim({"unfail", "b_ct200"});
  EXPECT_EQ(card.Value(kClock), 3579545u);
}

TEST(SimDriverTest, MuteCardShowsPresentAndMuteAndRefusesASharedConnect) {
  VELKARO_REQUIRE_SANDBOX();
  auto& sandbox = Sandbox();
  const auto state = sandbox.WaitForState(kCt110, HasState(SCARD_STATE_PRESENT | SCARD_STATE_MUTE));
  ASSERT_TRUE(state);
  ScopedContext context;
  EXPECT_EQ(ScopedCard(context.Get(), kCt110, SCARD_SHARE_SHARED).Result(), SCARD_W_UNPOWERED_CARD);
  ScopedCard direct(context.Get(), kCt110, SCARD_SHARE_DIRECT);
  EXPECT_EQ(direct.Result(), SCARD_S_SUCCESS);
  EXPECT_EQ(direct.Value(kFirmware), 100u);
  EXPECT_EQ(direct.Value(kClock), std::nullopt) << "a mute card tells nothing";

  RunSim({"mute", "d_ct110", "no"});
  ASSERT_TRUE(sandbox.WaitForState(kCt110, [](DWORD s) { return (s & SCARD_STATE_PRESENT) && !(s & SCARD_STATE_MUTE); }));
  ScopedCard shared(context.Get(), kCt110, SCARD_SHARE_SHARED);
  EXPECT_EQ(shared.Result(), SCARD_S_SUCCESS);
  EXPECT_EQ(shared.Atr(), (Bytes{0x3B, 0x02, 0x14, 0x50}));
}

TEST(SimDriverTest, UnplugMakesTheReaderUnavailableAndReplugBringsItBack) {
  VELKARO_REQUIRE_SANDBOX();
  auto& sandbox = Sandbox();
  RunSim({"unplug", "b_ct200"});
  ASSERT_TRUE(sandbox.WaitForState(kCt200, HasState(SCARD_STATE_UNAVAILABLE)));
  EXPECT_EQ(sandbox.ListReaders().size(), 6u) << "pcscd keeps a reader.conf reader listed";
  ScopedContext context;
  EXPECT_NE(ScopedCard(context.Get(), kCt200, SCARD_SHARE_DIRECT).Result(), SCARD_S_SUCCESS);

  RunSim({"replug", "b_ct200"});
  ASSERT_TRUE(sandbox.WaitForState(kCt200, HasState(SCARD_STATE_PRESENT)));
  EXPECT_EQ(ScopedCard(context.Get(), kCt200, SCARD_SHARE_SHARED).Result(), SCARD_S_SUCCESS);
}

TEST(SimDriverTest, ReaderThatStartsUnpluggedAppearsWhenReplugged) {
  VELKARO_REQUIRE_SANDBOX();
  auto& sandbox = Sandbox();
  ASSERT_TRUE(sandbox.WaitForState(kRf600, HasState(SCARD_STATE_UNAVAILABLE)));
  RunSim({"replug", "VELKARO RF 600"});
  const auto state = sandbox.WaitForState(kRf600, HasState(SCARD_STATE_PRESENT));
  ASSERT_TRUE(state);
  EXPECT_FALSE(*state & SCARD_STATE_UNAVAILABLE);
}

TEST(SimDriverTest, InsertionRemovalAndSwapReachAWaitingClient) {
  VELKARO_REQUIRE_SANDBOX();
  auto& sandbox = Sandbox();
  RunSim({"remove", "b_ct200"});
  ASSERT_TRUE(sandbox.WaitForState(kCt200, HasState(SCARD_STATE_EMPTY)));
  RunSim({"insert", "b_ct200"});
  const auto inserted = sandbox.WaitForState(kCt200, HasState(SCARD_STATE_PRESENT));
  ASSERT_TRUE(inserted);

  // A swap in one step still shows a removal before the new card.
  const DWORD before = *inserted >> 16;
  RunSim({"swap", "b_ct200", "atr=3B 02 14 51"});
  const auto swapped = sandbox.WaitForState(
      kCt200, [&](DWORD s) { return (s & SCARD_STATE_PRESENT) && (s >> 16) >= before + 2; });
  ASSERT_TRUE(swapped);
  ScopedContext context;
  ScopedCard card(context.Get(), kCt200, SCARD_SHARE_SHARED);
  EXPECT_EQ(card.Atr(), (Bytes{0x3B, 0x02, 0x14, 0x51}));
}

TEST(SimDriverTest, InvalidScenarioKeepsTheReaderAsItWasAndIsLogged) {
  VELKARO_REQUIRE_SANDBOX();
  auto& sandbox = Sandbox();
  const std::string file = sandbox.ScenarioDir() + "/b_ct200.reader";
  auto document = velkaro::sim::ScenarioDocument::Load(file);
  ASSERT_TRUE(document);

  // velkaro-sim refuses the change and leaves the file alone.
  const auto refused = sandbox.Sim({"set", "b_ct200", "clock=fast"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.errors.find("clock: expected a number"), std::string::npos) << refused.errors;
  EXPECT_EQ(velkaro::sim::ScenarioDocument::Load(file)->Text(), document->Text());

  // Written by hand, the driver ignores it and says why in pcscd's log.
  document->SetReaderFact("firmware", "999");
  document->SetCardFact(0, "present", "maybe");
  ASSERT_FALSE(velkaro::sim::WriteFileAtomically(file, document->Text()));
  EXPECT_TRUE(LogMentions("b_ct200.reader:")) << sandbox.Log();
  EXPECT_TRUE(LogMentions(": present: expected yes or no, not 'maybe'")) << sandbox.Log();
  ScopedContext context;
  ScopedCard card(context.Get(), kCt200, SCARD_SHARE_SHARED);
  ASSERT_EQ(card.Result(), SCARD_S_SUCCESS);
  EXPECT_EQ(card.Value(kFirmware), 123u);

  document->SetCardFact(0, "present", "yes");
  ASSERT_FALSE(velkaro::sim::WriteFileAtomically(file, document->Text()));
  EXPECT_EQ(card.Value(kFirmware), 999u);
}

}  // namespace
