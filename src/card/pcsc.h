#pragma once
// PC/SC values the tool uses, and the reader driver's vendor control codes.
// Types come from pcsc-lite's own headers (DWORD is unsigned long there).

#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <array>
#include <cstdint>

// Every 4-byte driver answer is an unsigned 32-bit value in host byte order.
using DriverValue = std::uint32_t;

// Monitor threads wait for the next change without a time-out: a stop
// cancels the wait, and a change pcsc-lite's client misses (one that comes
// while it sets up its wait, or a swap under event counter 0) is found by the
// one counter watch for all readers within a second.
inline constexpr DWORD kStatusChangeTimeoutMs = INFINITE;
// How long a reader tab waits for the driver's reader facts before it shows
// "n/a" for those that have not come (a late answer still fills them in).
inline constexpr int kReaderFactsDeadlineMs = 3000;
inline constexpr DWORD kEnumerationTimeoutMs = 0;      // reader enumeration
inline constexpr SCARDHANDLE kNoCard = -1;
inline constexpr SCARDCONTEXT kNoContext = -1;

// Vendor control codes: the function numbers of the reader driver, sent as
// SCARD_CTL_CODE(n).
enum VendorFunction : DWORD {
  kCtlFirmwareVersion = 3001,   // 4 bytes: firmware version x 100
  kCtlLibraryVersion = 3041,    // 4 bytes: driver library version x 100
  kCtlClockFrequency = 3042,    // 4 bytes: card clock in Hz
  kCtlTa1InUse = 3043,          // 4 bytes: TA1 in use, 0xFF for a contactless card
  kCtlVoltageClass = 3056,      // 4 bytes: 1 = 5V, 2 = 3V, 4 = 1.8V
  kCtlEscape = 3105,            // 519-byte command block in, up to 256 bytes out
  kCtlContactlessInfo = 3215,   // 01 00 in, 16 bytes out: rates and card kind
};

inline constexpr DWORD VendorControlCode(VendorFunction function) { return SCARD_CTL_CODE(function); }

// The escape command block and its commands.
inline constexpr std::size_t kEscapeCommandSize = 519;
inline constexpr std::size_t kEscapeAnswerSize = 256;
inline constexpr std::uint8_t kEscapeCardIdentifier = 0xFA;
inline constexpr std::uint8_t kEscapeRegisterInfo = 0xE2;
inline constexpr std::uint8_t kEscapeRegisterRead = 0xE0;

// Answer of the contactless information query.
inline constexpr std::size_t kContactlessInfoSize = 16;
inline constexpr std::array<std::uint8_t, 2> kContactlessInfoCommand = {0x01, 0x00};
inline constexpr std::size_t kContactlessReceiveRateByte = 7;
inline constexpr std::size_t kContactlessSendRateByte = 8;
inline constexpr std::size_t kContactlessKindByte = 9;

inline constexpr DriverValue kTa1Contactless = 0xFF;
