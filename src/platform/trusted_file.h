#pragma once
// Reading a data file the program (running as root) takes from a path it was
// given, without being led elsewhere: every directory and link on the way must
// be one that only root or the effective user can change, the file must be a
// regular file, and no more than a given number of bytes is read.

#include <cstddef>
#include <string>

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

}  // namespace velkaro
