#pragma once
// The file system as the diagnostic log writes it: open a file for appending,
// write bytes, sync and close. The tool runs as root and the user picks the
// path, often in a directory anyone may write to, so the Linux implementation
// opens no file through a symbolic link that an ordinary user could have
// placed or changed, and no file that has other hard links or is not a
// regular file. Tests install a fake that fills up or watches the writes.

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

}  // namespace velkaro
