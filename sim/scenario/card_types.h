#pragma once
// The kinds of card a simulated reader can hold. The six contactless
// technologies carry the card codes of the driver's search order setting
// ("CardSearch": code = position + 1).

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velkaro::sim {

enum class CardType : std::uint8_t {
  Contact,
  Prox,  // 125 kHz proximity card: its ATR comes from its data and the prox format
  Iso14443A,
  Zentra15693,
  Iso14443B,
  Iso15693,
  Stm14443B,
  Icode1,
};

struct CardTypeInfo {
  CardType type;
  const char* keyword;         // as scenario files and the settings name it
  std::uint8_t searchCode;     // 1..6 in "CardSearch"; 0: not searched for
  std::uint8_t defaultKind;    // byte 9 of the contactless information answer
  std::uint8_t atrStandard;    // standard byte of the generated contactless ATR
  std::uint8_t defaultRate;    // highest rate index the card offers by default
};

inline constexpr std::array<CardTypeInfo, 8> kCardTypes = {{
    {CardType::Contact, "contact", 0, 0, 0x00, 0},
    {CardType::Prox, "prox", 0, 12, 0x00, 0},
    {CardType::Iso14443A, "ISO14443A", 1, 4, 0x03, 3},
    {CardType::Zentra15693, "ZENTRA15693", 2, 11, 0x0B, 1},
    {CardType::Iso14443B, "ISO14443B", 3, 8, 0x07, 3},
    {CardType::Iso15693, "ISO15693", 4, 11, 0x0B, 1},
    {CardType::Stm14443B, "STM14443B", 5, 8, 0x07, 3},
    {CardType::Icode1, "ICODE1", 6, 9, 0x0B, 1},
}};

const CardTypeInfo& InfoOf(CardType type);
// Case-insensitive.
std::optional<CardType> CardTypeFromKeyword(std::string_view keyword);
std::optional<CardType> CardTypeFromSearchCode(std::uint8_t code);

inline bool IsContactless(CardType type) { return type != CardType::Contact && type != CardType::Prox; }
// The ISO 14443 types whose rates the maximum baud rate settings limit.
inline bool IsIso14443TypeA(CardType type) { return type == CardType::Iso14443A; }
inline bool IsIso14443TypeB(CardType type) { return type == CardType::Iso14443B || type == CardType::Stm14443B; }

}  // namespace velkaro::sim
