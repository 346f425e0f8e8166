// What the shared ATR list costs: reading it once (on its own thread, from
// the start of the read to the list being in use), a lookup made while that
// read is still under way, and each lookup afterwards as the card update makes
// it on the user-interface thread: for ATRs the list names (its entries
// without wildcards) and for as many it does not name, which pass every
// pattern. No root needed.
//
//   atr_list_bench [LIST] [READS]   (default: the list the program uses, 5 reads)

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "card/atr_list.h"
#include "card/card_names.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time in milliseconds: on a shared machine the wall time also holds the
// waits for a core.
double CpuMilliseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void Report(const char* what, std::vector<double> values, const char* unit) {
  if (values.empty()) {
    std::printf("%-44s n=0\n", what);
    return;
  }
  std::sort(values.begin(), values.end());
  std::printf("%-44s n=%zu  median %.3f %s  max %.3f %s\n", what, values.size(), values[values.size() / 2], unit,
              values.back(), unit);
}

// The list's entries that are plain ATRs: every byte written out.
std::vector<std::string> PlainAtrs(const std::string& path) {
  std::vector<std::string> atrs;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    bool plain = !line.empty() && line.size() % 3 == 2;
    for (std::size_t i = 0; plain && i < line.size(); ++i) {
      plain = i % 3 == 2 ? line[i] == ' ' : std::isxdigit(static_cast<unsigned char>(line[i])) != 0;
    }
    if (plain) atrs.push_back(line);
  }
  return atrs;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : CAtrList::ListPath();
  const int reads = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::printf("ATR list %s\n", path.c_str());

  std::vector<double> loads;
  std::vector<double> loadCpu;  // the process's: the reading thread's, as this one sleeps
  std::shared_ptr<const CAtrList> list;
  for (int i = 0; i < reads; ++i) {
    const auto start = Clock::now();
    const double cpuStart = CpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID);
    list = CAtrList::Load(path);
    if (!list->WaitUntilRead(60s)) {
      std::fprintf(stderr, "the read did not end within 60 s\n");
      return 1;
    }
    loads.push_back(MillisecondsSince(start));
    loadCpu.push_back(CpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart);
  }
  std::printf("%zu patterns, %zu entries left out\n", list->PatternCount(), list->SkippedCount());
  std::printf("one-time read: first %.2f ms\n", loads.front());
  Report("one-time read, wall", loads, "ms");
  Report("one-time read, CPU", loadCpu, "ms");

  {
    const auto early = CAtrList::Load(path);
    const auto start = Clock::now();
    const std::string name = early->Describe("3B 02 14 50");
    std::printf("lookup during the read: answered after %.2f ms, %s\n", MillisecondsSince(start),
                name.empty() ? "without the list" : "from the list");
  }

  const CCardNames names(CardNameMap{}, CardPatternMap{}, list);
  const std::vector<std::string> listed = PlainAtrs(path);
  // Unnamed ATRs of the same lengths, with random bytes after "3B".
  std::mt19937 random(4711);
  std::vector<std::string> others;
  for (const std::string& atr : listed) {
    std::string other = "3B";
    for (std::size_t i = 3; i < atr.size(); i += 3) {
      char byte[4];
      std::snprintf(byte, sizeof byte, " %02X", static_cast<unsigned>(random() & 0xFF));
      other += byte;
    }
    others.push_back(other);
  }

  std::vector<double> named;
  std::vector<double> unnamed;
  std::vector<double> namedCpu;
  std::vector<double> unnamedCpu;
  for (const std::vector<std::string>* atrs : {&listed, static_cast<const std::vector<std::string>*>(&others)}) {
    for (const std::string& atr : *atrs) {
      const auto start = Clock::now();
      const double cpuStart = CpuMilliseconds(CLOCK_THREAD_CPUTIME_ID);
      const std::string name = names.CardNameFor(atr);
      const double cpu = (CpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart) * 1e3;
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      (name.empty() ? unnamed : named).push_back(us);
      (name.empty() ? unnamedCpu : namedCpu).push_back(cpu);
    }
  }
  Report("lookup, ATR the list names, wall", named, "us");
  Report("lookup, ATR the list names, CPU", namedCpu, "us");
  Report("lookup, ATR the list does not name, wall", unnamed, "us");
  Report("lookup, ATR the list does not name, CPU", unnamedCpu, "us");
  return 0;
}
