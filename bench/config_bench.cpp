// Start-up with a very large configuration: writes a "diagtool.ini" with
// COUNT card sections (half exact names, half patterns) and COUNT additional
// readers beside a stand-in program path, then times the program's own
// configuration step (CDiagToolApp::LoadConfiguration) for the cards alone,
// the readers alone and both, in wall and CPU time. Each must take well
// under a second for 100,000; the time should grow in proportion to COUNT.
//
//   config_bench [COUNT]        (default 100000; also runs COUNT / 10)

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/diag_tool_app.h"
#include "platform/services.h"

namespace {

// The real system, except that the program seems to live in the benchmark's
// directory, where its configuration is.
class SystemInDirectory final : public velkaro::ISystemInfo {
 public:
  explicit SystemInDirectory(std::string directory)
      : m_real(velkaro::SystemInfo()), m_modulePath(std::move(directory) + "/velkaro-diag") {}
  bool IsUserAnAdmin() override { return m_real.IsUserAnAdmin(); }
  std::string ModulePath() override { return m_modulePath; }
  std::optional<velkaro::OsVersionRecord> QueryVersion(long& error) override { return m_real.QueryVersion(error); }
  void ExitProcess(int status) override { m_real.ExitProcess(status); }

 private:
  velkaro::ISystemInfo& m_real;
  std::string m_modulePath;
};

// On a busy machine the wall time says more about the neighbours.
double CpuMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string ConfigText(long cards, long readers) {
  std::string text = "[Files Linux]\nMFILE1=pcscd\n";
  char line[160];
  for (long n = 1; n <= cards; ++n) {
    // Distinct ATRs and patterns, so every section adds a table entry.
    const unsigned long b = static_cast<unsigned long>(n);
    if (n % 2 != 0) {
      std::snprintf(line, sizeof line, "[Card %ld]\nCARDNAME=Card %ld\nATR=3B %02lX %02lX %02lX\n", n, n,
                    (b >> 16) & 0xFF, (b >> 8) & 0xFF, b & 0xFF);
    } else {
      std::snprintf(line, sizeof line, "[Card %ld]\nVARTEXT=Pattern %ld !!\nVARATR=3B %02lX %02lX %02lX ?? !!\n", n,
                    n, (b >> 16) & 0xFF, (b >> 8) & 0xFF, b & 0xFF);
    }
    text += line;
  }
  text += "[Additional_Readers]\n";
  for (long n = 1; n <= readers; ++n) {
    std::snprintf(line, sizeof line, "Reader%ld=Acme Reader %ld\n", n, n);
    text += line;
  }
  return text;
}

void Run(const std::string& directory, const char* what, long cards, long readers) {
  const std::string text = ConfigText(cards, readers);
  std::ofstream(directory + "/diagtool.ini", std::ios::binary) << text;
  CDiagToolApp app;
  const double cpuStart = CpuMilliseconds();
  const auto start = std::chrono::steady_clock::now();
  const bool read = app.LoadConfiguration();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  const double cpu = CpuMilliseconds() - cpuStart;
  const std::size_t entries = app.CardNames().size() + app.VarCardTexts().size();
  std::printf("%-8s %7ld cards %7ld readers  %5.1f MiB  %8.1f ms (CPU %8.1f ms)  %s, %zu card entries\n", what, cards,
              readers, static_cast<double>(text.size()) / (1024 * 1024), took.count(), cpu,
              read ? "read" : "FAILED", entries);
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: config_bench [COUNT]\n");
    return 2;
  }
  std::string directory = (std::filesystem::temp_directory_path() / "velkaro-config-bench-XXXXXX").string();
  if (!::mkdtemp(directory.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  SystemInDirectory system(directory);
  velkaro::ScopedService<velkaro::ISystemInfo> scope(system, &velkaro::SystemInfo, &velkaro::InstallSystemInfo);
  for (const long n : {count / 10, count}) {
    Run(directory, "cards", n, 0);
    Run(directory, "readers", 0, n);
    Run(directory, "both", n, n);
  }
  std::filesystem::remove_all(directory);
  return 0;
}
