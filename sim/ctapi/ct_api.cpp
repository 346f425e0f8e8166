// libzelbric: the CT-API entry points over PC/SC.

#include <map>
#include <memory>
#include <mutex>

#include "ctapi/ct_terminal.h"

namespace {

using velkaro::ctapi::Bytes;
using velkaro::ctapi::CtTerminal;

// CT-API results.
constexpr std::int8_t kOk = 0;
constexpr std::int8_t kErrInvalid = -1;
constexpr std::int8_t kErrCt = -8;
constexpr std::int8_t kErrTrans = -10;
constexpr std::int8_t kErrMemory = -11;

constexpr std::uint8_t kAddressIcc = 0;
constexpr std::uint8_t kAddressTerminal = 1;
constexpr std::uint8_t kAddressHost = 2;

std::mutex g_mutex;
std::map<std::uint16_t, std::unique_ptr<CtTerminal>> g_terminals;  // by terminal number

}  // namespace

extern "C" {

std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
  std::lock_guard lock(g_mutex);
  if (g_terminals.count(ctn)) return kErrInvalid;
  auto terminal = CtTerminal::Open(pn);
  if (!terminal) return kErrCt;
  g_terminals[ctn] = std::move(terminal);
  return kOk;
}

std::int8_t CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad,
                                                           std::uint16_t lenc, const std::uint8_t* command,
                                                           std::uint16_t* lenr, std::uint8_t* response) {
  if (!dad || !sad || !lenr || (!command && lenc > 0) || (!response && *lenr > 0)) return kErrInvalid;
  std::lock_guard lock(g_mutex);
  const auto terminal = g_terminals.find(ctn);
  if (terminal == g_terminals.end()) return kErrInvalid;
  const std::span<const std::uint8_t> bytes(command, lenc);

  Bytes answer;
  const std::uint8_t destination = *dad;
  if (destination == kAddressTerminal) {
    answer = terminal->second->Command(bytes);
  } else if (destination == kAddressIcc) {
    auto card = terminal->second->CardApdu(bytes);
    if (!card) return kErrTrans;
    answer = std::move(*card);
  } else {
    return kErrInvalid;
  }
  if (answer.size() > *lenr) return kErrMemory;
  std::copy(answer.begin(), answer.end(), response);
  *lenr = static_cast<std::uint16_t>(answer.size());
  *sad = destination;
  *dad = kAddressHost;
  return kOk;
}

std::int8_t CT_close(std::uint16_t ctn) {
  std::lock_guard lock(g_mutex);
  return g_terminals.erase(ctn) ? kOk : kErrInvalid;
}

}  // extern "C"
