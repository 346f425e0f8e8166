#include "platform/registry_store.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#include "platform/registry_text.h"
#include "platform/services.h"

namespace velkaro {

namespace {

constexpr char kDefaultMachineStore[] = "/etc/velkaro/registry.reg";
constexpr mode_t kNewFileMode = 0644;
// A file replaced while we waited for its lock is opened again; more than a
// few rounds means something replaces it in a loop.
constexpr int kLockAttempts = 1000;

bool IsPermissionError(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::string Describe(int error) { return std::strerror(error); }

// Opens the store file and locks it. When another writer replaced the file
// while we waited, the lock sits on the old file: open the new one instead.
int OpenLocked(const std::string& path, int flags, int lockOperation, UniqueFd& fd, struct stat& info) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    fd.Reset(::open(path.c_str(), flags | O_CLOEXEC, kNewFileMode));
    if (fd.Get() < 0) return errno;
    while (::flock(fd.Get(), lockOperation) != 0) {
      if (errno != EINTR) return errno;
    }
    struct stat current {};
    if (::fstat(fd.Get(), &info) != 0) return errno;
    if (::stat(path.c_str(), &current) == 0 && current.st_ino == info.st_ino && current.st_dev == info.st_dev) {
      return 0;
    }
  }
  return EAGAIN;
}

int ReadAll(int fd, const struct stat& info, std::string& text) {
  text.clear();
  if (!S_ISREG(info.st_mode)) return EINVAL;
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

std::int64_t ModifiedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// File times older than this cannot hide a change: any later change gets a
// later time, whatever the clock tick of the file system.
constexpr std::int64_t kSettledNs = 2'000'000'000;

std::int64_t ChangedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

bool TimesAreSettled(const struct stat& info) {
  struct timespec now {};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return ChangedNs(info) + kSettledNs < nowNs && ModifiedNs(info) + kSettledNs < nowNs;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The file we replace: the target of a symbolic link rather than the link.
std::string ReplaceTarget(const std::string& path) {
  std::error_code error;
  const auto target = std::filesystem::canonical(path, error);
  return error ? path : target.string();
}

}  // namespace

RegistryStore::RegistryStore(std::string path, RegStoreKind kind) : m_path(std::move(path)), m_kind(kind) {}

RegKeyNode RegistryStore::EmptyTop(RegStoreKind kind) {
  RegKeyNode top;
  for (const RegRoot& root : RegRoots()) {
    if (root.store == kind) top.AddSubkey(root.name);
  }
  return top;
}

LSTATUS RegistryStore::Failure(LSTATUS code, const std::string& text, std::string* message) const {
  const std::string full = m_path + ": " + text;
  OutputDebugString("registry: " + full);
  if (message != nullptr) *message = full;
  return code;
}

LSTATUS RegistryStore::ParseUncached(const std::string& text, RegKeyNode& top, std::string* message) const {
  RegDocument document;
  RegTextError error;
  const auto failed = [&](std::size_t line, const std::string& why) {
    const std::string where = line > 0 ? std::to_string(line) + ": " : "";
    // The path and line read as a compiler's "file:line: message".
    const std::string full = m_path + ":" + where + why;
    OutputDebugString("registry: " + full + " (the store is left as it is)");
    if (message != nullptr) *message = full;
    return ERROR_BADDB;
  };
  if (!ParseRegText(text, document, error)) return failed(error.line, error.message);
  top = EmptyTop(m_kind);
  for (const RegKeySection& section : document.sections) {
    if (section.root->store != m_kind) {
      return failed(section.line, std::string(section.root->name) + " is not kept in this store");
    }
    ApplyRegSection(section, top);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Parse(const std::string& text, std::shared_ptr<const RegKeyNode>& top, std::string* message,
                             const FileIdentity* identity, bool settled) {
  const auto remember = [&] {
    m_cachedIdentity = identity ? *identity : FileIdentity{};
    m_identitySettled = identity != nullptr && settled;
  };
  {
    std::lock_guard lock(m_cacheMutex);
    if (m_cachedTop && text == m_cachedText) {
      top = m_cachedTop;
      remember();
      return ERROR_SUCCESS;
    }
  }
  auto parsed = std::make_shared<RegKeyNode>();
  if (const LSTATUS status = ParseUncached(text, *parsed, message)) return status;
  top = parsed;
  std::lock_guard lock(m_cacheMutex);
  m_cachedText = text;
  m_cachedTop = std::move(parsed);
  remember();
  return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Read(RegSnapshot& snapshot, std::string* message) {
  UniqueFd fd;
  struct stat info {};
  const int error = OpenLocked(m_path, O_RDONLY, LOCK_SH, fd, info);
  if (error == ENOENT || error == ENOTDIR) {
    snapshot.top = std::make_shared<const RegKeyNode>(EmptyTop(m_kind));
    snapshot.modifiedNs = 0;
    return ERROR_SUCCESS;
  }
  if (error != 0) {
    return Failure(IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTREAD, "cannot open: " + Describe(error),
                   message);
  }
  const FileIdentity identity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                              static_cast<std::int64_t>(info.st_size), ModifiedNs(info), ChangedNs(info)};
  {
    // Without this, every call of a walk over many values reads the whole
    // file again, and the walk grows with the square of the store.
    std::lock_guard lock(m_cacheMutex);
    if (m_cachedTop && m_identitySettled && m_cachedIdentity == identity) {
      snapshot.top = m_cachedTop;
      snapshot.modifiedNs = ModifiedNs(info);
      return ERROR_SUCCESS;
    }
  }
  const bool settled = TimesAreSettled(info);  // judged before the bytes are read
  std::string text;
  if (const int readError = ReadAll(fd.Get(), info, text)) {
    if (readError == EFBIG) {
      return Failure(ERROR_BADDB, "larger than " + std::to_string(kMaxRegTextSize) + " bytes", message);
    }
    return Failure(ERROR_CANTREAD, "cannot read: " + Describe(readError), message);
  }
  fd.Reset();  // the content is in memory; let writers go on
  std::shared_ptr<const RegKeyNode> top;
  if (const LSTATUS status = Parse(text, top, message, &identity, settled)) return status;
  snapshot.top = std::move(top);
  snapshot.modifiedNs = ModifiedNs(info);
  return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Modify(const Change& change, std::string* message) {
  UniqueFd fd;
  struct stat info {};
  for (;;) {
    const int error = OpenLocked(m_path, O_RDWR, LOCK_EX, fd, info);
    if (error == 0) break;
    if (error != ENOENT) {
      return Failure(IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE,
                     "cannot open for writing: " + Describe(error), message);
    }
    // No file yet: create it only when the change has something to write.
    RegKeyNode trial = EmptyTop(m_kind);
    bool changed = false;
    if (const LSTATUS status = change(trial, changed); status != ERROR_SUCCESS || !changed) return status;
    std::error_code dirError;
    std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), dirError);
    if (dirError) {
      const bool denied = dirError == std::errc::permission_denied || dirError == std::errc::operation_not_permitted ||
                          dirError == std::errc::read_only_file_system;
      return Failure(denied ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE,
                     "cannot create its directory: " + dirError.message(), message);
    }
    UniqueFd created(::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode));
    if (created.Get() < 0) {
      const int createError = errno;
      return Failure(IsPermissionError(createError) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE,
                     "cannot create: " + Describe(createError), message);
    }
    // An empty file is an empty store; lock it and go on as with any file.
  }

  std::string text;
  if (const int readError = ReadAll(fd.Get(), info, text)) {
    if (readError == EFBIG) {
      return Failure(ERROR_BADDB, "larger than " + std::to_string(kMaxRegTextSize) + " bytes", message);
    }
    return Failure(ERROR_CANTREAD, "cannot read: " + Describe(readError), message);
  }
  // The change works on a tree of its own: a copy of the cached one, or a
  // fresh parse when another process changed the file.
  auto updated = std::make_shared<RegKeyNode>();
  bool cached = false;
  {
    std::lock_guard lock(m_cacheMutex);
    if (m_cachedTop && text == m_cachedText) {
      *updated = *m_cachedTop;
      cached = true;
    }
  }
  if (!cached) {
    if (const LSTATUS status = ParseUncached(text, *updated, message)) return status;
  }
  bool changed = false;
  if (const LSTATUS status = change(*updated, changed); status != ERROR_SUCCESS || !changed) return status;

  std::string newText = FormatRegText(*updated);
  if (const LSTATUS status = Replace(newText, ReplaceTarget(m_path), info.st_mode & 07777, info.st_uid, info.st_gid,
                                     message)) {
    return status;
  }
  std::lock_guard lock(m_cacheMutex);
  m_cachedText = std::move(newText);
  m_cachedTop = std::move(updated);
  m_identitySettled = false;  // the new file has not been looked at yet
  return ERROR_SUCCESS;
  // The lock goes with `fd`, after the new file is in place.
}

LSTATUS RegistryStore::Replace(const std::string& text, const std::string& target, unsigned mode, unsigned uid,
                               unsigned gid, std::string* message) {
  const std::filesystem::path targetPath(target);
  const std::string directory = targetPath.parent_path().empty() ? "." : targetPath.parent_path().string();
  std::string temporary = directory + "/." + targetPath.filename().string() + ".XXXXXX";
  UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.Get() < 0) {
    const int error = errno;
    return Failure(IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE,
                   "cannot create a temporary file: " + Describe(error), message);
  }
  // The new file keeps the old one's permissions and, where we may, owner.
  int error = ::fchmod(file.Get(), mode) == 0 ? 0 : errno;
  if (error == 0 && ::geteuid() == 0 && ::fchown(file.Get(), uid, gid) != 0) error = errno;
  if (error == 0) error = WriteAll(file.Get(), text);
  if (error == 0 && ::fsync(file.Get()) != 0) error = errno;
  if (error == 0 && ::close(file.Release()) != 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    file.Reset();
    ::unlink(temporary.c_str());
    return Failure(IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE,
                   "cannot write: " + Describe(error) + " (the old file is kept)", message);
  }
  // The rename is visible now; syncing the directory makes it durable. If
  // that fails the change has still happened, so it is not reported as failed.
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() < 0 || ::fsync(dir.Get()) != 0) {
    OutputDebugString("registry: " + m_path + ": cannot sync its directory: " + Describe(errno));
  }
  return ERROR_SUCCESS;
}

