#include "scenario/card_selection.h"

#include <algorithm>

#include "scenario/prox_format.h"
#include "scenario/sim_constants.h"

namespace velkaro::sim {

namespace {

constexpr std::string_view kOtherMakerPrefix = "HALVORN";

std::vector<CardType> SearchOrder(const DriverSettings& settings) {
  std::vector<CardType> order;
  if (!settings.cardSearch) {
    for (const CardTypeInfo& info : kCardTypes)
      if (info.searchCode != 0) order.push_back(info.type);
    std::sort(order.begin(), order.end(),
              [](CardType a, CardType b) { return InfoOf(a).searchCode < InfoOf(b).searchCode; });
    return order;
  }
  for (const std::uint8_t code : *settings.cardSearch) {
    const auto type = CardTypeFromSearchCode(code);
    if (type && std::find(order.begin(), order.end(), *type) == order.end()) order.push_back(*type);
  }
  return order;
}

void Cap(std::uint8_t& rate, const std::optional<std::uint8_t>& cap) {
  if (cap && rate > *cap) rate = *cap;
}

}  // namespace

DriverFamily FamilyOf(std::string_view readerName) {
  return readerName.substr(0, kOtherMakerPrefix.size()) == kOtherMakerPrefix ? DriverFamily::OtherMaker
                                                                             : DriverFamily::Vendor;
}

std::optional<CardFacts> SelectCard(const Scenario& scenario, unsigned slot, const DriverSettings& settings) {
  const DriverFamily family = FamilyOf(scenario.reader.name);
  std::vector<const CardFacts*> present;
  for (const CardFacts& card : scenario.cards)
    if (card.slot == slot && card.present) present.push_back(&card);
  if (present.empty()) return std::nullopt;

  const CardFacts* chosen = nullptr;
  if (!IsContactless(present.front()->type) || family == DriverFamily::OtherMaker) {
    chosen = present.front();
  } else {
    for (const CardType type : SearchOrder(settings)) {
      const auto match = std::find_if(present.begin(), present.end(), [&](const CardFacts* c) { return c->type == type; });
      if (match != present.end()) {
        chosen = *match;
        break;
      }
    }
  }
  if (!chosen) return std::nullopt;

  CardFacts card = *chosen;
  if (card.type == CardType::Prox)
    card.atr = ProxAtr(card.proxBits, card.proxData, family == DriverFamily::Vendor ? settings.proxFormat : 0);
  if (family == DriverFamily::OtherMaker && IsContactless(card.type) && card.kind < kKindIso15693Part1) {
    Cap(card.receiveRate, settings.airSpeedCap);
    Cap(card.sendRate, settings.airSpeedCap);
  } else if (family == DriverFamily::Vendor && (IsIso14443TypeA(card.type) || IsIso14443TypeB(card.type))) {
    const auto& cap = IsIso14443TypeA(card.type) ? settings.maxRateA : settings.maxRateB;
    Cap(card.receiveRate, cap);
    Cap(card.sendRate, cap);
  }
  return card;
}

std::string CardIdentity(const CardFacts& card) {
  std::string identity = std::to_string(static_cast<int>(card.type)) + "|" +
                         FormatHexBytes(card.atr) + "|" + std::to_string(static_cast<int>(card.protocol)) + "|" +
                         std::to_string(card.clock) + "|" + std::to_string(card.voltage) + "|" +
                         std::to_string(card.ta1) + "|" + std::to_string(card.kind) + "|" +
                         std::to_string(card.receiveRate) + "|" + std::to_string(card.sendRate) + "|" +
                         FormatHexBytes(card.uid) + "|" + (card.mute ? "mute" : "") + "|" + card.label;
  for (const ApduRule& rule : card.apdus)
    identity += "|" + FormatHexBytes(rule.prefix) + "=>" + FormatHexBytes(rule.response);
  return identity;
}

}  // namespace velkaro::sim
