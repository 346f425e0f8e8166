#include "platform/store/store_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/file_limits.h"
#include "platform/store/registry_text.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace velkaro {

namespace {

constexpr mode_t kNewDirectoryMode = 0755;
constexpr int kMaxLinks = 40;  // as the kernel allows in one path
constexpr std::chrono::milliseconds kLongestPoll{20};

std::string Describe(int error) { return std::strerror(error); }

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

std::string UserName(uid_t uid) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  std::string name = "user ";
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    name += std::string(found->pw_name) + " (" + std::to_string(uid) + ")";
  } else {
    name += std::to_string(uid);
  }
  return name;
}

// Why a directory or file is not safe to use, or nothing. `holdsStore`: the
// store's own directory, or the store file, which no one else may write
// even under a sticky bit.
std::string Unsafe(const struct stat& info, bool holdsStore) {
  if (!TrustedOwner(info.st_uid)) {
    return "is owned by " + UserName(info.st_uid) + ", not by root" + (::geteuid() != 0 ? " or you" : "");
  }
  const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (holdsStore || !sticky)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("is writable for other users (mode ") + mode + ")";
  }
  return "";
}

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

void PrependComponents(const std::string& path, std::deque<std::string>& pending) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  pending.insert(pending.begin(), parts.begin(), parts.end());
}

}  // namespace

// /proc files report no size: each is read to its end, up to a bound.
std::string LockHolder(const struct stat& file, const std::string& locksPath) {
  const TrustedFileText locks = ReadRegularFile(locksPath, kMaxProcLocksSize);
  if (locks.status != TrustedFileText::Status::kRead) return "";
  std::string_view rest = locks.text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string line(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    char arrow[4] = "";
    int pid = 0;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long inode = 0;
    // "1: FLOCK  ADVISORY  WRITE 123 08:01:4567 0 EOF"; waiters carry "->".
    if (std::sscanf(line.c_str(), "%*d: %3s", arrow) != 1 || std::string(arrow) == "->") continue;
    if (std::sscanf(line.c_str(), "%*d: %*s %*s %*s %d %x:%x:%lu", &pid, &major, &minor, &inode) != 4) continue;
    if (major != ::major(file.st_dev) || minor != ::minor(file.st_dev) || inode != file.st_ino || pid <= 0) continue;
    const TrustedFileText comm = ReadRegularFile("/proc/" + std::to_string(pid) + "/comm", kMaxProcCommSize);
    const std::string name(comm.status == TrustedFileText::Status::kRead ? TrimSpaces(comm.text) : "");
    // Any user may name a process: the name is shown, never acted on.
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + EscapeControls(name) + ")");
  }
  return "";
}

namespace {

constexpr char kTemporaryLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kTemporarySuffix = 6;

bool IsTemporaryName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kTemporarySuffix || !name.starts_with(prefix)) return false;
  const std::string_view suffix = name.substr(prefix.size());
  return suffix.find_first_not_of(kTemporaryLetters) == std::string_view::npos;
}

int ReadAll(int fd, const struct stat& info, std::string& text) {
  text.clear();
  if (static_cast<std::uint64_t>(info.st_size) > kMaxRegTextSize) return EFBIG;
  text.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  for (;;) {
    if (done == text.size()) text.resize(text.size() + 4096);  // the file grew after fstat
    const ssize_t got = ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
    if (done > kMaxRegTextSize) return EFBIG;
  }
  text.resize(done);
  return 0;
}

int WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

}  // namespace

