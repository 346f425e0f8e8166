#include "platform/log_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

#include "platform/unique_fd.h"

namespace velkaro {
namespace {

constexpr int kMaxLinks = 40;          // the kernel's own limit for one lookup
constexpr mode_t kNewFileMode = 0644;  // the user sends the log on: it must be readable

bool IsOurs(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

bool OthersMayWrite(const struct stat& directory) { return (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// A link may be followed when nobody but root or we could have placed or
// changed it: it and its directory are root's or ours, and that directory
// is not writable by others, or it is sticky (then only its owner, the
// link's owner or root may replace the link).
bool IsTrustedLink(int directory, const struct stat& link) {
  struct stat dir {};
  if (::fstat(directory, &dir) != 0) return false;
  return IsOurs(link.st_uid) && IsOurs(dir.st_uid) && (!OthersMayWrite(dir) || (dir.st_mode & S_ISVTX));
}

std::deque<std::string> Components(std::string_view path) {
  std::deque<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

int ReadLink(int directory, const std::string& name, std::string& target) {
  std::vector<char> buffer(PATH_MAX);
  const ssize_t length = ::readlinkat(directory, name.c_str(), buffer.data(), buffer.size());
  if (length < 0) return errno;
  if (static_cast<std::size_t>(length) >= buffer.size()) return ENAMETOOLONG;
  target.assign(buffer.data(), static_cast<std::size_t>(length));
  return 0;
}

int OpenRoot(bool absolute, UniqueFd& directory) {
  directory.Reset(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return directory.Get() < 0 ? errno : 0;
}

// The checks on the opened file; `directory` is the one that holds it.
int CheckFile(int fd, int directory, std::string& reason) {
  struct stat file {};
  struct stat dir {};
  if (::fstat(fd, &file) != 0 || ::fstat(directory, &dir) != 0) return errno;
  if (!S_ISREG(file.st_mode)) {
    reason = "not a regular file";
    return EINVAL;
  }
  // Another name of the same file could be anywhere, a system file included.
  if (file.st_nlink > 1) {
    reason = "the file has other hard links";
    return EMLINK;
  }
  if (!IsOurs(file.st_uid) && OthersMayWrite(dir)) {
    reason = "the file belongs to another user, in a directory others may write to";
    return EPERM;
  }
  return 0;
}

// Walks the path one component at a time from a directory descriptor, so
// that every symbolic link on the way is seen and judged before it is used.
int OpenWithoutUserLinks(const std::string& path, int flags, LogFileHandle& handle, std::string& reason) {
  if (path.empty()) return ENOENT;
  if (path.back() == '/') return EISDIR;
  std::deque<std::string> rest = Components(path);
  if (rest.empty()) return EISDIR;
  UniqueFd directory;
  if (const int error = OpenRoot(path.front() == '/', directory)) return error;

  int links = 0;
  while (!rest.empty()) {
    const std::string name = std::move(rest.front());
    rest.pop_front();
    const bool last = rest.empty();
    UniqueFd opened(last ? ::openat(directory.Get(), name.c_str(),
                                    flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kNewFileMode)
                         : ::openat(directory.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat entry {};
    bool isLink = false;
    if (opened.Get() >= 0) {
      // A directory lookup with O_PATH may hand out the link itself.
      if (::fstat(opened.Get(), &entry) != 0) return errno;
      isLink = S_ISLNK(entry.st_mode);
    } else {
      const int error = errno;
      if ((error != ELOOP && error != ENOTDIR) ||
          ::fstatat(directory.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(entry.st_mode)) {
        return error;
      }
      isLink = true;
    }
    if (!isLink) {
      if (!last) {
        directory.Reset(opened.Release());
        continue;
      }
      if (const int refused = CheckFile(opened.Get(), directory.Get(), reason)) return refused;
      if ((flags & O_CREAT) && ::ftruncate(opened.Get(), 0) != 0) return errno;
      handle = opened.Release();
      return 0;
    }
    if (!IsTrustedLink(directory.Get(), entry)) {
      reason = "the symbolic link \"" + name + "\" on the way belongs to another user or sits in a directory others "
               "may write to";
      return EPERM;
    }
    if (++links > kMaxLinks) return ELOOP;
    std::string target;
    if (const int linkError = ReadLink(directory.Get(), name, target)) return linkError;
    if (target.empty()) return ENOENT;
    std::deque<std::string> parts = Components(target);
    if (last && (parts.empty() || target.back() == '/')) return EISDIR;
    rest.insert(rest.begin(), parts.begin(), parts.end());
    if (target.front() == '/') {
      if (const int rootError = OpenRoot(true, directory)) return rootError;
    }
  }
  return EISDIR;
}

class LinuxLogFileSystem final : public ILogFileSystem {
 public:
  int Open(const std::string& path, LogOpenMode mode, LogFileHandle& handle, std::string& reason) override {
    handle = kNoLogFile;
    reason.clear();
    const int flags = O_WRONLY | O_APPEND | (mode == LogOpenMode::kCreateAlways ? O_CREAT : 0);
    return OpenWithoutUserLinks(path, flags, handle, reason);
  }

  int SeekToEnd(LogFileHandle handle) override { return ::lseek(handle, 0, SEEK_END) < 0 ? errno : 0; }

  int Write(LogFileHandle handle, std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::write(handle, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return errno;
      if (written == 0) return EIO;
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
  }

  int Close(LogFileHandle handle) override {
    // A full disk may show only when the data reach it.
    const int synced = ::fsync(handle) == 0 ? 0 : errno;
    const int closed = ::close(handle) == 0 ? 0 : errno;
    return synced != 0 ? synced : closed;
  }
};

LinuxLogFileSystem g_linuxLogFileSystem;
std::atomic<ILogFileSystem*> g_logFileSystem{&g_linuxLogFileSystem};

}  // namespace

ILogFileSystem& LogFileSystem() { return *g_logFileSystem.load(std::memory_order_acquire); }

void InstallLogFileSystem(ILogFileSystem* service) {
  g_logFileSystem.store(service ? service : &g_linuxLogFileSystem, std::memory_order_release);
}

}  // namespace velkaro
