#pragma once
// Reading "diagtool.ini": the files to inspect, the known card names and
// patterns, and the additional readers to handle.

#include <map>
#include <string>
#include <vector>

#include "platform/os_version.h"

using StringList = std::vector<std::string>;

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
  void Set(const std::string& pattern, const std::string& text);
  const std::vector<Entry>& Entries() const { return m_entries; }
  bool empty() const { return m_entries.empty(); }
  std::size_t size() const { return m_entries.size(); }

 private:
  std::vector<Entry> m_entries;
};

// "diagtool.ini" beside the running program.
std::string GetConfigFilePath();

// The keyword of the files section ("Files <keyword>") for a version record,
// or an empty text with the message to show when the system is not known.
std::string GetFilesSectionKeyword(const velkaro::OsVersionRecord& record, std::string& message);

// Fills the five containers; false on failure after showing its message.
bool ReadConfigFile(StringList& mandatoryFiles, StringList& optionalFiles, CardNameMap& cardNames,
                    StringList& additionalReaders, CardPatternMap& varCardTexts);
