#pragma once
// The file system as the diagnostic log writes it: open a file for appending,
// write bytes, sync and close. The tool runs as root and the user picks the
// path, often in a directory anyone may write to, so the Linux implementation
// opens no file through a symbolic link that an ordinary user could have
// placed or changed, and no file that has other hard links or is not a
// regular file. Tests install a fake that fills up or watches the writes.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace velkaro {

enum class LogOpenMode {
  kCreateAlways,  // an existing file is emptied
  kOpenExisting,  // the file must exist
};

using LogFileHandle = int;
inline constexpr LogFileHandle kNoLogFile = -1;

class ILogFileSystem {
 public:
  virtual ~ILogFileSystem() = default;
  // Opens `path` for writing; 0, or an errno value with `reason` set when
  // the refusal is ours rather than the system's.
  virtual int Open(const std::string& path, LogOpenMode mode, LogFileHandle& handle, std::string& reason) = 0;
  // Moves the file position to the current end; 0 or an errno value.
  virtual int SeekToEnd(LogFileHandle handle) = 0;
  // Writes every byte; 0 or an errno value (a full disk gives ENOSPC).
  virtual int Write(LogFileHandle handle, std::string_view bytes) = 0;
  // Syncs the file to its disk and closes it; 0 or an errno value. The
  // handle is gone either way.
  virtual int Close(LogFileHandle handle) = 0;
};

// The implementation in use (the Linux one unless a test installed another).
ILogFileSystem& LogFileSystem();
void InstallLogFileSystem(ILogFileSystem* service);

// The person who started the tool as root through pkexec (PKEXEC_UID) or
// sudo (SUDO_UID), with their primary group from the user database; nothing
// when not root or not known.
struct AskingUserId {
  uid_t uid;
  gid_t gid;
};
std::optional<AskingUserId> AskingUser();

// A log written under a fresh name beside its final path and renamed onto
// that path only when complete, so that a failed or cancelled log never
// leaves a partial file where the user looks. The directory is reached as
// ILogFileSystem::Open reaches files; the new file is created with O_EXCL,
// mode 0600. Writes and the close go through LogFileSystem(). The file is
// removed by Discard or the destructor unless it was put in place.
class PendingLogFile {
 public:
  PendingLogFile() = default;
  ~PendingLogFile();
  PendingLogFile(const PendingLogFile&) = delete;
  PendingLogFile& operator=(const PendingLogFile&) = delete;

  // 0, or an errno value with `reason` set when the refusal is ours (the
  // path holds another user's file or no regular file).
  int Create(const std::string& path, LogFileHandle& handle, std::string& reason);
  // Gives the still open file to the user who asked, when root wrote it for
  // someone; 0 or an errno value.
  int HandOver(LogFileHandle handle);
  // Renames the closed file onto the path, after the same checks as Create.
  int PutInPlace(std::string& reason);
  void Discard();
  // The fresh name as a path, while there is one.
  std::string TemporaryPath() const;

 private:
  int m_directory = -1;
  std::string m_path;
  std::string m_name;
  std::string m_temporary;
};

}  // namespace velkaro
