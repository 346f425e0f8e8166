#include "platform/url_opener.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace velkaro {
namespace {

int ResultOfErrno(int error) {
  switch (error) {
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM: return 5;
    case ENOMEM:
    case EAGAIN: return 8;
    case ENOEXEC: return 11;
    default: return 0;
  }
}

// The program's path: as given when it names a directory, else the first
// executable of that name on PATH.
std::string ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= directories.size()) {
    const std::size_t end = std::min(directories.find(':', start), directories.size());
    const std::string directory = directories.substr(start, end - start);
    if (!directory.empty()) {
      const std::string candidate = directory + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return {};
}

}  // namespace

int StartCommandLine(const std::string& commandLine) {
  const std::vector<std::string> words = SplitCommandLine(commandLine);
  if (words.empty()) return 2;
  const std::string program = ResolveProgram(words[0]);
  if (program.empty()) return 2;
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  // The browser outlives this call and is never our child to reap: a
  // middle process starts it and leaves at once. A pipe closed by the
  // successful exec tells whether the program could be started.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return ResultOfErrno(errno);
  const pid_t middle = ::fork();
  if (middle < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return ResultOfErrno(error);
  }
  if (middle == 0) {
    ::close(report[0]);
    ::setsid();
    const pid_t browser = ::fork();
    if (browser == 0) ::execv(program.c_str(), argv.data());
    if (browser <= 0) {
      // Only reached when the fork or the exec failed.
      const int error = errno;
      [[maybe_unused]] const auto written = ::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    ::_exit(0);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got = 0;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  return got == static_cast<ssize_t>(sizeof error) ? ResultOfErrno(error) : kOpenSucceeded;
}

namespace {

class LinuxUrlOpener final : public IUrlOpener {
 public:
  int OpenUrl(const std::string&) override { return kNoAssociation; }

  int RunCommandLine(const std::string& commandLine) override { return StartCommandLine(commandLine); }
};

LinuxUrlOpener g_linuxOpener;
std::atomic<IUrlOpener*> g_opener{&g_linuxOpener};

}  // namespace

IUrlOpener& UrlOpener() { return *g_opener.load(std::memory_order_acquire); }
void InstallUrlOpener(IUrlOpener* service) { g_opener.store(service ? service : &g_linuxOpener); }

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (const char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace velkaro
