#include "platform/trusted_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/services.h"
#include "platform/unique_fd.h"

namespace velkaro {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit, against link loops

using Status = TrustedFileText::Status;

bool BelongsToUs(const struct stat& info) { return info.st_uid == 0 || info.st_uid == ::geteuid(); }

bool OthersMayWrite(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Whether someone besides root and us could replace `entry` in `directory`:
// anyone who may write a directory may, except in a sticky one, where only
// the entry's owner may.
bool OthersMayReplace(const struct stat& directory, const struct stat& entry) {
  if (!OthersMayWrite(directory)) return false;
  return !(directory.st_mode & S_ISVTX) || !BelongsToUs(entry);
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void PushComponents(std::string_view path, std::deque<std::string>& into) {
  std::deque<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  into.insert(into.begin(), parts.begin(), parts.end());
}

// One directory of the walk, open without read rights (O_PATH).
struct Directory {
  Directory(int fd, const struct stat& information, std::string where) : handle(fd), info(information), path(std::move(where)) {}
  UniqueFd handle;
  struct stat info;
  std::string path;  // as walked, for messages
};

// Reads the open regular file up to `maxBytes` (one byte more tells whether
// there is more). The buffer starts at the file's size and grows only if the
// file does while it is read.
TrustedFileText ReadBounded(int fd, std::size_t size, std::size_t maxBytes, const std::string& where) {
  TrustedFileText result;
  result.text.resize(std::min(size, maxBytes) + 1);
  std::size_t have = 0;
  while (true) {
    if (have == result.text.size()) {
      if (have > maxBytes) break;
      result.text.resize(std::min(2 * have, maxBytes + 1));
    }
    const ssize_t got = ::read(fd, result.text.data() + have, result.text.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result.text.clear();
      result.reason = where + ": cannot be read (" + std::strerror(errno) + ")";
      return result;
    }
    if (got == 0) break;
    have += static_cast<std::size_t>(got);
  }
  result.truncated = have > maxBytes;
  result.text.resize(result.truncated ? maxBytes : have);
  result.status = Status::kRead;
  return result;
}

// The end of a walk: the file (or directory) open, or why not.
struct Reached {
  Status status = Status::kFailed;
  std::string reason;
  UniqueFd handle;
  struct stat info {};
  std::string where;
};

// Walks to the regular file (or, with `wantDirectory`, the directory that no
// one else may change) at `path` as ReadTrustedFile describes, and opens it.
Reached Walk(const std::string& path, bool wantDirectory) {
  const auto fail = [&](Status status, const std::string& reason) {
    Reached result;
    result.status = status;
    result.reason = reason;
    return result;
  };
  if (path.empty() || path.front() != '/') return fail(Status::kRefused, path + ": not an absolute path");

  std::deque<Directory> walk;  // from "/" down to the directory the next name is in
  const auto openRoot = [&]() -> bool {
    while (!walk.empty()) walk.pop_back();
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (root.Get() < 0 || ::fstat(root.Get(), &info) != 0) return false;
    walk.emplace_back(root.Release(), info, "");
    return true;
  };
  if (!openRoot()) return fail(Status::kFailed, "/: cannot be opened (" + std::string(std::strerror(errno)) + ")");
  if (!BelongsToUs(walk.back().info) || OthersMayWrite(walk.back().info)) {
    return fail(Status::kRefused, "/: other users may change it");
  }

  std::deque<std::string> rest;
  PushComponents(path, rest);
  int links = 0;
  while (!rest.empty()) {
    const std::string name = std::move(rest.front());
    rest.pop_front();
    // Going up returns to a directory already checked on the way down.
    if (name == "..") {
      if (walk.size() > 1) walk.pop_back();
      continue;
    }
    const Directory& directory = walk.back();
    const std::string where = directory.path + "/" + name;
    struct stat info {};
    if (::fstatat(directory.handle.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      const int error = errno;
      return fail(error == ENOENT ? Status::kMissing : Status::kFailed,
                  where + ": " + std::strerror(error));
    }
    if (OthersMayReplace(directory.info, info)) {
      return fail(Status::kRefused, where + ": in a directory that other users may change");
    }

    if (S_ISLNK(info.st_mode)) {
      if (++links > kMaxLinks) return fail(Status::kRefused, where + ": too many symbolic links");
      std::string target(PATH_MAX, '\0');
      const ssize_t length = ::readlinkat(directory.handle.Get(), name.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return fail(Status::kFailed, where + ": the link cannot be read");
      }
      target.resize(static_cast<std::size_t>(length));
      if (target.front() == '/' && !openRoot()) return fail(Status::kFailed, "/: cannot be opened");
      PushComponents(target, rest);
      continue;
    }

    if (!rest.empty()) {
      if (!S_ISDIR(info.st_mode)) return fail(Status::kMissing, where + ": not a directory");
      if (!BelongsToUs(info)) return fail(Status::kRefused, where + ": a directory of another user");
      UniqueFd next(::openat(directory.handle.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat opened {};
      // Replaced between the check and the open: refuse rather than guess.
      if (next.Get() < 0 || ::fstat(next.Get(), &opened) != 0 || !SameFile(info, opened)) {
        return fail(Status::kFailed, where + ": changed while being opened");
      }
      walk.emplace_back(next.Release(), opened, where);
      continue;
    }

    if (wantDirectory) {
      if (!S_ISDIR(info.st_mode)) return fail(Status::kRefused, where + ": not a directory");
      if (!BelongsToUs(info) || OthersMayWrite(info)) {
        return fail(Status::kRefused, where + ": other users may change it");
      }
    } else if (!S_ISREG(info.st_mode)) {
      return fail(Status::kRefused, where + ": not a regular file");
    }
    const int flags = wantDirectory ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK;
    Reached result;
    result.handle = UniqueFd(::openat(directory.handle.Get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (result.handle.Get() < 0) {
      return fail(Status::kFailed, where + ": cannot be opened (" + std::strerror(errno) + ")");
    }
    if (::fstat(result.handle.Get(), &result.info) != 0 || !SameFile(info, result.info) ||
        (info.st_mode & S_IFMT) != (result.info.st_mode & S_IFMT)) {
      return fail(Status::kFailed, where + ": changed while being opened");
    }
    result.status = Status::kRead;
    result.where = where;
    return result;
  }
  return fail(Status::kRefused, path + (wantDirectory ? ": not a directory" : ": not a regular file"));
}

// Reads what the walk opened; with `wholeOnly`, a file whose size is above
// the bound is not read at all (the answer is an empty, truncated text).
TrustedFileText ReadReached(Reached reached, std::size_t maxBytes, bool wholeOnly) {
  TrustedFileText result;
  if (reached.status != Status::kRead) {
    result.status = reached.status;
    result.reason = std::move(reached.reason);
    return result;
  }
  const auto size = static_cast<std::uint64_t>(reached.info.st_size);
  if (wholeOnly && size > maxBytes) {
    result.status = Status::kRead;
    result.truncated = true;
    return result;
  }
  result = ReadBounded(reached.handle.Get(), static_cast<std::size_t>(size), maxBytes, reached.where);
  if (result.status != Status::kRead) result.status = Status::kFailed;
  return result;
}

// The whole text of a system file, or nothing with a debug line.
std::optional<std::string> WholeText(TrustedFileText file, const std::string& path, std::size_t maxBytes,
                                     const char* what) {
  if (file.status == Status::kMissing) return std::nullopt;
  if (file.status != Status::kRead) {
    OutputDebugString(std::string(what) + ": " + file.reason + "; read as missing");
    return std::nullopt;
  }
  if (file.truncated) {
    OutputDebugString(std::string(what) + ": " + path + ": larger than " + std::to_string(maxBytes) +
                      " bytes; read as missing");
    return std::nullopt;
  }
  return std::move(file.text);
}

// Opens a file as ReadRegularFile and ForEachSystemFileIn do: non-blocking,
// regular files only; `at` is the directory a relative `name` is in.
Reached OpenRegular(int at, const std::string& name, int flags, const std::string& where) {
  Reached file;
  file.where = where;
  file.handle = UniqueFd(::openat(at, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
  if (file.handle.Get() < 0) {
    const int error = errno;
    file.status = error == ENOENT || error == ENOTDIR ? Status::kMissing : Status::kFailed;
    file.reason = where + ": cannot be opened (" + std::strerror(error) + ")";
  } else if (::fstat(file.handle.Get(), &file.info) != 0) {
    file.reason = where + ": cannot be examined (" + std::strerror(errno) + ")";
  } else if (!S_ISREG(file.info.st_mode)) {
    file.status = Status::kRefused;
    file.reason = where + ": not a regular file";
  } else {
    file.status = Status::kRead;
  }
  return file;
}

}  // namespace

TrustedFileText ReadTrustedFile(const std::string& path, std::size_t maxBytes) {
  return ReadReached(Walk(path, false), maxBytes, false);
}

TrustedFileText ReadRegularFile(const std::string& path, std::size_t maxBytes) {
  // /proc files report a size of 0 (or a made-up one): the read grows.
  return ReadReached(OpenRegular(AT_FDCWD, path, 0, path), maxBytes, false);
}

std::optional<std::string> ReadSystemFile(const std::string& path, std::size_t maxBytes, const char* what) {
  return WholeText(ReadReached(Walk(path, false), maxBytes, true), path, maxBytes, what);
}

std::size_t ForEachSystemFileIn(const std::string& directory, std::string_view suffix, std::size_t maxBytes,
                                const char* what, const SystemFileFunction& each) {
  const Reached reached = Walk(directory, true);
  if (reached.status != Status::kRead) {
    if (reached.status != Status::kMissing) OutputDebugString(std::string(what) + ": " + reached.reason + "; not read");
    return 0;
  }
  // The listing gets a descriptor of its own: closedir closes it.
  const int listed = ::openat(reached.handle.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (!listing) {
    OutputDebugString(std::string(what) + ": " + directory + ": cannot be listed (" + std::strerror(errno) + ")");
    if (listed >= 0) ::close(listed);
    return 0;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name.size() > suffix.size() && name.ends_with(suffix)) names.emplace_back(name);
  }
  ::closedir(listing);
  std::size_t read = 0;
  for (const std::string& name : names) {
    const std::string path = directory + "/" + name;
    // No one else may change the directory, so its entries are what it holds.
    Reached file = OpenRegular(reached.handle.Get(), name, O_NOFOLLOW, path);
    if (const auto text = WholeText(ReadReached(std::move(file), maxBytes, true), path, maxBytes, what)) {
      ++read;
      each(name, *text);
    }
  }
  return read;
}

std::vector<std::optional<std::string>> ReadSystemFilesIn(const std::string& directory,
                                                          const std::vector<const char*>& names,
                                                          std::size_t maxBytes, const char* what) {
  std::vector<std::optional<std::string>> texts(names.size());
  const Reached reached = Walk(directory, true);
  if (reached.status != Status::kRead) {
    if (reached.status != Status::kMissing) OutputDebugString(std::string(what) + ": " + reached.reason + "; not read");
    return texts;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string path = directory + "/" + names[i];
    // No one else may change the directory, so its entries are what it holds.
    texts[i] = WholeText(ReadReached(OpenRegular(reached.handle.Get(), names[i], O_NOFOLLOW, path), maxBytes, true),
                         path, maxBytes, what);
  }
  return texts;
}

std::vector<std::string> DirectoryEntryNames(const std::string& directory, std::size_t limit) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (names.size() == limit) break;
    names.emplace_back(name);
  }
  ::closedir(listing);
  return names;
}

}  // namespace velkaro
