#include "platform/system_files.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/file_limits.h"
#include "platform/run_path.h"
#include "platform/services.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace velkaro {

std::string SystemRoot() {
  const char* root = std::getenv("VELKARO_SYSTEM_ROOT");
  std::string text = root ? root : "";
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

namespace {

constexpr char kPcscDriversDirectory[] = "/usr/lib/pcsc/drivers";
constexpr char kBundleLibraryDirectory[] = ".bundle/Contents/Linux/";

const std::vector<std::string> kLibraryDirectories = {
    "/usr/lib/" VELKARO_MULTIARCH_TRIPLET, "/lib/" VELKARO_MULTIARCH_TRIPLET, "/usr/lib", "/lib", "/usr/local/lib"};
const std::vector<std::string> kProgramDirectories = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsLibraryName(std::string_view name) { return name.ends_with(".so") || name.find(".so.") != std::string_view::npos; }

std::vector<std::string> Rooted(const std::string& root, const std::vector<std::string>& directories) {
  std::vector<std::string> rooted;
  for (const std::string& directory : directories) rooted.push_back(root + directory);
  return rooted;
}

// A name without a directory is looked up in the directories its kind
// selects; a name of another kind in the program's own directory, where the
// system's default search would look first.
std::vector<std::string> FirstSearchDirectories(const std::string& root, const std::string& name) {
  if (IsLibraryName(name)) {
    // Where the loader looks first for this program's libraries: its own run
    // path (the build tree's lib/), which lies outside a fake system tree.
    std::vector<std::string> directories = ProgramRunPath();
    for (std::string& directory : Rooted(root, kLibraryDirectories)) directories.push_back(std::move(directory));
    return directories;
  }
  if (name.find('.') == std::string::npos) return Rooted(root, kProgramDirectories);
  const std::string module = SystemInfo().ModulePath();
  const size_t slash = module.rfind('/');
  if (slash == std::string::npos) return {};
  return {module.substr(0, slash)};
}

std::optional<std::string> FindInDriversDirectory(const std::string& root, const std::string& name) {
  const std::string drivers = root + kPcscDriversDirectory;
  if (IsRegularFile(drivers + "/" + name)) return drivers + "/" + name;
  std::vector<std::string> bundles;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(drivers, error)) {
    if (entry.path().extension() == ".bundle") bundles.push_back(entry.path().string());
  }
  std::sort(bundles.begin(), bundles.end());
  for (const std::string& bundle : bundles) {
    const std::string candidate = bundle + "/Contents/Linux/" + name;
    if (IsRegularFile(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> FindSystemFile(const std::string& name) {
  const std::string root = SystemRoot();
  if (name.find('/') != std::string::npos) {
    const std::string path = name.front() == '/' ? root + name : name;
    if (IsRegularFile(path)) return path;
    // The running program itself lies outside a fake system tree.
    if (!root.empty() && name.front() == '/' && IsRegularFile(name)) return name;
  } else {
    for (const std::string& directory : FirstSearchDirectories(root, name)) {
      const std::string path = directory + "/" + name;
      if (IsRegularFile(path)) return path;
    }
  }
  return FindInDriversDirectory(root, name);
}

std::string PcscDriversDirectory() { return SystemRoot() + kPcscDriversDirectory; }

std::optional<std::string> BundleInfoPlistOf(const std::string& path) {
  const size_t at = path.rfind(kBundleLibraryDirectory);
  if (at == std::string::npos) return std::nullopt;
  return path.substr(0, at) + ".bundle/Contents/Info.plist";
}

namespace {

bool IsElement(xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The element's own text and CDATA, trimmed; nothing when it is longer than a
// plist value may be. Entity references are not followed: text is never
// expanded beyond what the file itself holds.
std::optional<std::string> NodeText(xmlNode* node) {
  std::string text;
  for (xmlNode* child = node->children; child; child = child->next) {
    if ((child->type != XML_TEXT_NODE && child->type != XML_CDATA_SECTION_NODE) || !child->content) continue;
    text += reinterpret_cast<const char*>(child->content);
    if (text.size() > kMaxInfoPlistValueSize) return std::nullopt;
  }
  return std::string(TrimSpaces(text));
}

// A property list needs no entities: a declaration (which could make a small
// file expand into gigabytes, or name a local file) stops the parse.
void RefuseEntityDeclaration(void* context, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
  auto* parser = static_cast<xmlParserCtxtPtr>(context);
  *static_cast<bool*>(parser->_private) = true;
  xmlStopParser(parser);
}

struct DocumentFree {
  void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
struct ParserFree {
  void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};
using Document = std::unique_ptr<xmlDoc, DocumentFree>;

// Parses the text of a plist: no network, no entity substitution, no DTD
// loaded; nothing when it is broken or declares an entity.
Document ParsePlist(const std::string& text, const std::string& path) {
  // libxml2 must be set up once before threads parse at the same time.
  static std::once_flag setUp;
  std::call_once(setUp, xmlInitParser);
  const std::unique_ptr<xmlParserCtxt, ParserFree> parser(xmlNewParserCtxt());
  if (!parser || !parser->sax) return nullptr;
  bool declaresEntity = false;
  parser->_private = &declaresEntity;
  parser->sax->entityDecl = RefuseEntityDeclaration;
  // Without the blank text between elements a driver's list of thousands of
  // devices builds a third fewer nodes; values are trimmed anyway.
  Document document(xmlCtxtReadMemory(parser.get(), text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS));
  if (declaresEntity) {
    OutputDebugString("Info.plist: " + path + ": declares an entity; not read");
    return nullptr;
  }
  if (!parser->wellFormed) return nullptr;
  return document;
}

// The top-level <dict> of a <plist>, or null.
xmlNode* PlistDict(xmlDoc* document) {
  xmlNode* root = xmlDocGetRootElement(document);
  if (!root || !IsElement(root, "plist")) return nullptr;
  for (xmlNode* child = root->children; child; child = child->next) {
    if (IsElement(child, "dict")) return child;
  }
  return nullptr;
}

void TooLong(const std::string& path) {
  OutputDebugString(
      Format("Info.plist: %s: a text longer than %zu bytes; not read", path.c_str(), kMaxInfoPlistValueSize));
}

// Appends the text of every non-empty <string> at or below `node`; false
// when one is longer than a plist value may be.
bool CollectStrings(xmlNode* node, std::vector<std::string>& into) {
  if (IsElement(node, "string")) {
    if (!node->children) return true;  // pcscd does not count an empty string
    std::optional<std::string> text = NodeText(node);
    if (!text) return false;
    into.push_back(std::move(*text));
    return true;
  }
  for (xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && !CollectStrings(child, into)) return false;
  }
  return true;
}

}  // namespace

std::optional<BundleLists> ParseInfoPlistLists(const std::string& text, const std::string& path) {
  const Document document = ParsePlist(text, path);
  if (!document) return std::nullopt;
  xmlNode* dict = PlistDict(document.get());
  if (!dict) return std::nullopt;
  BundleLists lists;
  bool versionSeen = false;
  std::vector<std::string>* list = nullptr;  // the values of the latest key
  std::vector<std::string> ignored;
  std::string key;
  for (xmlNode* child = dict->children; child; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (IsElement(child, "key")) {
      std::optional<std::string> found = NodeText(child);
      if (!found) {
        TooLong(path);
        return std::nullopt;
      }
      key = std::move(*found);
      // A repeated key starts its list again: the last one counts.
      const auto start = [&](std::vector<std::string>& values, bool& has) {
        values.clear();
        has = true;
        return &values;
      };
      ignored.clear();
      list = &ignored;
      if (key == "ifdVendorID") list = start(lists.vendorIds, lists.hasVendorIds);
      if (key == "ifdProductID") list = start(lists.productIds, lists.hasProductIds);
      if (key == "ifdFriendlyName") list = start(lists.friendlyNames, lists.hasFriendlyNames);
      if (key == "CFBundleExecutable") lists.hasExecutable = true;
      continue;
    }
    if (!list) continue;
    const std::size_t before = list->size();
    if (!CollectStrings(child, *list)) {
      TooLong(path);
      return std::nullopt;
    }
    if (list == &ignored && list->size() > before) {
      if (key == "CFBundleShortVersionString" && !versionSeen) {
        lists.version = (*list)[before];
        versionSeen = true;
      }
      if (key == "CFBundleName") lists.bundleName = list->back();
      list->clear();
    }
  }
  return lists;
}

std::optional<BundleLists> ReadInfoPlistLists(const std::string& path) {
  const std::optional<std::string> text = ReadSystemFile(path, kMaxInfoPlistSize, "Info.plist");
  if (!text) return std::nullopt;
  return ParseInfoPlistLists(*text, path);
}

std::optional<BundleInfo> ReadInfoPlist(const std::string& path) {
  const std::optional<std::string> text = ReadSystemFile(path, kMaxInfoPlistSize, "Info.plist");
  if (!text) return std::nullopt;
  const Document document = ParsePlist(*text, path);
  if (!document) return std::nullopt;
  xmlNode* dict = PlistDict(document.get());
  if (!dict) return std::nullopt;
  // Only the two keys asked for are kept; the first of each counts. A key or
  // value longer than a plist's may be refuses the file.
  std::optional<std::string> version;
  std::optional<std::string> vendor;
  std::string key;
  for (xmlNode* child = dict->children; child; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    const bool isKey = IsElement(child, "key");
    std::optional<std::string>* wanted = nullptr;
    if (!isKey && IsElement(child, "string")) {
      if (key == "CFBundleShortVersionString") wanted = &version;
      if (key == "ifdManufacturerString") wanted = &vendor;
      if (wanted && *wanted) wanted = nullptr;
    }
    key.clear();
    if (!isKey && !wanted) continue;
    std::optional<std::string> found = NodeText(child);
    if (!found) {
      TooLong(path);
      return std::nullopt;
    }
    if (isKey) {
      key = std::move(*found);
    } else {
      *wanted = std::move(found);
    }
  }
  if (!version || version->empty()) return std::nullopt;
  return BundleInfo{std::move(*version), vendor.value_or(std::string())};
}

namespace {

// "libpcsclite1:amd64.list" names the package "libpcsclite1".
std::string PackageOfListFile(std::string_view name) {
  name.remove_suffix(std::string_view(".list").size());
  return std::string(name.substr(0, name.find(':')));
}

// Calls `line` with each line of the text, without its line feed.
template <class LineFunction>
void ForEachLine(std::string_view text, LineFunction line) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    line(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

// Fills in the version of each package named in `versions` from dpkg's status
// file; the first record of a package counts.
void ReadPackageVersions(const std::string& root, std::unordered_map<std::string, std::string>& versions) {
  const auto status = ReadSystemFile(root + "/var/lib/dpkg/status", kMaxDpkgFileSize, "dpkg database");
  if (!status) return;
  std::string package;
  ForEachLine(*status, [&](std::string_view line) {
    if (line.starts_with("Package: ")) {
      package = std::string(TrimSpaces(line.substr(9)));
    } else if (line.starts_with("Version: ") && !package.empty()) {
      const auto it = versions.find(package);
      if (it != versions.end() && it->second.empty()) it->second = std::string(TrimSpaces(line.substr(9)));
    } else if (line.empty()) {
      package.clear();
    }
  });
}

// The path as dpkg records it: relative to the system root, and on merged
// systems /lib and /bin stand for /usr/lib and /usr/bin.
std::vector<std::string> RecordedForms(const std::string& root, const std::string& path) {
  std::vector<std::string> forms;
  const auto add = [&](std::string candidate) {
    if (!root.empty()) {
      if (!candidate.starts_with(root + "/")) return;
      candidate.erase(0, root.size());
    }
    forms.push_back(candidate);
    for (const char* merged : {"/usr/lib/", "/usr/bin/", "/usr/sbin/"}) {
      if (candidate.starts_with(merged)) forms.push_back(candidate.substr(4));
    }
  };
  add(path);
  std::error_code error;
  const auto resolved = std::filesystem::canonical(path, error);
  if (!error && resolved.string() != path) add(resolved.string());
  return forms;
}

}  // namespace

PackageOwners FindOwningPackages(const std::vector<std::string>& paths) {
  const std::string root = SystemRoot();
  // Every form under which dpkg may record an asked path, with the path's
  // index and the form's rank (the path as asked ranks first).
  struct Wanted {
    std::size_t path;
    std::size_t rank;
  };
  std::unordered_map<std::string, std::vector<Wanted>> wanted;
  std::vector<std::vector<std::string>> packages(paths.size());  // by path, then rank: first owner in list order
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto forms = RecordedForms(root, paths[i]);
    packages[i].resize(forms.size());
    for (std::size_t rank = 0; rank < forms.size(); ++rank) wanted[forms[rank]].push_back({i, rank});
  }
  if (wanted.empty()) return {};

  // One pass over the packages' file lists, keeping only the lines asked for.
  const std::size_t listsRead = ForEachSystemFileIn(
      root + "/var/lib/dpkg/info", ".list", kMaxDpkgFileSize, "dpkg database",
      [&](const std::string& name, std::string_view list) {
        std::string package;
        std::string key;
        ForEachLine(list, [&](std::string_view line) {
          key.assign(line);
          const auto it = wanted.find(key);
          if (it == wanted.end()) return;
          if (package.empty()) package = PackageOfListFile(name);
          for (const Wanted& w : it->second) {
            if (packages[w.path][w.rank].empty()) packages[w.path][w.rank] = package;
          }
        });
      });
  OutputDebugString(Format("dpkg database: %zu file lists read for %zu files", listsRead, paths.size()));

  std::unordered_map<std::string, std::string> versions;  // of the owning packages only
  for (const auto& ranks : packages) {
    for (const std::string& package : ranks) {
      if (!package.empty()) versions.emplace(package, std::string());
    }
  }
  if (versions.empty()) return {};
  ReadPackageVersions(root, versions);

  // The best-ranked form whose package has a version answers for the path.
  PackageOwners owners;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    for (const std::string& package : packages[i]) {
      if (package.empty()) continue;
      const std::string& version = versions.at(package);
      if (version.empty()) continue;
      owners.emplace(paths[i], PackageVersion{package, version});
      break;
    }
  }
  return owners;
}

std::optional<PackageVersion> FindOwningPackage(const std::string& path) {
  const PackageOwners owners = FindOwningPackages({path});
  const auto it = owners.find(path);
  if (it == owners.end()) return std::nullopt;
  return it->second;
}

std::optional<std::time_t> FileCreationTime(const std::string& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &st) != 0) return std::nullopt;
  if ((st.stx_mask & STATX_BTIME) && st.stx_btime.tv_sec != 0) return static_cast<std::time_t>(st.stx_btime.tv_sec);
  return static_cast<std::time_t>(st.stx_mtime.tv_sec);
}

}  // namespace velkaro
