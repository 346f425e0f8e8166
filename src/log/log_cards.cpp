#include "log/log_cards.h"

#include "card/atr_decoder.h"
#include "card/byte_buffer.h"
#include "card/pcsc.h"
#include "log/log_texts.h"
#include "platform/text.h"
#include "reader/card_steps.h"

namespace {

std::string PcscFailure(const char* call, LONG result) {
  return velkaro::Format("%s failed: 0x%08lX", call, static_cast<unsigned long>(result));
}

}  // namespace

ReaderCards ReadReaderCards(const std::vector<std::string>& readers) {
  ReaderCards answer;
  if (readers.empty()) return answer;
  SCARDCONTEXT context = 0;
  if (const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
      result != SCARD_S_SUCCESS) {
    answer.failure = PcscFailure("SCardEstablishContext", result);
    return answer;
  }
  std::vector<SCARD_READERSTATE> states(readers.size());
  for (std::size_t i = 0; i < readers.size(); ++i) {
    states[i].szReader = readers[i].c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  // Unaware of every state, pcsc-lite answers at once with the present ones.
  const LONG result = SCardGetStatusChange(context, 0, states.data(), static_cast<DWORD>(states.size()));
  if (result != SCARD_S_SUCCESS && result != static_cast<LONG>(SCARD_E_TIMEOUT)) {
    answer.failure = PcscFailure("SCardGetStatusChange", result);
  } else {
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (!(states[i].dwEventState & SCARD_STATE_PRESENT)) continue;
      const auto atr = card_steps::AtrOf(states[i]);
      answer.cards.push_back({readers[i], {atr.begin(), atr.end()}, (states[i].dwEventState & SCARD_STATE_MUTE) != 0});
    }
  }
  SCardReleaseContext(context);
  return answer;
}

std::vector<std::string> CardsSection(const std::optional<ReaderCards>& cards) {
  std::vector<std::string> lines{"", logtext::kCards, ""};
  if (!cards || !cards->failure.empty()) {
    lines.push_back(std::string(logtext::kNotAvailable) + (cards ? " (" + cards->failure + ")" : ""));
    return lines;
  }
  for (const ReaderCard& card : cards->cards) {
    if (card.mute || card.atr.empty()) {
      lines.push_back(velkaro::EscapeControls(card.reader) + logtext::kMuteCard);
      continue;
    }
    lines.push_back(velkaro::EscapeControls(card.reader) + ": ATR = " + HexText(card.atr) + ", " +
                    velkaro::EscapeControls(AtrOneLineSummary(DecodeAtr(card.atr).summary)));
  }
  if (cards->cards.empty()) lines.push_back(logtext::kNoCards);
  return lines;
}
