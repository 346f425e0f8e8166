// velkaro-reg query of one value in a large settings store: 10,000 and then
// 100,000 values in one key, and 10,000 and then 100,000 sibling keys
// written in reverse name order (the order that made every insertion land
// in front). Each query runs as its own process, as an administrator runs
// it: RUNS runs after a first one that warms the page cache. One table
// (bench_table.h); each 100,000 row has its 10,000 row as peer, so the ratio
// of medians is the growth for ten times the store.
//
// Fails (exit status 1) when a query does not answer the value it was set
// up to find, or when ten times the store takes more than kMaxGrowth times
// as long. Needs no root and no pcscd.
//
//   store_bench [RUNS]     (default 5)

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_table.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Linear cost gives 10 for ten times the store; the start of a process and
// a slower cache at the larger size leave some room above that.
constexpr double kMaxGrowth = 12;

struct SetUp {
  const char* what;
  bool siblingKeys;  // else values in one key
};

constexpr SetUp kSetUps[] = {
    {"values in one key", false},
    {"sibling keys in reverse order", true},
};

std::string Name(const char* prefix, int n) {
  char name[16];
  std::snprintf(name, sizeof name, "%s%06d", prefix, n);
  return name;
}

// The store, and the key and value the query asks for, in its middle.
void WriteStore(const std::string& path, const SetUp& setUp, int count, std::string& key, std::string& value) {
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  char line[96];
  if (!setUp.siblingKeys) {
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n";
    for (int n = 0; n < count; ++n) {
      std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\n", Name("V", n).c_str(), static_cast<unsigned>(n));
      text += line;
    }
    key = "HKLM\\SOFTWARE\\Bench";
    value = Name("V", count / 2);
  } else {
    for (int n = count - 1; n >= 0; --n) {
      std::snprintf(line, sizeof line, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\%s]\n\"V\"=dword:%08x\n\n",
                    Name("K", n).c_str(), static_cast<unsigned>(n));
      text += line;
    }
    key = "HKLM\\SOFTWARE\\Bench\\" + Name("K", count / 2);
    value = "V";
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Runs the query; answers its wall time in ms, or a negative number when it
// failed or printed anything but `expected`.
double TimeQuery(const std::string& tool, const std::string& key, const std::string& value,
                 const std::string& expected, std::string& problem) {
  int out[2];
  if (::pipe(out) != 0) {
    problem = "pipe failed";
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args{tool, "query", key, value};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const auto start = Clock::now();
  const int spawned = ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string printed;
  char buffer[256];
  for (ssize_t got; spawned == 0 && (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    if (printed.size() < 4096) printed.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) {
    problem = "cannot run " + tool;
    return -1;
  }
  const std::chrono::duration<double, std::milli> took = Clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || printed != expected) {
    problem = "\"" + tool + " query " + key + " " + value + "\" answered status " + std::to_string(status) +
              " and \"" + printed + "\", not \"" + expected + "\"";
    return -1;
  }
  return took.count();
}

std::string ToolPath() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path() / "velkaro-reg").string();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string tool = ToolPath();
  if (::access(tool.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "store_bench: %s is missing; build velkaro-reg\n", tool.c_str());
    return 1;
  }
  char pattern[] = "/tmp/velkaro-store-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("store_bench: mkdtemp");
    return 1;
  }
  const std::filesystem::path work(pattern);
  const std::string store = (work / "registry.reg").string();
  ::setenv("VELKARO_REGISTRY", store.c_str(), 1);
  ::setenv("VELKARO_USER_REGISTRY", (work / "user.reg").c_str(), 1);

  bool setUpHolds = true;
  bool linear = true;
  std::vector<std::string> notes;
  bench::PrintHeader();
  for (const SetUp& setUp : kSetUps) {
    std::vector<double> times[2];
    const int counts[2] = {10000, 100000};
    for (int size = 0; size < 2 && setUpHolds; ++size) {
      std::string key;
      std::string value;
      WriteStore(store, setUp, counts[size], key, value);
      char line[32];
      std::snprintf(line, sizeof line, "=dword:%08x\n", static_cast<unsigned>(counts[size] / 2));
      const std::string expected = "\"" + value + "\"" + line;
      std::string problem;
      for (int run = 0; run <= runs; ++run) {
        const double took = TimeQuery(tool, key, value, expected, problem);
        if (took < 0) {
          std::fprintf(stderr, "store_bench: %s\n", problem.c_str());
          setUpHolds = false;
          break;
        }
        if (run > 0) times[size].push_back(took);
      }
    }
    if (!setUpHolds) break;
    const std::string what = std::string("velkaro-reg query of one value, 100,000 ") + setUp.what + " (ms)";
    bench::PrintRow(what, times[1], "10,000 " + std::string(setUp.what), times[0]);
    const double growth = bench::Summarise(times[1]).median / bench::Summarise(times[0]).median;
    char note[160];
    std::snprintf(note, sizeof note, "store of %s: ten times the size takes %.1f times as long (at most %.0f)",
                  setUp.what, growth, kMaxGrowth);
    notes.push_back(note);
    if (growth > kMaxGrowth) {
      std::fprintf(stderr, "store_bench: %s\n", note);
      linear = false;
    }
  }
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  return setUpHolds && linear ? 0 : 1;
}
