#include "ctapi/ct_terminal.h"

#include <PCSC/reader.h>

#include <array>

namespace velkaro::ctapi {

namespace {

constexpr std::uint8_t kClassBcs = 0x20;
constexpr std::uint8_t kInsResetCt = 0x11;
constexpr std::uint8_t kInsRequestIcc = 0x12;
constexpr std::uint8_t kInsGetStatus = 0x13;
constexpr std::uint8_t kInsEjectIcc = 0x15;
constexpr std::uint8_t kInsTerminalName = 0xFF;

constexpr std::uint8_t kStatusNoCard = 0x00;
constexpr std::uint8_t kStatusCard = 0x01;
constexpr std::uint8_t kStatusCardActivated = 0x05;
constexpr std::uint8_t kStatusObjectIcc = 0x80;

Bytes Sw(std::uint16_t sw) { return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}; }

Bytes With(Bytes data, std::uint16_t sw) {
  const Bytes tail = Sw(sw);
  data.insert(data.end(), tail.begin(), tail.end());
  return data;
}

// The historical bytes of an ATR: after T0 and the interface bytes, without TCK.
Bytes HistoricalBytes(const Bytes& atr) {
  if (atr.size() < 2) return {};
  const std::size_t count = atr[1] & 0x0F;
  std::size_t at = 1;
  std::uint8_t indicator = atr[1];
  for (;;) {
    const int interfaceBytes = __builtin_popcount(indicator & 0xF0);
    const bool more = indicator & 0x80;
    at += static_cast<std::size_t>(interfaceBytes);
    if (!more || at >= atr.size()) break;
    indicator = atr[at];
  }
  const std::size_t first = at + 1;
  if (first + count > atr.size()) return {};
  return Bytes(atr.begin() + static_cast<std::ptrdiff_t>(first), atr.begin() + static_cast<std::ptrdiff_t>(first + count));
}

// Synchronous memory cards answer the reset with these 6-byte ATR forms.
bool IsSynchronousAtr(const Bytes& atr) {
  static constexpr std::array<std::array<std::uint8_t, 5>, 3> kPrefixes = {
      {{0x3B, 0x04, 0x49, 0x32, 0x43}, {0x3B, 0x04, 0xA2, 0x13, 0x10}, {0x3B, 0x04, 0x92, 0x23, 0x10}}};
  if (atr.size() != 6) return false;
  for (const auto& prefix : kPrefixes)
    if (std::equal(prefix.begin(), prefix.end(), atr.begin())) return true;
  return false;
}

}  // namespace

std::unique_ptr<CtTerminal> CtTerminal::Open(std::uint16_t port) {
  if (port == 0) return nullptr;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return nullptr;
  DWORD length = 0;
  std::string names;
  if (SCardListReaders(context, nullptr, nullptr, &length) == SCARD_S_SUCCESS && length > 0) {
    names.resize(length);
    if (SCardListReaders(context, nullptr, names.data(), &length) != SCARD_S_SUCCESS) names.clear();
  }
  std::uint16_t index = 0;
  for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
    const std::string name(names.c_str() + at);
    if (++index == port) return std::unique_ptr<CtTerminal>(new CtTerminal(context, name));
    at += name.size() + 1;
  }
  SCardReleaseContext(context);
  return nullptr;
}

CtTerminal::~CtTerminal() {
  Release(SCARD_LEAVE_CARD);
  SCardReleaseContext(m_context);
}

void CtTerminal::Release(DWORD disposition) {
  if (m_connected) SCardDisconnect(m_card, disposition);
  m_connected = false;
  m_card = 0;
}

LONG CtTerminal::Connect() {
  if (m_connected) return SCARD_S_SUCCESS;
  const LONG result = SCardConnect(m_context, m_reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                   &m_card, &m_protocol);
  m_connected = result == SCARD_S_SUCCESS;
  return result;
}

Bytes CtTerminal::RequestCard(std::uint8_t p2, bool reset) {
  if (m_connected && !reset) return Sw(0x6201);
  LONG result;
  if (m_connected) {
    result = SCardReconnect(m_card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_RESET_CARD,
                            &m_protocol);
    if (result != SCARD_S_SUCCESS) Release(SCARD_LEAVE_CARD);
  } else {
    result = Connect();
  }
  if (result == SCARD_E_NO_SMARTCARD) return Sw(reset ? 0x6400 : 0x6200);
  if (result != SCARD_S_SUCCESS) return Sw(0x6400);

  Bytes atr(MAX_ATR_SIZE);
  DWORD atrLength = static_cast<DWORD>(atr.size());
  DWORD state = 0;
  DWORD protocol = 0;
  if (SCardStatus(m_card, nullptr, nullptr, &state, &protocol, atr.data(), &atrLength) != SCARD_S_SUCCESS) atrLength = 0;
  atr.resize(atrLength);
  const std::uint16_t sw = IsSynchronousAtr(atr) ? 0x9000 : 0x9001;
  switch (p2 & 0x0F) {
    case 0x01: return With(atr, sw);
    case 0x02: return With(HistoricalBytes(atr), sw);
    default: return Sw(sw);
  }
}

Bytes CtTerminal::Status() {
  SCARD_READERSTATE state{};
  state.szReader = m_reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  std::uint8_t status = kStatusNoCard;
  if (SCardGetStatusChange(m_context, 0, &state, 1) == SCARD_S_SUCCESS && (state.dwEventState & SCARD_STATE_PRESENT))
    status = m_connected ? kStatusCardActivated : kStatusCard;
  return With({status}, 0x9000);
}

Bytes CtTerminal::Command(std::span<const std::uint8_t> command) {
  if (command.size() < 4) return Sw(0x6700);
  if (command[0] != kClassBcs) return Sw(0x6E00);
  const std::uint8_t p1 = command[2];
  const std::uint8_t p2 = command[3];
  switch (command[1]) {
    case kInsTerminalName:
      return With(Bytes(m_reader.begin(), m_reader.end()), 0x9000);
    case kInsRequestIcc:
      return RequestCard(p2, false);
    case kInsResetCt:
      if (p1 == 0x00) {
        Release(SCARD_RESET_CARD);
        return Sw(0x9000);
      }
      return RequestCard(p2, true);
    case kInsGetStatus:
      if (p2 != kStatusObjectIcc) return Sw(0x6A00);
      return Status();
    case kInsEjectIcc:
      Release(SCARD_UNPOWER_CARD);
      return Sw(0x9000);
    default:
      return Sw(0x6D00);
  }
}

std::optional<Bytes> CtTerminal::CardApdu(std::span<const std::uint8_t> apdu) {
  if (Connect() != SCARD_S_SUCCESS) return std::nullopt;
  const SCARD_IO_REQUEST* pci = m_protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  Bytes response(MAX_BUFFER_SIZE_EXTENDED);
  DWORD length = static_cast<DWORD>(response.size());
  if (SCardTransmit(m_card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response.data(), &length) !=
      SCARD_S_SUCCESS)
    return std::nullopt;
  response.resize(length);
  return response;
}

}  // namespace velkaro::ctapi
