// libFuzzer target for naming who holds a store's lock from the kernel's lock
// table. The table's text comes from the input ("$$" stands for this
// process's id), and so does this process's name, which any local user
// chooses for a process of theirs. Oracles, besides "does not crash":
// - when every line has the kernel's form, the holder is the first line that
//   is no waiter ("->") and names the file's device and inode with a pid
//   above 0, as a second reading finds it;
// - the process name in the text is plain text: no control bytes reach the
//   message.

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_files.h"
#include "platform/store/store_files.h"

namespace {

constexpr unsigned kMajor = 8, kMinor = 1;
constexpr unsigned long kInode = 4567;

bool AllDigits(const std::string& text, bool hex) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)))) return false;
  }
  return true;
}

// The holder's pid as a strict reading of the kernel's lines finds it; an
// empty optional inside when no line holds the file; nothing when a line is
// not of the kernel's form.
std::optional<std::optional<long>> ReferenceHolder(const std::string& table) {
  std::istringstream lines(table);
  std::optional<long> holder;
  for (std::string line; std::getline(lines, line);) {
    if (line.find('\0') != std::string::npos) return std::nullopt;  // the kernel writes none
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty()) continue;
    if (fields[0].size() < 2 || fields[0].back() != ':' || !AllDigits(fields[0].substr(0, fields[0].size() - 1), false)) return std::nullopt;
    const bool waiter = fields.size() > 1 && fields[1] == "->";
    if (waiter) fields.erase(fields.begin() + 1);
    if (fields.size() != 8 || !AllDigits(fields[4], false)) return std::nullopt;
    const std::string& id = fields[5];
    const std::size_t first = id.find(':'), second = id.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos || !AllDigits(id.substr(0, first), true) ||
        !AllDigits(id.substr(first + 1, second - first - 1), true) || !AllDigits(id.substr(second + 1), false)) {
      return std::nullopt;
    }
    const long pid = std::stol(fields[4]);
    if (!waiter && !holder && pid > 0 && std::stoul(id.substr(0, first), nullptr, 16) == kMajor &&
        std::stoul(id.substr(first + 1, second - first - 1), nullptr, 16) == kMinor && std::stoul(id.substr(second + 1)) == kInode) {
      holder = pid;
    }
  }
  return holder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // The first line is this process's name (the kernel keeps 15 bytes).
  const std::size_t end = input.find('\n');
  if (end == std::string::npos) return 0;
  const std::string name = input.substr(0, std::min<std::size_t>(end, 15));
  if (name.empty() || name.find('\0') != std::string::npos) return 0;
  ::prctl(PR_SET_NAME, name.c_str());
  std::string table = input.substr(end + 1);
  const std::string self = std::to_string(::getpid());
  for (std::size_t at = table.find("$$"); at != std::string::npos; at = table.find("$$", at + self.size())) {
    table.replace(at, 2, self);
  }

  struct stat file {};
  file.st_dev = makedev(kMajor, kMinor);
  file.st_ino = kInode;
  const std::string holder = velkaro::LockHolder(file, WriteFuzzFile("locks", table));
  ::prctl(PR_SET_NAME, "lock_holder_fuz");

  if (const auto expected = ReferenceHolder(table)) {
    FUZZ_CHECK_EQUAL(holder.substr(0, holder.find(" (")), *expected ? "process " + std::to_string(**expected) : "");
  }
  if (holder.empty()) return 0;
  FUZZ_CHECK(holder.starts_with("process "));
  for (const char c : holder) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  return 0;
}
