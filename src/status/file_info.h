#pragma once
// Finds a configured file (the search rules are the platform's) and reads its
// version, vendor and creation date.

#include <array>
#include <optional>
#include <string>
#include <string_view>

inline constexpr char kMissing[] = "<missing>";

class CFileInfo {
 public:
  CFileInfo() = default;
  virtual ~CFileInfo() = default;

  // 0 when the file was found and its version could be read, -1 otherwise;
  // the fields hold what was learnt before a failure.
  int Inspect(const std::string& name);

  std::string m_strFileVersion;  // the version text as stored, or "<missing>"
  std::string m_strVersion;      // "%u.%u.%u.%u", empty when unknown
  std::string m_strCompany;      // vendor, or "n/a"
  std::string m_strDate;         // "YYYY-MM-DD hh:mm.ss" (UTC), or "<missing>"
  std::string m_strPath;         // directory of the found file with its final '/', or empty
  std::string m_strName;         // the name as given
};

// Whether this is a 32-bit process on a 64-bit system.
bool IsWow64();

// The first four numbers of a version text ("1.9.9-2" gives 1.9.9.2, missing
// numbers are 0). Nothing unless the text is a dotted run of numbers, with an
// optional epoch before it and a revision or suffix after '-', '+' or '~'.
std::optional<std::array<unsigned, 4>> ParseFixedVersion(std::string_view text);
