#pragma once
// Reading a data file the program (running as root) takes from a path it was
// given, without being led elsewhere: every directory and link on the way must
// be one that only root or the effective user can change, the file must be a
// regular file, and no more than a given number of bytes is read.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

namespace velkaro {

struct TrustedFileText {
  enum class Status {
    kRead,     // `text` holds the file's first bytes
    kMissing,  // the file or a directory on the way does not exist
    kRefused,  // the path leads through something others may change, or is no regular file
    kFailed,   // the system refused to open or read it
  };
  Status status = Status::kFailed;
  std::string text;
  bool truncated = false;  // the file holds more than the bytes read
  std::string reason;      // what failed and where, when not kRead
};

// Reads up to `maxBytes` bytes of the file at the absolute `path`. A directory
// that group or others may write is accepted only when it is sticky and the
// entry taken from it belongs to root or the effective user; a directory on
// the way must itself belong to one of them. The file is opened non-blocking,
// so a FIFO or device given by name cannot hang the caller.
TrustedFileText ReadTrustedFile(const std::string& path, std::size_t maxBytes);

// Reads a file by a path no other user can redirect (/proc files among them),
// with the same rules but no walk: following links, non-blocking, regular
// files only, read to its end up to `maxBytes` whatever size it reports.
TrustedFileText ReadRegularFile(const std::string& path, std::size_t maxBytes);

// A system file to be parsed, whole (by ReadTrustedFile), or nothing. A file
// that is refused, cannot be read or holds more than `maxBytes` reads as a
// missing one does, with a debug line saying which file and why; `what` names
// the file's kind in that line ("os-release").
std::optional<std::string> ReadSystemFile(const std::string& path, std::size_t maxBytes, const char* what);

// The same for every file in `directory` whose name ends in `suffix`, walking
// to the directory once: `each` gets each file's name and whole text. The
// directory must be one that no other user may change. Answers how many
// files were read.
using SystemFileFunction = std::function<void(const std::string& name, std::string_view text)>;
std::size_t ForEachSystemFileIn(const std::string& directory, std::string_view suffix, std::size_t maxBytes,
                                const char* what, const SystemFileFunction& each);

// The named files of one directory, read as ReadSystemFile reads each but
// walking to the directory once: one answer per name, in order, nothing for
// a file that is missing, refused or beyond its bound (or for all of them
// when the directory cannot be reached). The directory must be one that no
// other user may change.
std::vector<std::optional<std::string>> ReadSystemFilesIn(const std::string& directory,
                                                          const std::vector<const char*>& names,
                                                          std::size_t maxBytes, const char* what);

// The entry names of a directory in its own (readdir) order, "." and ".."
// left out, at most `limit`; empty when it cannot be opened.
std::vector<std::string> DirectoryEntryNames(const std::string& directory, std::size_t limit);

}  // namespace velkaro
