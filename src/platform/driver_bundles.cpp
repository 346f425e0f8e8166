#include "platform/driver_bundles.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/text.h"
#include "platform/trusted_file.h"

namespace velkaro {

std::uint32_t PcscdHexId(std::string_view text) {
  const std::string copy(text);
  return static_cast<std::uint32_t>(std::strtol(copy.c_str(), nullptr, 16));
}

std::string BundleProblem(const DriverBundle& bundle) {
  switch (bundle.state) {
    case BundleState::kRead: return {};
    case BundleState::kNoPlist: return "no readable Info.plist: pcscd skips it";
    case BundleState::kMissingKey: return "no " + bundle.missingKey + ": pcscd skips it";
    case BundleState::kUnequalLists: return "lists of unequal length: pcscd reads no bundle after this one";
    case BundleState::kNotReached: return "not read by pcscd: an earlier bundle has lists of unequal length";
  }
  return {};
}

DriverBundle BundleFromLists(std::string name, const std::optional<BundleLists>& lists) {
  DriverBundle bundle;
  bundle.name = std::move(name);
  if (!lists) {
    bundle.state = BundleState::kNoPlist;
    return bundle;
  }
  bundle.version = lists->version;
  bundle.classDriver = lists->bundleName == kClassDriverName;
  // In the order pcscd asks for them.
  const std::pair<bool, const char*> needed[] = {{lists->hasExecutable, "CFBundleExecutable"},
                                                 {lists->hasVendorIds, "ifdVendorID"},
                                                 {lists->hasProductIds, "ifdProductID"},
                                                 {lists->hasFriendlyNames, "ifdFriendlyName"}};
  for (const auto& [has, key] : needed) {
    if (has) continue;
    bundle.state = BundleState::kMissingKey;
    bundle.missingKey = key;
    return bundle;
  }
  const std::size_t count = lists->vendorIds.size();
  if (lists->productIds.size() != count || lists->friendlyNames.size() != count) {
    bundle.state = BundleState::kUnequalLists;
    return bundle;
  }
  bundle.entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    bundle.entries.push_back(
        {PcscdHexId(lists->vendorIds[i]), PcscdHexId(lists->productIds[i]), lists->friendlyNames[i]});
  }
  return bundle;
}

void MarkUnreachedBundles(std::vector<DriverBundle>& bundles) {
  bool stopped = false;
  for (DriverBundle& bundle : bundles) {
    if (stopped) {
      bundle.state = BundleState::kNotReached;
      bundle.entries.clear();
    }
    if (bundle.state == BundleState::kUnequalLists) stopped = true;
  }
}

std::vector<DriverBundle> ReadDriverBundles() {
  const std::string directory = PcscDriversDirectory();
  std::vector<DriverBundle> bundles;
  for (std::string& name : DirectoryEntryNames(directory, kMaxDriverEntries)) {
    if (name.find(".bundle") == std::string::npos) continue;
    const auto lists = ReadInfoPlistLists(directory + "/" + name + "/Contents/Info.plist");
    bundles.push_back(BundleFromLists(std::move(name), lists));
  }
  MarkUnreachedBundles(bundles);
  return bundles;
}

std::optional<DriverClaim> ClaimingDriver(const std::vector<DriverBundle>& bundles, std::uint32_t vendorId,
                                          std::uint32_t productId) {
  std::optional<DriverClaim> specific;
  std::optional<DriverClaim> byClass;
  for (std::size_t b = 0; b < bundles.size(); ++b) {
    const auto& entries = bundles[b].entries;
    for (std::size_t e = 0; e < entries.size(); ++e) {
      if (entries[e].vendorId != vendorId || entries[e].productId != productId) continue;
      (bundles[b].classDriver ? byClass : specific) = DriverClaim{b, e};
    }
  }
  return specific ? specific : byClass;
}

namespace {

// reader.conf's tokens: a quoted text (to its closing quote or the line's
// end) or a run of characters other than blanks; '#' starts a comment.
std::vector<std::string_view> LineTokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  while (at < line.size()) {
    const char c = line[at];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++at;
    } else if (c == '#') {
      break;
    } else if (c == '"' || c == '\'') {
      const std::size_t close = line.find(c, at + 1);
      const std::size_t end = close == std::string_view::npos ? line.size() : close + 1;
      tokens.push_back(line.substr(at, end - at));
      at = end;
    } else {
      std::size_t end = at;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' && line[end] != '#' &&
             line[end] != '"' && line[end] != '\'') {
        ++end;
      }
      tokens.push_back(line.substr(at, end - at));
      at = end;
    }
  }
  return tokens;
}

std::string WithoutQuotes(std::string_view token) {
  std::string text;
  for (const char c : token) {
    if (c != '"') text += c;
  }
  return text;
}

}  // namespace

std::vector<SerialReader> ParseReaderConf(std::string_view text) {
  std::vector<SerialReader> readers;
  SerialReader reader;
  bool hasName = false, hasLibrary = false, hasDevice = false, hasChannel = false;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::vector<std::string_view> tokens = LineTokens(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    // A key and its value; anything else on a line is a fault pcscd skips.
    if (tokens.size() != 2) continue;
    const std::string_view key = tokens[0];
    const std::string_view value = tokens[1];
    if (key == "FRIENDLYNAME" && !hasName) {
      reader.friendlyName = WithoutQuotes(value);
      hasName = true;
    } else if (key == "DEVICENAME" && !hasDevice) {
      reader.deviceName = WithoutQuotes(value);
      hasDevice = true;
    } else if (key == "LIBPATH" && !hasLibrary) {
      reader.libraryPath = WithoutQuotes(value);
      hasLibrary = true;
    } else if (key == "CHANNELID" && !hasChannel) {
      reader.channelId = WithoutQuotes(value);
      hasChannel = true;
    }
    if (hasName && hasLibrary && (hasDevice || hasChannel)) {
      readers.push_back(std::move(reader));
      reader = SerialReader{};
      hasName = hasLibrary = hasDevice = hasChannel = false;
    }
  }
  return readers;
}

std::vector<SerialReader> ReadSerialReaders() {
  const std::string directory = SystemRoot() + "/etc/reader.conf.d";
  std::vector<SerialReader> readers;
  for (const std::string& name : DirectoryEntryNames(directory, kMaxDriverEntries)) {
    // pcscd reads every file there, whatever its name.
    const auto text = ReadSystemFile(directory + "/" + name, kMaxReaderConfSize, "reader.conf.d");
    if (!text) continue;
    for (SerialReader& reader : ParseReaderConf(*text)) readers.push_back(std::move(reader));
  }
  return readers;
}

}  // namespace velkaro
