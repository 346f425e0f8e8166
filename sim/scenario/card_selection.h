#pragma once
// Which card a slot presents, and with which facts, once the driver's
// settings are applied:
// - A slot holds one contact or prox card, or any number of contactless cards
//   in the reader's field.
// - The vendor's readers look for contactless cards in the "CardSearch"
//   order: the first type in that order of which a card is in the field wins
//   (among cards of one type, the first in the file). A card whose type the
//   order leaves out is not detected. The other maker's reader has no search
//   order: the first contactless card in the file wins.
// - Rates never exceed the stored maximum of the card's type (vendor's
//   readers) or the air speed maximum (the other maker's reader).
// - A prox card shows the ATR that the prox format makes of its data (raw on
//   the other maker's reader, which does not read that setting).

#include <optional>
#include <string>
#include <string_view>

#include "scenario/driver_settings.h"
#include "scenario/scenario.h"

namespace velkaro::sim {

enum class DriverFamily { Vendor, OtherMaker };

// Readers whose name starts with the other maker's name follow its settings.
DriverFamily FamilyOf(std::string_view readerName);

// The card the slot presents, its facts as the driver reports them; nothing
// when the slot is empty or no card in it is detected.
std::optional<CardFacts> SelectCard(const Scenario& scenario, unsigned slot, const DriverSettings& settings);

// Two presented cards with the same identity are the same card; anything
// else is a different card (pcscd must see it removed and inserted).
std::string CardIdentity(const CardFacts& card);

}  // namespace velkaro::sim
