#pragma once
// Small PC/SC helpers for the tests that talk to the simulated driver.

#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

inline DWORD ControlCode(DWORD function) { return SCARD_CTL_CODE(function); }

// A card connection, disconnected (leaving the card) by its owner.
class ScopedCard {
 public:
  ScopedCard(SCARDCONTEXT context, const std::string& reader, DWORD shareMode,
             DWORD protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
      : m_result(SCardConnect(context, reader.c_str(), shareMode, shareMode == SCARD_SHARE_DIRECT ? 0 : protocols,
                              &m_card, &m_protocol)) {}
  ~ScopedCard() {
    if (m_result == SCARD_S_SUCCESS) SCardDisconnect(m_card, SCARD_LEAVE_CARD);
  }
  ScopedCard(const ScopedCard&) = delete;
  ScopedCard& operator=(const ScopedCard&) = delete;

  LONG Result() const { return m_result; }
  SCARDHANDLE Get() const { return m_card; }
  DWORD Protocol() const { return m_protocol; }

  // The answer to a control code; the PC/SC error as `result`.
  Bytes Control(DWORD function, const Bytes& input, LONG& result, DWORD outputSize = 256) const {
    Bytes output(outputSize);
    DWORD returned = 0;
    result = SCardControl(m_card, ControlCode(function), input.empty() ? nullptr : input.data(),
                          static_cast<DWORD>(input.size()), output.data(), outputSize, &returned);
    output.resize(result == SCARD_S_SUCCESS ? returned : 0);
    return output;
  }

  // A 4-byte answer as the driver's 32-bit value; nothing on an error.
  std::optional<std::uint32_t> Value(DWORD function) const {
    LONG result = 0;
    const Bytes answer = Control(function, {}, result, 4);
    if (result != SCARD_S_SUCCESS || answer.size() != 4) return std::nullopt;
    std::uint32_t value = 0;
    std::copy(answer.begin(), answer.end(), reinterpret_cast<std::uint8_t*>(&value));
    return value;
  }

  Bytes Attribute(DWORD attribute, LONG& result) const {
    Bytes buffer(256);
    DWORD length = static_cast<DWORD>(buffer.size());
    result = SCardGetAttrib(m_card, attribute, buffer.data(), &length);
    buffer.resize(result == SCARD_S_SUCCESS ? length : 0);
    return buffer;
  }

  Bytes Atr() const {
    Bytes atr(MAX_ATR_SIZE);
    DWORD length = static_cast<DWORD>(atr.size());
    DWORD state = 0, protocol = 0;
    if (SCardStatus(m_card, nullptr, nullptr, &state, &protocol, atr.data(), &length) != SCARD_S_SUCCESS) return {};
    atr.resize(length);
    return atr;
  }

  Bytes Transmit(const Bytes& apdu) const {
    Bytes response(258);
    DWORD length = static_cast<DWORD>(response.size());
    const SCARD_IO_REQUEST* pci = m_protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    if (SCardTransmit(m_card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response.data(), &length) !=
        SCARD_S_SUCCESS)
      return {};
    response.resize(length);
    return response;
  }

 private:
  SCARDHANDLE m_card = 0;
  DWORD m_protocol = 0;
  LONG m_result;
};

// The escape command block the tool sends: 519 bytes, zero but for the given ones.
inline Bytes EscapeBlock(std::initializer_list<std::uint8_t> head) {
  Bytes block(519, 0);
  std::copy(head.begin(), head.end(), block.begin());
  return block;
}

}  // namespace testing_support
