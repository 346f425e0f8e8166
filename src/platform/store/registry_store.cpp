#include "platform/store/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>

#include "platform/store/registry_text.h"
#include "platform/services.h"

namespace velkaro {

namespace {

constexpr char kDefaultMachineStore[] = "/etc/velkaro/registry.reg";
constexpr mode_t kNewFileMode = 0644;

bool IsPermissionError(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::int64_t ModifiedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::int64_t ChangedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

// File times older than this cannot hide a change: any later change gets a
// later time, whatever the clock tick of the file system.
constexpr std::int64_t kSettledNs = 2'000'000'000;

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

}  // namespace

RegistryStore::RegistryStore(std::string path, RegStoreKind kind, std::chrono::milliseconds lockWait)
    : m_path(std::move(path)), m_kind(kind), m_lockWait(lockWait) {}

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
  RegTextError error;
  const auto failed = [&](std::size_t line, const std::string& why) {
    const std::string where = line > 0 ? std::to_string(line) + ": " : "";
    // The path and line read as a compiler's "file:line: message".
    const std::string full = m_path + ":" + where + why;
    OutputDebugString("registry: " + full + " (the store is left as it is)");
    if (message != nullptr) *message = full;
    return ERROR_BADDB;
  };
  top = EmptyTop(m_kind);
  std::size_t misplacedLine = 0;
  const RegRoot* misplacedRoot = nullptr;
  RegSectionApplier applier(top);
  const bool parsed = ParseRegText(
      text,
      [&](const RegKeySection& section) {
        if (misplacedRoot != nullptr) return;
        if (section.root->store != m_kind) {
          misplacedRoot = section.root;
          misplacedLine = section.line;
          return;
        }
        applier.Apply(section);
      },
      error);
  applier.Finish();
  // A text that cannot be parsed is reported as such, wherever a misplaced section lies.
  if (!parsed) return failed(error.line, error.message);
  if (misplacedRoot != nullptr) {
    return failed(misplacedLine, std::string(misplacedRoot->name) + " is not kept in this store");
  }
  return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Parse(const std::string& text, std::shared_ptr<const RegKeyNode>& top, std::string* message,
                             const FileIdentity& identity, bool settled) {
  {
    std::lock_guard lock(m_cacheMutex);
    if (m_cachedTop && text == m_cachedText) {
      top = m_cachedTop;
      m_cachedIdentity = identity;
      m_identitySettled = settled;
      return ERROR_SUCCESS;
    }
  }
  auto parsed = std::make_shared<RegKeyNode>();
  if (const LSTATUS status = ParseUncached(text, *parsed, message)) return status;
  top = parsed;
  std::lock_guard lock(m_cacheMutex);
  m_cachedText = text;
  m_cachedTop = std::move(parsed);
  m_cachedIdentity = identity;
  m_identitySettled = settled;
  return ERROR_SUCCESS;
}

namespace {

struct ReadPins {
  int depth = 0;
  std::map<std::pair<const RegistryStore*, std::string>, RegSnapshot> pinned;
};
thread_local ReadPins t_pins;

RegSnapshot* PinOf(const RegistryStore& store) {
  if (t_pins.depth == 0) return nullptr;
  const auto found = t_pins.pinned.find({&store, store.Path()});
  return found == t_pins.pinned.end() ? nullptr : &found->second;
}

void Pin(const RegistryStore& store, const RegSnapshot& snapshot) {
  if (t_pins.depth > 0) t_pins.pinned[{&store, store.Path()}] = snapshot;
}

void Unpin(const RegistryStore& store) {
  if (t_pins.depth > 0) t_pins.pinned.erase({&store, store.Path()});
}

}  // namespace

RegReadScope::RegReadScope() { ++t_pins.depth; }

RegReadScope::~RegReadScope() {
  if (--t_pins.depth == 0) t_pins.pinned.clear();
}

LSTATUS RegistryStore::Read(RegSnapshot& snapshot, std::string* message) {
  if (const RegSnapshot* pinned = PinOf(*this)) {
    snapshot = *pinned;
    return ERROR_SUCCESS;
  }
  const LSTATUS status = ReadFile(snapshot, message);
  if (status == ERROR_SUCCESS) Pin(*this, snapshot);
  return status;
}

LSTATUS RegistryStore::ReadFile(RegSnapshot& snapshot, std::string* message) {
  StoreDirectory directory;
  std::string why;
  std::string text;
  struct stat info {};
  UniqueFd file;
  int error = directory.Open(m_path, false, why);
  if (error == 0) error = directory.OpenFile(file, info, why);
  const FileIdentity identity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                              static_cast<std::int64_t>(info.st_size), ModifiedNs(info), ChangedNs(info)};
  if (error == 0) {
    // Without this, every call of a walk over many values reads the whole
    // file again, and the walk grows with the square of the store.
    std::lock_guard lock(m_cacheMutex);
    if (m_cachedTop && m_identitySettled && m_cachedIdentity == identity) {
      snapshot.top = m_cachedTop;
      snapshot.modifiedNs = ModifiedNs(info);
      return ERROR_SUCCESS;
    }
  }
  const bool settled = error == 0 && TimesAreSettled(info);  // judged before the bytes are read
  if (error == 0) error = StoreDirectory::ReadOpened(file, info, text, why);
  file.Reset();
  if (error == ENOENT || error == ENOTDIR) {
    snapshot.top = std::make_shared<const RegKeyNode>(EmptyTop(m_kind));
    snapshot.modifiedNs = 0;
    return ERROR_SUCCESS;
  }
  if (error != 0) {
    return Failure(error == EFBIG ? ERROR_BADDB : IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTREAD, why,
                   message);
  }
  std::shared_ptr<const RegKeyNode> top;
  if (const LSTATUS status = Parse(text, top, message, identity, settled)) return status;
  snapshot.top = std::move(top);
  snapshot.modifiedNs = ModifiedNs(info);
  return ERROR_SUCCESS;
}

RegistryStore::PendingWrite::~PendingWrite() {
  if (IsPending()) m_directory.Remove(m_temporary);
}

LSTATUS RegistryStore::Prepare(const Change& change, PendingWrite& write, std::string* message) {
  std::string why;
  const auto failed = [&](int error) {
    return Failure(IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE, why, message);
  };
  int error = write.m_directory.Open(m_path, false, why);
  if (error == ENOENT) {
    // No directory yet: make it only when the change has something to write.
    RegKeyNode trial = EmptyTop(m_kind);
    bool changed = false;
    if (const LSTATUS status = change(trial, changed); status != ERROR_SUCCESS || !changed) return status;
    error = write.m_directory.Open(m_path, true, why);
  }
  // What is no store file is refused before a lock file is made beside it.
  if (const int found = error == 0 ? write.m_directory.Inspect(why) : 0; found != 0 && found != ENOENT) error = found;
  if (error == 0) error = write.m_directory.Lock(m_lockWait, write.m_lock, why);
  if (error != 0) return failed(error);
  // A writer killed before its rename left a whole copy of the store behind.
  if (const std::string left = write.m_directory.RemoveLeftovers(); !left.empty()) {
    OutputDebugString("registry: " + m_path + ": " + left);
  }

  std::string text;
  struct stat info {};
  if (const int readError = write.m_directory.Read(text, info, why); readError == ENOENT) {
    info.st_mode = kNewFileMode;  // an empty file is an empty store
    info.st_uid = ::geteuid();
    info.st_gid = ::getegid();
  } else if (readError != 0) {
    return readError == EFBIG ? Failure(ERROR_BADDB, why, message) : failed(readError);
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

  write.m_text = FormatRegText(*updated);
  write.m_top = std::move(updated);
  if (const int writeError = write.m_directory.WriteTemporary(write.m_text, info, write.m_temporary, why)) {
    write.m_temporary.clear();
    return failed(writeError);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Commit(PendingWrite& write, std::string* message) {
  if (!write.IsPending()) return ERROR_SUCCESS;
  Unpin(*this);
  std::string why;
  const int error = write.m_directory.Replace(write.m_temporary, why);
  write.m_temporary.clear();
  if (error != 0) return Failure(IsPermissionError(error) ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE, why, message);
  if (!why.empty()) OutputDebugString("registry: " + m_path + ": " + why);
  {
    std::lock_guard lock(m_cacheMutex);
    m_cachedText = std::move(write.m_text);
    m_cachedTop = std::move(write.m_top);
    m_identitySettled = false;  // the new file has not been looked at yet
  }
  write.m_lock.Reset();  // the new file is in place; let other writers go on
  return ERROR_SUCCESS;
}

LSTATUS RegistryStore::Modify(const Change& change, std::string* message) {
  PendingWrite write;
  if (const LSTATUS status = Prepare(change, write, message)) return status;
  return Commit(write, message);
}

bool RegistryStore::IsWritable() const {
  const std::filesystem::path path(m_path);
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
