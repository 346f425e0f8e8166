// libFuzzer target for a driver bundle's Info.plist, a file any package may
// install, read by a tool that runs as root. Oracles, besides "does not
// crash":
// - a version found is not empty, has no spaces at either end and is at most
//   three times as long as the file (a byte of a legacy encoding takes up to
//   three in UTF-8): entities do not blow it up;
// - what is found survives a round trip: a property list written with the
//   found version and vendor reads back as the same two texts.

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/system_files.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto info = velkaro::ReadInfoPlist(WriteFuzzFile("Info.plist", text));
  if (!info) return 0;
  FUZZ_CHECK(!info->version.empty() && info->version.size() <= 3 * size);
  FUZZ_CHECK(!IsSpace(info->version.front()) && !IsSpace(info->version.back()));

  std::string written = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                        "  <key>CFBundleShortVersionString</key>\n  <string>" + XmlText(info->version) + "</string>\n";
  if (!info->vendor.empty()) {
    written += "  <key>ifdManufacturerString</key>\n  <string>" + XmlText(info->vendor) + "</string>\n";
  }
  written += "</dict>\n</plist>\n";
  const auto again = velkaro::ReadInfoPlist(WriteFuzzFile("Written.plist", written));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK_EQUAL(again->version, info->version);
  FUZZ_CHECK_EQUAL(again->vendor, info->vendor);
  return 0;
}
