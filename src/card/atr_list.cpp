#include "card/atr_list.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "platform/services.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace {

using Pattern = CAtrList::Pattern;

// An ATR has at most 33 bytes: "3B .. 90 00" text of 33 pairs.
constexpr std::size_t kMaxAtrTextLength = 33 * 3 - 1;
constexpr std::size_t kStopCheckLines = 256;  // lines between checks for an ended read

// Characters of an ATR text, each one bit of a position's mask; anything else
// in a text is kOther, which only "." matches.
constexpr std::string_view kTextCharacters = "0123456789ABCDEF ";
constexpr std::uint32_t kOther = 1u << kTextCharacters.size();
constexpr std::uint32_t kAnyCharacter = (kOther << 1) - 1;
constexpr std::uint32_t kAnyRun = 0;  // never a character's mask

std::uint32_t CharacterBit(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const std::size_t index = kTextCharacters.find(c);
  return index == std::string_view::npos ? kOther : 1u << index;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A bracket expression such as "[1-5]" or "[2C]" from `text` (after its '['),
// over hex digits only; nothing for anything else regular expressions allow
// there. A comma stands for itself, which no ATR text contains.
std::optional<std::uint32_t> CompileSet(std::string_view text, std::size_t& used) {
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ']') {
      used = i + 1;
      if (mask == 0) return std::nullopt;  // can never match: the entry is of no use
      return mask;
    }
    if (c == ',') continue;
    if (!IsHexDigit(c)) return std::nullopt;
    if (i + 2 < text.size() && text[i + 1] == '-' && text[i + 2] != ']') {
      const char last = text[i + 2];
      if (!IsHexDigit(last) || Upper(last) < Upper(c)) return std::nullopt;
      for (const char member : kTextCharacters) {
        if (member >= Upper(c) && member <= Upper(last)) mask |= CharacterBit(member);
      }
      i += 2;
      continue;
    }
    mask |= CharacterBit(c);
  }
  return std::nullopt;  // no closing bracket
}

// The pattern line as position masks. The list's patterns are regular
// expressions; of those only hex digits, spaces, ".", ".*" and bracket
// expressions of hex digits are taken, which is all the list uses. Any other
// construct leaves the entry out rather than risk a match it does not mean.
// Runs of blanks count as one space, as the ATR text has them.
std::optional<Pattern> CompilePattern(std::string_view line) {
  Pattern pattern;
  pattern.positions.reserve(line.size());
  bool sawDigit = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      if (pattern.positions.empty() || pattern.positions.back() != CharacterBit(' ')) {
        pattern.positions.push_back(CharacterBit(' '));
      }
    } else if (IsHexDigit(c)) {
      pattern.positions.push_back(CharacterBit(c));
      sawDigit = true;
    } else if (c == '.' && i + 1 < line.size() && line[i + 1] == '*') {
      if (pattern.positions.empty() || pattern.positions.back() != kAnyRun) pattern.positions.push_back(kAnyRun);
      pattern.hasAnyRun = true;
      ++i;
    } else if (c == '.') {
      pattern.positions.push_back(kAnyCharacter);
    } else if (c == '[') {
      std::size_t used = 0;
      const auto mask = CompileSet(line.substr(i + 1), used);
      if (!mask) return std::nullopt;
      pattern.positions.push_back(*mask);
      i += used;
    } else {
      return std::nullopt;
    }
    if (i + 1 < line.size() && line[i + 1] == '*' && pattern.positions.back() != kAnyRun) {
      return std::nullopt;  // a repeated digit or set: not an ATR shape we can judge
    }
  }
  // A pattern without a single digit would name every card.
  if (!sawDigit) return std::nullopt;
  for (const std::uint32_t position : pattern.positions) {
    if (position != kAnyRun) ++pattern.fixedLength;
  }
  if (pattern.fixedLength > kMaxAtrTextLength) return std::nullopt;
  return pattern;
}

// Whether the whole text matches; ".*" positions take any run, the others one
// character each.
bool Matches(const Pattern& pattern, const std::vector<std::uint32_t>& text) {
  const auto& want = pattern.positions;
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t runAt = std::string::npos;  // the last ".*" seen, to widen on a mismatch
  std::size_t runEnd = 0;
  while (t < text.size()) {
    if (p < want.size() && want[p] == kAnyRun) {
      runAt = p++;
      runEnd = t;
    } else if (p < want.size() && (want[p] & text[t])) {
      ++p;
      ++t;
    } else if (runAt != std::string::npos) {
      p = runAt + 1;
      t = ++runEnd;
    } else {
      return false;
    }
  }
  while (p < want.size() && want[p] == kAnyRun) ++p;
  return p == want.size();
}

// Length of the well-formed UTF-8 sequence at text[i] (shortest form, no
// surrogates), or 0.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = at(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // allowed range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (length == 0 || i + length > text.size() || at(1) < low || at(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((at(k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// A description line as shown: blanks at either end removed, control
// characters as spaces, bytes that are not UTF-8 as '?', and cut at a
// character boundary.
std::string CleanDescription(std::string_view line) {
  line = velkaro::TrimSpaces(line);
  std::string out;
  for (std::size_t i = 0; i < line.size();) {
    const std::size_t length = Utf8Length(line, i);
    if (out.size() + std::max<std::size_t>(length, 1) > CAtrList::kMaxDescriptionLength) break;
    const auto lead = static_cast<unsigned char>(line[i]);
    if (length == 0) {
      out += '?';
    } else if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
      out += ' ';
    } else {
      out.append(line.substr(i, length));
    }
    i += std::max<std::size_t>(length, 1);
  }
  return std::string(velkaro::TrimSpaces(out));
}

struct ParsedList {
  std::vector<Pattern> patterns;
  std::size_t skipped = 0;
};

