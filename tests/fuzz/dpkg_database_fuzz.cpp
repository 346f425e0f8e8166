// libFuzzer target for the dpkg database readers behind a file's owning
// package: the status file and the packages' *.list files of a system tree,
// both from the input. The input is the status text, then for each list file
// a line "@@ NAME.list" and its lines. Oracles, besides "does not crash":
// - an owner found is a package whose list names the file (as asked, in its
//   /usr-less form, or as its link's target), and its version is one line
//   of the status file, with no spaces at either end;
// - when exactly one list names a file, the owner is what a second reading
//   finds: the Version of that package's first record in the status file
//   that has one (no owner when none has).

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/system_files.h"

namespace {

// The files asked about, as dpkg records them, and the forms each may be
// listed under. The link resolves to the library.
struct Asked {
  std::string path;
  std::vector<std::string> forms;
};
const std::vector<Asked> kAsked = {
    {"/usr/lib/x86_64-linux-gnu/libfoo.so.1", {"/usr/lib/x86_64-linux-gnu/libfoo.so.1", "/lib/x86_64-linux-gnu/libfoo.so.1"}},
    {"/usr/bin/tool", {"/usr/bin/tool", "/bin/tool"}},
    {"/usr/lib/libalias.so",
     {"/usr/lib/libalias.so", "/lib/libalias.so", "/usr/lib/x86_64-linux-gnu/libfoo.so.1",
      "/lib/x86_64-linux-gnu/libfoo.so.1"}},
    {"/opt/other/file", {"/opt/other/file"}},
};

const std::string& Root() {
  static const std::string root = [] {
    const std::string made = FuzzDirectory() + "/root";
    WriteFuzzFile("root/usr/lib/x86_64-linux-gnu/libfoo.so.1", "library");
    WriteFuzzFile("root/usr/bin/tool", "program");
    WriteFuzzFile("root/opt/other/file", "data");
    std::filesystem::create_symlink("x86_64-linux-gnu/libfoo.so.1", made + "/usr/lib/libalias.so");
    ::setenv("VELKARO_SYSTEM_ROOT", made.c_str(), 1);
    return made;
  }();
  return root;
}

std::string Trimmed(const std::string& text) {
  constexpr const char* kSpaces = " \t\r\n\f\v";
  const std::size_t first = text.find_first_not_of(kSpaces);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A list file's name made safe for a file name; empty when nothing is left.
std::string ListFileName(const std::string& given) {
  std::string name;
  for (const char c : given.substr(0, 64)) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-' || c == '_' || c == ':') name += c;
  }
  return name.find_first_not_of('.') == std::string::npos ? std::string() : name;
}

// The version of a package's first record that has one; a record is the
// paragraph from its "Package: " line up to the next empty line.
std::optional<std::string> ReferenceVersion(const std::vector<std::string>& status, const std::string& package) {
  for (std::size_t i = 0; i < status.size(); ++i) {
    if (!status[i].starts_with("Package: ") || Trimmed(status[i].substr(9)) != package) continue;
    for (std::size_t j = i + 1; j < status.size() && !status[j].empty(); ++j) {
      if (status[j].starts_with("Package: ")) break;
      if (status[j].starts_with("Version: ")) {
        const std::string version = Trimmed(status[j].substr(9));
        if (!version.empty()) return version;
        break;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string info = Root() + "/var/lib/dpkg/info";
  std::filesystem::remove_all(info);
  std::filesystem::create_directories(info);

  // Split into the status text and the list files.
  std::string status;
  std::map<std::string, std::string> lists;  // file name -> content
  std::string* current = &status;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("@@ ")) {
      const std::string name = ListFileName(line.substr(3));
      current = name.empty() ? &status : &lists[name];
      continue;
    }
    *current += line + "\n";
  }
  WriteFuzzFile("root/var/lib/dpkg/status", status);
  for (const auto& [name, content] : lists) WriteFuzzFile("root/var/lib/dpkg/info/" + name, content);

  std::vector<std::string> paths;
  for (const Asked& asked : kAsked) paths.push_back(Root() + asked.path);
  const velkaro::PackageOwners owners = velkaro::FindOwningPackages(paths);

  const std::vector<std::string> statusLines = Lines(status);
  const std::set<std::string> statusSet(statusLines.begin(), statusLines.end());
  for (std::size_t i = 0; i < kAsked.size(); ++i) {
    // The packages whose list names one of the file's forms.
    std::set<std::string> candidates;
    for (const auto& [name, content] : lists) {
      if (!name.ends_with(".list")) continue;
      const std::string package = name.substr(0, name.find(':')).substr(0, name.rfind(".list"));
      for (const std::string& line : Lines(content)) {
        for (const std::string& form : kAsked[i].forms) {
          if (line == form) candidates.insert(package);
        }
      }
    }
    const auto owner = owners.find(paths[i]);
    if (owner != owners.end()) {
      FUZZ_CHECK(candidates.count(owner->second.package) == 1);
      const std::string& version = owner->second.version;
      FUZZ_CHECK(!version.empty() && Trimmed(version) == version);
      bool listed = false;
      for (const std::string& line : statusSet) listed = listed || (line.starts_with("Version: ") && Trimmed(line.substr(9)) == version);
      FUZZ_CHECK(listed);
    }
    if (candidates.size() == 1) {
      const auto expected = ReferenceVersion(statusLines, *candidates.begin());
      FUZZ_CHECK(expected.has_value() == (owner != owners.end()));
      if (expected) FUZZ_CHECK_EQUAL(owner->second.version, *expected);
    }
  }
  return 0;
}
