#pragma once
// The RFID registers of a contactless reader as text: one block per antenna,
// one line per card-type record with its (address, value) pairs, six pairs to
// a line. The same text goes into the register view and into the log.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct CardTypeName {
  std::uint16_t type;
  const char* name;
};

// Register group types, as the reader tags its records.
inline constexpr std::array<CardTypeName, 4> g_aCardTypeNames = {{
    {0x80, "ISO14443A"},
    {0x81, "ISO14443B"},
    {0x82, "ISO15693"},
    {0x83, "Zentra"},
}};

// The longest group name: record lines are padded to it.
constexpr std::size_t RegisterNameWidth() {
  std::size_t width = 0;
  for (const CardTypeName& entry : g_aCardTypeNames) {
    width = std::max(width, std::string_view(entry.name).size());
  }
  return width;
}

// The bytes one antenna returned; a reader never gets to return more.
inline constexpr std::size_t kAntennaBufferSize = 256;
struct CAntennaBuffer {
  std::array<std::uint8_t, kAntennaBufferSize> data{};
  std::size_t length = 0;
};

// The antenna count is one byte: every antenna it can name is read.
inline constexpr unsigned kMaxAntennas = 255;

// The notices of the register view.
inline constexpr char kNoRfidRegisters[] = "This reader does not support any RFID registers";
inline constexpr char kConnectingFailed[] = "Connecting to card failed!";
inline constexpr char kNoAntenna[] = "This reader has no antenna";
inline constexpr char kRegisterReadFailed[] = "Error while trying to read register entries!";

// The dump text, lines ended by CR LF. An antenna's records stop at the
// first unknown type, odd length or record that runs past the bytes read.
std::string FormatDump(std::span<const CAntennaBuffer> antennas);
