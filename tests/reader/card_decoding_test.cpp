#include "reader/card_decoding.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "reader/card_steps.h"

TEST(CardDecodingTest, ClockFrequency) {
  const struct {
    std::uint32_t hertz;
    const char* text;
  } cases[] = {
      {4000000, "4.0 MHz"},       {3579545, "3.57 MHz"},
      {4050000, "4.05 MHz"},      {3031858, "3.03 MHz"},  // hundredths keep their leading zero
      {4100000, "4.10 MHz"},      {1010000, "1.01 MHz"},
      {13560000, "13.56 MHz"},    {0xFFFFFFFF, "4294.96 MHz"},
      {1000000, "1000.0 kHz"},  // only above 1 MHz is shown in MHz
      {500000, "500.0 kHz"},      {999, "0.9 kHz"},
      {0, "n/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(FrequencyText(c.hertz), c.text) << c.hertz;
}

TEST(CardDecodingTest, ChannelId) {
  EXPECT_EQ(ChannelText(0x00010003), "COM3");
  EXPECT_EQ(ChannelText(0x00010000), "COM");
  EXPECT_EQ(ChannelText(0x0001FFFF), "COM65535");
  EXPECT_EQ(ChannelText(0x00200000), "USB");
  EXPECT_EQ(ChannelText(0x00200007), "USB");
  EXPECT_EQ(ChannelText(0x00400001), "PCMCIA");
  EXPECT_EQ(ChannelText(0x00100000), "n/a");
  EXPECT_EQ(ChannelText(0), "n/a");
}

TEST(CardDecodingTest, VoltageProtocolAndTa1) {
  EXPECT_EQ(VoltageText(1), "5V");
  EXPECT_EQ(VoltageText(2), "3V");
  EXPECT_EQ(VoltageText(4), "1.8V");
  EXPECT_EQ(VoltageText(3), std::nullopt);
  EXPECT_EQ(VoltageText(0), std::nullopt);
  EXPECT_EQ(ProtocolText(1), "T=0");
  EXPECT_EQ(ProtocolText(2), "T=1");
  EXPECT_EQ(ProtocolText(3), "n/a");
  EXPECT_EQ(Ta1Text(0x11), "0x11");
  EXPECT_EQ(Ta1Text(0x5), "0x05");
  EXPECT_EQ(Ta1Text(0x1FF), "0x1FF");
}

namespace {

std::vector<std::uint8_t> ContactlessAnswer(std::uint8_t receive, std::uint8_t send, std::uint8_t kind) {
  std::vector<std::uint8_t> answer(16, 0);
  answer[7] = receive;
  answer[8] = send;
  answer[9] = kind;
  return answer;
}

}  // namespace

TEST(CardDecodingTest, ContactlessKindsAndRates) {
  auto info = DecodeContactlessInfo(ContactlessAnswer(1, 2, 6));
  EXPECT_EQ(info.protocol, "ISO 14443B");
  EXPECT_EQ(info.subProtocol, "Part 2");
  EXPECT_EQ(info.receiveRate, "212 kbps");
  EXPECT_EQ(info.sendRate, "424 kbps");

  info = DecodeContactlessInfo(ContactlessAnswer(0, 3, 0));
  EXPECT_EQ(info.protocol, "T=CL");
  EXPECT_EQ(info.subProtocol, "n/a");
  EXPECT_EQ(info.receiveRate, "106 kbps");
  EXPECT_EQ(info.sendRate, "848 kbps");

  info = DecodeContactlessInfo(ContactlessAnswer(4, 9, 4));
  EXPECT_EQ(info.protocol, "ISO 14443A");
  EXPECT_EQ(info.subProtocol, "T=CL");
  EXPECT_EQ(info.receiveRate, "n/a");
  EXPECT_EQ(info.sendRate, "n/a");

  // Vicinity cards take both rates from the send byte.
  info = DecodeContactlessInfo(ContactlessAnswer(0, 1, 11));
  EXPECT_EQ(info.protocol, "ISO 15693");
  EXPECT_EQ(info.subProtocol, "Part 3");
  EXPECT_EQ(info.receiveRate, "26,48 kbps");
  EXPECT_EQ(info.sendRate, "26,48 kbps");
  info = DecodeContactlessInfo(ContactlessAnswer(1, 0, 9));
  EXPECT_EQ(info.receiveRate, "1,66 kbps");

  info = DecodeContactlessInfo(ContactlessAnswer(0, 0, 12));
  EXPECT_EQ(info.protocol, "n/a");
  EXPECT_EQ(info.subProtocol, "n/a");
  EXPECT_EQ(info.receiveRate, "1,66 kbps");
}

TEST(CardDecodingTest, ShortContactlessAnswerIsNotRead) {
  const std::vector<std::uint8_t> shortAnswer(9, 1);
  const auto info = DecodeContactlessInfo(shortAnswer);
  EXPECT_EQ(info.protocol, "n/a");
  EXPECT_EQ(info.receiveRate, "n/a");
  EXPECT_EQ(DecodeContactlessInfo({}).sendRate, "n/a");
}

TEST(CardDecodingTest, SynchronousCardsByAtr) {
  const std::uint8_t i2c[] = {0x3B, 0x04, 0x49, 0x32, 0x43, 0x2E};
  const std::uint8_t twoWire[] = {0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91};
  const std::uint8_t threeWire[] = {0x3B, 0x04, 0x92, 0x23, 0x10, 0x91};
  const std::uint8_t longer[] = {0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91, 0x00};
  EXPECT_EQ(GetSyncCardType(i2c, 6), "I2C");
  EXPECT_EQ(GetSyncCardType(twoWire, 6), "2WBP");
  EXPECT_EQ(GetSyncCardType(threeWire, 6), "3WBP");
  EXPECT_EQ(GetSyncCardType(longer, 7), "");
  EXPECT_EQ(GetSyncCardType(i2c, 5), "");
  EXPECT_EQ(GetSyncCardType(nullptr, 6), "");
}

TEST(CardDecodingTest, ContactlessAtrForm) {
  const std::vector<std::uint8_t> contactless = {0x3B, 0x8F, 0x80, 0x01, 0x80};
  EXPECT_TRUE(IsContactlessAtr(contactless));
  EXPECT_TRUE(IsContactlessAtr(std::vector<std::uint8_t>{0x3B, 0x80, 0x80, 0x01}));
  EXPECT_FALSE(IsContactlessAtr(std::vector<std::uint8_t>{0x3B, 0x7F, 0x80, 0x01}));
  EXPECT_FALSE(IsContactlessAtr(std::vector<std::uint8_t>{0x3B, 0x8F, 0x80}));
  EXPECT_FALSE(IsContactlessAtr(std::vector<std::uint8_t>{0x3F, 0x8F, 0x80, 0x01}));
}

// Which "n/a" texts a driver that is not the vendor's explains: only when it
// answered no vendor request at all, only texts it would have filled in (not
// the CT-API library's port, not a known value), and the card's values only
// while a connected card is shown.
TEST(CardDecodingTest, DriverNotesOnlyWhereNoVendorRequestWasAnswered) {
  using card_steps::VendorAnswers;
  using namespace std::chrono_literals;
  CReaderFields facts;  // the reader's facts unknown, the port known, no card
  facts.m_strFirmware = facts.m_strLibrary = facts.m_strSerialNumber = facts.m_strFrequency = "n/a";
  facts.m_strPort = "COM3";
  facts.m_strCtApiPort = "n/a";
  CReaderFields card = facts;
  card.m_strATR = "3B 02 14 50";
  const std::string refused = kDriverRefusesVendorRequests;
  const std::string late = "The reader's driver did not answer within 0.3 s, so this value is not known";
  const struct {
    const char* what;
    VendorAnswers answers;
    const CReaderFields& shown;
    std::chrono::milliseconds deadline;
    std::string facts, frequency;  // the expected notes
  } cases[] = {
      {"nothing heard yet", VendorAnswers::kNoneYet, card, 3s, "", ""},
      {"answered", VendorAnswers::kAnswered, card, 3s, "", ""},
      {"refused, no card", VendorAnswers::kRefused, facts, 3s, refused, ""},
      {"refused, card shown", VendorAnswers::kRefused, card, 3s, refused, refused},
      {"not in time", VendorAnswers::kNotInTime, card, 300ms, late, late},
      {"not in time, whole seconds", VendorAnswers::kNotInTime, facts, 3s,
       "The reader's driver did not answer within 3 s, so this value is not known", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CReaderFields notes = card_steps::DriverNotes(c.shown, c.answers, c.deadline);
    EXPECT_EQ(notes.m_strFirmware, c.facts);
    EXPECT_EQ(notes.m_strSerialNumber, c.facts);
    EXPECT_EQ(notes.m_strFrequency, c.frequency);
    EXPECT_EQ(notes.m_strPort, "");
    EXPECT_EQ(notes.m_strCtApiPort, "");
  }
}
