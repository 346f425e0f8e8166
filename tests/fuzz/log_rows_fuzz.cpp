// libFuzzer target for the log's rows built from outside text: the file rows
// (name, the version read from a package's version text, vendor), the OS line
// (kernel release and os-release name) and the result message. Oracles: the
// fixed version's four numbers are digit runs of the text, in order, and
// read back from the row; a row is its three fields, their control bytes
// escaped, with the tabs the column rule gives for the escaped texts; the OS
// line holds the escaped product name and keeps the kernel release's build.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "log/log_report.h"
#include "log/log_texts.h"
#include "platform/os_version.h"
#include "platform/text.h"
#include "status/file_info.h"

namespace {

std::string Tabs(const std::string& field) { return field.size() < 8 ? "\t\t" : "\t"; }

// The fixed version's numbers are the text's first digit runs (after an
// epoch), each below 2^32, and there is at least one.
void CheckFixedVersion(const std::string& text, const std::array<unsigned, 4>& numbers) {
  std::string_view rest = text;
  if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0 &&
                                         rest.substr(0, colon).find_first_not_of("0123456789") == std::string_view::npos) {
    rest.remove_prefix(colon + 1);
  }
  std::size_t found = 0;
  for (std::size_t i = 0; i < rest.size() && found < 4;) {
    if (rest[i] < '0' || rest[i] > '9') {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
    // Leading zeros do not count: the run's value is what is shown.
    const std::string run(rest.substr(i, end - i));
    FUZZ_CHECK(std::stoull(run.substr(0, 20)) == numbers[found] || run.size() > 20);
    ++found;
    i = end;
  }
  FUZZ_CHECK(found > 0);
  for (std::size_t k = found; k < 4; ++k) FUZZ_CHECK(numbers[k] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string name = input.ConsumeRandomLengthString(40);
  const std::string versionText = input.ConsumeRandomLengthString(80);
  const std::string vendor = input.ConsumeRandomLengthString(40);
  const std::string kernel = input.ConsumeRandomLengthString(40);
  const int result = input.ConsumeIntegral<int>();
  const std::string product = input.ConsumeRemainingBytesAsString();

  std::string version = "n/a";
  if (const auto fixed = ParseFixedVersion(versionText)) {
    CheckFixedVersion(versionText, *fixed);
    version = velkaro::Format("%u.%u.%u.%u", (*fixed)[0], (*fixed)[1], (*fixed)[2], (*fixed)[3]);
    unsigned back[4] = {};
    FUZZ_CHECK(std::sscanf(version.c_str(), "%u.%u.%u.%u", &back[0], &back[1], &back[2], &back[3]) == 4);
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(back[i] == (*fixed)[i]);
  }
  const std::string row = FileRow(name, version, vendor);
  const std::string shownName = velkaro::EscapeControls(name);
  FUZZ_CHECK(row == shownName + Tabs(shownName) + version + Tabs(version) + velkaro::EscapeControls(vendor));
  FUZZ_CHECK(row.find_first_of("\r\n") == std::string::npos);

  velkaro::OsVersionRecord record;
  record.platformId = velkaro::VER_PLATFORM_LINUX;
  record.csdVersion = kernel;
  velkaro::ParseKernelRelease(kernel, record.majorVersion, record.minorVersion, record.buildNumber);
  // The numbers are the release's leading dotted numbers: the first is there
  // exactly when the release starts with a digit.
  FUZZ_CHECK((kernel.empty() || kernel[0] < '0' || kernel[0] > '9') ? record.majorVersion == 0 : true);
  if (!kernel.empty() && kernel[0] >= '1' && kernel[0] <= '9') FUZZ_CHECK(record.majorVersion > 0);
  record.productName = product;
  const std::string line = ComposeOsLine(record);
  const std::string tail = logtext::kBuildNumber + std::to_string(record.buildNumber);
  FUZZ_CHECK(line.starts_with("OS Version: " + velkaro::EscapeControls(product)) && line.ends_with(tail));
  FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);

  const std::string message = DumpResultMessage(result, vendor);
  if (result == 0) {
    FUZZ_CHECK(message == logtext::kLogCreated);
  } else {
    FUZZ_CHECK(message.find(logtext::kErrorCode + std::to_string(result)) != std::string::npos);
    FUZZ_CHECK(vendor.empty() || message.ends_with("\n" + vendor));
  }
  return 0;
}
