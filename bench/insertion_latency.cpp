// How long a card insertion takes to reach three clients of the same private
// pcscd, from the moment velkaro-sim starts to change the scenario file:
//   - the tool's reader page: until the ATR text is set on the page, and
//     until the window has painted it (the end of the window's next update);
//   - `pcsc_scan -n` on a terminal of its own: until it prints "Card inserted";
//   - a bare client waiting in SCardGetStatusChange: the floor.
// The removals are timed for the bare client. Runs the tool's real start-up
// with the reader's tab in front; root needed. Prints one table
// (bench_table.h) with the page's figures against pcsc_scan's.
//
//   insertion_latency [ROUNDS]   (default 50 insertions and 50 removals)

#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
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

#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "app/startup.h"
#include "bench_table.h"
#include "pcscd_sandbox.h"
#include "reader/reader_dialog.h"
#include "window_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_support::DropOffscreenNoise;
using testing_support::RunEvents;

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

double Since(Clock::time_point start, Clock::time_point at) {
  return std::chrono::duration<double, std::milli>(at - start).count();
}

// When something was seen, as a steady-clock count shared between threads;
// zero while unseen.
class Moment {
 public:
  void Reset() { m_at.store(0); }
  void Mark() {
    long long unseen = 0;
    m_at.compare_exchange_strong(unseen, Clock::now().time_since_epoch().count());
  }
  std::optional<Clock::time_point> At() const {
    const long long at = m_at.load();
    if (at == 0) return std::nullopt;
    return Clock::time_point(Clock::duration(at));
  }

 private:
  std::atomic<long long> m_at{0};
};

// pcsc_scan on a terminal (so that it prints each line as it comes), its
// output read on a thread of its own.
class PcscScan {
 public:
  bool Start() {
    std::fflush(stdout);
    m_pid = forkpty(&m_master, nullptr, nullptr, nullptr);
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      execlp("pcsc_scan", "pcsc_scan", "-n", static_cast<char*>(nullptr));
      _exit(127);
    }
    m_thread = std::thread([this] { Read(); });
    return true;
  }
  ~PcscScan() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_thread.joinable()) m_thread.join();  // the terminal closes with pcsc_scan
    if (m_master >= 0) close(m_master);
  }
  int Insertions() const { return m_insertions.load(); }
  Moment inserted;

 private:
  void Read() {
    static constexpr std::string_view kInserted = "Card inserted";
    std::string tail;
    char chunk[4096];
    while (true) {
      const ssize_t got = read(m_master, chunk, sizeof chunk);
      if (got <= 0) return;
      tail.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t at; (at = tail.find(kInserted)) != std::string::npos;) {
        inserted.Mark();
        m_insertions.fetch_add(1);
        tail.erase(0, at + kInserted.size());
      }
      if (tail.size() > kInserted.size()) tail.erase(0, tail.size() - kInserted.size());
    }
  }

  pid_t m_pid = -1;
  int m_master = -1;
  std::thread m_thread;
  std::atomic<int> m_insertions{0};
};

// Notes, on the UI thread, when the reader page first holds an ATR after an
// insertion and when the window has first painted with it in place. The page
// sets its texts in its queued calls and may paint inside them, so both
// moments are also looked for around each update request of the window.
class WatchingApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    const bool painting = m_page && event->type() == QEvent::UpdateRequest && receiver == m_page->window();
    if (painting && m_armed.load() && AtrShown()) textShown.Mark();
    const bool result = QApplication::notify(receiver, event);
    if (!m_page) return result;
    if (event->type() == QEvent::MetaCall && receiver == m_page) {
      const bool shown = AtrShown();
      if (m_armed.load() && shown) textShown.Mark();
      if (!m_armed.load() && !shown) cleared.Mark();
    } else if (painting && m_armed.load() && AtrShown()) {
      painted.Mark();
    }
    return result;
  }

  void Watch(CReaderDialog* page) { m_page = page; }
  void Arm(bool armed) { m_armed = armed; }

  Moment textShown;
  Moment painted;
  Moment cleared;

 private:
  bool AtrShown() const { return !m_page->ShownText(&CReaderFields::m_strATR).isEmpty(); }

  CReaderDialog* m_page = nullptr;
  std::atomic<bool> m_armed{false};
};

