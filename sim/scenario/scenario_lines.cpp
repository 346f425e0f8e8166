#include "scenario/scenario_lines.h"

#include <algorithm>
#include <cctype>

namespace velkaro::sim {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

ScenarioLine Classify(int number, std::string_view text) {
  ScenarioLine line{number, std::string(text), ScenarioLine::Kind::Empty, {}, {}};
  std::string_view body = text;
  if (const auto hash = body.find('#'); hash != std::string_view::npos) body = body.substr(0, hash);
  body = Trim(body);
  if (body.empty()) return line;

  if (body.front() == '[') {
    if (body.back() != ']') {
      line.kind = ScenarioLine::Kind::Malformed;
      return line;
    }
    const std::string_view inside = Trim(body.substr(1, body.size() - 2));
    const auto space = inside.find_first_of(" \t");
    line.kind = ScenarioLine::Kind::Section;
    line.key = Lower(inside.substr(0, space));
    line.value = space == std::string_view::npos ? std::string() : std::string(Trim(inside.substr(space)));
    return line;
  }

  const auto equals = body.find('=');
  if (equals == std::string_view::npos || Trim(body.substr(0, equals)).empty()) {
    line.kind = ScenarioLine::Kind::Malformed;
    return line;
  }
  line.kind = ScenarioLine::Kind::Fact;
  line.key = Lower(Trim(body.substr(0, equals)));
  line.value = std::string(Trim(body.substr(equals + 1)));
  return line;
}

}  // namespace

std::vector<ScenarioLine> SplitScenarioLines(std::string_view text) {
  std::vector<ScenarioLine> lines;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(Classify(++number, line));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string FactLine(std::string_view key, std::string_view value) {
  std::string line(key);
  if (line.size() < 9) line.resize(9, ' ');
  line += value.empty() ? "=" : "= ";
  line += value;
  return line;
}

}  // namespace velkaro::sim
