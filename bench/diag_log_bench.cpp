// The diagnostic log with 8 simulated readers behind a private pcscd and a
// settings store of 10,000 and then 100,000 values (keys of 100 values under
// the configured HKEY_LOCAL_MACHINE\SOFTWARE\VELKARO): per store size, the
// whole log's time and the settings dump's alone (RUNS runs after a first
// one), and how they grow. Then the register read that the "RFID registers"
// menu entry runs, for a two-antenna reader whose tab monitor waits, and the
// file rows of 1,000 configured files. Prints one table (bench_table.h), then
// notes.
//
// The set-up checks itself: the scenario passes velkaro-sim check, pcscd
// lists all 8 readers and every log names them; otherwise the benchmark
// says so on stderr and exits with 1.
//
// Root needed (the private pcscd). Uses the program's own diagtool.ini from
// its directory, and the machine's files for the report.
//
//   diag_log_bench [RUNS]     (default 3)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/diag_tool_app.h"
#include "bench_table.h"
#include "log/registry_dump.h"
#include "pcscd_sandbox.h"
#include "platform/services.h"
#include "reader/reader_session.h"
#include "status/file_info.h"
#include "temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReaders = 8;
constexpr int kValuesPerKey = 100;
constexpr int kRegisterReads = 20;
// A store that has been there a while: the store trusts an unchanged file's
// identity only once its times are seconds old.
constexpr auto kStoreAge = std::chrono::milliseconds(2500);

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::optional<std::string> WriteScenario(testing_support::PcscdSandbox& sandbox) {
  for (int i = 0; i < kReaders; ++i) {
    // Reader facts come before the card's section.
    std::string text = "serial = BENCH-" + std::to_string(i) + "\n";
    if (i % 2 == 0) {
      text += "name = VELKARO CL 3700\nantenna = 80 04 00 11 01 22 82 02 10 3F\n"
              "antenna = 81 0E 00 01 01 02 02 03 03 04 04 05 05 06 06 07\n";
    } else {
      text += "name = VELKARO CT 200\n[card]\natr = 3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C\n";
    }
    char file[32];
    std::snprintf(file, sizeof file, "r%02d.reader", i);
    if (auto problem = sandbox.WriteReader(file, text)) return problem;
  }
  // A file the driver rejects makes pcscd drop its reader: the figures would
  // be those of fewer readers.
  if (const auto check = sandbox.Sim({"check"}); check.exitCode != 0) {
    return "velkaro-sim check rejects the scenario:\n" + check.output + check.errors;
  }
  return std::nullopt;
}

// Every reader pcscd lists, and as many as the scenario has.
std::optional<std::string> CheckReaders(const std::vector<std::string>& readers) {
  if (readers.size() == static_cast<std::size_t>(kReaders)) return std::nullopt;
  return "pcscd lists " + std::to_string(readers.size()) + " readers, not " + std::to_string(kReaders);
}

std::optional<std::string> CheckLogNames(const std::string& path, const std::vector<std::string>& readers) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  for (const std::string& reader : readers) {
    if (text.find(reader) == std::string::npos) return "the log " + path + " does not name the reader " + reader;
  }
  return std::nullopt;
}

void WriteStore(const std::string& path, int values) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "Windows Registry Editor Version 5.00\n\n";
  for (int key = 0; key < values / kValuesPerKey; ++key) {
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\Bench\\K" << key << "]\n";
    for (int i = 0; i < kValuesPerKey; ++i) out << "\"Value" << i << "\"=dword:" << std::hex << (key * 131 + i) << std::dec << "\n";
    out << "\n";
  }
}

long FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<long>(in.tellg()) : -1;
}

struct Timing {
  double first = 0;
  std::vector<double> logs;   // after the first
  std::vector<double> dumps;
  long bytes = 0;
};

bool TimeLog(CDiagToolApp& app, const std::string& directory, int runs, const std::vector<std::string>& readers,
             Timing& timing) {
  const std::string path = directory + "/bench.log";
  std::vector<double> logs;
  for (int run = 0; run <= runs; ++run) {
    const auto start = Clock::now();
    const LogOutcome outcome = app.WriteLog(path);
    const double took = Milliseconds(Clock::now() - start);
    if (outcome.result != LogResult::kComplete) {
      std::fprintf(stderr, "diag_log_bench: the log %s did not complete:\n", path.c_str());
      for (const LogMessage& message : outcome.messages) std::fprintf(stderr, "%s\n", message.text.c_str());
      return false;
    }
    if (run == 0) {
      timing.first = took;
    } else {
      timing.logs.push_back(took);
    }
  }
  timing.bytes = FileSize(path);
  if (const auto problem = CheckLogNames(path, readers)) {
    std::fprintf(stderr, "diag_log_bench: %s\n", problem->c_str());
    return false;
  }
  const std::string dumpPath = directory + "/dump.log";
  for (int run = 0; run < runs; ++run) {
    std::ofstream(dumpPath, std::ios::trunc).close();
    const auto start = Clock::now();
    if (DumpRegistry(dumpPath, GetConfigFilePath()) != DUMP_SUCCESS) {
      std::fprintf(stderr, "diag_log_bench: the settings dump to %s failed\n", dumpPath.c_str());
      return false;
    }
    timing.dumps.push_back(Milliseconds(Clock::now() - start));
  }
  return true;
}

