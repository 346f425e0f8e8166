#pragma once
// The driver's answers to vendor control codes and attribute queries, worked
// out from the reader's facts and the card in the slot. No pcscd types here:
// the entry points translate the outcome into pcsc-lite's response codes.

#include <cstdint>
#include <optional>
#include <span>

#include "scenario/scenario.h"

namespace velkaro::sim {

enum class Outcome {
  Ok,
  NotSupported,  // unknown code, escape command or attribute
  Failed,        // the reader or card cannot answer (also: the scenario makes the code fail)
  NoCard,        // the code needs a powered card
};

struct VendorAnswer {
  Outcome outcome = Outcome::Ok;
  Bytes data;
};

// `function` is the n of SCARD_CTL_CODE(n); `card` is the card in the slot
// when it is present and answers (not mute).
VendorAnswer AnswerControl(const Scenario& scenario, const std::optional<CardFacts>& card, std::uint32_t function,
                           std::span<const std::uint8_t> input);

VendorAnswer AnswerAttribute(const Scenario& scenario, const std::optional<CardFacts>& card, std::uint32_t attribute);

// The card's answer to an APDU: the first matching rule of the scenario,
// GET DATA (FF CA 00 00) with the UID of a contactless card, else 90 00.
Bytes AnswerApdu(const CardFacts& card, std::span<const std::uint8_t> command);

}  // namespace velkaro::sim
