#include "platform/os_version.h"

#include <sys/utsname.h>

#include <cctype>
#include <fstream>

#include "platform/text.h"

namespace velkaro {

void ParseKernelRelease(const std::string& release, std::uint32_t& major, std::uint32_t& minor,
                        std::uint32_t& patch) {
  std::uint32_t numbers[3] = {0, 0, 0};
  size_t pos = 0;
  for (int i = 0; i < 3 && pos < release.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(release[pos]))) break;
    std::uint64_t value = 0;
    while (pos < release.size() && std::isdigit(static_cast<unsigned char>(release[pos]))) {
      value = std::min<std::uint64_t>(value * 10 + static_cast<unsigned>(release[pos] - '0'), UINT32_MAX);
      ++pos;
    }
    numbers[i] = static_cast<std::uint32_t>(value);
    if (pos >= release.size() || release[pos] != '.') break;
    ++pos;
  }
  major = numbers[0];
  minor = numbers[1];
  patch = numbers[2];
}

std::string ReadOsReleasePrettyName(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::string_view view = TrimSpaces(line);
    if (!view.starts_with("PRETTY_NAME=")) continue;
    view.remove_prefix(12);
    if (view.size() >= 2 && (view.front() == '"' || view.front() == '\'') && view.back() == view.front()) {
      view = view.substr(1, view.size() - 2);
    }
    return std::string(view);
  }
  return {};
}

std::optional<OsVersionRecord> QueryLinuxVersion(const std::string& osReleasePath) {
  struct utsname names {};
  if (::uname(&names) != 0) return std::nullopt;
  OsVersionRecord record;
  record.platformId = VER_PLATFORM_LINUX;
  record.csdVersion = names.release;
  ParseKernelRelease(record.csdVersion, record.majorVersion, record.minorVersion, record.buildNumber);
  record.productName = ReadOsReleasePrettyName(osReleasePath);
  if (record.productName.empty()) record.productName = "Linux";
  return record;
}

}  // namespace velkaro
