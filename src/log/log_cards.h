#pragma once
// The log's "Cards:" section: each reader of the report that holds a card,
// with its ATR and the decoder's one-line summary, since support reads the
// log rather than the window.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ReaderCard {
  std::string reader;
  std::vector<std::uint8_t> atr;
  bool mute = false;  // present, but it gave no answer to reset
};

struct ReaderCards {
  std::vector<ReaderCard> cards;  // in the order of the readers asked
  std::string failure;            // what pcsc-lite refused; empty when it answered
};

// One SCardGetStatusChange with time-out 0 over `readers`, on a context of its
// own. pcscd may never answer: the caller runs it under a deadline.
ReaderCards ReadReaderCards(const std::vector<std::string>& readers);

// The section's lines without line ends: a blank line, "Cards:", a blank
// line, then one line per card, "none", or "n/a" (with the failure) when the
// cards are unknown.
std::vector<std::string> CardsSection(const std::optional<ReaderCards>& cards);
