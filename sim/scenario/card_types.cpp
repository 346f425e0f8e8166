#include "scenario/card_types.h"

#include <strings.h>

#include <string>

namespace velkaro::sim {

const CardTypeInfo& InfoOf(CardType type) {
  for (const CardTypeInfo& info : kCardTypes)
    if (info.type == type) return info;
  return kCardTypes.front();
}

std::optional<CardType> CardTypeFromKeyword(std::string_view keyword) {
  const std::string text(keyword);
  for (const CardTypeInfo& info : kCardTypes)
    if (strcasecmp(info.keyword, text.c_str()) == 0) return info.type;
  return std::nullopt;
}

std::optional<CardType> CardTypeFromSearchCode(std::uint8_t code) {
  if (code == 0) return std::nullopt;
  for (const CardTypeInfo& info : kCardTypes)
    if (info.searchCode == code) return info.type;
  return std::nullopt;
}

}  // namespace velkaro::sim
