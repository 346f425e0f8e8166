#include "scenario/scenario_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velkaro::sim {

namespace {

ScenarioLine MakeLine(const std::string& text) {
  auto lines = SplitScenarioLines(text);
  return lines.empty() ? ScenarioLine{} : lines.front();
}

bool IsSection(const ScenarioLine& line) { return line.kind == ScenarioLine::Kind::Section; }
bool IsCardHeader(const ScenarioLine& line) { return IsSection(line) && line.key == "card"; }

}  // namespace

ScenarioDocument::ScenarioDocument(std::string_view text) : m_lines(SplitScenarioLines(text)) {}

std::optional<ScenarioDocument> ScenarioDocument::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return ScenarioDocument(text.str());
}

std::string ScenarioDocument::Text() const {
  std::string text;
  for (const ScenarioLine& line : m_lines) text += line.text + "\n";
  return text;
}

std::pair<std::size_t, std::size_t> ScenarioDocument::ReaderRange() const {
  std::size_t end = 0;
  while (end < m_lines.size() && !IsCardHeader(m_lines[end])) ++end;
  return {0, end};
}

std::vector<std::pair<std::size_t, std::size_t>> ScenarioDocument::CardRanges() const {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (std::size_t i = 0; i < m_lines.size(); ++i) {
    if (!IsCardHeader(m_lines[i])) continue;
    if (!ranges.empty()) ranges.back().second = i;
    ranges.emplace_back(i, m_lines.size());
  }
  return ranges;
}

void ScenarioDocument::SetFactIn(std::pair<std::size_t, std::size_t> range, std::string_view key,
                                 std::string_view value) {
  for (std::size_t i = range.first; i < range.second; ++i) {
    if (m_lines[i].kind == ScenarioLine::Kind::Fact && m_lines[i].key == key) {
      m_lines[i] = MakeLine(FactLine(key, value));
      Renumber();
      return;
    }
  }
  // After the section's last fact or header, so that trailing comments and
  // blank lines stay in front of the next section.
  std::size_t at = range.first;
  for (std::size_t i = range.first; i < range.second; ++i)
    if (m_lines[i].kind == ScenarioLine::Kind::Fact || IsSection(m_lines[i])) at = i + 1;
  m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), MakeLine(FactLine(key, value)));
  Renumber();
}

void ScenarioDocument::SetReaderFact(std::string_view key, std::string_view value) {
  SetFactIn(ReaderRange(), key, value);
}

void ScenarioDocument::SetCardFact(std::size_t card, std::string_view key, std::string_view value) {
  const auto ranges = CardRanges();
  if (card < ranges.size()) SetFactIn(ranges[card], key, value);
}

void ScenarioDocument::SetReaderList(std::string_view key, std::string_view value) {
  const auto [begin, end] = ReaderRange();
  std::size_t first = end;
  for (std::size_t i = end; i-- > begin;) {
    if (m_lines[i].kind == ScenarioLine::Kind::Fact && m_lines[i].key == key) {
      first = i;
      m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  Renumber();
  if (value.empty()) return;
  if (first < ReaderRange().second) {
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(first), MakeLine(FactLine(key, value)));
    Renumber();
  } else {
    SetFactIn(ReaderRange(), key, value);
  }
}

std::vector<unsigned> ScenarioDocument::CardSlots() const {
  std::vector<unsigned> slots;
  for (const auto& [begin, end] : CardRanges()) {
    const std::string& slot = m_lines[begin].value;
    slots.push_back(slot.empty() ? 0u : static_cast<unsigned>(std::strtoul(slot.c_str(), nullptr, 0)));
  }
  return slots;
}

void ScenarioDocument::RemoveCardsOfSlot(unsigned slot) {
  const auto ranges = CardRanges();
  const auto slots = CardSlots();
  for (std::size_t i = ranges.size(); i-- > 0;) {
    if (slots[i] != slot) continue;
    m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(ranges[i].first),
                  m_lines.begin() + static_cast<std::ptrdiff_t>(ranges[i].second));
  }
  // A blank line left at the very end is noise.
  while (!m_lines.empty() && m_lines.back().text.empty()) m_lines.pop_back();
  Renumber();
}

void ScenarioDocument::AddCard(unsigned slot, const std::vector<std::pair<std::string, std::string>>& facts) {
  if (!m_lines.empty() && !m_lines.back().text.empty()) m_lines.push_back(MakeLine(""));
  m_lines.push_back(MakeLine(slot == 0 ? "[card]" : "[card " + std::to_string(slot) + "]"));
  for (const auto& [key, value] : facts) m_lines.push_back(MakeLine(FactLine(key, value)));
  Renumber();
}

void ScenarioDocument::Renumber() {
  int number = 0;
  for (ScenarioLine& line : m_lines) line.number = ++number;
}

std::optional<std::string> WriteFileAtomically(const std::string& path, std::string_view content) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
  const auto fail = [&](const char* what) -> std::optional<std::string> {
    const std::string message = std::string(what) + " " + temporary + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return message;
  };
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write");
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, 0644) != 0) return fail("cannot set the mode of");
  if (::fsync(fd) != 0) return fail("cannot sync");
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    return "cannot close " + temporary + ": " + std::strerror(errno);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string message = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return message;
  }
  return std::nullopt;
}

}  // namespace velkaro::sim
