#include "platform/os_version.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>

#include "platform/file_limits.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

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
  // Usually a link into /usr/lib; a FIFO or device at its end is refused.
  const std::optional<std::string> text = ReadSystemFile(path, kMaxOsReleaseSize, "os-release");
  if (!text) return {};
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view view = TrimSpaces(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
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