// Entry lines start in the first column; description lines start with a tab
// (or, written carelessly, a space); "#" lines are comments and a blank line
// ends an entry. Only the first non-empty description of an entry is kept.
ParsedList ParseList(std::string_view text, const std::atomic<bool>* stop) {
  ParsedList list;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // The entry being read: its pattern, or nothing when it is left out.
  std::optional<Pattern> entry;
  bool inEntry = false;
  const auto finish = [&] {
    if (!inEntry) return;
    if (entry && !entry->description.empty()) {
      list.patterns.push_back(std::move(*entry));
    } else {
      ++list.skipped;
    }
    entry.reset();
    inEntry = false;
  };
  for (std::size_t lines = 0; !text.empty(); ++lines) {
    if (stop && lines % kStopCheckLines == 0 && stop->load()) return {};
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);

    if (line.empty()) {
      finish();
    } else if (line.front() == '\t' || line.front() == ' ') {
      if (entry && entry->description.empty()) entry->description = CleanDescription(line);
    } else if (line.front() != '#') {
      finish();
      inEntry = true;
      entry = CompilePattern(line);
    }
  }
  finish();
  return list;
}

// A file's text as the list: nothing for text with NUL bytes, which is no
// list. A last line without its line end may be cut anywhere (a file cut
// short, or cut at the size bound), and a cut pattern or description would
// name a card wrongly: it is left out.
std::optional<ParsedList> ParseFileText(std::string_view text, const std::atomic<bool>* stop) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::size_t lastLineEnd = text.rfind('\n');
  return ParseList(text.substr(0, lastLineEnd == std::string_view::npos ? 0 : lastLineEnd + 1), stop);
}

}  // namespace

std::string CAtrList::ListPath() {
  const char* value = std::getenv(kPathVariable);
  return value ? std::string(value) : std::string(kDefaultPath);
}

std::shared_ptr<const CAtrList> CAtrList::Load(const std::string& path) {
  auto list = std::shared_ptr<CAtrList>(new CAtrList(Token{}));
  if (path.empty()) {
    velkaro::OutputDebugString(std::string("ATR list: turned off (") + kPathVariable + " is empty)");
    list->Publish({}, 0);
    return list;
  }
  try {
    list->m_reader = std::thread(&CAtrList::ReadFile, list.get(), path);
  } catch (const std::system_error&) {
    velkaro::OutputDebugString("ATR list: " + path + ": no thread to read it; cards are named from the configuration only");
    list->Publish({}, 0);
  }
  return list;
}

std::shared_ptr<const CAtrList> CAtrList::FromText(std::string_view text) {
  auto list = std::shared_ptr<CAtrList>(new CAtrList(Token{}));
  std::optional<ParsedList> parsed = ParseFileText(text, nullptr);
  if (parsed) {
    list->Publish(std::move(parsed->patterns), parsed->skipped);
  } else {
    list->Publish({}, 0);
  }
  return list;
}

CAtrList::~CAtrList() {
  m_bStop.store(true);
  if (m_reader.joinable()) m_reader.join();
}

void CAtrList::Publish(std::vector<Pattern> patterns, std::size_t skipped) {
  {
    std::lock_guard lock(m_lock);
    m_patterns = std::move(patterns);
    m_nSkipped = skipped;
    m_bRead = true;
  }
  m_readChanged.notify_all();
}

void CAtrList::ReadFile(const std::string& path) {
  using velkaro::TrustedFileText;
  const auto started = std::chrono::steady_clock::now();
  TrustedFileText file = velkaro::ReadTrustedFile(path, kMaxFileSize);
  if (file.status != TrustedFileText::Status::kRead) {
    velkaro::OutputDebugString("ATR list: " + file.reason + "; cards are named from the configuration only");
    Publish({}, 0);
    return;
  }
  if (file.truncated) {
    velkaro::OutputDebugString(velkaro::Format("ATR list: %s: larger than %zu bytes; only the lines within them are read",
                                               path.c_str(), kMaxFileSize));
  }
  std::optional<ParsedList> parsed = ParseFileText(file.text, &m_bStop);
  if (!parsed) {
    velkaro::OutputDebugString("ATR list: " + path + ": holds NUL bytes, so it is no list; not used");
    Publish({}, 0);
    return;
  }
  if (m_bStop.load()) return;  // the list is going away unused
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  velkaro::OutputDebugString(velkaro::Format("ATR list: %s: %zu patterns, %zu entries left out, read in %lld ms",
                                             path.c_str(), parsed->patterns.size(), parsed->skipped,
                                             static_cast<long long>(elapsed.count())));
  Publish(std::move(parsed->patterns), parsed->skipped);
}

bool CAtrList::WaitUntilRead(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_lock);
  return m_readChanged.wait_for(lock, timeout, [this] { return m_bRead; });
}

std::size_t CAtrList::PatternCount() const {
  std::lock_guard lock(m_lock);
  return m_patterns.size();
}

std::size_t CAtrList::SkippedCount() const {
  std::lock_guard lock(m_lock);
  return m_nSkipped;
}

std::string CAtrList::Describe(std::string_view atrText) const {
  if (atrText.empty() || atrText.size() > kMaxAtrTextLength) return {};
  if (!WaitUntilRead(kLookupWait)) return {};
  std::vector<std::uint32_t> text;
  text.reserve(atrText.size());
  for (const char c : atrText) text.push_back(CharacterBit(c));
  // m_patterns is no longer written once the read has ended.
  for (const Pattern& pattern : m_patterns) {
    if (pattern.hasAnyRun ? pattern.fixedLength > text.size() : pattern.fixedLength != text.size()) continue;
    if (Matches(pattern, text)) return pattern.description;
  }
  return {};
}
