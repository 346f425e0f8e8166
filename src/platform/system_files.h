#pragma once
// Where the system's files are and what is known about their versions,
// besides the package note: driver bundles' Info.plist, the dpkg database and
// file times. VELKARO_SYSTEM_ROOT, when set, prefixes every system path so
// tests can build a fake system tree.

#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velkaro {

// VELKARO_SYSTEM_ROOT without a final '/', or empty.
std::string SystemRoot();

// The full path of a file named in the configuration, or nothing. A library
// name (ending in ".so" or holding ".so.") is looked for in the program's run
// path, then in the library directories (/usr/lib/<triplet>, /lib/<triplet>,
// /usr/lib, /lib, /usr/local/lib), a name without an extension in /usr/sbin, /usr/bin, /sbin,
// /bin, a name with another extension beside the running program, a name with
// a '/' as given; then in pcsc-lite's drivers directory and its bundles'
// Contents/Linux directories. Only regular files count.
std::optional<std::string> FindSystemFile(const std::string& name);

// The Info.plist of the driver bundle that holds this file, or nothing when
// the file lies in no bundle.
std::optional<std::string> BundleInfoPlistOf(const std::string& path);

struct BundleInfo {
  std::string version;  // CFBundleShortVersionString
  std::string vendor;   // ifdManufacturerString, empty when absent
};
// Reads a reader driver bundle's Info.plist; nothing when it is not a
// property list, has no version string, is no regular file, is larger than
// its bound, declares an entity or holds a key or value beyond its bound.
std::optional<BundleInfo> ReadInfoPlist(const std::string& path);

// pcsc-lite's drivers directory under the system root.
std::string PcscDriversDirectory();

// The keys of a bundle's Info.plist that pcscd's USB hot plug reads. Each
// list is every non-empty <string> after its key up to the next key, as
// pcscd's own reader counts them; the last of a repeated key counts, as
// there. A missing key leaves its list empty and `has...` false.
struct BundleLists {
  std::string version;     // CFBundleShortVersionString (the first), or empty
  std::string bundleName;  // CFBundleName (the last), or empty
  bool hasExecutable = false;  // CFBundleExecutable
  bool hasVendorIds = false;
  bool hasProductIds = false;
  bool hasFriendlyNames = false;
  std::vector<std::string> vendorIds;      // ifdVendorID
  std::vector<std::string> productIds;     // ifdProductID
  std::vector<std::string> friendlyNames;  // ifdFriendlyName
};
// Reads those lists with the same bounds and refusals as ReadInfoPlist, but
// a file without a version string is read all the same.
std::optional<BundleLists> ReadInfoPlistLists(const std::string& path);
// The same for a plist's text; `path` names it in debug lines.
std::optional<BundleLists> ParseInfoPlistLists(const std::string& text, const std::string& path);

struct PackageVersion {
  std::string package;
  std::string version;
};
// The installed packages that own these files, each by its path as asked or
// the path its symbolic links resolve to, from the dpkg database under the
// system root. One pass over the packages' file lists that keeps only the
// lines naming these files: one file of the database at a time is in memory,
// and a file beyond its bound reads as missing. Files no installed package
// owns are absent. Says in a debug line how many lists the pass read.
using PackageOwners = std::unordered_map<std::string, PackageVersion>;
PackageOwners FindOwningPackages(const std::vector<std::string>& paths);
// The same for one file.
std::optional<PackageVersion> FindOwningPackage(const std::string& path);

// The file's birth time where the file system records one, otherwise its
// modification time; nothing when the file cannot be examined.
std::optional<std::time_t> FileCreationTime(const std::string& path);

}  // namespace velkaro
