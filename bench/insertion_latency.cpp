// How long a card insertion or removal takes to reach a client that waits in
// SCardGetStatusChange: from the moment velkaro-sim starts to change the
// scenario file until the waiting call returns with the new state. Runs a
// private pcscd (root needed) and prints the median and maximum.
//
//   insertion_latency [ROUNDS]   (default 100 insertions and 100 removals)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "pcscd_sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char kReader[] =
    "name = VELKARO CT 200\n"
    "[card]\n"
    "atr = 3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C\n"
    "present = no\n";

// The client: waits for every change of the reader and notes when it came.
class Waiter {
 public:
  explicit Waiter(std::string reader) : m_reader(std::move(reader)), m_thread([this] { Run(); }) {}
  ~Waiter() {
    m_stop = true;
    SCardCancel(m_context.Get());
    m_thread.join();
  }

  // The time at which the reader showed `bits` (after `since`), or nothing.
  std::optional<Clock::time_point> WaitFor(DWORD bits, Clock::time_point since) {
    std::unique_lock lock(m_mutex);
    const bool seen = m_changed.wait_for(lock, 5s, [&] { return m_at >= since && (m_state & bits) == bits; });
    return seen ? std::optional(m_at) : std::nullopt;
  }

 private:
  void Run() {
    SCARD_READERSTATE state{};
    state.szReader = m_reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    while (!m_stop) {
      if (SCardGetStatusChange(m_context.Get(), INFINITE, &state, 1) != SCARD_S_SUCCESS) break;
      const auto at = Clock::now();
      {
        std::lock_guard lock(m_mutex);
        m_state = state.dwEventState;
        m_at = at;
      }
      m_changed.notify_all();
      state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
  }

  testing_support::ScopedContext m_context;
  std::string m_reader;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  DWORD m_state = 0;
  Clock::time_point m_at{};
  std::atomic<bool> m_stop = false;
  std::thread m_thread;
};

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-9s n=%zu  median %.2f ms  p90 %.2f ms  max %.2f ms\n", what, ms.size(), ms[ms.size() / 2],
              ms[ms.size() * 9 / 10], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
  testing_support::PcscdSandbox sandbox;
  if (const auto problem = sandbox.WriteReader("ct200.reader", kReader)) {
    std::fprintf(stderr, "%s\n", problem->c_str());
    return 1;
  }
  if (const auto problem = sandbox.Start()) {
    std::fprintf(stderr, "insertion_latency: %s\n", problem->c_str());
    return 1;
  }
  const std::string reader = sandbox.ReaderName("VELKARO CT 200");
  std::vector<double> insertions, removals;
  {
    Waiter waiter(reader);
    if (!waiter.WaitFor(SCARD_STATE_EMPTY, Clock::time_point{})) {
      std::fprintf(stderr, "insertion_latency: the reader never showed up empty\n");
      return 1;
    }
    for (int i = 0; i < rounds * 2; ++i) {
      const bool insert = i % 2 == 0;
      const auto start = Clock::now();
      const auto result = sandbox.Sim({insert ? "insert" : "remove", "ct200"});
      const auto seen = waiter.WaitFor(insert ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY, start);
      if (result.exitCode != 0 || !seen) {
        std::fprintf(stderr, "insertion_latency: round %d: %s%s\n", i, result.errors.c_str(),
                     seen ? "" : "the change was not seen within 5 s");
        return 1;
      }
      (insert ? insertions : removals).push_back(std::chrono::duration<double, std::milli>(*seen - start).count());
      std::this_thread::sleep_for(5ms);  // let pcscd settle, as between two real card movements
    }
  }
  Report("insertion", insertions);
  Report("removal", removals);
  return 0;
}
