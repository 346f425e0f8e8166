// libFuzzer target for the system's version record with an os-release file
// of any content (the file is the system's, and a damaged or planted one is
// read by a tool that runs as root). Oracles, besides "does not crash":
// - the product name is the value of the first PRETTY_NAME line, its
//   matching quotes removed, or "Linux" when there is no such value, as a
//   second reading of the file finds it;
// - the name is one line, and no longer than the file;
// - the kernel part is the running kernel's and does not depend on the file.

#include <sys/utsname.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/os_version.h"

namespace {

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kSpaces = " \t\r\n\f\v";
  const std::size_t first = text.find_first_not_of(kSpaces);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
}

std::string ReferenceName(const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::string_view value = Trimmed(line);
    if (value.substr(0, 12) != "PRETTY_NAME=") continue;
    value.remove_prefix(12);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    return value.empty() ? "Linux" : std::string(value);
  }
  return "Linux";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto record = velkaro::QueryLinuxVersion(WriteFuzzFile("os-release", text));
  FUZZ_CHECK(record.has_value());
  FUZZ_CHECK_EQUAL(record->productName, ReferenceName(text));
  FUZZ_CHECK(record->productName.find('\n') == std::string::npos);
  FUZZ_CHECK(record->productName == "Linux" || record->productName.size() <= size);

  static const auto kernel = [] {
    struct utsname names {};
    ::uname(&names);
    return std::string(names.release);
  }();
  FUZZ_CHECK_EQUAL(record->csdVersion, kernel);
  std::uint32_t major = 0, minor = 0, patch = 0;
  velkaro::ParseKernelRelease(kernel, major, minor, patch);
  FUZZ_CHECK(record->majorVersion == major && record->minorVersion == minor && record->buildNumber == patch);
  return 0;
}
