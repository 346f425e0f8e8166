#pragma once
// Reader for Windows-style initialisation files ("diagtool.ini"), with the
// lookup rules of the system profile service the tool was designed around:
// section and key names match case-insensitively, the first matching section
// and the first matching key in it win, a missing key yields the caller's
// default, and a value is cut to the 255 characters of a 256-byte buffer.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

class ProfileFile {
 public:
  // Longest value handed out; longer ones are cut silently.
  static constexpr std::size_t kMaxValueLength = 255;
  // Files larger than this are not read at all (treated as unreadable):
  // a configuration file is a few kilobytes, and a stray multi-gigabyte file
  // must not take the tool down.
  static constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

  ProfileFile() = default;

  // Reads the file; a missing, unreadable or oversized file gives an empty
  // profile (every key then reads as its default). Returns whether it was read.
  bool Load(const std::string& path);
  void Parse(std::string_view content);

  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view defaultValue = {}) const;

  // Section names in file order; a name repeated later in the file (in any
  // letter case) is listed once, at its first place, since only that first
  // section is ever looked up.
  std::vector<std::string> SectionNames() const;
  // Key names of the first section of that name, in file order, each once.
  std::vector<std::string> KeyNames(std::string_view section) const;

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  const Section* FindSection(std::string_view name) const;

  std::vector<Section> m_sections;
};

// Every section of a file exactly as written, for readers that must tell
// "Reg_Linux" from "reg_linux": names keep their case, and sections or keys
// that repeat are listed again. Same line rules as ProfileFile, but apart
// from it, so it does not depend on how ProfileFile merges or indexes its
// sections. Nothing when the file cannot be read.
struct ProfileSectionKeys {
  std::string name;
  std::vector<std::string> keys;  // in file order
};
std::optional<std::vector<ProfileSectionKeys>> ReadRawProfileSections(const std::string& path);

// One-shot lookup in the manner of GetPrivateProfileString.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& path);

}  // namespace velkaro
