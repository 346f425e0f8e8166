// libFuzzer target for the configuration file reader as the program uses it:
// the file is read from disk (with its size and line-end checks), then the
// card tables and file lists are read from it. Beyond "does not crash":
// - a file is refused only for what the reader checks: UTF-16 (a byte order
//   mark or zero bytes) or mostly lines ending in CR alone; a refused file reads as empty
//   with a reason, a read one gives the profile that parsing its text gives;
// - a read file has no more lines ending in CR alone than in LF: a CR alone
//   ends a line for the editor that wrote it, and this reader would join
//   those lines without a word;
// - the profile and the raw section listing (the settings dump's reader of the
//   same file) agree on which sections and keys there are;
// - no value handed out is longer than the 255-character bound;
// - every card the tables name is found again by the lookups the pages use.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "app/config_file.h"
#include "card/card_names.h"
#include "platform/profile_file.h"
#include "platform/text.h"

namespace {

// Names match without regard to ASCII case only.
std::string AsciiUpper(std::string text) {
  for (char& c : text) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return text;
}

// More lines end in CR alone than in LF.
bool MostlyCrLines(std::string_view text) {
  std::size_t lone = 0;
  for (std::size_t at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1)) {
    lone += at + 1 == text.size() || text[at + 1] != '\n';
  }
  return lone > static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

void CheckRefusal(const velkaro::ProfileFile& profile, std::string_view text) {
  FUZZ_CHECK(!profile.LoadProblem().empty() && profile.SectionNames().empty());
  const bool utf16 = text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF") ||
                     text.find('\0') != std::string_view::npos;
  FUZZ_CHECK(utf16 || MostlyCrLines(text));
}

// Two profiles hold the same sections, keys and values.
void CheckSame(const velkaro::ProfileFile& loaded, const velkaro::ProfileFile& parsed) {
  const auto names = loaded.SectionNames();
  FUZZ_CHECK(names == parsed.SectionNames());
  for (const auto& section : names) {
    const auto keys = loaded.KeyNames(section);
    FUZZ_CHECK(keys == parsed.KeyNames(section));
    for (const auto& key : keys) {
      const std::string value = loaded.GetString(section, key, "");
      FUZZ_CHECK(value == parsed.GetString(section, key, ""));
    }
  }
}

// The first section of each name (in any letter case) is the one the profile
// keeps, with the first key of each name.
void CheckAgreement(const velkaro::ProfileFile& profile, std::string_view text) {
  const auto raw = velkaro::ParseRawProfileSections(text);
  std::vector<const velkaro::ProfileSectionKeys*> firsts;
  std::unordered_set<std::string> seen;
  for (const auto& section : raw) {
    if (seen.insert(AsciiUpper(section.name)).second) firsts.push_back(&section);
  }
  const auto names = profile.SectionNames();
  FUZZ_CHECK(names.size() == firsts.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    FUZZ_CHECK(names[i] == firsts[i]->name);
    std::vector<std::string> keys;
    std::unordered_set<std::string> seenKeys;
    for (const auto& key : firsts[i]->keys) {
      if (seenKeys.insert(AsciiUpper(key)).second) keys.push_back(key);
    }
    const auto profileKeys = profile.KeyNames(names[i]);
    FUZZ_CHECK(profileKeys == keys);
    for (const auto& key : profileKeys) {
      FUZZ_CHECK(profile.GetString(names[i], key, "").size() <= velkaro::ProfileFile::kMaxValueLength);
      // Lookups ignore letter case: the lower-case spelling finds the same value.
      std::string lower = key;
      for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      FUZZ_CHECK(profile.GetString(names[i], lower, "") == profile.GetString(names[i], key, ""));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  velkaro::ProfileFile profile;
  if (!profile.Load(WriteFuzzFile("diagtool.ini", text))) {
    CheckRefusal(profile, text);
    return 0;
  }
  FUZZ_CHECK(profile.LoadProblem().empty());
  velkaro::ProfileFile parsed;
  parsed.Parse(text);
  CheckSame(profile, parsed);
  FUZZ_CHECK(!MostlyCrLines(text));
  CheckAgreement(profile, text);

  StringList mandatory, optional, readers;
  CardNameMap names;
  CardPatternMap patterns;
  std::string message;
  if (!ReadConfigProfile(profile, "Linux", mandatory, optional, names, readers, patterns, message)) {
    FUZZ_CHECK(!message.empty());
    return 0;
  }
  for (const auto* list : {&mandatory, &optional, &readers}) {
    for (const auto& item : *list) FUZZ_CHECK(!item.empty() && item.size() <= velkaro::ProfileFile::kMaxValueLength);
  }
  for (const auto& entry : patterns.Entries()) FUZZ_CHECK(entry.pattern.find("??") != std::string::npos);

  const CCardNames cards(names, patterns);
  for (const auto& [atr, name] : names) {
    FUZZ_CHECK(cards.HasExactEntry(atr));
    std::string found;
    cards.LookupCardName(atr, found);
    FUZZ_CHECK(found == name);
    FUZZ_CHECK(cards.CardNameFor(atr) == name);
  }
  return 0;
}
