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
#include <unordered_map>
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
  // So does a file in UTF-16 or with CR-only line ends, which this reader
  // would otherwise take for one long line and read as empty without a word.
  bool Load(const std::string& path);
  // Why the last Load read nothing of a file that is there ("it is larger
  // than 16 MiB"), for the caller to tell the user; empty when the file was
  // read or does not exist.
  const std::string& LoadProblem() const { return m_loadProblem; }
  // Parses UTF-8 (or ASCII) text with LF or CR LF line ends. Sections and keys
  // are indexed as they are read, so reading takes time in proportion to the
  // file and a lookup does not grow with it.
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
  // Names compare without regard to ASCII case (EqualsNoCase); lookups by
  // string_view need no upper-cased copy.
  struct NoCaseHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept;
  };
  struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
  };
  using NameIndex = std::unordered_map<std::string, std::size_t, NoCaseHash, NoCaseEqual>;

  struct Entry {
    std::string key;
    std::string value;
  };
  // Only the first section of each name is kept, with the first entry of each
  // key name: later ones are never looked up.
  struct Section {
    std::string name;
    std::vector<Entry> entries;  // file order
    NameIndex keyIndex;          // key -> entries; only for sections with many keys
  };

  void Clear();
  const Entry* FindEntry(const Section& section, std::string_view key) const;

  std::vector<Section> m_sections;  // file order
  NameIndex m_sectionIndex;         // name -> m_sections
  std::string m_loadProblem;
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
// The same for text already read.
std::vector<ProfileSectionKeys> ParseRawProfileSections(std::string_view content);

// One-shot lookup in the manner of GetPrivateProfileString.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& path);

}  // namespace velkaro
