#pragma once
// Finds a configured file (the search rules are the platform's) and reads its
// version, vendor and creation date.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_files.h"

inline constexpr char kMissing[] = "<missing>";

class CFileInfo {
 public:
  CFileInfo() = default;
  virtual ~CFileInfo() = default;

  // 0 when the file was found and its version could be read, -1 otherwise;
  // the fields hold what was learnt before a failure. `owners`, when given,
  // answers for the dpkg database (see InspectFiles).
  int Inspect(const std::string& name, const velkaro::PackageOwners* owners = nullptr);

  std::string m_strFileVersion;  // the version text as stored, or "<missing>"
  std::string m_strVersion;      // "%u.%u.%u.%u", empty when unknown
  std::string m_strCompany;      // vendor, or "n/a"
  std::string m_strDate;         // "YYYY-MM-DD hh:mm.ss" (UTC), or "<missing>"
  std::string m_strPath;         // directory of the found file with its final '/', or empty
  std::string m_strName;         // the name as given
};

// Inspects each of these files, in order, reading the dpkg database once for
// all of them rather than once per file. Safe on any thread.
std::vector<CFileInfo> InspectFiles(const std::vector<std::string>& names);

// Whether this is a 32-bit process on a 64-bit system.
bool IsWow64();

// The fixed version of a version text: its first four runs of digits after a
// dpkg epoch, whatever stands between them ("1:1.2.13.dfsg-1" gives 1.2.13.1,
// missing numbers are 0). Nothing when the text holds no digit or one of those
// numbers does not fit in 32 bits.
std::optional<std::array<unsigned, 4>> ParseFixedVersion(std::string_view text);
