#pragma once
// Turning what the reader driver answers about an inserted card into the
// texts the reader pages show. Plain functions, so they are tested without
// a window.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Card status lines.
inline constexpr char kCardInserted[] = "Smart card inserted";           // 108
inline constexpr char kCardNotInserted[] = "No smart card inserted";     // 107
inline constexpr char kCardMute[] = "The smart card is not responding to a reset";

// Tooltips of the "n/a" texts of a reader whose driver is not the vendor's.
inline constexpr char kDriverRefusesVendorRequests[] =
    "The reader's driver does not answer the vendor's requests, so it does not tell this value";
// %s: the seconds waited, e.g. "3" or "0.5".
inline constexpr char kDriverDidNotAnswerWithin[] =
    "The reader's driver did not answer within %s s, so this value is not known";

// "T=0" for protocol 1, "T=1" for 2, "n/a" otherwise.
std::string ProtocolText(unsigned long activeProtocol);

// "I2C", "2WBP" or "3WBP" for the ATRs of synchronous memory cards, empty
// otherwise.
std::string GetSyncCardType(const std::uint8_t* atr, std::size_t length);

// Channel id: type in the high 16 bits, number in the low 16.
// 0x01: "COM<n>" ("COM" for 0), 0x20: "USB", 0x40: "PCMCIA", else "n/a".
std::string ChannelText(std::uint32_t channelId);

// Clock in Hz: "4.0 MHz", "3.57 MHz", "500.0 kHz", "n/a" for 0.
std::string FrequencyText(std::uint32_t hertz);

// Voltage class 1, 2, 4 gives "5V", "3V", "1.8V"; other values give nothing
// (the shown text stays as it was).
std::optional<std::string> VoltageText(std::uint32_t voltageClass);

// "0x%0.2X" of the TA1 value.
std::string Ta1Text(std::uint32_t ta1);

// The 16-byte answer of the contactless information query, decoded.
struct ContactlessCardInfo {
  std::string protocol;     // card technology, e.g. "ISO 14443B"
  std::string subProtocol;  // e.g. "Part 2"
  std::string receiveRate;  // card to reader ("PICCtoPCD:")
  std::string sendRate;     // reader to card ("PCDtoPICC:")
};
// Bytes 7 (receive rate), 8 (send rate) and 9 (card kind) are read; an answer
// too short for them gives "n/a" everywhere.
ContactlessCardInfo DecodeContactlessInfo(std::span<const std::uint8_t> answer);

// Whether an ATR has the contactless form 3B 8x 80 01 ...
bool IsContactlessAtr(std::span<const std::uint8_t> atr);
