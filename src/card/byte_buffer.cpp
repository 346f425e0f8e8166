#include "card/byte_buffer.h"

#include "platform/text.h"

void CByteBuffer::Assign(const std::uint8_t* bytes, std::size_t count) {
  m_bytes.clear();
  if (bytes && count) m_bytes.assign(bytes, bytes + count);
}

std::string CByteBuffer::ToHex() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(m_bytes.empty() ? 0 : m_bytes.size() * 3 - 1);
  for (std::size_t i = 0; i < m_bytes.size(); ++i) {
    if (i) text += ' ';
    text += kDigits[m_bytes[i] >> 4];
    text += kDigits[m_bytes[i] & 0x0F];
  }
  return text;
}

std::string HexText(std::span<const std::uint8_t> bytes) {
  CByteBuffer buffer;
  buffer.Assign(bytes);
  return velkaro::ToUpper(buffer.ToHex());
}