int StoreDirectory::Open(const std::string& path, bool create, std::string& why) {
  m_path = path;
  m_dir.Reset();
  const std::size_t slash = path.rfind('/');
  m_name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (m_name.empty() || m_name == "." || m_name == "..") {
    why = "is not a file name";
    return EINVAL;
  }
  std::deque<std::string> pending;
  if (slash != std::string::npos) PrependComponents(path.substr(0, slash), pending);

  std::string shown = path.starts_with('/') ? "/" : ".";
  UniqueFd current(::open(shown.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  const auto check = [&](bool holdsStore) {
    if (::fstat(current.Get(), &info) != 0) {
      why = "cannot inspect its directory " + shown + ": " + Describe(errno);
      return EIO;
    }
    if (const std::string unsafe = Unsafe(info, holdsStore); !unsafe.empty()) {
      why = "its directory " + shown + " " + unsafe + "; the store is not used";
      return EACCES;
    }
    return 0;
  };
  if (current.Get() < 0) {
    why = "cannot open " + shown + ": " + Describe(errno);
    return errno;
  }
  if (const int error = check(false)) return error;

  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == ".") continue;
    const std::string next = Join(shown, name);
    struct stat entry {};
    if (::fstatat(current.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !create) {
        const int error = errno;
        why = "cannot open its directory " + next + ": " + Describe(error);
        return error;
      }
      if (::mkdirat(current.Get(), name.c_str(), kNewDirectoryMode) != 0 && errno != EEXIST) {
        const int error = errno;
        why = "cannot create its directory " + next + ": " + Describe(error);
        return error;
      }
      pending.push_front(name);  // look at what is there now
      continue;
    }
    if (S_ISLNK(entry.st_mode)) {
      // A link counts only when someone we trust made it; its target is walked
      // with the same care.
      if (!TrustedOwner(entry.st_uid)) {
        why = "its directory " + next + " is a symbolic link owned by " + UserName(entry.st_uid) +
              "; the store is not used";
        return EACCES;
      }
      char target[4096];
      const ssize_t length = ::readlinkat(current.Get(), name.c_str(), target, sizeof target - 1);
      if (length <= 0 || ++links > kMaxLinks) {
        why = "cannot follow the link " + next;
        return ELOOP;
      }
      const std::string to(target, static_cast<std::size_t>(length));
      PrependComponents(to, pending);
      if (to.starts_with('/')) {
        shown = "/";
        current.Reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (const int error = check(false)) return error;
      }
      continue;
    }
    current.Reset(::openat(current.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (current.Get() < 0) {
      const int error = errno;
      why = "cannot open its directory " + next + ": " + Describe(error);
      return error;
    }
    shown = next;
    if (const int error = check(false)) return error;
  }
  if (const int error = check(true)) return error;
  m_dir = std::move(current);
  return 0;
}

int StoreDirectory::Inspect(std::string& why) const {
  struct stat info {};
  if (::fstatat(m_dir.Get(), m_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    why = "cannot open: " + Describe(error);
    return error;
  }
  if (S_ISLNK(info.st_mode)) {
    why = "is a symbolic link; the store is never read or written through a link";
    return EACCES;
  }
  if (!S_ISREG(info.st_mode)) {
    why = "is not a regular file";
    return EINVAL;
  }
  return 0;
}

int StoreDirectory::OpenFile(UniqueFd& fd, struct stat& info, std::string& why) const {
  // Look before opening: opening a device or a FIFO can block or act.
  if (const int error = Inspect(why)) return error;
  fd.Reset(::openat(m_dir.Get(), m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) {
    const int error = errno;
    why = error == ELOOP ? "is a symbolic link; the store is never read or written through a link"
                         : "cannot open: " + Describe(error);
    return error == ELOOP ? EACCES : error;
  }
  // What was opened decides; the look before may be out of date.
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    why = "is not a regular file";
    return EINVAL;
  }
  if (const std::string unsafe = Unsafe(info, true); !unsafe.empty()) {
    why = unsafe + "; the store is not used";
    return EACCES;
  }
  return 0;
}

int StoreDirectory::ReadOpened(const UniqueFd& fd, const struct stat& info, std::string& text, std::string& why) {
  text.clear();
  if (const int error = ReadAll(fd.Get(), info, text)) {
    why = error == EFBIG ? "larger than " + std::to_string(kMaxRegTextSize) + " bytes" : "cannot read: " + Describe(error);
    return error;
  }
  return 0;
}

int StoreDirectory::Read(std::string& text, struct stat& info, std::string& why) const {
  text.clear();
  UniqueFd fd;
  if (const int error = OpenFile(fd, info, why)) return error;
  return ReadOpened(fd, info, text, why);
}

int StoreDirectory::Lock(std::chrono::milliseconds wait, UniqueFd& lock, std::string& why) const {
  const std::string name = "." + m_name + ".lock";
  const std::string shown = m_path.substr(0, m_path.size() - m_name.size()) + name;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::chrono::milliseconds pause{1};
  for (;;) {
    lock.Reset(::openat(m_dir.Get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat info {};
    if (lock.Get() < 0 || ::fstat(lock.Get(), &info) != 0) {
      const int error = errno;
      why = "cannot open the lock file " + shown + ": " + Describe(error);
      return error;
    }
    // Anyone who may open the lock file may hold every writer up.
    if (!S_ISREG(info.st_mode) || !TrustedOwner(info.st_uid) || (info.st_mode & 077) != 0) {
      why = "the lock file " + shown + " is not a private file of root" + (::geteuid() != 0 ? " or yours" : "") +
            "; remove it";
      return EACCES;
    }
    // Polling rather than a blocking flock: a blocked flock cannot be given a time limit.
    while (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        const int error = errno;
        why = "cannot lock " + shown + ": " + Describe(error);
        return error;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        const std::string holder = LockHolder(info);
        why = "the lock file " + shown + " is held by " + (holder.empty() ? "another writer" : holder) +
              " for more than " + std::to_string(wait.count()) + " ms; nothing was written";
        return ETIMEDOUT;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kLongestPoll);
    }
    // A lock file removed while we waited locks nothing: take the one that is there now.
    struct stat current {};
    if (::fstatat(m_dir.Get(), name.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 && current.st_ino == info.st_ino &&
        current.st_dev == info.st_dev) {
      return 0;
    }
  }
}

int StoreDirectory::WriteTemporary(const std::string& text, const struct stat& info, std::string& temporary,
                                   std::string& why) const {
  thread_local std::minstd_rand random(std::random_device{}());
  UniqueFd file;
  for (int attempt = 0; attempt < 100 && file.Get() < 0; ++attempt) {
    temporary = "." + m_name + ".";
    for (std::size_t i = 0; i < kTemporarySuffix; ++i) {
      temporary += kTemporaryLetters[random() % (sizeof kTemporaryLetters - 1)];
    }
    file.Reset(::openat(m_dir.Get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.Get() < 0 && errno != EEXIST) break;
  }
  if (file.Get() < 0) {
    const int error = errno;
    why = "cannot create a temporary file: " + Describe(error);
    return error;
  }
  // The new file keeps the old one's permissions and, where we may, owner.
  int error = ::fchmod(file.Get(), info.st_mode & 07777) == 0 ? 0 : errno;
  if (error == 0 && ::geteuid() == 0 && ::fchown(file.Get(), info.st_uid, info.st_gid) != 0) error = errno;
  if (error == 0) error = WriteAll(file.Get(), text);
  if (error == 0 && ::fsync(file.Get()) != 0) error = errno;
  if (error == 0 && ::close(file.Release()) != 0) error = errno;
  if (error != 0) {
    file.Reset();
    Remove(temporary);
    why = "cannot write: " + Describe(error) + " (the old file is kept)";
  }
  return error;
}

int StoreDirectory::Replace(const std::string& temporary, std::string& why) const {
  if (::renameat(m_dir.Get(), temporary.c_str(), m_dir.Get(), m_name.c_str()) != 0) {
    const int error = errno;
    Remove(temporary);
    why = "cannot write: " + Describe(error) + " (the old file is kept)";
    return error;
  }
  // The rename is visible now; syncing the directory makes it durable. If
  // that fails the change has still happened, so it is not reported as failed.
  UniqueFd directory(::openat(m_dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() < 0 || ::fsync(directory.Get()) != 0) why = "cannot sync its directory: " + Describe(errno);
  return 0;
}

void StoreDirectory::Remove(const std::string& temporary) const { ::unlinkat(m_dir.Get(), temporary.c_str(), 0); }

std::string StoreDirectory::RemoveLeftovers() const {
  const std::string shownDirectory = m_path.substr(0, m_path.size() - m_name.size());
  const int listing = ::openat(m_dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(listing >= 0 ? ::fdopendir(listing) : nullptr, ::closedir);
  if (dir == nullptr) {
    const std::string why = Describe(errno);
    if (listing >= 0) ::close(listing);
    return "cannot look for leftover temporary files in " + (shownDirectory.empty() ? "." : shownDirectory) + ": " +
           why;
  }
  // The names first: what readdir answers after a removal is unspecified.
  const std::string prefix = "." + m_name + ".";
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (IsTemporaryName(entry->d_name, prefix)) leftovers.emplace_back(entry->d_name);
  }
  std::string failures;
  for (const std::string& name : leftovers) {
    struct stat info {};
    // A link, a directory or another user's file is not ours to remove.
    if (::fstatat(m_dir.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid()) {
      continue;
    }
    if (::unlinkat(m_dir.Get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      const int error = errno;
      failures += (failures.empty() ? "" : "; ") + std::string("cannot remove the leftover temporary file ") +
                  shownDirectory + name + ": " + Describe(error);
    }
  }
  return failures;
}

}  // namespace velkaro
