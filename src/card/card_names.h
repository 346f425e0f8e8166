#pragma once
// The card tables of the configuration: exact ATR texts with their card
// names, and wildcard ATR patterns with their card texts. Filled once at
// start-up and read-only afterwards, so one object is shared by every page
// and thread without a lock.

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class CAtrList;

// Exact ATR text (upper case) to card name.
using CardNameMap = std::map<std::string, std::string>;

// Wildcard ATR pattern (upper case) to card text, kept in the order the
// patterns first appear in the file: when several patterns match one ATR the
// earliest wins, so the outcome does not depend on a hash order.
class CardPatternMap {
 public:
  struct Entry {
    std::string pattern;
    std::string text;
  };
  // A later entry with the same pattern replaces the earlier one's text.
  // Constant time, so a configuration with very many patterns loads in
  // linear time.
  void Set(const std::string& pattern, const std::string& text);
  const std::vector<Entry>& Entries() const { return m_entries; }
  bool empty() const { return m_entries.empty(); }
  std::size_t size() const { return m_entries.size(); }

 private:
  std::vector<Entry> m_entries;
  std::unordered_map<std::string, std::size_t> m_index;  // pattern -> position in m_entries
};

class CCardNames {
 public:
  CCardNames() = default;
  // `atrList`, when given, names the cards the tables leave unnamed.
  CCardNames(CardNameMap names, CardPatternMap patterns, std::shared_ptr<const CAtrList> atrList = nullptr);

  // The card name for an ATR text from the exact table. Does nothing when the
  // text is empty or `name` already holds a name.
  void LookupCardName(const std::string& atrText, std::string& name) const;
  // The text of the first wildcard pattern (in configuration order) matching
  // the ATR text, with "!!" replaced by the captured bytes; empty if none.
  // A pattern whose text comes out empty (a text of just "!!" and a pattern
  // that captures nothing) names nothing and counts as no match, so a later
  // pattern may still name the card.
  std::string MatchCardPattern(const std::string& atrText) const;
  // Whether the exact table lists the ATR text, even with an empty name: the
  // configuration then has named the card, and the ATR list is not asked.
  bool HasExactEntry(const std::string& atrText) const;
  // What the card update shows: the exact name, else the pattern's text, else
  // for an ATR the exact table does not list, the ATR list's description
  // marked "(ATR list)".
  std::string CardNameFor(const std::string& atrText) const;

  const CardNameMap& Names() const { return m_mapCardNames; }
  const CardPatternMap& Patterns() const { return m_mapVarCardTexts; }
  const std::shared_ptr<const CAtrList>& AtrList() const { return m_atrList; }

 private:
  CardNameMap m_mapCardNames;
  CardPatternMap m_mapVarCardTexts;
  std::shared_ptr<const CAtrList> m_atrList;
};
