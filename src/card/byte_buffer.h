#pragma once
// A run of bytes from a reader (an ATR, a driver answer) with its
// hexadecimal text form.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

class CByteBuffer {
 public:
  CByteBuffer() = default;

  // The buffer afterwards holds exactly these bytes.
  void Assign(const std::uint8_t* bytes, std::size_t count);
  void Assign(std::span<const std::uint8_t> bytes) { Assign(bytes.data(), bytes.size()); }

  // "3b 8f 80": two lower-case digits a byte, one space between bytes.
  std::string ToHex() const;

  void RemoveAll() { m_bytes = {}; }
  std::size_t GetSize() const { return m_bytes.size(); }
  const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<std::uint8_t> m_bytes;
};

// The upper-case text form the pages show and compare: "3B 8F 80".
std::string HexText(std::span<const std::uint8_t> bytes);
