#pragma once
// One settings store file, shared by the tool's threads, the admin command
// and the reader driver's process. It is built so that it cannot be lost:
//  - writers hold the store's lock (store_files.h) from reading the file
//    through replacing it, so concurrent read-modify-writes never lose each
//    other's changes; readers need no lock, because
//  - a write goes to a temporary file in the same directory, which is synced
//    and renamed over the store, and the directory is synced; a crash or a
//    full disk leaves the old file or the new one, never a mixture;
//  - a file that cannot be parsed is never written over;
//  - every operation looks at the file again, so another process's change is
//    seen at once. The parsed content is reused while the bytes are the
//    same, and without reading them while the file is the same: same inode,
//    size and times, where those times were already seconds old when the
//    content was read (a change in the same clock tick could keep them);
//  - a store that another user could steer (store_files.h) is not used.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/store/registry_types.h"
#include "platform/store/registry_tree.h"
#include "platform/store/store_files.h"

namespace velkaro {

struct RegSnapshot {
  std::shared_ptr<const RegKeyNode> top;  // one subkey per root key of the store
  std::int64_t modifiedNs = 0;            // the file's modification time, 0 when there is none
};

// While one lives on a thread, each store that thread reads answers what its
// first read in the scope found, without looking at the file again: a walk
// over many values (the log's settings dump) looks at the file once rather
// than once per value, and sees one version of the store throughout. A
// change made on the thread drops what its store had pinned. Scopes nest.
class RegReadScope {
 public:
  RegReadScope();
  ~RegReadScope();
  RegReadScope(const RegReadScope&) = delete;
  RegReadScope& operator=(const RegReadScope&) = delete;
};

class RegistryStore {
 public:
  // `lockWait`: how long a write waits for another writer.
  RegistryStore(std::string path, RegStoreKind kind, std::chrono::milliseconds lockWait = kStoreLockWait);

  const std::string& Path() const { return m_path; }
  RegStoreKind Kind() const { return m_kind; }

  // The current content. A missing file is an empty store. Failures answer
  // ERROR_ACCESS_DENIED, ERROR_CANTREAD or ERROR_BADDB with the reason (file
  // and line for a parse error) in `message`.
  LSTATUS Read(RegSnapshot& snapshot, std::string* message = nullptr);

  // `change` edits a copy of the current content and answers a result code
  // and whether it changed anything; only a successful change is written.
  // A missing store file (and its directory) is created only when there is
  // something to write. Besides the change's own results this answers
  // ERROR_ACCESS_DENIED, ERROR_BADDB and ERROR_CANTWRITE, with `message`.
  using Change = std::function<LSTATUS(RegKeyNode& top, bool& changed)>;
  LSTATUS Modify(const Change& change, std::string* message = nullptr);

  // A change written to its temporary file but not yet in place; it holds
  // the writers' lock until it goes, and a write never committed leaves
  // the store as it was.
  class PendingWrite {
   public:
    PendingWrite() = default;
    ~PendingWrite();
    PendingWrite(const PendingWrite&) = delete;
    PendingWrite& operator=(const PendingWrite&) = delete;
    // Whether there is something to commit (the change changed anything).
    bool IsPending() const { return !m_temporary.empty(); }

   private:
    friend class RegistryStore;
    StoreDirectory m_directory;
    UniqueFd m_lock;
    std::string m_temporary;
    std::string m_text;
    std::shared_ptr<RegKeyNode> m_top;
  };
  // Modify in two steps, for a change that spans stores: Prepare checks and
  // writes everything short of the rename, Commit renames.
  LSTATUS Prepare(const Change& change, PendingWrite& write, std::string* message = nullptr);
  LSTATUS Commit(PendingWrite& write, std::string* message = nullptr);

  // Whether this process may write the store: the file and its directory,
  // or, while there is no file, the nearest directory that exists.
  bool IsWritable() const;

  // The empty content of a store of this kind: its root keys, nothing else.
  static RegKeyNode EmptyTop(RegStoreKind kind);

 private:
  struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const FileIdentity&) const = default;
  };

  // The content of `text`, from the cache while the bytes are the same;
  // `identity` is the file they were read from, `settled` whether its times
  // were old enough then to tell any later change.
  LSTATUS Parse(const std::string& text, std::shared_ptr<const RegKeyNode>& top, std::string* message,
                const FileIdentity& identity, bool settled);
  LSTATUS ParseUncached(const std::string& text, RegKeyNode& top, std::string* message) const;
  // Read without the thread's pins: the file as it is now.
  LSTATUS ReadFile(RegSnapshot& snapshot, std::string* message);
  LSTATUS Failure(LSTATUS code, const std::string& text, std::string* message) const;

  const std::string m_path;
  const RegStoreKind m_kind;
  const std::chrono::milliseconds m_lockWait;

  std::mutex m_cacheMutex;
  std::string m_cachedText;
  std::shared_ptr<const RegKeyNode> m_cachedTop;
  FileIdentity m_cachedIdentity;
  bool m_identitySettled = false;  // the cache may be used on the identity alone
};

// The store files as the environment names them now (see registry.h).
std::string MachineStorePath();
std::string UserStorePath();

// The store holding root keys of `kind`, one shared object per path so that
// its cache serves every handle. Null for RegStoreKind::None.
std::shared_ptr<RegistryStore> StoreFor(RegStoreKind kind);

}  // namespace velkaro
