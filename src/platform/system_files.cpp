#include "platform/system_files.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/text.h"

namespace velkaro {

std::string SystemRoot() {
  const char* root = std::getenv("VELKARO_SYSTEM_ROOT");
  std::string text = root ? root : "";
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

const std::vector<std::string>& LibraryDirectories() {
  static const std::vector<std::string> directories = {
      "/usr/lib/" VELKARO_MULTIARCH_TRIPLET, "/lib/" VELKARO_MULTIARCH_TRIPLET, "/usr/lib", "/lib", "/usr/local/lib"};
  return directories;
}

const std::vector<std::string>& ProgramDirectories() {
  static const std::vector<std::string> directories = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
  return directories;
}

namespace {

std::string NodeText(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return std::string(TrimSpaces(text));
}

bool IsElement(xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

}  // namespace

std::optional<BundleInfo> ReadInfoPlist(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4 * 1024 * 1024) return std::nullopt;
  // No network, no external entities: a property list needs neither.
  xmlDoc* document = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!document) return std::nullopt;
  std::map<std::string, std::string> values;
  xmlNode* root = xmlDocGetRootElement(document);
  xmlNode* dict = nullptr;
  if (root && IsElement(root, "plist")) {
    for (xmlNode* child = root->children; child && !dict; child = child->next) {
      if (IsElement(child, "dict")) dict = child;
    }
  }
  if (dict) {
    std::string key;
    for (xmlNode* child = dict->children; child; child = child->next) {
      if (child->type != XML_ELEMENT_NODE) continue;
      if (IsElement(child, "key")) {
        key = NodeText(child);
      } else if (!key.empty()) {
        if (IsElement(child, "string")) values.emplace(key, NodeText(child));
        key.clear();
      }
    }
  }
  xmlFreeDoc(document);
  const auto version = values.find("CFBundleShortVersionString");
  if (version == values.end() || version->second.empty()) return std::nullopt;
  const auto vendor = values.find("ifdManufacturerString");
  return BundleInfo{version->second, vendor == values.end() ? std::string() : vendor->second};
}

namespace {

struct DpkgDatabase {
  std::unordered_map<std::string, std::string> owners;    // path -> package
  std::unordered_map<std::string, std::string> versions;  // package -> version
};

// "libpcsclite1:amd64.list" names the package "libpcsclite1".
std::string PackageOfListFile(const std::filesystem::path& file) {
  std::string name = file.stem().string();
  return name.substr(0, name.find(':'));
}

DpkgDatabase LoadDpkgDatabase(const std::string& root) {
  DpkgDatabase database;
  std::error_code error;
  const std::filesystem::path info = root + "/var/lib/dpkg/info";
  for (const auto& entry : std::filesystem::directory_iterator(info, error)) {
    if (entry.path().extension() != ".list") continue;
    const std::string package = PackageOfListFile(entry.path());
    std::ifstream list(entry.path());
    std::string line;
    while (std::getline(list, line)) {
      if (!line.empty()) database.owners.emplace(line, package);
    }
  }
  std::ifstream status(root + "/var/lib/dpkg/status");
  std::string line;
  std::string package;
  while (std::getline(status, line)) {
    if (line.starts_with("Package: ")) {
      package = std::string(TrimSpaces(line.substr(9)));
    } else if (line.starts_with("Version: ") && !package.empty()) {
      database.versions.emplace(package, std::string(TrimSpaces(line.substr(9))));
    } else if (line.empty()) {
      package.clear();
    }
  }
  return database;
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

std::optional<PackageVersion> FindOwningPackage(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, DpkgDatabase> databases;
  const std::string root = SystemRoot();
  std::lock_guard lock(mutex);
  auto it = databases.find(root);
  if (it == databases.end()) it = databases.emplace(root, LoadDpkgDatabase(root)).first;
  const DpkgDatabase& database = it->second;
  for (const std::string& form : RecordedForms(root, path)) {
    const auto owner = database.owners.find(form);
    if (owner == database.owners.end()) continue;
    const auto version = database.versions.find(owner->second);
    if (version != database.versions.end()) return PackageVersion{owner->second, version->second};
  }
  return std::nullopt;
}

std::optional<std::time_t> FileCreationTime(const std::string& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &st) != 0) return std::nullopt;
  if ((st.stx_mask & STATX_BTIME) && st.stx_btime.tv_sec != 0) return static_cast<std::time_t>(st.stx_btime.tv_sec);
  return static_cast<std::time_t>(st.stx_mtime.tv_sec);
}

}  // namespace velkaro
