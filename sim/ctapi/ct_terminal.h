#pragma once
// One CT-API terminal: the PC/SC reader at a port (port n = the n-th reader
// pcsc-lite lists, from 1) and the card connection the CT-BCS commands open.
//
// Commands to the terminal (destination address 1), class 20:
//   FF 00 00 00  the reader's PC/SC name, then 90 00
//   12 REQUEST ICC  P2 low nibble: 0 no data, 1 the ATR, 2 its historical bytes;
//                   90 01 (90 00 for a synchronous card), 62 00 no card,
//                   62 01 already activated, 64 00 the card does not answer
//   11 RESET CT     P1 0: the terminal (the card is deactivated), 90 00;
//                   P1 1: the card, answered like REQUEST ICC
//   13 GET STATUS   P2 80: 00 no card, 01 card present, 05 card activated; 90 00
//   15 EJECT ICC    deactivates the card; 90 00
// Anything sent to the card (destination address 0) goes to it as an APDU; a
// card that was not requested first is activated on the way.

#include <PCSC/winscard.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velkaro::ctapi {

using Bytes = std::vector<std::uint8_t>;

class CtTerminal {
 public:
  // Nothing when PC/SC cannot be reached or no reader has that port.
  static std::unique_ptr<CtTerminal> Open(std::uint16_t port);
  ~CtTerminal();
  CtTerminal(const CtTerminal&) = delete;
  CtTerminal& operator=(const CtTerminal&) = delete;

  // The terminal's answer (with its status word).
  Bytes Command(std::span<const std::uint8_t> command);
  // The card's answer; nothing when no card can be reached.
  std::optional<Bytes> CardApdu(std::span<const std::uint8_t> apdu);

 private:
  CtTerminal(SCARDCONTEXT context, std::string reader) : m_context(context), m_reader(std::move(reader)) {}

  Bytes RequestCard(std::uint8_t p2, bool reset);
  Bytes Status();
  void Release(DWORD disposition);
  // 0 connected, otherwise the PC/SC error.
  LONG Connect();

  SCARDCONTEXT m_context;
  std::string m_reader;
  SCARDHANDLE m_card = 0;
  DWORD m_protocol = 0;
  bool m_connected = false;
};

}  // namespace velkaro::ctapi