template <typename Done>
bool Await(Done done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct Figures {
  std::vector<double> bare, scan, text, painted, removals;
  std::string problem;
};

// The rounds, on a thread of their own while the window runs.
void Drive(const testing_support::PcscdSandbox& sandbox, Waiter& waiter, PcscScan& scan,
           WatchingApplication& app, int rounds, Figures& figures) {
  for (int i = 0; i < rounds && figures.problem.empty(); ++i) {
    waiter.WaitFor(SCARD_STATE_EMPTY, Clock::time_point{});
    if (!Await([&] { return app.cleared.At().has_value(); }, 5s)) {
      figures.problem = "round " + std::to_string(i) + ": the page still shows a card";
      break;
    }
    std::this_thread::sleep_for(300ms);  // pcsc_scan has printed the removal
    scan.inserted.Reset();
    app.textShown.Reset();
    app.painted.Reset();
    app.Arm(true);
    const auto start = Clock::now();
    const auto inserted = sandbox.Sim({"insert", "ct200"});
    const auto bare = waiter.WaitFor(SCARD_STATE_PRESENT, start);
    Await([&] { return scan.inserted.At() && app.painted.At(); }, 5s);
    app.Arm(false);
    if (inserted.exitCode != 0 || !bare || !scan.inserted.At() || !app.textShown.At() || !app.painted.At()) {
      figures.problem = "round " + std::to_string(i) + ": " + inserted.errors +
                        (bare ? "" : " the bare client") + (scan.inserted.At() ? "" : " pcsc_scan") +
                        (app.textShown.At() ? "" : " the page's text") + (app.painted.At() ? "" : " the painting") +
                        " did not see the insertion within 5 s";
      break;
    }
    figures.bare.push_back(Since(start, *bare));
    figures.scan.push_back(Since(start, *scan.inserted.At()));
    figures.text.push_back(Since(start, *app.textShown.At()));
    figures.painted.push_back(Since(start, *app.painted.At()));
    app.cleared.Reset();
    std::this_thread::sleep_for(300ms);  // the page's card update has ended
    const auto removing = Clock::now();
    const auto removed = sandbox.Sim({"remove", "ct200"});
    const auto gone = waiter.WaitFor(SCARD_STATE_EMPTY, removing);
    if (removed.exitCode != 0 || !gone) {
      figures.problem = "round " + std::to_string(i) + ": the removal was not seen within 5 s";
      break;
    }
    figures.removals.push_back(Since(removing, *gone));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
  if (rounds <= 0) {
    std::fprintf(stderr, "usage: insertion_latency [ROUNDS]\n");
    return 2;
  }
  testing_support::PcscdSandbox sandbox;
  if (const auto problem = sandbox.WriteReader("ct200.reader", kReader)) {
    std::fprintf(stderr, "insertion_latency: %s\n", problem->c_str());
    return 1;
  }
  // A file the driver rejects makes pcscd drop its reader.
  if (const auto check = sandbox.Sim({"check"}); check.exitCode != 0) {
    std::fprintf(stderr, "insertion_latency: velkaro-sim check rejects the scenario:\n%s%s", check.output.c_str(),
                 check.errors.c_str());
    return 1;
  }
  if (const auto problem = sandbox.Start()) {
    std::fprintf(stderr, "insertion_latency: %s\n", problem->c_str());
    return 1;
  }
  const std::string reader = sandbox.ReaderName("VELKARO CT 200");
  Waiter waiter(reader);
  if (!waiter.WaitFor(SCARD_STATE_EMPTY, Clock::time_point{})) {
    std::fprintf(stderr, "insertion_latency: the reader never showed up empty\n");
    return 1;
  }
  PcscScan scan;
  if (!scan.Start()) {
    std::fprintf(stderr, "insertion_latency: pcsc_scan did not start\n");
    return 1;
  }

  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  WatchingApplication qapp(argc, argv);
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) qInstallMessageHandler(DropOffscreenNoise);
  const ProgramServices services;
  CDiagToolApp app;
  Figures figures;
  std::thread driver;
  QTimer::singleShot(0, [&] {
    CDiagToolPropSheet* sheet = CDiagToolPropSheet::MainWindow();
    if (!sheet) return;
    const auto deadline = Clock::now() + 30s;
    CReaderDialog* page = nullptr;
    while (!page && Clock::now() < deadline) {
      RunEvents(20);
      for (int index = 0; index < sheet->GetPageCount() && !page; ++index) {
        page = dynamic_cast<CReaderDialog*>(sheet->GetPage(index));
      }
    }
    if (!page) {
      figures.problem = "the reader's tab did not come";
      sheet->close();
      return;
    }
    sheet->SetActivePage(page);
    qapp.Watch(page);
    driver = std::thread([&, sheet] {
      Drive(sandbox, waiter, scan, qapp, rounds, figures);
      QMetaObject::invokeMethod(sheet, [&, sheet] {
        qapp.Watch(nullptr);
        sheet->close();
      }, Qt::QueuedConnection);
    });
  });
  const int status = RunDiagTool(app);
  if (driver.joinable()) driver.join();
  if (!figures.problem.empty()) std::fprintf(stderr, "insertion_latency: %s\n", figures.problem.c_str());
  bench::PrintHeader();
  bench::PrintRow("1 reader: insertion to ATR text on the reader page (ms)", figures.text, "pcsc_scan printed",
                  figures.scan);
  bench::PrintRow("1 reader: insertion to the reader page painted (ms)", figures.painted, "pcsc_scan printed",
                  figures.scan);
  bench::PrintRow("1 reader: insertion printed by pcsc_scan (ms)", figures.scan, "bare client in the status call (floor)",
                  figures.bare);
  bench::PrintRow("1 reader: removal seen by a bare client (ms)", figures.removals);
  return status == 0 && figures.problem.empty() ? 0 : 1;
}
