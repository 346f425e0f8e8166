#include "status/file_info.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "platform/package_note.h"
#include "platform/services.h"
#include "platform/system_files.h"
#include "platform/text.h"
#include "res/strings.h"

namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsLibraryName(std::string_view name) { return name.ends_with(".so") || name.find(".so.") != std::string_view::npos; }

std::vector<std::string> Rooted(const std::string& root, const std::vector<std::string>& directories) {
  std::vector<std::string> rooted;
  for (const std::string& directory : directories) rooted.push_back(root + directory);
  return rooted;
}

// A name without a directory is looked up in the directories its kind
// selects; a name of another kind in the program's own directory, where the
// system's default search would look first.
std::vector<std::string> FirstSearchDirectories(const std::string& root, const std::string& name) {
  if (IsLibraryName(name)) return Rooted(root, velkaro::LibraryDirectories());
  if (name.find('.') == std::string::npos) return Rooted(root, velkaro::ProgramDirectories());
  const std::string module = velkaro::SystemInfo().ModulePath();
  const size_t slash = module.rfind('/');
  if (slash == std::string::npos) return {};
  return {module.substr(0, slash)};
}

std::optional<std::string> FindInDriversDirectory(const std::string& root, const std::string& name) {
  const std::string drivers = root + velkaro::kPcscDriversDirectory;
  if (IsRegularFile(drivers + "/" + name)) return drivers + "/" + name;
  std::vector<std::string> bundles;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(drivers, error)) {
    if (entry.path().extension() == ".bundle") bundles.push_back(entry.path().string());
  }
  std::sort(bundles.begin(), bundles.end());
  for (const std::string& bundle : bundles) {
    const std::string candidate = bundle + "/Contents/Linux/" + name;
    if (IsRegularFile(candidate)) return candidate;
  }
  return std::nullopt;
}

struct VersionSource {
  std::string version;
  std::string vendor;
};

// The bundle's Info.plist speaks for a driver library inside it.
std::optional<std::string> BundleInfoPlist(const std::string& path) {
  const std::string marker = ".bundle/Contents/Linux/";
  const size_t at = path.rfind(marker);
  if (at == std::string::npos) return std::nullopt;
  return path.substr(0, at) + ".bundle/Contents/Info.plist";
}

std::optional<VersionSource> ReadVersionSource(const std::string& path) {
  if (const auto note = velkaro::ReadPackageNote(path)) return VersionSource{note->version, note->vendor};
  if (const auto plist = BundleInfoPlist(path)) {
    if (const auto info = velkaro::ReadInfoPlist(*plist)) return VersionSource{info->version, info->vendor};
  }
  if (const auto owner = velkaro::FindOwningPackage(path)) return VersionSource{owner->version, {}};
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
  // An epoch ("1:") is not part of the version proper.
  if (const size_t colon = text.find(':'); colon != std::string_view::npos &&
      std::all_of(text.begin(), text.begin() + static_cast<long>(colon), [](char c) { return c >= '0' && c <= '9'; })) {
    text.remove_prefix(colon + 1);
  }
  const size_t end = text.find_first_of("-+~");
  const std::string_view dotted = text.substr(0, end);
  if (dotted.empty()) return std::nullopt;
  bool expectDigit = true;
  for (char c : dotted) {
    if (c >= '0' && c <= '9') {
      expectDigit = false;
    } else if (c == '.' && !expectDigit) {
      expectDigit = true;
    } else {
      return std::nullopt;
    }
  }
  if (expectDigit) return std::nullopt;

  std::array<unsigned, 4> numbers{};
  size_t count = 0;
  for (size_t i = 0; i < text.size() && count < numbers.size();) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    unsigned long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      value = std::min<unsigned long long>(value * 10 + static_cast<unsigned>(text[i] - '0'), 0xFFFF);
    }
    numbers[count++] = static_cast<unsigned>(value);
  }
  return numbers;
}

std::optional<std::string> FindSystemFile(const std::string& name) {
  const std::string root = velkaro::SystemRoot();
  if (name.find('/') != std::string::npos) {
    const std::string path = name.front() == '/' ? root + name : name;
    if (IsRegularFile(path)) return path;
    // The running program itself lies outside a fake system tree.
    if (!root.empty() && name.front() == '/' && IsRegularFile(name)) return name;
  } else {
    for (const std::string& directory : FirstSearchDirectories(root, name)) {
      const std::string path = directory + "/" + name;
      if (IsRegularFile(path)) return path;
    }
  }
  return FindInDriversDirectory(root, name);
}

int CFileInfo::Inspect(const std::string& name) {
  m_strFileVersion = kMissing;
  m_strVersion.clear();
  m_strCompany = res::kNotAvailable;
  m_strDate = kMissing;
  m_strPath.clear();
  m_strName = name;
  if (name.empty()) return -1;

  const auto path = FindSystemFile(name);
  if (!path) return -1;
  m_strPath = path->substr(0, path->rfind('/') + 1);

  const auto source = ReadVersionSource(*path);
  if (!source) return -1;
  const auto fixed = ParseFixedVersion(source->version);
  if (!fixed) return -1;
  m_strVersion = velkaro::Format("%u.%u.%u.%u", (*fixed)[0], (*fixed)[1], (*fixed)[2], (*fixed)[3]);
  if (const auto created = velkaro::FileCreationTime(*path)) m_strDate = FormatDate(*created);
  m_strFileVersion = source->version;
  if (!source->vendor.empty()) m_strCompany = source->vendor;
  return 0;
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
