// libFuzzer target for the device lists of a driver bundle's Info.plist,
// which pcscd's USB hot plug reads and any package may install. Oracles,
// besides "does not crash":
// - no value is longer than its bound or has spaces at either end, and all
//   values together are at most three times as long as the file (entities
//   do not blow them up);
// - the bundle made of the lists is read exactly when pcscd would read it
//   (every key there, the three lists of one length), with one entry per id;
// - the lists survive a round trip: a plist written from them reads back as
//   the same lists.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/driver_bundles.h"
#include "platform/file_limits.h"
#include "platform/system_files.h"

namespace {

// An empty value is written as a blank: an empty element would not count.
std::string Written(const char* key, bool has, const std::vector<std::string>& values) {
  if (!has) return {};
  std::string text = std::string("<key>") + key + "</key><array>";
  for (const std::string& value : values) text += "<string>" + (value.empty() ? " " : XmlText(value)) + "</string>";
  return text + "</array>";
}

std::string Joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += value + '\n';
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto lists = velkaro::ParseInfoPlistLists(text, "fuzz");
  if (!lists) return 0;
  std::size_t total = 0;
  for (const auto* list : {&lists->vendorIds, &lists->productIds, &lists->friendlyNames}) {
    for (const std::string& value : *list) {
      FUZZ_CHECK(value.size() <= velkaro::kMaxInfoPlistValueSize);
      FUZZ_CHECK(value.empty() || (!IsSpace(value.front()) && !IsSpace(value.back())));
      total += value.size();
    }
  }
  FUZZ_CHECK(total <= 3 * size);

  const velkaro::DriverBundle bundle = velkaro::BundleFromLists("fuzz.bundle", lists);
  const bool complete = lists->hasExecutable && lists->hasVendorIds && lists->hasProductIds && lists->hasFriendlyNames;
  const bool equal =
      lists->vendorIds.size() == lists->productIds.size() && lists->vendorIds.size() == lists->friendlyNames.size();
  FUZZ_CHECK((bundle.state == velkaro::BundleState::kRead) == (complete && equal));
  if (bundle.state == velkaro::BundleState::kRead) {
    FUZZ_CHECK(bundle.entries.size() == lists->vendorIds.size());
    for (std::size_t i = 0; i < bundle.entries.size(); ++i) {
      FUZZ_CHECK(bundle.entries[i].vendorId == velkaro::PcscdHexId(lists->vendorIds[i]));
      FUZZ_CHECK(bundle.entries[i].productId == velkaro::PcscdHexId(lists->productIds[i]));
    }
  }

  const std::string written =
      "<plist><dict>" + std::string(lists->hasExecutable ? "<key>CFBundleExecutable</key><string>x</string>" : "") +
      Written("ifdVendorID", lists->hasVendorIds, lists->vendorIds) +
      Written("ifdProductID", lists->hasProductIds, lists->productIds) +
      Written("ifdFriendlyName", lists->hasFriendlyNames, lists->friendlyNames) + "</dict></plist>";
  const auto again = velkaro::ParseInfoPlistLists(written, "written");
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->hasExecutable == lists->hasExecutable);
  FUZZ_CHECK_EQUAL(Joined(again->vendorIds), Joined(lists->vendorIds));
  FUZZ_CHECK_EQUAL(Joined(again->productIds), Joined(lists->productIds));
  FUZZ_CHECK_EQUAL(Joined(again->friendlyNames), Joined(lists->friendlyNames));
  return 0;
}
