#pragma once
// Opening a web address: the desktop's own way first (the Qt program installs
// it), and starting a configured browser command line as the fallback. Both
// answer in the shell-execute manner: a result above 32 is success, anything
// else an error code (2 file not found, 3 path not found, 5 access denied,
// 8 out of memory, 11 not an executable, 31 no application for the address).

#include <string>
#include <vector>

namespace velkaro {

inline constexpr int kOpenSucceeded = 33;
inline constexpr int kNoAssociation = 31;

class IUrlOpener {
 public:
  virtual ~IUrlOpener() = default;
  // Opens the address with the desktop's preferred application.
  virtual int OpenUrl(const std::string& url) = 0;
  // Starts a command line: words split at blanks, double quotes keep blanks
  // in a word, no shell. The program is found on PATH when it has no slash.
  virtual int RunCommandLine(const std::string& commandLine) = 0;
};

// Before anything is installed: no desktop opener (31), and the command line
// started for real.
IUrlOpener& UrlOpener();
void InstallUrlOpener(IUrlOpener* service);

// Starts a command line as IUrlOpener::RunCommandLine describes.
int StartCommandLine(const std::string& commandLine);

// The words of a command line as RunCommandLine splits them.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace velkaro
