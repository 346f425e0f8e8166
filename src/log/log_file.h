#pragma once
// The three helpers every line of the diagnostic log goes through. Each
// answers 0 or an error code; the file's own error stays with the handle so
// that the message to the user can say what went wrong.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/log_files.h"

inline constexpr std::uint32_t LOG_E_WRITE = 0x81300008;
inline constexpr std::uint32_t LOG_E_OPEN = 0x8130000C;
inline constexpr std::uint32_t LOG_E_CLOSE = 0x8200000B;

struct CLogFile {
  velkaro::LogFileHandle handle = velkaro::kNoLogFile;
  int systemError = 0;  // errno of the latest failure
  std::string reason;   // our own reason for a refused open, or empty
  bool IsOpen() const { return handle != velkaro::kNoLogFile; }
};

// Opens `path` for appending. LOG_E_OPEN when it cannot be opened or
// created, the errno value when its end cannot be found.
std::uint32_t OpenLogFile(const std::string& path, velkaro::LogOpenMode mode, CLogFile& file);
// Writes the text, then CR LF. LOG_E_WRITE when either write fails: a line
// without its end is as lost as one without its text.
std::uint32_t WriteLogLine(CLogFile& file, std::string_view text);
// Syncs and closes. LOG_E_CLOSE when that fails.
std::uint32_t CloseLogFile(CLogFile& file);

// What the latest failure was, for a message: our reason or the system's.
std::string DescribeLogFileError(const CLogFile& file);

// Closes a file left open on an early return.
class CLogFileGuard {
 public:
  explicit CLogFileGuard(CLogFile& file) : m_file(file) {}
  ~CLogFileGuard() {
    if (m_file.IsOpen()) CloseLogFile(m_file);
  }
  CLogFileGuard(const CLogFileGuard&) = delete;
  CLogFileGuard& operator=(const CLogFileGuard&) = delete;

 private:
  CLogFile& m_file;
};
