#pragma once
// A scenario file cut into lines: section headers ("[reader]", "[card]",
// "[card 1]"), "key = value" facts, and lines that carry nothing (blank or
// comment). Comments run from '#' to the end of the line. Both the parser
// and the editor of the velkaro-sim command work on this form, so an edit
// keeps every other line, comments included, as it was.

#include <string>
#include <string_view>
#include <vector>

namespace velkaro::sim {

struct ScenarioLine {
  enum class Kind { Empty, Section, Fact, Malformed };

  int number = 0;    // 1-based
  std::string text;  // the whole line as written, without its line end
  Kind kind = Kind::Empty;
  std::string key;    // fact: lower-case key; section: lower-case section name
  std::string value;  // fact: the value, trimmed; section: what follows the name
};

std::vector<ScenarioLine> SplitScenarioLines(std::string_view text);

// "key = value" as the editor writes it.
std::string FactLine(std::string_view key, std::string_view value);

}  // namespace velkaro::sim