// The log's file rows for 1,000 configured files that exist on this machine
// (programs of /usr/bin and libraries of the machine's library directory,
// most of them owned by a package): one pass over the dpkg database for all.
bool TimeFileRows(int runs) {
  constexpr std::size_t kFiles = 1000;
  std::vector<std::string> names;
  std::error_code error;
  for (const char* directory : {"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu"}) {
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
      if (names.size() == kFiles) break;
      const std::string name = entry.path().filename().string();
      // How the configuration names them: a program without an extension,
      // a library by its versioned name.
      const bool library = name.find(".so.") != std::string::npos;
      if (!entry.is_regular_file(error) || entry.is_symlink(error) || (!library && name.find('.') != std::string::npos)) {
        continue;
      }
      if (library != (std::string_view(directory) != "/usr/bin")) continue;
      names.push_back(name);
    }
  }
  if (names.size() < kFiles) {
    std::fprintf(stderr, "diag_log_bench: only %zu files for the file rows on this machine\n", names.size());
    return false;
  }
  std::vector<double> times;
  for (int run = 0; run <= runs; ++run) {
    const auto start = Clock::now();
    const std::vector<CFileInfo> infos = InspectFiles(names);
    const double took = Milliseconds(Clock::now() - start);
    if (run > 0) times.push_back(took);  // the first fills the page cache
    const auto missing = std::find_if(infos.begin(), infos.end(), [](const CFileInfo& info) { return info.m_strPath.empty(); });
    if (missing != infos.end()) {
      std::fprintf(stderr, "diag_log_bench: the file rows did not find %s\n", missing->m_strName.c_str());
      return false;
    }
  }
  bench::PrintRow("file rows of 1000 configured files that exist, one dpkg pass (ms)", times);
  return true;
}

bool TimeRegisterRead(const std::string& reader) {
  CReaderSession session;
  session.SetReaderName(reader);
  session.SetCtApiModule("velkaro-bench-no-ctapi");
  // The page applies each change at once, so the monitor goes back to its wait.
  if (!session.Initialise([&session] { session.Monitor().SetReady(); }, [] {})) {
    std::fprintf(stderr, "diag_log_bench: the monitor of %s did not start\n", reader.c_str());
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the monitor waits now
  std::vector<double> own;
  for (int i = 0; i < kRegisterReads; ++i) {
    const auto start = Clock::now();
    const CRegisterRead read = session.ReadRegisters();
    own.push_back(Milliseconds(Clock::now() - start));
    if (read.failure || read.antennas.size() != 2) {
      std::fprintf(stderr, "diag_log_bench: register read of %s failed: %s\n", reader.c_str(),
                   read.failure ? read.failure : "wrong antenna count");
      return false;
    }
  }
  // The same calls on the monitor's context would wait for its wait, which
  // now ends only with the next change.
  bench::PrintRow("register read of a two-antenna reader, on its own context (ms)", own);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  if (::geteuid() != 0) {
    std::fprintf(stderr, "diag_log_bench needs root (a private pcscd)\n");
    return 1;
  }
  testing_support::PcscdSandbox sandbox;
  std::optional<std::string> problem = WriteScenario(sandbox);
  if (!problem) problem = sandbox.Start();
  const std::vector<std::string> readers = problem ? std::vector<std::string>{} : sandbox.ListReaders();
  if (!problem) problem = CheckReaders(readers);
  if (problem) {
    std::fprintf(stderr, "diag_log_bench: private pcscd: %s\n", problem->c_str());
    return 1;
  }
  testing_support::TempDir work;
  const std::string store = work / "registry.reg";
  ::setenv("VELKARO_REGISTRY", store.c_str(), 1);
  ::setenv("VELKARO_USER_REGISTRY", (work / "user.reg").c_str(), 1);

  CDiagToolApp app;
  if (!app.LoadConfiguration()) {
    std::fprintf(stderr, "diag_log_bench: the configuration beside the program could not be read\n");
    return 1;
  }
  std::vector<std::string> notes;
  std::vector<Timing> timings;
  bench::PrintHeader();
  for (const int values : {10000, 100000}) {
    WriteStore(store, values);
    std::this_thread::sleep_for(kStoreAge);
    Timing timing;
    if (!TimeLog(app, work.path().string(), runs, readers, timing)) return 1;
    char setUp[96];
    std::snprintf(setUp, sizeof setUp, "%d readers, %d store values (%ld KiB)", kReaders, values,
                  FileSize(store) / 1024);
    bench::PrintRow(std::string(setUp) + ": the diagnostic log (ms)", timing.logs);
    bench::PrintRow(std::string(setUp) + ": the settings dump alone (ms)", timing.dumps);
    char note[160];
    std::snprintf(note, sizeof note, "%d store values: the first log took %.0f ms and is %ld KiB", values,
                  timing.first, timing.bytes / 1024);
    notes.push_back(note);
    timings.push_back(timing);
  }
  if (!TimeRegisterRead(sandbox.ReaderName("VELKARO CL 3700"))) return 1;
  if (!TimeFileRows(runs)) return 1;
  const double logGrowth = bench::Summarise(timings[1].logs).median / bench::Summarise(timings[0].logs).median;
  const double dumpGrowth = bench::Summarise(timings[1].dumps).median / bench::Summarise(timings[0].dumps).median;
  char growth[128];
  std::snprintf(growth, sizeof growth, "ten times the values: the log takes %.1f times as long, the dump %.1f times",
                logGrowth, dumpGrowth);
  notes.push_back(growth);
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  return 0;
}
