#include "reader/card_decoding.h"

#include <array>

#include "card/pcsc.h"
#include "platform/text.h"
#include "res/strings.h"

using velkaro::Format;

std::string ProtocolText(unsigned long activeProtocol) {
  switch (activeProtocol) {
    case 1: return "T=0";
    case 2: return "T=1";
    default: return res::kNotAvailable;
  }
}

std::string GetSyncCardType(const std::uint8_t* atr, std::size_t length) {
  if (!atr || length != 6) return {};
  struct SyncCard {
    std::array<std::uint8_t, 6> prefix;
    std::size_t compared;
    const char* type;
  };
  static constexpr SyncCard kSyncCards[] = {
      {{0x3B, 0x04, 0x49, 0x32, 0x43, 0x2E}, 6, "I2C"},  // 124
      {{0x3B, 0x04, 0xA2, 0x13, 0x10, 0x00}, 5, "2WBP"},  // 125
      {{0x3B, 0x04, 0x92, 0x23, 0x10, 0x00}, 5, "3WBP"},  // 126
  };
  std::string type;
  for (const SyncCard& card : kSyncCards) {
    if (std::equal(card.prefix.begin(), card.prefix.begin() + static_cast<long>(card.compared), atr)) {
      type = card.type;
    }
  }
  return type;
}

std::string ChannelText(std::uint32_t channelId) {
  const std::uint32_t type = channelId >> 16;
  const std::uint32_t number = channelId & 0xFFFF;
  switch (type) {
    case 0x01: return number ? Format("COM%ld", static_cast<long>(number)) : "COM";
    case 0x20: return "USB";
    case 0x40: return "PCMCIA";
    default: return res::kNotAvailable;
  }
}

std::string FrequencyText(std::uint32_t hertz) {
  if (hertz > 1000000) {
    // The fraction is hundredths: 4,050,000 Hz is "4.05", not "4.5". A whole
    // number keeps its one "0" ("4.0 MHz").
    const long hundredths = static_cast<long>((hertz % 1000000) / 10000);
    return Format(hundredths == 0 ? "%ld.%ld MHz" : "%ld.%02ld MHz", static_cast<long>(hertz / 1000000), hundredths);
  }
  if (hertz == 0) return res::kNotAvailable;
  return Format("%ld.%ld kHz", static_cast<long>(hertz / 1000), static_cast<long>((hertz % 1000) / 100));
}

std::optional<std::string> VoltageText(std::uint32_t voltageClass) {
  switch (voltageClass) {
    case 1: return "5V";
    case 2: return "3V";
    case 4: return "1.8V";
    default: return std::nullopt;
  }
}

// "0x%0.2X": the zero flag adds nothing to a precision, so it is left out.
std::string Ta1Text(std::uint32_t ta1) { return Format("0x%.2X", ta1); }

namespace {

struct CardKind {
  const char* protocol;
  const char* subProtocol;
};

constexpr CardKind kCardKinds[] = {
    {"T=CL", res::kNotAvailable}, {"ISO 14443A", "Part 1"}, {"ISO 14443A", "Part 2"}, {"ISO 14443A", "Part 3"},
    {"ISO 14443A", "T=CL"},       {"ISO 14443B", "Part 1"}, {"ISO 14443B", "Part 2"}, {"ISO 14443B", "Part 3"},
    {"ISO 14443B", "T=CL"},       {"ISO 15693", "Part 1"},  {"ISO 15693", "Part 2"},  {"ISO 15693", "Part 3"},
};
constexpr std::uint8_t kFirstVicinityKind = 9;  // ISO 15693 cards have rates of their own

constexpr const char* kIso14443Rates[] = {"106", "212", "424", "848"};
constexpr const char* kIso15693Rates[] = {"1,66", "26,48"};

template <std::size_t N>
std::string RateText(const char* const (&rates)[N], std::uint8_t index) {
  return index < N ? Format("%s kbps", rates[index]) : std::string(res::kNotAvailable);
}

}  // namespace

ContactlessCardInfo DecodeContactlessInfo(std::span<const std::uint8_t> answer) {
  ContactlessCardInfo info{res::kNotAvailable, res::kNotAvailable, res::kNotAvailable, res::kNotAvailable};
  if (answer.size() <= kContactlessKindByte) return info;
  const std::uint8_t receive = answer[kContactlessReceiveRateByte];
  const std::uint8_t send = answer[kContactlessSendRateByte];
  const std::uint8_t kind = answer[kContactlessKindByte];
  if (kind < kFirstVicinityKind) {
    info.receiveRate = RateText(kIso14443Rates, receive);
    info.sendRate = RateText(kIso14443Rates, send);
  } else {
    info.receiveRate = RateText(kIso15693Rates, send);
    info.sendRate = info.receiveRate;
  }
  if (kind < std::size(kCardKinds)) {
    info.protocol = kCardKinds[kind].protocol;
    info.subProtocol = kCardKinds[kind].subProtocol;
  }
  return info;
}

bool IsContactlessAtr(std::span<const std::uint8_t> atr) {
  return atr.size() >= 4 && atr[0] == 0x3B && (atr[1] & 0x80) != 0 && atr[2] == 0x80 && atr[3] == 0x01;
}
