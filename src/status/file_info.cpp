#include "status/file_info.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <limits>

#include "platform/package_note.h"
#include "platform/system_files.h"
#include "platform/text.h"
#include "res/strings.h"

namespace {

struct VersionSource {
  std::string version;
  std::string vendor;
};

std::optional<VersionSource> ReadVersionSource(const std::string& path, const velkaro::PackageOwners* owners) {
  if (const auto note = velkaro::ReadPackageNote(path)) return VersionSource{note->version, note->vendor};
  // A driver bundle's Info.plist speaks for the library inside it.
  if (const auto plist = velkaro::BundleInfoPlistOf(path)) {
    if (const auto info = velkaro::ReadInfoPlist(*plist)) return VersionSource{info->version, info->vendor};
  }
  if (owners) {
    if (const auto owner = owners->find(path); owner != owners->end()) return VersionSource{owner->second.version, {}};
  } else if (const auto owner = velkaro::FindOwningPackage(path)) {
    return VersionSource{owner->version, {}};
  }
  return std::nullopt;
}

std::string FormatDate(std::time_t time) {
  std::tm utc {};
  if (!gmtime_r(&time, &utc)) return kMissing;
  return velkaro::Format("%04ld-%02ld-%02ld %02ld:%02ld.%02ld", static_cast<long>(utc.tm_year + 1900),
                         static_cast<long>(utc.tm_mon + 1), static_cast<long>(utc.tm_mday),
                         static_cast<long>(utc.tm_hour), static_cast<long>(utc.tm_min),
                         static_cast<long>(utc.tm_sec));
}

}  // namespace

std::optional<std::array<unsigned, 4>> ParseFixedVersion(std::string_view text) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  // A dpkg epoch ("1:") only orders package versions; it is no part of the
  // version the file carries.
  const size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon > 0 &&
      std::all_of(text.begin(), text.begin() + static_cast<long>(colon), isDigit)) {
    text.remove_prefix(colon + 1);
  }
  std::array<unsigned, 4> numbers{};
  size_t count = 0;
  for (size_t i = 0; i < text.size() && count < numbers.size();) {
    if (!isDigit(text[i])) {
      ++i;
      continue;
    }
    std::uint64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    numbers[count++] = static_cast<unsigned>(value);
  }
  // A text without a single number has no version to show.
  if (count == 0) return std::nullopt;
  return numbers;
}

int CFileInfo::Inspect(const std::string& name, const velkaro::PackageOwners* owners) {
  m_strFileVersion = kMissing;
  m_strVersion.clear();
  m_strCompany = res::kNotAvailable;
  m_strDate = kMissing;
  m_strPath.clear();
  m_strName = name;
  if (name.empty()) return -1;

  const auto path = velkaro::FindSystemFile(name);
  if (!path) return -1;
  m_strPath = path->substr(0, path->rfind('/') + 1);

  const auto source = ReadVersionSource(*path, owners);
  if (!source) return -1;
  const auto fixed = ParseFixedVersion(source->version);
  if (!fixed) return -1;
  m_strVersion = velkaro::Format("%u.%u.%u.%u", (*fixed)[0], (*fixed)[1], (*fixed)[2], (*fixed)[3]);
  if (const auto created = velkaro::FileCreationTime(*path)) m_strDate = FormatDate(*created);
  m_strFileVersion = source->version;
  if (!source->vendor.empty()) m_strCompany = source->vendor;
  return 0;
}

std::vector<CFileInfo> InspectFiles(const std::vector<std::string>& names) {
  std::vector<std::string> found;
  for (const std::string& name : names) {
    if (name.empty()) continue;
    if (auto path = velkaro::FindSystemFile(name)) found.push_back(std::move(*path));
  }
  const velkaro::PackageOwners owners = velkaro::FindOwningPackages(found);
  std::vector<CFileInfo> infos(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) infos[i].Inspect(names[i], &owners);
  return infos;
}

bool IsWow64() {
  if constexpr (sizeof(void*) != 4) {
    return false;
  } else {
    struct utsname names {};
    if (::uname(&names) != 0) return false;
    const std::string machine = names.machine;
    return machine.find("64") != std::string::npos || machine == "s390x";
  }
}
