// Reading the registry export text format (see registry_text.h). The parser
// is strict: anything it cannot read exactly is an error naming the line, so
// a damaged store is reported instead of being half-read and then rewritten.

#include <cstdio>
#include <limits>

#include "platform/store/registry_types.h"
#include "platform/store/registry_text.h"

namespace velkaro {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char ch = text[i];
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    if (ch != prefix[i]) return false;
  }
  return true;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, the whole text.
bool ParseHexNumber(std::string_view text, std::uint32_t& number) {
  if (text.empty() || text.size() > 8) return false;
  number = 0;
  for (const char ch : text) {
    const int digit = HexDigit(ch);
    if (digit < 0) return false;
    number = (number << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

std::string Shown(std::string_view text) {
  constexpr std::size_t kShown = 24;
  return text.size() <= kShown ? std::string(text) : std::string(text.substr(0, kShown)) + "...";
}

class Parser {
 public:
  // `piece`: how many values of one key are handed on at most at a time.
  Parser(std::string_view text, RegTextError& error, std::size_t piece)
      : m_text(text), m_error(error), m_piece(piece) {}

  bool Run(const RegSectionTaker& take);

 private:
  bool Fail(std::string message) {
    m_error.line = m_line;
    m_error.message = std::move(message);
    return false;
  }

  // The next line without its line end; checks that it holds text only.
  bool NextLine(std::string_view& line, bool& atEnd);
  bool ParseKeyLine(std::string_view line, RegKeySection& section);
  bool ParseValueLine(std::string_view line, RegValueEntry& value);
  bool ParseQuoted(std::string_view& rest, std::string& text, std::size_t limit, const char* what);
  bool ParseHexList(std::string_view rest, std::vector<std::uint8_t>& data);

  std::string_view m_text;
  std::size_t m_position = 0;
  std::size_t m_line = 0;
  RegTextError& m_error;
  const std::size_t m_piece;
};

bool Parser::NextLine(std::string_view& line, bool& atEnd) {
  atEnd = m_position >= m_text.size();
  if (atEnd) return true;
  const std::size_t end = m_text.find('\n', m_position);
  const std::size_t stop = end == std::string_view::npos ? m_text.size() : end;
  line = m_text.substr(m_position, stop - m_position);
  m_position = end == std::string_view::npos ? m_text.size() : end + 1;
  ++m_line;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (byte == 0) return Fail("NUL byte in column " + std::to_string(i + 1));
    if (byte < 0x20 && byte != '\t') {
      char text[64];
      std::snprintf(text, sizeof text, "control character 0x%02x in column %zu", byte, i + 1);
      return Fail(text);
    }
  }
  if (!IsValidUtf8(line)) return Fail("text is not valid UTF-8");
  return true;
}

bool Parser::Run(const RegSectionTaker& take) {
  if (m_text.empty()) return true;
  if (m_text.size() > kMaxRegTextSize) {
    return Fail("file is larger than " + std::to_string(kMaxRegTextSize) + " bytes");
  }
  if (m_text.starts_with("\xEF\xBB\xBF")) m_position = 3;
  // Windows' regedit saves UTF-16, and its older format in a code page: say
  // so rather than report a stray byte. Neither is converted, because
  // hex(2) and hex(7) data would stay UTF-16 where this format holds UTF-8.
  const bool utf16 = m_text.starts_with("\xFF\xFE") || m_text.starts_with("\xFE\xFF") ||
                     (m_text.size() >= 2 && m_text[0] != '\0' && m_text[1] == '\0');
  if (utf16) {
    m_line = 1;
    return Fail("text is UTF-16, as Windows regedit saves it; only UTF-8 is read (convert the file to UTF-8, "
                "and write hex(2) and hex(7) data as UTF-8)");
  }

  std::string_view line;
  bool atEnd = false;
  if (!NextLine(line, atEnd)) return false;
  if (!atEnd && TrimBlanks(line) == "REGEDIT4") {
    return Fail("REGEDIT4 files (the older regedit format, in a Windows code page) are not read; the first line "
                "must be \"" + std::string(kRegTextHeader) + "\", the text UTF-8");
  }
  if (atEnd || TrimBlanks(line) != kRegTextHeader) {
    m_line = 1;
    return Fail("first line is not \"" + std::string(kRegTextHeader) + "\"");
  }

  // One section at a time, its vectors reused: a store is never held twice.
  RegKeySection section;
  bool open = false;
  for (;;) {
    if (!NextLine(line, atEnd)) return false;
    if (atEnd) {
      if (open) take(section);
      return true;
    }
    line = TrimBlanks(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (open) take(section);
      section.root = nullptr;
      section.path.clear();
      section.remove = false;
      section.values.clear();
      section.line = m_line;
      open = true;
      if (!ParseKeyLine(line, section)) return false;
    } else if (line.front() == '"' || line.front() == '@') {
      if (!open) return Fail("value line before the first key line");
      if (section.remove) return Fail("value line under a key deletion line");
      RegValueEntry& value = section.values.emplace_back();
      value.line = m_line;
      if (!ParseValueLine(line, value)) return false;
      if (section.values.size() == m_piece) {
        take(section);
        section.values.clear();
      }
    } else {
      return Fail("unexpected text \"" + Shown(line) + "\"");
    }
  }
}

bool Parser::ParseKeyLine(std::string_view line, RegKeySection& section) {
  // Key names may hold "]", so the key line ends at the last one.
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos) return Fail("key line without closing \"]\"");
  if (close + 1 != line.size()) return Fail("unexpected text after \"]\"");
  std::string_view path = line.substr(1, close - 1);
  if (path.starts_with('-')) {
    section.remove = true;
    path.remove_prefix(1);
  }
  bool first = true;
  for (;;) {
    const std::size_t slash = path.find('\\');
    const std::string_view name = path.substr(0, slash);
    if (first) {
      section.root = FindRegRoot(name);
      if (section.root == nullptr) return Fail("unknown root key \"" + Shown(name) + "\"");
      if (section.root->store == RegStoreKind::None) {
        return Fail(std::string(section.root->name) + " does not exist on this system");
      }
      first = false;
    } else {
      if (name.empty()) return Fail("empty key name in the key path");
      if (name.size() > kMaxKeyNameLength) {
        return Fail("key name longer than " + std::to_string(kMaxKeyNameLength) + " bytes");
      }
      if (!IsValidKeyName(name)) return Fail("invalid key name \"" + Shown(name) + "\"");
      if (section.path.size() == kMaxKeyDepth) {
        return Fail("key path deeper than " + std::to_string(kMaxKeyDepth) + " levels");
      }
      section.path.emplace_back(name);
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  if (section.remove && section.path.empty()) return Fail("a root key cannot be deleted");
  return true;
}

bool Parser::ParseQuoted(std::string_view& rest, std::string& text, std::size_t limit, const char* what) {
  const auto tooLong = [&] { return Fail(std::string(what) + " longer than " + std::to_string(limit) + " bytes"); };
  const auto unclosed = [&] { return Fail(std::string(what) + " without closing quote"); };
  rest.remove_prefix(1);  // the opening quote
  for (;;) {
    const std::size_t special = rest.find_first_of("\\\"");
    const std::size_t plain = special == std::string_view::npos ? rest.size() : special;
    if (text.size() + plain > limit) return tooLong();
    text.append(rest.substr(0, plain));
    if (special == std::string_view::npos || (special + 1 == rest.size() && rest[special] == '\\')) return unclosed();
    if (rest[special] == '"') {
      rest.remove_prefix(special + 1);
      return true;
    }
    const char escaped = rest[special + 1];
    if (escaped != '\\' && escaped != '"') {
      return Fail(std::string("unknown escape \"\\") + escaped + "\" in a " + what + " (write \\\\ for a backslash)");
    }
    if (text.size() == limit) return tooLong();
    text += escaped;
    rest.remove_prefix(special + 2);
  }
}

bool Parser::ParseValueLine(std::string_view line, RegValueEntry& value) {
  std::string_view rest = line;
  if (rest.front() == '@') {
    rest.remove_prefix(1);
  } else {
    if (!ParseQuoted(rest, value.name, kMaxValueNameLength, "value name")) return false;
    if (value.name.empty()) return Fail("empty value name (the default value is written @)");
    if (!IsValidValueName(value.name)) return Fail("invalid value name");
  }
  rest = TrimBlanks(rest);
  if (!rest.starts_with('=')) return Fail("\"=\" expected after the value name");
  rest = TrimBlanks(rest.substr(1));

  if (rest == "-") {
    value.remove = true;
    return true;
  }
  if (rest.starts_with('"')) {
    std::string text;
    if (!ParseQuoted(rest, text, kMaxValueSize - 1, "string")) return false;
    if (!TrimBlanks(rest).empty()) return Fail("unexpected text after the string");
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return true;
  }
  if (StartsWithNoCase(rest, "dword:")) {
    std::uint32_t number = 0;
    if (!ParseHexNumber(rest.substr(6), number)) return Fail("dword: needs 1 to 8 hex digits");
    value.type = REG_DWORD;
    value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                  static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    return true;
  }
  if (StartsWithNoCase(rest, "hex:")) {
    value.type = REG_BINARY;
    return ParseHexList(rest.substr(4), value.data);
  }
  if (StartsWithNoCase(rest, "hex(")) {
    const std::size_t close = rest.find("):");
    if (close == std::string_view::npos || !ParseHexNumber(rest.substr(4, close - 4), value.type)) {
      return Fail("hex(N): needs a type number of 1 to 8 hex digits");
    }
    return ParseHexList(rest.substr(close + 2), value.data);
  }
  return Fail("unknown value data \"" + Shown(rest) + "\"");
}

// Bytes of one or two hex digits separated by commas; a line ending in "\"
// goes on in the next.
bool Parser::ParseHexList(std::string_view rest, std::vector<std::uint8_t>& data) {
  for (;;) {
    rest = TrimBlanks(rest);
    const bool continued = rest.ends_with('\\');
    if (continued) rest = TrimBlanks(rest.substr(0, rest.size() - 1));
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view item = TrimBlanks(rest.substr(0, comma));
      const int high = item.empty() ? -1 : HexDigit(item[0]);
      const int low = item.size() == 2 ? HexDigit(item[1]) : 0;
      if (item.size() > 2 || high < 0 || low < 0) return Fail("bad hex byte \"" + Shown(item) + "\"");
      if (data.size() == kMaxValueSize) {
        return Fail("value larger than " + std::to_string(kMaxValueSize) + " bytes");
      }
      data.push_back(static_cast<std::uint8_t>(item.size() == 2 ? high << 4 | low : high));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    if (!continued) return true;
    bool atEnd = false;
    if (!NextLine(rest, atEnd)) return false;
    if (atEnd) return Fail("file ends inside a continued hex list");
  }
}

}  // namespace

bool ParseRegText(std::string_view text, RegDocument& document, RegTextError& error) {
  document.sections.clear();
  error = {};
  const auto keep = [&](const RegKeySection& section) { document.sections.push_back(section); };
  if (Parser(text, error, std::numeric_limits<std::size_t>::max()).Run(keep)) return true;
  document.sections.clear();
  return false;
}

bool ParseRegText(std::string_view text, const RegSectionTaker& take, RegTextError& error) {
  // A key of very many values goes on in pieces, so that its values are
  // never held twice.
  constexpr std::size_t kPiece = 1024;
  error = {};
  return Parser(text, error, kPiece).Run(take);
}

void RegSectionApplier::Apply(const RegKeySection& section) {
  RegKeyNode* root = m_top.FindSubkey(section.root->name);
  if (root == nullptr) return;
  if (section.remove) {
    const std::span<const std::string> path(section.path);
    if (RegKeyNode* parent = root->Find(path.first(path.size() - 1))) m_batch.DeleteSubkey(*parent, path.back());
    return;
  }
  RegKeyNode* key = root;
  for (const std::string& name : section.path) key = &m_batch.AddSubkey(*key, name);
  for (const RegValueEntry& value : section.values) {
    if (value.remove) {
      m_batch.DeleteValue(*key, value.name);
    } else {
      key->SetValue(value.name, value.type, value.data);
    }
  }
}

void ApplyRegSections(std::span<const RegKeySection> sections, RegKeyNode& top) {
  RegSectionApplier applier(top);
  for (const RegKeySection& section : sections) applier.Apply(section);
}

}  // namespace velkaro
