#pragma once
// The settings store's files on disk. The tool runs as root, and a store may
// sit where another user can reach, so a path never leads root where that
// user points it:
//  - the path is walked one directory at a time, never canonicalised; a
//    symbolic link on the way counts only when root or this user owns it,
//    and the store file itself is never opened through a link;
//  - every directory on the way belongs to root or this user and no one
//    else may write it (a sticky directory such as /tmp may lie on the way,
//    but not hold the store); the store file likewise;
//  - the store file is opened without blocking and must be a regular file;
//  - writers take the lock file ".NAME.lock" beside the store (mode 0600),
//    which no other user can open, and so cannot hold them up; the lock sits
//    beside the store rather than in /run so that every process, a private
//    pcscd's mount namespace included, meets the same file for the same
//    store. Readers take no lock: a store is only ever replaced whole;
//  - a new version goes to a temporary file ".NAME.XXXXXX" made with O_EXCL
//    in the same directory and is renamed over the store; the next writer
//    removes those that a writer killed before its rename left behind.
// Failures answer an errno and the reason, which names the file.

#include <sys/stat.h>

#include <chrono>
#include <string>

#include "platform/unique_fd.h"

namespace velkaro {

// How long a writer waits for another one before it gives up and says who
// holds the lock.
inline constexpr std::chrono::milliseconds kStoreLockWait{5000};

// Who holds a lock on the file, from the kernel's lock table: "process 123
// (name)", or empty when no holder is listed.
std::string LockHolder(const struct stat& file, const std::string& locksPath = "/proc/locks");

class StoreDirectory {
 public:
  // Opens the directory of the store file `path`. With `create`, missing
  // directories are made (mode 0755); without, a missing one is ENOENT.
  // EACCES with the reason for a directory that is not safe to use.
  int Open(const std::string& path, bool create, std::string& why);

  // Whether the store file is one to use, without opening it: ENOENT when
  // there is none, EACCES for a link, EINVAL for anything but a regular file.
  int Inspect(std::string& why) const;
  // Reads the store file whole; ENOENT when there is none.
  int Read(std::string& text, struct stat& info, std::string& why) const;
  // Read in two steps, for a reader that may not need the bytes: opens the
  // store file as Read does and gives its status; then reads it whole.
  int OpenFile(UniqueFd& fd, struct stat& info, std::string& why) const;
  static int ReadOpened(const UniqueFd& fd, const struct stat& info, std::string& text, std::string& why);

  // Takes the writers' lock, waiting at most `wait`; ETIMEDOUT names the
  // holder where the system tells.
  int Lock(std::chrono::milliseconds wait, UniqueFd& lock, std::string& why) const;

  // Writes `text` to a new temporary file, synced to disk, with `info`'s
  // mode (and owner, for root); its name goes to `temporary`.
  int WriteTemporary(const std::string& text, const struct stat& info, std::string& temporary, std::string& why) const;
  // Renames the temporary file over the store and syncs the directory.
  int Replace(const std::string& temporary, std::string& why) const;
  void Remove(const std::string& temporary) const;
  // Removes what writers killed before their rename left: regular files of
  // this user named as WriteTemporary names them, never through a link.
  // Only for the holder of the lock, under which no other writer has a
  // temporary file. Answers what could not be removed, or nothing.
  std::string RemoveLeftovers() const;

  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;  // the store file, as given
  std::string m_name;  // its name in the directory
  UniqueFd m_dir;
};

}  // namespace velkaro