bool RegistryStore::IsWritable() const {
  const std::filesystem::path path(ReplaceTarget(m_path));
  std::filesystem::path directory = path.parent_path().empty() ? "." : path.parent_path();
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 &&
           ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  }
  // No file: what counts is whether its directory exists or can be made.
  while (::stat(directory.c_str(), &info) != 0) {
    if (!directory.has_parent_path() || directory.parent_path() == directory) return false;
    directory = directory.parent_path();
  }
  return S_ISDIR(info.st_mode) && ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string MachineStorePath() {
  const std::string overridden = Environment("VELKARO_REGISTRY");
  return overridden.empty() ? kDefaultMachineStore : overridden;
}

std::string UserStorePath() {
  if (std::string overridden = Environment("VELKARO_USER_REGISTRY"); !overridden.empty()) return overridden;
  // XDG_CONFIG_HOME counts only when absolute, as the base directory rules say.
  if (const std::string config = Environment("XDG_CONFIG_HOME"); config.starts_with('/')) {
    return config + "/velkaro/user.reg";
  }
  std::string home = Environment("HOME");
  if (home.empty()) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
      home = found->pw_dir;
    }
  }
  return home + "/.config/velkaro/user.reg";
}

std::shared_ptr<RegistryStore> StoreFor(RegStoreKind kind) {
  if (kind == RegStoreKind::None) return nullptr;
  static std::mutex mutex;
  static std::map<std::pair<RegStoreKind, std::string>, std::shared_ptr<RegistryStore>> stores;
  std::string path = kind == RegStoreKind::Machine ? MachineStorePath() : UserStorePath();
  std::lock_guard lock(mutex);
  auto& store = stores[{kind, path}];
  if (!store) store = std::make_shared<RegistryStore>(std::move(path), kind);
  return store;
}

}  // namespace velkaro
