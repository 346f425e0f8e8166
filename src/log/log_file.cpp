#include "log/log_file.h"

#include <cstring>

std::uint32_t OpenLogFile(const std::string& path, velkaro::LogOpenMode mode, CLogFile& file) {
  velkaro::ILogFileSystem& files = velkaro::LogFileSystem();
  file = CLogFile{};
  if (const int error = files.Open(path, mode, file.handle, file.reason)) {
    file.handle = velkaro::kNoLogFile;
    file.systemError = error;
    return LOG_E_OPEN;
  }
  if (const int error = files.SeekToEnd(file.handle)) {
    files.Close(file.handle);
    file.handle = velkaro::kNoLogFile;
    file.systemError = error;
    return static_cast<std::uint32_t>(error);
  }
  return 0;
}

std::uint32_t WriteLogLine(CLogFile& file, std::string_view text) {
  velkaro::ILogFileSystem& files = velkaro::LogFileSystem();
  int error = text.empty() ? 0 : files.Write(file.handle, text);
  if (error == 0) error = files.Write(file.handle, "\r\n");
  if (error == 0) return 0;
  file.systemError = error;
  return LOG_E_WRITE;
}

std::uint32_t CloseLogFile(CLogFile& file) {
  const int error = velkaro::LogFileSystem().Close(file.handle);
  file.handle = velkaro::kNoLogFile;
  if (error == 0) return 0;
  file.systemError = error;
  return LOG_E_CLOSE;
}

std::string DescribeLogFileError(const CLogFile& file) {
  if (!file.reason.empty()) return file.reason;
  return file.systemError != 0 ? std::strerror(file.systemError) : std::string();
}
