#pragma once
// The reader drivers pcscd knows: the USB driver bundles in its drivers
// directory, read as pcscd's hot plug reads them, and the serial readers
// configured in reader.conf.d. Both under the system root.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_limits.h"
#include "platform/system_files.h"

namespace velkaro {

// A reader.conf.d file: a few lines per reader.
inline constexpr std::size_t kMaxReaderConfSize = 64 * kKiB;
// Files of reader.conf.d and entries of the drivers directory looked at.
inline constexpr std::size_t kMaxDriverEntries = 1000;

// The name that makes a bundle serve only the devices no other bundle lists.
inline constexpr char kClassDriverName[] = "CCIDCLASSDRIVER";

// A vendor or product id as pcscd reads it from a plist: strtol in base 16
// (an optional 0x, digits up to the first other character, 0 for none),
// kept in an unsigned int.
std::uint32_t PcscdHexId(std::string_view text);

struct DriverEntry {
  std::uint32_t vendorId = 0;
  std::uint32_t productId = 0;
  std::string friendlyName;
};

enum class BundleState {
  kRead,          // pcscd serves its devices
  kNoPlist,       // no Info.plist that can be read as a property list
  kMissingKey,    // no executable or one of the three lists: pcscd skips it
  kUnequalLists,  // pcscd stops reading bundles here
  kNotReached,    // after a bundle with unequal lists
};

struct DriverBundle {
  std::string name;     // the directory's name, "ifd-ccid.bundle"
  std::string version;  // CFBundleShortVersionString, or empty
  bool classDriver = false;
  std::vector<DriverEntry> entries;  // only when read
  BundleState state = BundleState::kRead;
  std::string missingKey;  // the first key pcscd needs that is not there
};

// What is wrong with a bundle, in the log's words; empty when it is read.
std::string BundleProblem(const DriverBundle& bundle);

// One bundle from its plist's lists (nothing: no plist that can be read).
DriverBundle BundleFromLists(std::string name, const std::optional<BundleLists>& lists);
// Marks the bundles after the first with unequal lists as not reached.
void MarkUnreachedBundles(std::vector<DriverBundle>& bundles);
// The bundles of pcscd's drivers directory in the order pcscd reads them
// (the directory's own order: every name that holds ".bundle").
std::vector<DriverBundle> ReadDriverBundles();

struct DriverClaim {
  std::size_t bundle = 0;  // index in the bundles
  std::size_t entry = 0;   // index in its entries
};
// The bundle entry pcscd takes for a device: the last specific entry that
// lists the pair, else the last class driver entry that does.
std::optional<DriverClaim> ClaimingDriver(const std::vector<DriverBundle>& bundles, std::uint32_t vendorId,
                                          std::uint32_t productId);

struct SerialReader {
  std::string friendlyName;  // FRIENDLYNAME, its quotes taken off
  std::string deviceName;    // DEVICENAME, or empty
  std::string libraryPath;   // LIBPATH
  std::string channelId;     // CHANNELID, or empty
};
// The readers a reader.conf text configures: each needs FRIENDLYNAME,
// LIBPATH and DEVICENAME or CHANNELID, each key with its value on one line.
std::vector<SerialReader> ParseReaderConf(std::string_view text);
// Those of every file in reader.conf.d.
std::vector<SerialReader> ReadSerialReaders();

}  // namespace velkaro
