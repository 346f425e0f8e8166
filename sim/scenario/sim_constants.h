#pragma once
// Numbers the simulated driver shares with the tool that talks to it: vendor
// control functions, escape commands, attribute ids, channel types, and the
// limits of what a scenario may describe. They are a copy of the tool's on
// purpose, as the vendor's driver has its own; driver_agreement_test.cpp
// proves they agree.

#include <cstddef>
#include <cstdint>

namespace velkaro::sim {

// pcsc-lite's SCARD_CTL_CODE(n) is this base plus n; the driver sees the sum.
inline constexpr std::uint32_t kControlCodeBase = 0x42000000;

enum VendorFunction : std::uint32_t {
  kFirmwareVersion = 3001,  // 4 bytes: firmware version x 100
  kLibraryVersion = 3041,   // 4 bytes: driver library version x 100
  kClockFrequency = 3042,   // 4 bytes: card clock in Hz
  kTa1InUse = 3043,         // 4 bytes: TA1 in use, 0xFF for a contactless card
  kVoltageClass = 3056,     // 4 bytes: 1 = 5V, 2 = 3V, 4 = 1.8V
  kEscape = 3105,           // command block in (first byte the command), up to 256 bytes out
  kContactlessInfo = 3215,  // 01 00 in, 16 bytes out: rates and card kind
};

// Escape commands (first byte of the 3105 command block).
inline constexpr std::uint8_t kEscapeCardIdentifier = 0xFA;
inline constexpr std::uint8_t kEscapeAntennaCount = 0xE2;
inline constexpr std::uint8_t kEscapeRegisterRead = 0xE0;
// Bytes 1..4 of a register read: the number 1, least significant byte first;
// byte 5: the antenna.
inline constexpr std::size_t kRegisterReadAntennaByte = 5;
inline constexpr std::size_t kEscapeAnswerMax = 256;

// The contactless information answer.
inline constexpr std::size_t kContactlessInfoSize = 16;
inline constexpr std::size_t kReceiveRateByte = 7;
inline constexpr std::size_t kSendRateByte = 8;
inline constexpr std::size_t kCardKindByte = 9;

// PC/SC attribute ids (pcsc-lite's reader.h values, repeated so that the
// scenario library does not need pcsc-lite's headers).
inline constexpr std::uint32_t kAttrVendorName = 0x00010100;
inline constexpr std::uint32_t kAttrVendorIfdVersion = 0x00010102;
inline constexpr std::uint32_t kAttrVendorIfdSerialNo = 0x00010103;
inline constexpr std::uint32_t kAttrChannelId = 0x00020110;
inline constexpr std::uint32_t kAttrAtrString = 0x00090303;

// Channel id: type in the upper 16 bits, number in the lower.
inline constexpr std::uint32_t kChannelSerial = 0x01;
inline constexpr std::uint32_t kChannelUsb = 0x20;
inline constexpr std::uint32_t kChannelPcmcia = 0x40;

inline constexpr unsigned kMaxSlots = 4;
inline constexpr std::size_t kMaxAtrSize = 33;
inline constexpr std::size_t kMaxUidSize = 32;
inline constexpr std::size_t kMaxAntennas = 255;

// Contactless card kinds (byte 9 of the contactless information answer).
inline constexpr std::uint8_t kKindIso14443ATcl = 4;
inline constexpr std::uint8_t kKindIso14443BTcl = 8;
inline constexpr std::uint8_t kKindIso15693Part1 = 9;
inline constexpr std::uint8_t kKindIso15693Part3 = 11;
inline constexpr std::uint8_t kKindNone = 12;  // no ISO kind: proximity cards

// Rate indexes: 106, 212, 424, 848 kbps.
inline constexpr std::uint8_t kHighestRate = 3;

}  // namespace velkaro::sim
