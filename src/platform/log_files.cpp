#include "platform/log_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <deque>
#include <vector>

#include "platform/unique_fd.h"

namespace velkaro {
namespace {

constexpr int kMaxLinks = 40;          // the kernel's own limit for one lookup
constexpr mode_t kNewFileMode = 0600;  // the log lists the system: for root and the user who asked only

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
// With `wantDirectory` the path names a directory and `handle` gets an
// O_PATH descriptor of it; otherwise a file opened with `flags`.
int WalkWithoutUserLinks(const std::string& path, bool wantDirectory, int flags, LogFileHandle& handle,
                         std::string& reason) {
  if (path.empty()) return ENOENT;
  if (!wantDirectory && path.back() == '/') return EISDIR;
  std::deque<std::string> rest = Components(path);
  UniqueFd directory;
  if (const int error = OpenRoot(path.front() == '/', directory)) return error;
  if (rest.empty()) {
    if (!wantDirectory) return EISDIR;
    handle = directory.Release();
    return 0;
  }

  int links = 0;
  while (!rest.empty()) {
    const std::string name = std::move(rest.front());
    rest.pop_front();
    const bool last = rest.empty();
    UniqueFd opened(last && !wantDirectory
                        ? ::openat(directory.Get(), name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                                   kNewFileMode)
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
      if (wantDirectory) {
        handle = opened.Release();
        return 0;
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
    if (last && !wantDirectory && (parts.empty() || target.back() == '/')) return EISDIR;
    rest.insert(rest.begin(), parts.begin(), parts.end());
    if (target.front() == '/') {
      if (const int rootError = OpenRoot(true, directory)) return rootError;
    }
    if (rest.empty()) {  // a link to "/" or "." as the directory
      handle = directory.Release();
      return 0;
    }
  }
  return EISDIR;
}

int OpenWithoutUserLinks(const std::string& path, int flags, LogFileHandle& handle, std::string& reason) {
  return WalkWithoutUserLinks(path, false, flags, handle, reason);
}

std::optional<unsigned> ParseId(const char* text) {
  if (!text || !*text) return std::nullopt;
  unsigned value = 0;
  const char* end = text + std::strlen(text);
  const auto [at, error] = std::from_chars(text, end, value);
  if (error != std::errc() || at != end) return std::nullopt;
  return value;
}

std::string UserName(uid_t uid) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  }
  return "uid " + std::to_string(uid);
}

// The entry at the final name may be replaced only when it is a regular file
// of ours or of the user who asked; 0 when there is none.
int CheckReplaceable(int directory, const std::string& name, std::string& reason) {
  struct stat entry {};
  if (::fstatat(directory, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISREG(entry.st_mode)) {
    reason = "not a regular file";
    return EINVAL;
  }
  const auto asking = AskingUser();
  if (entry.st_uid != ::geteuid() && !(asking && entry.st_uid == asking->uid)) {
    reason = "the file belongs to " + UserName(entry.st_uid) + ", not to this user or the user who asked";
    return EPERM;
  }
  return 0;
}

std::string RandomSuffix() {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[8] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    const auto now = static_cast<unsigned long>(::clock()) ^ static_cast<unsigned long>(::getpid());
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(now >> (i * 5));
  }
  std::string suffix;
  for (const unsigned char byte : bytes) suffix += kLetters[byte % (sizeof kLetters - 1)];
  return suffix;
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

constexpr std::size_t kMaxTemporaryBase = 200;  // keeps the name within NAME_MAX
constexpr int kNameAttempts = 16;
std::atomic<ILogFileSystem*> g_logFileSystem{&g_linuxLogFileSystem};

}  // namespace

ILogFileSystem& LogFileSystem() { return *g_logFileSystem.load(std::memory_order_acquire); }

void InstallLogFileSystem(ILogFileSystem* service) {
  g_logFileSystem.store(service ? service : &g_linuxLogFileSystem, std::memory_order_release);
}

std::optional<AskingUserId> AskingUser() {
  if (::geteuid() != 0) return std::nullopt;
  // The group is the user's primary one, as the user database has it: the
  // log is for them alone, whatever group sudo was run in.
  auto uid = ParseId(std::getenv("PKEXEC_UID"));
  if (!uid) uid = ParseId(std::getenv("SUDO_UID"));
  if (!uid) return std::nullopt;
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(*uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
  return AskingUserId{*uid, found->pw_gid};
}

PendingLogFile::~PendingLogFile() { Discard(); }

int PendingLogFile::Create(const std::string& path, LogFileHandle& handle, std::string& reason) {
  Discard();
  handle = kNoLogFile;
  reason.clear();
  const std::size_t slash = path.rfind('/');
  const std::string directoryPath =
      slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return EISDIR;

  LogFileHandle directory = kNoLogFile;
  if (const int error = WalkWithoutUserLinks(directoryPath, true, 0, directory, reason)) return error;
  UniqueFd owned(directory);
  // Refused now rather than after the whole log has been written.
  if (const int refused = CheckReplaceable(owned.Get(), name, reason)) return refused;

  const std::string base = "." + name.substr(0, kMaxTemporaryBase) + ".";
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string temporary = base + RandomSuffix();
    UniqueFd file(::openat(owned.Get(), temporary.c_str(),
                           O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, kNewFileMode));
    if (file.Get() < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    m_directory = owned.Release();
    m_name = std::move(name);
    m_temporary = temporary;
    m_path = path;
    // The umask may have taken bits away, never added them; this makes the
    // mode exact whatever it is.
    if (::fchmod(file.Get(), kNewFileMode) != 0) {
      const int error = errno;
      Discard();
      return error;
    }
    handle = file.Release();
    return 0;
  }
  return EEXIST;
}

int PendingLogFile::HandOver(LogFileHandle handle) {
  const auto asking = AskingUser();
  if (!asking || asking->uid == 0) return 0;
  return ::fchown(handle, asking->uid, asking->gid) == 0 ? 0 : errno;
}

int PendingLogFile::PutInPlace(std::string& reason) {
  reason.clear();
  if (m_directory < 0) return EBADF;
  // Another file may have appeared at the path while the log was written.
  if (const int refused = CheckReplaceable(m_directory, m_name, reason)) return refused;
  if (::renameat(m_directory, m_temporary.c_str(), m_directory, m_name.c_str()) != 0) return errno;
  ::close(m_directory);
  m_directory = -1;
  m_temporary.clear();
  return 0;
}

void PendingLogFile::Discard() {
  if (m_directory < 0) return;
  ::unlinkat(m_directory, m_temporary.c_str(), 0);
  ::close(m_directory);
  m_directory = -1;
  m_temporary.clear();
}

std::string PendingLogFile::TemporaryPath() const {
  if (m_temporary.empty()) return {};
  const std::size_t slash = m_path.rfind('/');
  return (slash == std::string::npos ? std::string() : m_path.substr(0, slash + 1)) + m_temporary;
}

}  // namespace velkaro
