#pragma once
// The operating system's version record, shaped like the Windows extended
// version record so that the same tables decide on Windows and on Linux.

#include <cstdint>
#include <optional>
#include <string>

namespace velkaro {

// Platform identifiers of the version record.
inline constexpr std::uint32_t VER_PLATFORM_WIN32s = 0;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;
// Our own identifier for Linux, outside the range Windows uses.
inline constexpr std::uint32_t VER_PLATFORM_LINUX = 0x100;

struct OsVersionRecord {
  std::uint32_t platformId = 0;
  std::uint32_t majorVersion = 0;
  std::uint32_t minorVersion = 0;
  std::uint32_t buildNumber = 0;
  // Windows: the service-pack text (szCSDVersion). Linux: the kernel release.
  std::string csdVersion;
  // Linux: PRETTY_NAME of os-release, or "Linux". Unused on Windows records.
  std::string productName;
};

// Reads the running Linux system's record: kernel major, minor and patch level
// from uname, PRETTY_NAME from os-release. Nothing when uname fails (errno set).
std::optional<OsVersionRecord> QueryLinuxVersion(const std::string& osReleasePath = "/etc/os-release");

// Parses "6.1.0-18-amd64" into 6, 1, 0; missing numbers are 0.
void ParseKernelRelease(const std::string& release, std::uint32_t& major, std::uint32_t& minor,
                        std::uint32_t& patch);

// PRETTY_NAME of an os-release file, unquoted; empty when absent, or when the
// file (or what its links lead to) is no regular file or is larger than its
// bound (file_limits.h).
std::string ReadOsReleasePrettyName(const std::string& path);

}  // namespace velkaro
