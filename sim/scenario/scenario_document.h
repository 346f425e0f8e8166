#pragma once
// A scenario file open for editing. Edits touch only the lines of the facts
// they change, so comments and layout stay; Save replaces the file in one
// step (a temporary file renamed over it), so the driver never reads half a
// file.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scenario/scenario.h"

namespace velkaro::sim {

class ScenarioDocument {
 public:
  explicit ScenarioDocument(std::string_view text = {});

  // Reads a file; nothing when it cannot be read.
  static std::optional<ScenarioDocument> Load(const std::string& path);

  std::string Text() const;
  ParsedScenario Parse() const { return ParseScenarioLines(m_lines); }

  // Replaces the fact's line in the reader section, or adds it there.
  void SetReaderFact(std::string_view key, std::string_view value);
  // The same for the n-th card section (0-based, in file order).
  void SetCardFact(std::size_t card, std::string_view key, std::string_view value);
  // Replaces every line of a list fact (such as "fail") with one line, or
  // removes them all when the value is empty.
  void SetReaderList(std::string_view key, std::string_view value);

  // Card sections in file order with their slots.
  std::vector<unsigned> CardSlots() const;
  void RemoveCardsOfSlot(unsigned slot);
  void AddCard(unsigned slot, const std::vector<std::pair<std::string, std::string>>& facts);

 private:
  // [begin, end) line indexes of the reader section and of each card section.
  std::pair<std::size_t, std::size_t> ReaderRange() const;
  std::vector<std::pair<std::size_t, std::size_t>> CardRanges() const;
  void SetFactIn(std::pair<std::size_t, std::size_t> range, std::string_view key, std::string_view value);
  void Renumber();

  std::vector<ScenarioLine> m_lines;
};

// Writes through a temporary file in the same directory, synced, then renamed
// over the target. Answers an error message, or nothing on success.
std::optional<std::string> WriteFileAtomically(const std::string& path, std::string_view content);

}  // namespace velkaro::sim
