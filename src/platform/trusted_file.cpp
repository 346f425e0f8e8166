#include "platform/trusted_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string_view>
#include <utility>

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


// ReadTrustedFile; with `wholeOnly`, a file whose size is above the bound is
// not read at all (the answer is an empty, truncated text).
TrustedFileText WalkAndRead(const std::string& path, std::size_t maxBytes, bool wholeOnly) {
  const auto fail = [&](Status status, const std::string& reason) {
    TrustedFileText result;
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

    if (!S_ISREG(info.st_mode)) return fail(Status::kRefused, where + ": not a regular file");
    UniqueFd file(::openat(directory.handle.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0) {
      return fail(Status::kFailed, where + ": cannot be opened (" + std::strerror(errno) + ")");
    }
    struct stat opened {};
    if (::fstat(file.Get(), &opened) != 0 || !SameFile(info, opened) || !S_ISREG(opened.st_mode)) {
      return fail(Status::kFailed, where + ": changed while being opened");
    }
    if (wholeOnly && static_cast<std::uint64_t>(opened.st_size) > maxBytes) {
      TrustedFileText result;
      result.status = Status::kRead;
      result.truncated = true;
      return result;
    }
    TrustedFileText result = ReadBounded(file.Get(), static_cast<std::size_t>(opened.st_size), maxBytes, where);
    if (result.status != Status::kRead) result.status = Status::kFailed;
    return result;
  }
  return fail(Status::kRefused, path + ": not a regular file");
}

}  // namespace

TrustedFileText ReadTrustedFile(const std::string& path, std::size_t maxBytes) {
  return WalkAndRead(path, maxBytes, false);
}

TrustedFileText ReadRegularFile(const std::string& path, std::size_t maxBytes) {
  TrustedFileText result;
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.Get() < 0) {
    const int error = errno;
    result.status = error == ENOENT || error == ENOTDIR ? Status::kMissing : Status::kFailed;
    result.reason = path + ": cannot be opened (" + std::strerror(error) + ")";
    return result;
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) {
    result.reason = path + ": cannot be examined (" + std::strerror(errno) + ")";
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.status = Status::kRefused;
    result.reason = path + ": not a regular file";
    return result;
  }
  // /proc files report a size of 0 (or a made-up one): the read grows.
  result = ReadBounded(file.Get(), static_cast<std::size_t>(info.st_size), maxBytes, path);
  if (result.status != Status::kRead) result.status = Status::kFailed;
  return result;
}

std::optional<std::string> ReadSystemFile(const std::string& path, std::size_t maxBytes, const char* what) {
  TrustedFileText file = WalkAndRead(path, maxBytes, true);
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

}  // namespace velkaro
