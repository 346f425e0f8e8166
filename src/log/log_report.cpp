#include "log/log_report.h"

#include <algorithm>
#include <array>

#include "log/log_texts.h"
#include "log/registry_dump.h"
#include "platform/text.h"
#include "res/strings.h"

namespace {

using velkaro::VER_PLATFORM_WIN32_NT;
using velkaro::VER_PLATFORM_WIN32_WINDOWS;
using velkaro::VER_PLATFORM_WIN32s;

constexpr int kAny = -1;
constexpr std::uint32_t kWindows98SecondEdition = 2222;  // low word of its build number

struct OsLineRow {
  std::uint32_t platformId;
  int major;
  int minor;
  int lowWordBuild;  // kAny or the build's low word that the row needs
  const char* name;
  bool showLowWord;  // the Windows 95 family keeps more than the build in the high word
};

constexpr std::array<OsLineRow, 12> kOsLineRows = {{
    {VER_PLATFORM_WIN32s, kAny, kAny, kAny, "OS Version: Windows 3.1", false},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 0, kAny, "OS Version: Windows 95", true},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 10, kWindows98SecondEdition, "OS Version: Windows 98 SE", true},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 10, kAny, "OS Version: Windows 98", true},
    {VER_PLATFORM_WIN32_WINDOWS, 4, 90, kAny, "OS Version: Windows ME", true},
    {VER_PLATFORM_WIN32_NT, 3, kAny, kAny, "OS Version: Windows 3.x", false},
    {VER_PLATFORM_WIN32_NT, 4, kAny, kAny, "OS Version: Windows NT4.0", false},
    {VER_PLATFORM_WIN32_NT, 5, 0, kAny, "OS Version: Windows 2000", false},
    {VER_PLATFORM_WIN32_NT, 5, 1, kAny, "OS Version: Windows XP", false},
    {VER_PLATFORM_WIN32_NT, 5, 2, kAny, "OS Version: Windows 2003", false},
    {VER_PLATFORM_WIN32_NT, 6, 0, kAny, "OS Version: Windows Vista", false},
    {VER_PLATFORM_WIN32_NT, 6, 1, kAny, "OS Version: Windows 7", false},
}};

bool Matches(int wanted, std::uint32_t value) { return wanted == kAny || static_cast<std::uint32_t>(wanted) == value; }

constexpr std::size_t kTabColumn = 8;

std::string Tabs(const std::string& text) { return text.size() < kTabColumn ? "\t\t" : "\t"; }

}  // namespace

std::string ComposeOsLine(const std::optional<velkaro::OsVersionRecord>& record) {
  if (!record) return logtext::kOsVersionUnknown;
  const velkaro::OsVersionRecord& r = *record;
  std::string line;
  std::uint32_t build = r.buildNumber;
  if (r.platformId == velkaro::VER_PLATFORM_LINUX) {
    line = "OS Version: " + velkaro::EscapeControls(r.productName);
  } else {
    const auto row = std::find_if(kOsLineRows.begin(), kOsLineRows.end(), [&r](const OsLineRow& candidate) {
      return candidate.platformId == r.platformId && Matches(candidate.major, r.majorVersion) &&
             Matches(candidate.minor, r.minorVersion) && Matches(candidate.lowWordBuild, r.buildNumber & 0xFFFF);
    });
    if (row == kOsLineRows.end()) {
      line = velkaro::Format(logtext::kUnknownOsVersion, static_cast<int>(r.majorVersion),
                             static_cast<int>(r.minorVersion));
    } else {
      line = row->name;
      if (row->showLowWord) build &= 0xFFFF;
    }
  }
  if (!r.csdVersion.empty()) line += "  " + velkaro::EscapeControls(r.csdVersion);
  return line + logtext::kBuildNumber + std::to_string(build);
}

const char* LogStatusText(RmStatus status) {
  // The log's table is the General page's without a text of its own for a
  // stopped service, which the log reports as of unknown state.
  return status == RMS_STOPPED ? kRmStateUnknownText : ResourceManagerStatusText(status);
}

std::string FileRow(const std::string& name, const std::string& version, const std::string& company) {
  // The tabs are the row's own; any in the texts would shift the columns.
  const std::string shownName = velkaro::EscapeControls(name);
  const std::string shownVersion = velkaro::EscapeControls(version);
  return shownName + Tabs(shownName) + shownVersion + Tabs(shownVersion) + velkaro::EscapeControls(company);
}

std::string DumpResultMessage(int result, const std::string& detail) {
  if (result == DUMP_SUCCESS) return logtext::kLogCreated;
  std::string text;
  if (result == DUMP_E_REGISTRY) {
    text = logtext::kErrorScanningRegistry;
  } else if (result == DUMP_E_OS) {
    text = logtext::kOsUnknown;
  } else if (result == DUMP_E_CONFIG) {
    text = std::string(logtext::kInvalidConfiguration) + res::kConfigFileName;
  } else if (result == DUMP_E_WRITE || (result >= DUMP_E_OPEN && result <= DUMP_E_REOPEN)) {
    text = logtext::kFileIoError;
  } else {
    text = logtext::kUnknownError;
  }
  text += logtext::kErrorCode + std::to_string(result);
  if (!detail.empty()) text += "\n" + detail;
  return text;
}
