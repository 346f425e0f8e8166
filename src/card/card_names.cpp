#include "card/card_names.h"

#include <string_view>
#include <utility>

#include "card/atr_list.h"
#include "platform/text.h"

void CardPatternMap::Set(const std::string& pattern, const std::string& text) {
  const auto [position, added] = m_index.try_emplace(pattern, m_entries.size());
  if (!added) {
    m_entries[position->second].text = text;
    return;
  }
  m_entries.push_back(Entry{pattern, text});
}

CCardNames::CCardNames(CardNameMap names, CardPatternMap patterns, std::shared_ptr<const CAtrList> atrList)
    : m_mapCardNames(std::move(names)), m_mapVarCardTexts(std::move(patterns)), m_atrList(std::move(atrList)) {}

bool CCardNames::HasExactEntry(const std::string& atrText) const {
  return !atrText.empty() && m_mapCardNames.contains(velkaro::ToUpper(atrText));
}

void CCardNames::LookupCardName(const std::string& atrText, std::string& name) const {
  if (atrText.empty() || !name.empty()) return;
  const auto entry = m_mapCardNames.find(velkaro::ToUpper(atrText));
  name = entry == m_mapCardNames.end() ? std::string() : entry->second;
}

std::string CCardNames::MatchCardPattern(const std::string& atrText) const {
  const std::size_t length = atrText.size();
  if (length < 2 || (length - 2) % 3 != 0) return {};
  for (const CardPatternMap::Entry& entry : m_mapVarCardTexts.Entries()) {
    const std::string& pattern = entry.pattern;
    if (pattern.size() != length) continue;
    std::string capture;
    bool matches = true;
    for (std::size_t i = 0; i < length && matches; i += 3) {
      const std::string_view want(pattern.data() + i, 2);
      const std::string_view have(atrText.data() + i, 2);
      if (want == "??") continue;
      if (want == "!!") {
        if (!capture.empty()) capture += ' ';
        capture.append(have);
        capture += ' ';
        continue;
      }
      matches = want == have;
    }
    if (!matches) continue;
    std::string text = entry.text;
    if (const std::size_t marker = text.find("!!"); marker != std::string::npos) text.replace(marker, 2, capture);
    // An empty result would read as "no name" to every caller anyway; going on
    // lets a later pattern name the card instead of hiding it.
    if (text.empty()) continue;
    return text;
  }
  return {};
}

std::string CCardNames::CardNameFor(const std::string& atrText) const {
  std::string name;
  LookupCardName(atrText, name);
  if (name.empty()) name = MatchCardPattern(atrText);
  if (name.empty() && m_atrList && !HasExactEntry(atrText)) {
    if (const std::string description = m_atrList->Describe(atrText); !description.empty()) {
      name = velkaro::Format(CAtrList::kNameFormat, description.c_str());
    }
  }
  return name;
}
